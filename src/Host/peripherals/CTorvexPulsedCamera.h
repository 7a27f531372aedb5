// CTorvexPulsedCamera: a multi-head pulsed-wave camera on the connector or on a multiplexer port.
//
// The topology factory creates it and calls Initialize, which reads the camera's frequency limits and
// its memory block (identity, texts, head table, descriptor and one physical-information record per
// head), fits every record into the limits and writes the head table back. Only a camera whose
// Initialize returned 0 is published and gets its heads (CreateHeads); a camera that failed is
// destroyed at once. Queries run on the parser and acquisition threads; GetGyromagneticRatio reads one
// tree node under the tree lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "peripherals/CTorvexPwMeasuringPeripheral.h"
#include "peripherals/CTorvexRealPeripheral.h"
#include "peripherals/PwPhysicalInformationSet.h"

namespace Torvex {

class CTorvexPulsedCameraHead;

// The camera's own frequency limits (the answer to command 1, 44 bytes, version 1).
struct CameraLimits {
  static constexpr std::size_t kRecordSize = 44;
  double MinFreq = 0;
  double MaxFreq = 0;
  double MinIF = 0;
  double MaxIF = 0;
  double FreqMultiplier = 1.0;
  std::uint16_t value = 0;
};

// Decodes a limits record of `size` bytes; false (limits unchanged) for another version or fewer than
// 44 bytes.
bool DecodeCameraLimits(const std::uint8_t* bytes, std::size_t size, CameraLimits& limits);

struct HeadTableEntry {
  std::uint8_t tag = 0;
  std::uint8_t recordIndex = 0;
};

// The first 29 bytes of the memory block.
struct CameraMemoryHeader {
  static constexpr std::size_t kSize = 29;
  std::uint16_t word0 = 0;
  std::uint16_t word1 = 0;
  std::uint16_t length = 0;
  std::uint8_t bytes[10] = {};
  std::uint8_t identity[12] = {};
  std::uint8_t check = 0;
};

class CTorvexPulsedCamera : public CTorvexPwMeasuringPeripheral, public CTorvexRealPeripheral {
 public:
  static constexpr std::size_t kDirectoryEntries = 6;  // sections the camera uses
  static constexpr std::uint16_t kBlockReadSize = 512;

  CTorvexPulsedCamera(const CTorvexChannel& channel, const PeripheralIdentification& identification);

  int GetType() override { return static_cast<int>(identification.type); }
  std::uint16_t GetModel() override { return identification.model; }
  int GetSerialNumber() override { return static_cast<int>(identification.serial); }
  std::string GetDesignation() override { return designation; }
  bool IsInitialized() override { return initialized; }
  // 0 or 48; once it has succeeded, 0 at once.
  int Initialize() override;
  std::uint8_t GetChildCount() override;

  int Activate() override;
  // The range all heads share: the largest MinFreq and the smallest MaxFreq of the records.
  double GetMinFrequency() override;
  double GetMaxFrequency() override;
  // The common ratio of the records; unit_conversion/nominal_p_gyro_ratio when they differ; 1.1
  // without records.
  double GetGyromagneticRatio() override;
  // Cameras have no Hall sensor: 48, outputs untouched.
  int ReadHallField(int*, int*, int*, unsigned int*) override { return 48; }
  const PwPhysicalInformation* GetPhysicalInformation() override;
  int WriteParameterPair(std::uint32_t first, std::uint32_t second) override;

  // Command 13 with the head table: 0, 47 for an empty table (nothing sent), 11 when refused.
  int WriteHeadTable();

  // The heads 1 to GetChildCount of an initialised camera (none otherwise), each with the camera's
  // channel plus its head number.
  std::vector<std::unique_ptr<CTorvexPulsedCameraHead>> CreateHeads();

  // The record of head number `head` (counting from 1), or g_DefaultPhysicalInformation.
  const PwPhysicalInformation* HeadRecord(std::uint8_t head) const;

  const CameraLimits& Limits() const { return limits; }
  const std::vector<HeadTableEntry>& HeadTable() const { return headTable; }
  const CameraDescriptor& Descriptor() const { return descriptor; }
  const PwPhysicalInformationSet& PhysicalInformationSet() const { return physicalInformationSet; }

 private:
  // Decodes the memory block into the camera's fields: false when it cannot be used.
  bool DecodeMemoryBlock(const std::vector<std::uint8_t>& block);

  CameraMemoryHeader memoryHeader;
  std::vector<HeadTableEntry> headTable;
  std::vector<std::uint8_t> section2Bytes;
  std::vector<std::uint8_t> section3Bytes;
  CameraDescriptor descriptor;
  CameraLimits limits;
  PwPhysicalInformationSet physicalInformationSet;
};

}  // namespace Torvex
