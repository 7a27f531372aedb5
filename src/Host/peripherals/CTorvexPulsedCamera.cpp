#include "peripherals/CTorvexPulsedCamera.h"

#include <algorithm>

#include "core/CRecursiveMutex.h"
#include "peripherals/CPeripheralRequests.h"
#include "peripherals/CTorvexPulsedCameraHead.h"
#include "peripherals/PeripheralBytes.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {
namespace {

constexpr double kRatioWithoutRecords = 1.1;

// The 12-byte identity of the memory header: version, type code, model, serial number, flags.
PeripheralIdentification DecodeIdentity(const std::uint8_t* p) {
  PeripheralIdentification id;
  id.version = ReadU16BE(p);
  id.type = p[2];
  id.model = ReadU16BE(p + 3);
  id.serial = (std::uint32_t{p[5]} << 16) | (std::uint32_t{p[6]} << 8) | p[7];
  id.flags = ReadU32BE(p + 8);
  return id;
}

}  // namespace

bool DecodeCameraLimits(const std::uint8_t* bytes, std::size_t size, CameraLimits& limits) {
  if (bytes == nullptr || size < CameraLimits::kRecordSize || ReadU16BE(bytes) != 1) return false;
  limits.MinFreq = ReadDoubleBE(bytes + 2);
  limits.MaxFreq = ReadDoubleBE(bytes + 10);
  limits.MinIF = ReadDoubleBE(bytes + 18);
  limits.MaxIF = ReadDoubleBE(bytes + 26);
  limits.FreqMultiplier = ReadDoubleBE(bytes + 34);
  limits.value = ReadU16BE(bytes + 42);
  return true;
}

CTorvexPulsedCamera::CTorvexPulsedCamera(const CTorvexChannel& channel, const PeripheralIdentification& identification)
    : CTorvexPwMeasuringPeripheral(channel), CTorvexRealPeripheral(identification) {}

std::uint8_t CTorvexPulsedCamera::GetChildCount() {
  return static_cast<std::uint8_t>(std::min<std::size_t>(headTable.size(), 255));
}

bool CTorvexPulsedCamera::DecodeMemoryBlock(const std::vector<std::uint8_t>& block) {
  const std::uint8_t* b = block.data();
  const std::size_t size = block.size();
  if (size < CameraMemoryHeader::kSize || !PeripheralLink::CheckFrame(b, CameraMemoryHeader::kSize)) return false;

  memoryHeader.word0 = ReadU16BE(b);
  memoryHeader.word1 = ReadU16BE(b + 2);
  memoryHeader.length = ReadU16BE(b + 4);
  std::copy_n(b + 6, sizeof memoryHeader.bytes, memoryHeader.bytes);
  std::copy_n(b + 16, sizeof memoryHeader.identity, memoryHeader.identity);
  memoryHeader.check = b[28];
  // From now on the camera is addressed with the identity of its memory.
  identification = DecodeIdentity(b + 16);

  // The directory: d entries of {tag, 16-bit section offset}; the camera uses the first six.
  if (size < 31) return false;
  const std::size_t entries = ReadU16BE(b + 29);
  if (entries < kDirectoryEntries || size < 31 + 3 * kDirectoryEntries) return false;
  std::size_t offset[kDirectoryEntries];
  for (std::size_t i = 0; i < kDirectoryEntries; ++i) {
    offset[i] = ReadU16BE(b + 31 + 3 * i + 1);
    if (offset[i] >= size) return false;
  }
  const auto section = [&](std::size_t i) { return b + offset[i]; };
  const auto left = [&](std::size_t i) { return size - offset[i]; };

  if (!DecodeTextPair(section(0), left(0), auxText, designation)) return false;

  // Section 1: head count m, then m entries {tag, record index}.
  if (left(1) < 1 || left(1) - 1 < 2 * std::size_t{section(1)[0]}) return false;
  headTable.clear();
  for (std::size_t i = 0; i < section(1)[0]; ++i) {
    headTable.push_back({section(1)[1 + 2 * i], section(1)[2 + 2 * i]});
  }

  if (!CopyCountedBytes(section2Bytes, section(2), left(2))) return false;
  if (!CopyCountedBytes(section3Bytes, section(3), left(3))) return false;
  if (!DecodeCameraBlock(section(4), left(4), descriptor)) return false;
  if (!LoadPhysicalInformationSet(section(5), left(5), physicalInformationSet)) return false;
  return true;
}

int CTorvexPulsedCamera::Initialize() {
  if (initialized) return 0;
  if (ReadAuxWord(channel) != 0) return ePeripheralNoData;

  std::vector<std::uint8_t> answer;
  if (ReadInformationBlock(channel, answer) != 0) return ePeripheralNoData;
  if (!DecodeCameraLimits(answer.data(), answer.size(), limits)) return ePeripheralNoData;

  std::vector<std::uint8_t> block;
  if (ReadMemoryBlock(channel, block, 0, kBlockReadSize) != 0) return ePeripheralNoData;
  if (!DecodeMemoryBlock(block)) return ePeripheralNoData;

  for (const auto& record : physicalInformationSet.records) {
    // The heads convert between field and frequency with their record's ratio.
    if (!IsUsableGyromagneticRatio(record->GyroRatio)) return ePeripheralNoData;
    if (record->MinFreq < limits.MinFreq) record->MinFreq = limits.MinFreq;
    if (record->MaxFreq > limits.MaxFreq) record->MaxFreq = limits.MaxFreq;
    if (record->MinIF < limits.MinIF) record->MinIF = limits.MinIF;
    if (record->MaxIF > limits.MaxIF) record->MaxIF = limits.MaxIF;
    record->FreqMultiplier *= limits.FreqMultiplier;
  }

  if (WriteHeadTable() != 0) return ePeripheralNoData;
  initialized = true;
  return 0;
}

int CTorvexPulsedCamera::WriteHeadTable() {
  if (headTable.empty()) return 47;
  std::vector<std::uint8_t> data;
  data.push_back(static_cast<std::uint8_t>(headTable.size()));
  for (const HeadTableEntry& entry : headTable) {
    data.push_back(entry.tag);
    data.push_back(entry.recordIndex);
  }
  PeripheralLinkRequest request;
  request.command = kCmdLimits;
  request.data = data.data();
  request.length = static_cast<std::uint16_t>(data.size());
  std::uint32_t status = 0;
  const int result = CPeripheralRequests::Current().SendCommandWithData(
      PeripheralLink::LinkPathOf(channel), identification.model, identification.serial, request, &status);
  return result == 0 && status == 0 ? 0 : ePeripheralNotWritten;
}

int CTorvexPulsedCamera::Activate() {
  return CPeripheralRequests::Current().SelectRoute(PeripheralLink::LinkPathOf(channel), identification.model,
                                                    identification.serial);
}

double CTorvexPulsedCamera::GetMinFrequency() {
  const auto& records = physicalInformationSet.records;
  if (records.empty()) return 0.0;
  double value = records.front()->MinFreq;
  for (const auto& record : records) value = std::max(value, record->MinFreq);
  return value;
}

double CTorvexPulsedCamera::GetMaxFrequency() {
  const auto& records = physicalInformationSet.records;
  if (records.empty()) return 0.0;
  double value = records.front()->MaxFreq;
  for (const auto& record : records) value = std::min(value, record->MaxFreq);
  return value;
}

double CTorvexPulsedCamera::GetGyromagneticRatio() {
  const auto& records = physicalInformationSet.records;
  if (records.empty()) return kRatioWithoutRecords;
  const double first = records.front()->GyroRatio;
  for (const auto& record : records) {
    if (record->GyroRatio != first) {
      CRecursiveLockGuard tree(g_ParameterTreeLock);
      return g_node_unit_conversion_nominal_p_gyro_ratio != nullptr
                 ? g_node_unit_conversion_nominal_p_gyro_ratio->GetFloat64Attribute(eAttrValue)
                 : first;
    }
  }
  return first;
}

const PwPhysicalInformation* CTorvexPulsedCamera::GetPhysicalInformation() {
  const auto& records = physicalInformationSet.records;
  return records.empty() ? &g_DefaultPhysicalInformation : records.front().get();
}

int CTorvexPulsedCamera::WriteParameterPair(std::uint32_t first, std::uint32_t second) {
  return SendParameterPair(channel, first, second);
}

const PwPhysicalInformation* CTorvexPulsedCamera::HeadRecord(std::uint8_t head) const {
  if (head == 0 || head > headTable.size()) return &g_DefaultPhysicalInformation;
  const std::size_t index = headTable[head - 1].recordIndex;
  if (index >= physicalInformationSet.records.size()) return &g_DefaultPhysicalInformation;
  return physicalInformationSet.records[index].get();
}

std::vector<std::unique_ptr<CTorvexPulsedCameraHead>> CTorvexPulsedCamera::CreateHeads() {
  std::vector<std::unique_ptr<CTorvexPulsedCameraHead>> heads;
  if (!initialized) return heads;
  for (unsigned n = 1; n <= GetChildCount(); ++n) {
    CTorvexChannel head = channel;
    // A camera at the fifth level has no room for a head number: such heads cannot be addressed.
    if (!head.AppendLevel(static_cast<std::uint8_t>(n))) break;
    heads.push_back(std::make_unique<CTorvexPulsedCameraHead>(head, this));
  }
  return heads;
}

}  // namespace Torvex
