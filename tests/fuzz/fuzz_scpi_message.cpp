// Feeds whole program messages through cutting, header matching, parameter typing and value
// extraction. The input is the message text (any bytes, NULs included). Every command that resolves
// is also re-read through the record accessors.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scpi/scpi_command_table.h"
#include "scpi/scpi_engine.h"
#include "scpi/scpi_value_extraction.h"

using namespace Torvex;

namespace {

void ReadBack(const ScpiParameter& p) {
  std::uint32_t type = 0;
  std::uint8_t flags = 0;
  scpi_param_get_type(&p, &type, &flags);
  std::int32_t i = 0;
  double d = 0;
  scpi_param_get_int(&p, &i);
  scpi_param_get_double(&p, &d);
  if (type == kScpiTypeChannelList) {
    for (unsigned entry = 0; entry < 64; ++entry) {
      ScpiParameter first[3];
      ScpiParameter second[3];
      unsigned dims = 3;
      bool range = false;
      if (scpi_param_get_channel_list(&p, entry, &dims, &range, first, second) == kScpiNoSuchEntry) break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string message(reinterpret_cast<const char*>(data), size);

  // The parser's own parse step, with value extraction.
  std::vector<ScpiParsedCommand> commands;
  ScpiParsedCommand record;
  scpi_parse_program_message(message, commands, record);

  // The engine alone, command by command, with the accessors on every resolved command.
  const char* cursor = message.c_str();
  std::size_t remaining = message.size() + 1;
  for (bool first = true;; first = false) {
    std::uint8_t number = 0;
    std::uint8_t flag = 0;
    std::uint32_t value = 0;
    ScpiParameter parameters[kScpiParameterSlots];
    const int code = scpi_next_command(&cursor, &remaining, first, &number, parameters, &flag, &value);
    if (code != kScpiOk) break;
    for (const ScpiParameter& p : parameters) ReadBack(p);
  }

  // The text as a character-data parameter against a choice list, as the help query matches it.
  const char* units = "T|MT|UT|NT|GAUSs|KGAUss|MGAUss|UGAUss|PPM|HZP|KHZP|MAHZP|GHZP|HZ|KHZ|MAHZ|GHZ|DEFault";
  std::uint32_t value = 0;
  std::uint8_t flag = 0;
  scpi_match_header(units, 5, message.data(), message.size(), kScpiMatchChoice, &value, &flag);
  scpi_reset_line_state();
  return 0;
}
