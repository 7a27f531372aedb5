// The two exceptions the command code of the host layer throws, the translation of application
// error codes into rows of the SCPI error table, and the guard that turns either into a queued error.
//
//  - eSCPIErrorEvent carries a kScpiErrorTable row; the command that catches it pushes the row on the
//    client's status object (no-update flag set).
//  - eError (core/eError.h, or any other int code of the acquisition and peripherals) carries an
//    application code; ErrorRowForApplicationError turns it into a row first.
//
// The measurement, mass-memory and route handlers run their work inside ReportCommandFailures, on the
// parser thread.
#pragma once

#include <cstdint>

#include "core/eError.h"
#include "status/CScpiStatus.h"

namespace Torvex {

struct eSCPIErrorEvent {
  std::uint32_t row;  // eScpiErrorRow
};

// Ends the command at the failing step with `row` queued.
[[noreturn]] inline void FailCommand(std::uint32_t row) { throw eSCPIErrorEvent{row}; }

// 29 Invalid Channel List, 30 No probe, 46 No selected channel, 49 Settings conflict, 50 Topology
// Changed, 43 and 38 Execution error; anything else Firmware error.
std::uint32_t ErrorRowForApplicationError(int code);

// Runs `work`; a failure it throws ends it and becomes one queued row on `status` (no-update flag):
// an eSCPIErrorEvent's row, or the row of an eError's application code. What `work` wrote before
// stays written.
template <typename Work>
void ReportCommandFailures(CScpiStatus& status, Work&& work) {
  std::uint32_t row = 0;
  try {
    work();
  } catch (const eSCPIErrorEvent& event) {
    row = event.row;
  } catch (const eError& e) {
    row = ErrorRowForApplicationError(static_cast<int>(e));
  }
  if (row != 0) status.PushError(row, true);
}

}  // namespace Torvex
