// The help file of the instrument, made from the command table (scpi/scpi_command_table.h).
//
// Layout, every text ended by a NUL byte inside its field:
//   offset 0      36 bytes    identification (not read by the firmware)
//   offset 36     5000 bytes  header list: one header per line, a setter and its query as one
//                             header with "[?]", in table order
//   offset 5036   130 bytes   per command number n, at 5036 + 130 x n: the command's syntax, its
//                             pattern followed by its parameter slots
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace help_data {

inline constexpr std::size_t kIdentSize = 36;
inline constexpr std::size_t kHeaderListSize = 5000;
inline constexpr std::size_t kSyntaxEntrySize = 130;

// The syntax text of command n: its pattern, a blank and its parameters when it has any.
std::string SyntaxEntry(std::size_t command);
// The header list text.
std::string HeaderList();
// The whole file. False with a reason in `error` when a text does not fit its field.
bool BuildHelpFile(std::vector<char>& file, std::string& error);

}  // namespace help_data
