// PwPhysicalInformationSet: the physical-information records of a camera, one per head record index,
// and the decoders of the other sections of a camera's memory block.
//
// Filled by the camera's Initialize (under g_TopologyLock), read by its heads from the parser and
// acquisition threads. Every decoder takes the bytes available and refuses, without reading beyond
// them, a section that is cut short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "peripherals/PwPhysicalInformation.h"

namespace Torvex {

class PwPhysicalInformationSet {
 public:
  PwPhysicalInformationSet() = default;
  virtual ~PwPhysicalInformationSet() = default;
  PwPhysicalInformationSet(const PwPhysicalInformationSet&) = delete;
  PwPhysicalInformationSet& operator=(const PwPhysicalInformationSet&) = delete;

  std::vector<std::unique_ptr<PwPhysicalInformation>> records;
};

// Section 5 of a camera's memory block: a record count byte and that many link records. Appends
// them in order; false at the first record that cannot be decoded (the records before it stay).
bool LoadPhysicalInformationSet(const std::uint8_t* bytes, std::size_t size, PwPhysicalInformationSet& set);

// A length byte n and n bytes into `out`; false (out unchanged) when the n bytes are not all there.
bool CopyCountedBytes(std::vector<std::uint8_t>& out, const std::uint8_t* bytes, std::size_t size);

// Section 4 of a camera's memory block.
struct CameraDescriptor {
  std::uint8_t value = 0;
  double first = 0;
  double second = 0;
  double third = 0;
  std::string text;
  double fourth = 0;
  std::vector<std::uint16_t> values;
};

// Decodes section 4 into `out`; false (out unchanged) when the section is cut short.
bool DecodeCameraBlock(const std::uint8_t* bytes, std::size_t size, CameraDescriptor& out);

// Two counted texts (16-bit length and bytes, twice), as in the designation answer; false (texts
// unchanged) when the bytes are cut short.
bool DecodeTextPair(const std::uint8_t* bytes, std::size_t size, std::string& first, std::string& second);

}  // namespace Torvex
