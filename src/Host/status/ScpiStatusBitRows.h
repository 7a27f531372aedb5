// kStatusBitRows: the status-register bits by row index.
//
// Every subsystem reports a status condition by its row index here (CScpiStatus::SetBitRow,
// CScpiStatus::SetDeviceBitRow). A row names its register, its bit mask and two flags:
//  - event-only: the bit is cleared from the condition after each summary update, so it acts as a
//    pulse that the event register latches once;
//  - device-wide: the row is applied to every status object.
// Constant data: read from any thread without a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace Torvex {

// The seven registers of a status object.
enum eScpiStatusRegister : std::uint32_t {
  kStatusByteRegister = 0,
  kStandardEventRegister = 1,
  kOperationRegister = 2,
  kQuestionableRegister = 3,
  kQuestionableBit12Register = 4,
  kOperationBit11Register = 5,
  kOperationBit12Register = 6,
  kScpiStatusRegisterCount = 7,
};

struct StatusBitRow {
  std::uint32_t reg;         // eScpiStatusRegister
  std::uint16_t mask;
  std::uint8_t eventOnly;    // 1: pulse, cleared from the condition after each summary update
  std::uint8_t deviceWide;   // 1: applied to every status object
};

inline constexpr std::size_t kStatusBitRowCount = 68;

// {register, mask, event-only, device-wide}, one row per bit, by row index.
inline constexpr StatusBitRow kStatusBitRows[] = {
    {0, 0x0000, 0, 0},  // 0 no bit
    {0, 0x0010, 0, 0},  // 1 MAV
    {0, 0x0020, 0, 0},  // 2 ESB, summary of register 1
    {0, 0x0040, 0, 0},  // 3 MSS / RQS
    {0, 0x0004, 0, 0},  // 4 EAV
    {0, 0x0008, 0, 0},  // 5 QUEStionable summary
    {0, 0x0080, 0, 0},  // 6 OPERation summary
    {1, 0x0001, 1, 0},  // 7 operation complete
    {1, 0x0002, 1, 0},  // 8 request control
    {1, 0x0004, 1, 0},  // 9 query error
    {1, 0x0008, 1, 1},  // 10 device-dependent error
    {1, 0x0010, 1, 1},  // 11 execution error
    {1, 0x0020, 1, 0},  // 12 command error
    {1, 0x0040, 1, 0},  // 13 user request
    {1, 0x0080, 0, 1},  // 14 power on
    {2, 0x0001, 0, 1},  // 15
    {2, 0x0002, 0, 0},  // 16
    {2, 0x0004, 0, 1},  // 17 set and cleared by the command code
    {2, 0x0008, 0, 1},  // 18 measurement state: searching
    {2, 0x0010, 0, 1},  // 19 measurement state: measuring
    {2, 0x0020, 0, 1},  // 20 measurement state: waiting for a trigger
    {2, 0x0040, 0, 1},  // 21
    {2, 0x0080, 0, 0},  // 22
    {2, 0x0100, 1, 1},  // 23 a measurement has been stored
    {2, 0x0200, 1, 1},  // 24 a measurement sequence succeeded
    {2, 0x0800, 0, 1},  // 25 summary of OPERation:BIT11
    {2, 0x1000, 0, 1},  // 26 summary of OPERation:BIT12
    {2, 0x2000, 0, 0},  // 27
    {2, 0x4000, 0, 0},  // 28
    {3, 0x0001, 0, 0},  // 29
    {3, 0x0002, 0, 0},  // 30
    {3, 0x0004, 0, 0},  // 31
    {3, 0x0008, 0, 0},  // 32
    {3, 0x0010, 0, 0},  // 33
    {3, 0x0020, 0, 1},  // 34
    {3, 0x0040, 0, 0},  // 35
    {3, 0x0080, 0, 0},  // 36
    {3, 0x0100, 0, 0},  // 37
    {3, 0x0200, 0, 1},  // 38 the last measurement failed
    {3, 0x0400, 1, 0},  // 39 set by the command code
    {3, 0x0800, 0, 1},  // 40 search mode MANual, or external reference not locked
    {3, 0x1000, 0, 1},  // 41 summary of QUEStionable:BIT12
    {3, 0x2000, 0, 0},  // 42
    {3, 0x4000, 0, 0},  // 43
    {4, 0x0001, 0, 1},  // 44 external reference clock detected
    {4, 0x0002, 0, 1},  // 45 external reference clock locked
    {4, 0x0004, 1, 1},  // 46 DSP status bit 19
    {5, 0x0001, 1, 1},  // 47 settings group 0
    {5, 0x0002, 1, 1},  // 48 settings group 1
    {5, 0x0004, 1, 1},  // 49 settings group 2
    {5, 0x0008, 1, 1},  // 50 settings group 3
    {5, 0x0010, 1, 1},  // 51 settings group 4
    {5, 0x0020, 1, 1},  // 52 settings group 5
    {5, 0x0040, 1, 1},  // 53 settings group 6
    {5, 0x0080, 1, 1},  // 54 settings group 7
    {5, 0x0100, 1, 1},  // 55 settings group 8
    {5, 0x0200, 1, 1},  // 56 settings group 9
    {5, 0x0400, 1, 1},  // 57 settings group 10
    {5, 0x0800, 1, 1},  // 58 settings group 11
    {5, 0x1000, 1, 1},  // 59 settings group 12
    {5, 0x2000, 1, 1},  // 60 settings group 13
    {5, 0x4000, 1, 1},  // 61 settings group 14
    {5, 0x7FFF, 1, 1},  // 62 all settings groups (after *RST)
    {6, 0x0001, 0, 1},  // 63 measurement system not started
    {6, 0x0008, 1, 1},  // 64
    {6, 0x0010, 1, 1},  // 65 DSP status bit 20 or 21
    {6, 0x0020, 1, 1},  // 66 NMR path broken
    {6, 0x0040, 1, 1},  // 67 peripheral plugged
};

static_assert(std::size(kStatusBitRows) == kStatusBitRowCount, "kStatusBitRows must hold 68 rows");

constexpr bool StatusBitRowsValid() {
  for (const StatusBitRow& row : kStatusBitRows) {
    if (row.reg >= kScpiStatusRegisterCount) return false;
  }
  return true;
}
static_assert(StatusBitRowsValid());

}  // namespace Torvex
