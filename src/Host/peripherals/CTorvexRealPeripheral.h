// CTorvexRealPeripheral: the part of a peripheral object that a device found by the link scan adds
// (probe, camera, multiplexer): its identification and the requests every such device answers.
//
// Each request goes on the link path of the given channel with identification.model and
// identification.serial, and catches its own failures so that it always returns a code. Answers are
// checked against their length: a record shorter than its fields is refused (48), never read beyond.
// Called under g_TopologyLock while the object is initialised (main or the parser thread), and by the
// Hall queries (parser) and the parameter pair (acquisition).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/CTorvexChannel.h"
#include "peripherals/PeripheralLink.h"

namespace Torvex {

class CTorvexRealPeripheral {
 public:
  static constexpr std::uint32_t kFlagHallSensor = 0x1;  // identification.flags bit 0

  explicit CTorvexRealPeripheral(const PeripheralIdentification& identification);
  virtual ~CTorvexRealPeripheral() = default;
  CTorvexRealPeripheral(const CTorvexRealPeripheral&) = delete;
  CTorvexRealPeripheral& operator=(const CTorvexRealPeripheral&) = delete;

  // Command 11: auxWord from a 2-byte answer. 0 or 48.
  int ReadAuxWord(const CTorvexChannel& channel);
  // Command 2: auxText and designation from two counted texts. 0 or 48.
  int ReadDesignation(const CTorvexChannel& channel);
  // Command 7 with first and second as big-endian 32-bit values. 0 or 11.
  int SendParameterPair(const CTorvexChannel& channel, std::uint32_t first, std::uint32_t second);
  // Command 9: the four raw Hall values of an 8-byte answer. 0 or 48 (outputs unwritten).
  int ReadHallRaw(const CTorvexChannel& channel, std::uint16_t* x, std::uint16_t* y, std::uint16_t* z,
                  std::uint16_t* t);
  // Command 1 without data; on 0 `answer` holds a copy of the answer content. 0 or 48.
  int ReadInformationBlock(const CTorvexChannel& channel, std::vector<std::uint8_t>& answer);
  // Command 12: one data request (start, size), then reads until the block's total length is reached.
  // 0, or 48 for a failed request, a first answer shorter than the 29-byte header or whose header XOR
  // is not 0, a total below the header size, or an answer without content while the block is
  // incomplete. `block` holds what was read, also after a failure.
  int ReadMemoryBlock(const CTorvexChannel& channel, std::vector<std::uint8_t>& block, std::uint16_t start,
                      std::uint16_t size);

  const PeripheralIdentification& Identification() const { return identification; }
  std::uint16_t AuxWord() const { return auxWord; }
  const std::string& AuxText() const { return auxText; }

 protected:
  // Sends a read command without data; on 0 (link 0, status 0) `answer` is a copy of the content.
  int ReadCommand(const CTorvexChannel& channel, std::uint8_t command, std::vector<std::uint8_t>& answer);

  PeripheralIdentification identification;
  bool initialized = false;
  std::uint16_t auxWord = 0;
  std::string auxText = "-";
  std::string designation = "-";
};

}  // namespace Torvex
