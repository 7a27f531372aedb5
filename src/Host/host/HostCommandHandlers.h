// The command handlers: one function per handler that the command rows name (TORVEX_SCPI_COMMAND_ROWS,
// scpi/scpi_command_rows.h), and kCommandHandlers, the handler of each command number, made from the
// same rows. A handler is the command's own code: CTorvexHostParser::_DispatchCommand calls it once
// the lock and the query announcement have let the command through and the generic handler
// (HandleParameterCommand) has not completed it; a row with a node has its node set by then. The
// generic rows share NoOwnCode, reached only when their node could not be served.
//
// Every handler runs on the parser thread, for one command of one client. The handlers are defined by
// the units of their command families: HostParameterCommands.cpp (NoOwnCode), HostCommonCommands.cpp
// (488.2, STATus, SYSTem, UNIT), HostMeasurementCommands.cpp (measurement and trigger),
// HostMassMemoryRouteCommands.cpp (MMEMory and ROUTe).
#pragma once

#include <cstddef>
#include <iterator>

#include "scpi/scpi_command_table.h"

namespace Torvex {

class CTorvexHost;
class CTorvexHostParser;
struct ScpiParsedCommand;

using CommandHandler = void (*)(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client);

// The handlers, declared from the rows (a handler that serves several rows is declared once per row).
#define TORVEX_COMMAND_HANDLER_DECLARATION(name, pattern, slots, lock, refusal, nodes, unit, flux, row, execution, \
                                           handler) \
  void handler(CTorvexHostParser& parser, ScpiParsedCommand& command, CTorvexHost& client);
TORVEX_SCPI_COMMAND_ROWS(TORVEX_COMMAND_HANDLER_DECLARATION)
#undef TORVEX_COMMAND_HANDLER_DECLARATION

// The handler of each command number.
inline constexpr CommandHandler kCommandHandlers[] = {
#define TORVEX_COMMAND_HANDLER_ENTRY(name, pattern, slots, lock, refusal, nodes, unit, flux, row, execution, handler) \
  &handler,
    TORVEX_SCPI_COMMAND_ROWS(TORVEX_COMMAND_HANDLER_ENTRY)
#undef TORVEX_COMMAND_HANDLER_ENTRY
};
static_assert(std::size(kCommandHandlers) == kScpiCommandCount, "one handler per command");

// The columns the compile-time checks of the handlers read. Handlers are compared by name: some
// compilers do not compare the addresses of two functions in a constant expression.
namespace command_rows {

inline constexpr const char* kHandlerNames[] = {
#define TORVEX_COMMAND_HANDLER_NAME(name, pattern, slots, lock, refusal, nodes, unit, flux, row, execution, handler) \
#handler,
    TORVEX_SCPI_COMMAND_ROWS(TORVEX_COMMAND_HANDLER_NAME)
#undef TORVEX_COMMAND_HANDLER_NAME
};

inline constexpr scpi_row::Execution kExecution[] = {
#define TORVEX_COMMAND_EXECUTION_ENTRY(name, pattern, slots, lock, refusal, nodes, unit, flux, row, execution, \
                                       handler) \
  scpi_row::execution,
    TORVEX_SCPI_COMMAND_ROWS(TORVEX_COMMAND_EXECUTION_ENTRY)
#undef TORVEX_COMMAND_EXECUTION_ENTRY
};

constexpr bool SameName(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// True when the row of command `n` names `handler`.
constexpr bool HandledBy(std::size_t n, const char* handler) {
  return n < std::size(kHandlerNames) && SameName(kHandlerNames[n], handler);
}

// The number of rows that name `handler` (for the families' checks of their own row lists).
constexpr std::size_t RowsHandledBy(const char* handler) {
  std::size_t count = 0;
  for (std::size_t n = 0; n < std::size(kHandlerNames); ++n) count += HandledBy(n, handler) ? 1 : 0;
  return count;
}

// The generic rows share NoOwnCode, and every row with its own code names its own handler.
constexpr bool GenericRowsShareOneHandler() {
  for (std::size_t n = 0; n < kScpiCommandCount; ++n) {
    if (HandledBy(n, "NoOwnCode") != (kExecution[n] == scpi_row::kGeneric)) return false;
  }
  return true;
}
static_assert(GenericRowsShareOneHandler(), "the generic rows and only they name NoOwnCode");

}  // namespace command_rows

}  // namespace Torvex
