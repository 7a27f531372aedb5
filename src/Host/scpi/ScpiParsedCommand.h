// ScpiParsedCommand: one parsed command of a program message. The SCPI engine and the value
// extraction fill it on the parser thread; the dispatcher reads and completes it there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/CTorvexChannel.h"
#include "scpi/scpi_types.h"

namespace Torvex {

// Kind of value held by one parameter slot of a parsed command.
enum ScpiValueKind : std::uint32_t {
  kScpiValueNone = 0,
  kScpiValueInteger = 1,
  kScpiValueDouble = 2,
  kScpiValueBoolean = 3,
  kScpiValueChoice = 4,
  kScpiValueString = 5,
  kScpiValueChannelList = 6,
  kScpiValueBlock = 7,
};

struct ScpiParameterValue {
  std::uint32_t kind = kScpiValueNone;
  std::int32_t integer = 0;
  double real = 0.0;
  std::uint8_t boolean = 0;
  std::string text;  // the string, or for a choice the text of the chosen alternative
  std::vector<CTorvexChannel> channels;
  std::vector<std::uint8_t> block;
  std::uint32_t unitClass = kScpiUnitNone;  // for numbers: the class of the suffix, 0 without one
};

struct ScpiParsedCommand {
  explicit ScpiParsedCommand(std::string* replyText = nullptr) : reply(replyText) {}

  // Clears what one command leaves behind, keeping the binding to the reply text.
  void Reset();

  std::uint8_t commandNumber = 0;
  // The header's numeric suffix at its full width (a header carries at most one).
  std::optional<std::uint32_t> numericSuffix;
  ScpiParameterValue values[kScpiParameterSlots];
  std::uint8_t errorCode = 0;
  std::string* reply = nullptr;  // the client's reply text
  std::size_t replyLength = 0;   // its length when the command starts executing
  std::uint8_t indefiniteResponse = 0;
  std::uint8_t abandon = 0;
};

}  // namespace Torvex
