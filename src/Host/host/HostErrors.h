// The two exceptions the command code of the host layer throws, and the translation of application
// error codes into rows of the SCPI error table.
//
//  - eSCPIErrorEvent carries a kScpiErrorTable row; the command that catches it pushes the row on the
//    client's status object (no-update flag set).
//  - eError (core/eError.h, or any other int code of the acquisition and peripherals) carries an
//    application code; ErrorRowForApplicationError turns it into a row first.
#pragma once

#include <cstdint>

namespace Torvex {

struct eSCPIErrorEvent {
  std::uint32_t row;  // eScpiErrorRow
};

// 29 Invalid Channel List, 30 No probe, 46 No selected channel, 49 Settings conflict, 50 Topology
// Changed, 43 and 38 Execution error; anything else Firmware error.
std::uint32_t ErrorRowForApplicationError(int code);

}  // namespace Torvex
