// Helpers shared by the SCPI engine tests.
#pragma once

#include <string>
#include <vector>

#include "scpi/ScpiParsedCommand.h"
#include "scpi/scpi_engine.h"
#include "scpi/scpi_value_extraction.h"

namespace Torvex::test {

// The outcome of parsing one whole program message.
struct ParsedMessage {
  int code = 0;                             // 0, or the code of the command that failed
  std::vector<ScpiParsedCommand> commands;  // empty after a failure
  ScpiParsedCommand failed;                 // the failing record
};

inline ParsedMessage ParseMessage(const std::string& message) {
  ParsedMessage result;
  result.code = scpi_parse_program_message(message, result.commands, result.failed);
  return result;
}

inline std::vector<int> CommandNumbers(const ParsedMessage& m) {
  std::vector<int> numbers;
  for (const auto& c : m.commands) numbers.push_back(c.commandNumber);
  return numbers;
}

// A channel written as 1!2!3.
inline std::string ChannelText(const CTorvexChannel& c) {
  std::string s;
  for (std::uint8_t i = 0; i < c.Length(); ++i) {
    if (i > 0) s += '!';
    s += std::to_string(c.Level(i));
  }
  return s;
}

inline std::vector<std::string> ChannelTexts(const std::vector<CTorvexChannel>& list) {
  std::vector<std::string> out;
  for (const auto& c : list) out.push_back(ChannelText(c));
  return out;
}

}  // namespace Torvex::test
