#include "peripherals/CTorvexRealPeripheral.h"

#include <algorithm>

#include "peripherals/CPeripheralRequests.h"
#include "peripherals/CTorvexPeripheral.h"
#include "peripherals/PeripheralBytes.h"
#include "peripherals/PwPhysicalInformationSet.h"

namespace Torvex {

CTorvexRealPeripheral::CTorvexRealPeripheral(const PeripheralIdentification& identification)
    : identification(identification) {}

int CTorvexRealPeripheral::ReadCommand(const CTorvexChannel& channel, std::uint8_t command,
                                       std::vector<std::uint8_t>& answer) {
  PeripheralLinkRequest request;
  request.command = command;
  std::uint32_t status = 0;
  const int result = CPeripheralRequests::Current().SendCommand(
      PeripheralLink::LinkPathOf(channel), identification.model, identification.serial, request, &status);
  if (result != 0 || status != 0) return ePeripheralNoData;
  // The content lives in the link's shared buffer only until the next request: keep a copy.
  if (request.data != nullptr) {
    answer.assign(request.data, request.data + request.length);
  } else {
    answer.clear();
  }
  return 0;
}

int CTorvexRealPeripheral::ReadAuxWord(const CTorvexChannel& channel) {
  std::vector<std::uint8_t> answer;
  if (ReadCommand(channel, kCmdAuxWord, answer) != 0 || answer.size() < 2) return ePeripheralNoData;
  auxWord = ReadU16BE(answer.data());
  return 0;
}

int CTorvexRealPeripheral::ReadDesignation(const CTorvexChannel& channel) {
  std::vector<std::uint8_t> answer;
  if (ReadCommand(channel, kCmdDesignation, answer) != 0) return ePeripheralNoData;
  std::string first;
  std::string second;
  if (!DecodeTextPair(answer.data(), answer.size(), first, second)) return ePeripheralNoData;
  auxText = std::move(first);
  designation = std::move(second);
  return 0;
}

int CTorvexRealPeripheral::SendParameterPair(const CTorvexChannel& channel, std::uint32_t first, std::uint32_t second) {
  std::uint8_t data[8];
  for (int i = 0; i < 4; ++i) {
    data[i] = static_cast<std::uint8_t>(first >> (24 - 8 * i));
    data[4 + i] = static_cast<std::uint8_t>(second >> (24 - 8 * i));
  }
  PeripheralLinkRequest request;
  request.command = kCmdParameterPair;
  request.data = data;
  request.length = sizeof data;
  std::uint32_t status = 0;
  const int result = CPeripheralRequests::Current().SendCommandWithData(
      PeripheralLink::LinkPathOf(channel), identification.model, identification.serial, request, &status);
  return result == 0 && status == 0 ? 0 : ePeripheralNotWritten;
}

int CTorvexRealPeripheral::ReadHallRaw(const CTorvexChannel& channel, std::uint16_t* x, std::uint16_t* y,
                                       std::uint16_t* z, std::uint16_t* t) {
  std::vector<std::uint8_t> answer;
  if (ReadCommand(channel, kCmdHallRaw, answer) != 0 || answer.size() < 8) return ePeripheralNoData;
  *x = ReadU16BE(&answer[0]);
  *y = ReadU16BE(&answer[2]);
  *z = ReadU16BE(&answer[4]);
  *t = ReadU16BE(&answer[6]);
  return 0;
}

int CTorvexRealPeripheral::ReadInformationBlock(const CTorvexChannel& channel, std::vector<std::uint8_t>& answer) {
  return ReadCommand(channel, kCmdInformation, answer);
}

int CTorvexRealPeripheral::ReadMemoryBlock(const CTorvexChannel& channel, std::vector<std::uint8_t>& block,
                                           std::uint16_t start, std::uint16_t size) {
  block.clear();
  const CTorvexChannel path = PeripheralLink::LinkPathOf(channel);
  const std::uint8_t data[4] = {static_cast<std::uint8_t>(start >> 8), static_cast<std::uint8_t>(start),
                                static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)};
  PeripheralLinkRequest request;
  request.command = kCmdMemoryBlock;
  request.data = data;
  request.length = sizeof data;
  std::uint32_t status = 0;
  if (CPeripheralRequests::Current().SendCommandWithData(path, identification.model, identification.serial, request,
                                                         &status) != 0) {
    return ePeripheralNoData;
  }

  std::vector<std::uint8_t> answer;
  if (ReadCommand(channel, kCmdMemoryBlock, answer) != 0) return ePeripheralNoData;
  constexpr std::size_t kHeader = kLinkMemoryBlockHeaderSize;
  if (answer.size() < kHeader || !PeripheralLink::CheckFrame(answer.data(), kHeader)) return ePeripheralNoData;
  const std::size_t total = ReadU16BE(&answer[4]);
  if (total < kHeader) return ePeripheralNoData;
  block.reserve(total);
  block.assign(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(std::min(answer.size(), total)));
  while (block.size() < total) {
    if (ReadCommand(channel, kCmdMemoryBlock, answer) != 0) return ePeripheralNoData;
    // An empty part would never complete the block: end the read instead of asking forever.
    if (answer.empty()) return ePeripheralNoData;
    const std::size_t n = std::min(answer.size(), total - block.size());
    block.insert(block.end(), answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return 0;
}

}  // namespace Torvex
