// kStatusBitRows: the status-register bits by row index.
//
// Every subsystem reports a status condition by the row's name here (eStatusBitRow, e.g.
// kStatusRowPowerOn) through CScpiStatus::SetBitRow or CScpiStatus::SetDeviceBitRow. A row names its
// register, its bit mask and two flags:
//  - event-only: the bit is cleared from the condition after each summary update, so it acts as a
//    pulse that the event register latches once;
//  - device-wide: the row is applied to every status object.
// The rows are written once, in TORVEX_STATUS_BIT_ROWS; the table, its count and the row names are all
// made from that list. Constant data: read from any thread without a lock.
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
  std::uint32_t reg;  // eScpiStatusRegister
  std::uint16_t mask;
  std::uint8_t eventOnly;   // 1: pulse, cleared from the condition after each summary update
  std::uint8_t deviceWide;  // 1: applied to every status object
};

// X(name, register, mask, event-only, device-wide), one row per bit, in row order.
// clang-format off
#define TORVEX_STATUS_BIT_ROWS(X) \
  X(kStatusRowNone,                      kStatusByteRegister,        0x0000, 0, 0)  /*  0 no bit */ \
  X(kStatusRowMessageAvailable,          kStatusByteRegister,        0x0010, 0, 0)  /*  1 MAV */ \
  X(kStatusRowEventSummary,              kStatusByteRegister,        0x0020, 0, 0)  /*  2 ESB, summary of register 1 */ \
  X(kStatusRowServiceRequest,            kStatusByteRegister,        0x0040, 0, 0)  /*  3 MSS / RQS */ \
  X(kStatusRowErrorAvailable,            kStatusByteRegister,        0x0004, 0, 0)  /*  4 EAV */ \
  X(kStatusRowQuestionableSummary,       kStatusByteRegister,        0x0008, 0, 0)  /*  5 QUEStionable summary */ \
  X(kStatusRowOperationSummary,          kStatusByteRegister,        0x0080, 0, 0)  /*  6 OPERation summary */ \
  X(kStatusRowOperationComplete,         kStandardEventRegister,     0x0001, 1, 0)  /*  7 operation complete */ \
  X(kStatusRowRequestControl,            kStandardEventRegister,     0x0002, 1, 0)  /*  8 request control */ \
  X(kStatusRowQueryError,                kStandardEventRegister,     0x0004, 1, 0)  /*  9 query error */ \
  X(kStatusRowDeviceError,               kStandardEventRegister,     0x0008, 1, 1)  /* 10 device-dependent error */ \
  X(kStatusRowExecutionError,            kStandardEventRegister,     0x0010, 1, 1)  /* 11 execution error */ \
  X(kStatusRowCommandError,              kStandardEventRegister,     0x0020, 1, 0)  /* 12 command error */ \
  X(kStatusRowUserRequest,               kStandardEventRegister,     0x0040, 1, 0)  /* 13 user request */ \
  X(kStatusRowPowerOn,                   kStandardEventRegister,     0x0080, 0, 1)  /* 14 power on */ \
  X(kStatusRowOperationBit0,             kOperationRegister,         0x0001, 0, 1)  /* 15 */ \
  X(kStatusRowOperationBit1,             kOperationRegister,         0x0002, 0, 0)  /* 16 */ \
  X(kStatusRowOperationBit2,             kOperationRegister,         0x0004, 0, 1)  /* 17 set and cleared by the command code */ \
  X(kStatusRowSearching,                 kOperationRegister,         0x0008, 0, 1)  /* 18 measurement state: searching */ \
  X(kStatusRowMeasuring,                 kOperationRegister,         0x0010, 0, 1)  /* 19 measurement state: measuring */ \
  X(kStatusRowWaitingForTrigger,         kOperationRegister,         0x0020, 0, 1)  /* 20 measurement state: waiting for a trigger */ \
  X(kStatusRowOperationBit6,             kOperationRegister,         0x0040, 0, 1)  /* 21 */ \
  X(kStatusRowOperationBit7,             kOperationRegister,         0x0080, 0, 0)  /* 22 */ \
  X(kStatusRowMeasurementStored,         kOperationRegister,         0x0100, 1, 1)  /* 23 a measurement has been stored */ \
  X(kStatusRowSequenceSucceeded,         kOperationRegister,         0x0200, 1, 1)  /* 24 a measurement sequence succeeded */ \
  X(kStatusRowOperationBit11Summary,     kOperationRegister,         0x0800, 0, 1)  /* 25 summary of OPERation:BIT11 */ \
  X(kStatusRowOperationBit12Summary,     kOperationRegister,         0x1000, 0, 1)  /* 26 summary of OPERation:BIT12 */ \
  X(kStatusRowOperationBit13,            kOperationRegister,         0x2000, 0, 0)  /* 27 */ \
  X(kStatusRowOperationBit14,            kOperationRegister,         0x4000, 0, 0)  /* 28 */ \
  X(kStatusRowQuestionableBit0,          kQuestionableRegister,      0x0001, 0, 0)  /* 29 */ \
  X(kStatusRowQuestionableBit1,          kQuestionableRegister,      0x0002, 0, 0)  /* 30 */ \
  X(kStatusRowQuestionableBit2,          kQuestionableRegister,      0x0004, 0, 0)  /* 31 */ \
  X(kStatusRowQuestionableBit3,          kQuestionableRegister,      0x0008, 0, 0)  /* 32 */ \
  X(kStatusRowQuestionableBit4,          kQuestionableRegister,      0x0010, 0, 0)  /* 33 */ \
  X(kStatusRowQuestionableBit5,          kQuestionableRegister,      0x0020, 0, 1)  /* 34 */ \
  X(kStatusRowQuestionableBit6,          kQuestionableRegister,      0x0040, 0, 0)  /* 35 */ \
  X(kStatusRowQuestionableBit7,          kQuestionableRegister,      0x0080, 0, 0)  /* 36 */ \
  X(kStatusRowQuestionableBit8,          kQuestionableRegister,      0x0100, 0, 0)  /* 37 */ \
  X(kStatusRowMeasurementFailed,         kQuestionableRegister,      0x0200, 0, 1)  /* 38 the last measurement failed */ \
  X(kStatusRowQuestionableBit10,         kQuestionableRegister,      0x0400, 1, 0)  /* 39 set by the command code */ \
  X(kStatusRowSearchManualOrUnlocked,    kQuestionableRegister,      0x0800, 0, 1)  /* 40 search mode MANual, or external reference not locked */ \
  X(kStatusRowQuestionableBit12Summary,  kQuestionableRegister,      0x1000, 0, 1)  /* 41 summary of QUEStionable:BIT12 */ \
  X(kStatusRowQuestionableBit13,         kQuestionableRegister,      0x2000, 0, 0)  /* 42 */ \
  X(kStatusRowQuestionableBit14,         kQuestionableRegister,      0x4000, 0, 0)  /* 43 */ \
  X(kStatusRowExternalClockDetected,     kQuestionableBit12Register, 0x0001, 0, 1)  /* 44 external reference clock detected */ \
  X(kStatusRowExternalClockLocked,       kQuestionableBit12Register, 0x0002, 0, 1)  /* 45 external reference clock locked */ \
  X(kStatusRowDspStatusBit19,            kQuestionableBit12Register, 0x0004, 1, 1)  /* 46 DSP status bit 19 */ \
  X(kStatusRowSettingsGroup0,            kOperationBit11Register,    0x0001, 1, 1)  /* 47 settings group 0 */ \
  X(kStatusRowSettingsGroup1,            kOperationBit11Register,    0x0002, 1, 1)  /* 48 settings group 1 */ \
  X(kStatusRowSettingsGroup2,            kOperationBit11Register,    0x0004, 1, 1)  /* 49 settings group 2 */ \
  X(kStatusRowSettingsGroup3,            kOperationBit11Register,    0x0008, 1, 1)  /* 50 settings group 3 */ \
  X(kStatusRowSettingsGroup4,            kOperationBit11Register,    0x0010, 1, 1)  /* 51 settings group 4 */ \
  X(kStatusRowSettingsGroup5,            kOperationBit11Register,    0x0020, 1, 1)  /* 52 settings group 5 */ \
  X(kStatusRowSettingsGroup6,            kOperationBit11Register,    0x0040, 1, 1)  /* 53 settings group 6 */ \
  X(kStatusRowSettingsGroup7,            kOperationBit11Register,    0x0080, 1, 1)  /* 54 settings group 7 */ \
  X(kStatusRowSettingsGroup8,            kOperationBit11Register,    0x0100, 1, 1)  /* 55 settings group 8 */ \
  X(kStatusRowSettingsGroup9,            kOperationBit11Register,    0x0200, 1, 1)  /* 56 settings group 9 */ \
  X(kStatusRowSettingsGroup10,           kOperationBit11Register,    0x0400, 1, 1)  /* 57 settings group 10 */ \
  X(kStatusRowSettingsGroup11,           kOperationBit11Register,    0x0800, 1, 1)  /* 58 settings group 11 */ \
  X(kStatusRowSettingsGroup12,           kOperationBit11Register,    0x1000, 1, 1)  /* 59 settings group 12 */ \
  X(kStatusRowSettingsGroup13,           kOperationBit11Register,    0x2000, 1, 1)  /* 60 settings group 13 */ \
  X(kStatusRowSettingsGroup14,           kOperationBit11Register,    0x4000, 1, 1)  /* 61 settings group 14 */ \
  X(kStatusRowAllSettingsGroups,         kOperationBit11Register,    0x7FFF, 1, 1)  /* 62 all settings groups (after *RST) */ \
  X(kStatusRowMeasurementNotStarted,     kOperationBit12Register,    0x0001, 0, 1)  /* 63 measurement system not started */ \
  X(kStatusRowOperationBit12Bit3,        kOperationBit12Register,    0x0008, 1, 1)  /* 64 */ \
  X(kStatusRowDspStatusBit20Or21,        kOperationBit12Register,    0x0010, 1, 1)  /* 65 DSP status bit 20 or 21 */ \
  X(kStatusRowNmrPathBroken,             kOperationBit12Register,    0x0020, 1, 1)  /* 66 NMR path broken */ \
  X(kStatusRowPeripheralPlugged,         kOperationBit12Register,    0x0040, 1, 1)  /* 67 peripheral plugged */
// clang-format on

// The row names; the value of each is its row index.
enum eStatusBitRow : std::uint32_t {
#define TORVEX_STATUS_ROW_NAME(name, r, m, e, d) name,
  TORVEX_STATUS_BIT_ROWS(TORVEX_STATUS_ROW_NAME)
#undef TORVEX_STATUS_ROW_NAME
      kStatusBitRowEnd
};

inline constexpr std::size_t kStatusBitRowCount = kStatusBitRowEnd;

// {register, mask, event-only, device-wide}, one row per bit, by row index.
inline constexpr StatusBitRow kStatusBitRows[] = {
#define TORVEX_STATUS_ROW_DATA(name, r, m, e, d) {r, m, e, d},
    TORVEX_STATUS_BIT_ROWS(TORVEX_STATUS_ROW_DATA)
#undef TORVEX_STATUS_ROW_DATA
};

static_assert(std::size(kStatusBitRows) == kStatusBitRowCount, "one row per row name");
static_assert(kStatusBitRowCount == 68, "the status model has 68 status-bit rows");

constexpr bool StatusBitRowsValid() {
  for (const StatusBitRow& row : kStatusBitRows) {
    if (row.reg >= kScpiStatusRegisterCount) return false;
  }
  return true;
}
static_assert(StatusBitRowsValid());

// Each name indexes its own row (the register and mask given beside the name are the row's).
#define TORVEX_STATUS_ROW_CHECK(name, r, m, e, d) \
  static_assert(kStatusBitRows[name].reg == (r) && kStatusBitRows[name].mask == (m), #name);
TORVEX_STATUS_BIT_ROWS(TORVEX_STATUS_ROW_CHECK)
#undef TORVEX_STATUS_ROW_CHECK

}  // namespace Torvex
