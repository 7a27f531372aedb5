// The instrument's SCPI command set: three constant tables indexed by the command number 0 to 232.
//
//   kScpiCommandPatterns    the header patterns the engine matches, in matching order, then an empty
//                           pattern that ends the table;
//   kScpiParameterSpecs     the four parameter slots of each command;
//   kScpiCommandAttributes  what the command code needs: query and lock flags, refusal while
//                           measuring, bound nodes, reply unit, flux flag, settings-group status row,
//                           generic flag.
//
// All three, and the command names kCmd<name>, are made from the one row list of the command set
// (TORVEX_SCPI_COMMAND_ROWS, scpi_command_rows.h), so a command cannot get out of step between them.
// Constant data, read by the parser thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "scpi/scpi_command_rows.h"
#include "scpi/scpi_types.h"

namespace Torvex {

class CParameterNode;

// The command numbers by name, in row order: kCmdIdnQuery is the number of "*IDN?".
enum eScpiCommand : std::uint8_t {
#define TORVEX_SCPI_COMMAND_NAME(name, ...) kCmd##name,
  TORVEX_SCPI_COMMAND_ROWS(TORVEX_SCPI_COMMAND_NAME)
#undef TORVEX_SCPI_COMMAND_NAME
      kScpiCommandEnd
};

inline constexpr std::size_t kScpiCommandCount = kScpiCommandEnd;
static_assert(kScpiCommandCount == 233, "the command set has 233 commands");
inline constexpr std::size_t kScpiQueryCount = 139;
inline constexpr std::size_t kScpiGenericCount = 105;
// Every pattern is shorter than this (the engine keeps the header path in a buffer of this size).
inline constexpr std::size_t kScpiMaxPatternLength = 64;

// Refusal kinds while a triggered measurement runs (the refusal column of the rows).
enum ScpiRefusalKind : std::uint32_t {
  kScpiRefuseNever = 0,
  kScpiRefuseUnlessManualSearch = 2,
  kScpiRefuseAlways = 3,
};

struct ScpiCommandAttributeRow {
  std::uint8_t query;               // 1 for a query
  std::uint8_t allowedWhileLocked;  // 1 when it may run while another client holds the lock
  std::uint32_t refusalKind;        // ScpiRefusalKind
  // Bound node for suffix 1 and for suffix 2: references to the bound pointers, read at every use
  // (g_node_none when there is no node).
  CParameterNode* const& nodeSuffix1;
  CParameterNode* const& nodeSuffix2;
  const char* unit;        // unit written after a query's value; "" for none
  std::uint32_t fluxUnit;  // 1: field value converted to the unit selected by UNIT
  std::uint8_t statusRow;  // eStatusBitRow to set after a change; kStatusRowNone for none
  std::uint32_t generic;   // 1: the generic parameter handler alone executes the command
};

using ScpiParameterSpecRow = std::array<ScpiParameterSpec, kScpiParameterSlots>;

// kScpiCommandCount patterns followed by "" (the end entry).
extern const std::array<const char*, kScpiCommandCount + 1> kScpiCommandPatterns;
extern const std::array<ScpiParameterSpecRow, kScpiCommandCount> kScpiParameterSpecs;
extern const std::array<ScpiCommandAttributeRow, kScpiCommandCount> kScpiCommandAttributes;

// Number of patterns before the empty end entry (the parser runs only when it is kScpiCommandCount).
std::size_t scpi_count_command_patterns();

}  // namespace Torvex
