// kScpiErrorTable: the SCPI errors by row index.
//
// Every subsystem reports an error by its row index here (an eSCPIErrorEvent carries one as well); the
// status objects (CScpiStatus) queue the index, the error query turns it back into code and text.
// Each row names the status-bit row (kStatusBitRows) whose condition bit the error sets on the client
// that queues it, and whether the error is device-wide (queued in every client's error queue).
// Row 0 "No error" is never queued; row 107 "Queue overflow" replaces the newest entry of a full queue.
// Constant data: read from any thread without a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "status/ScpiStatusBitRows.h"

namespace Torvex {

struct ScpiErrorRow {
  std::int16_t code;         // SCPI error code
  std::uint32_t statusRow;   // row of kStatusBitRows set when the error is queued
  std::uint8_t deviceWide;   // 1: queued in every client
  const char* text;
};

inline constexpr std::size_t kScpiErrorTableRows = 133;

// Rows the status model itself relies on.
inline constexpr std::uint32_t kScpiErrorNoError = 0;
inline constexpr std::uint32_t kScpiErrorQueueOverflow = 107;

// {code, status row, device-wide, text}, one row per error, by row index.
inline constexpr ScpiErrorRow kScpiErrorTable[] = {
    {0, 0, 0, "No error"},  // 0
    {-100, 12, 0, "Command error"},  // 1
    {-101, 12, 0, "Invalid character"},  // 2
    {-102, 12, 0, "Syntax error"},  // 3
    {-103, 12, 0, "Invalid separator"},  // 4
    {-104, 12, 0, "Data type error"},  // 5
    {-105, 12, 0, "GET not allowed"},  // 6
    {-108, 12, 0, "Parameter not allowed"},  // 7
    {-109, 12, 0, "Missing parameter"},  // 8
    {-110, 12, 0, "Command header error"},  // 9
    {-111, 12, 0, "Header separator error"},  // 10
    {-112, 12, 0, "Program mnemonic too long"},  // 11
    {-113, 12, 0, "Undefined header"},  // 12
    {-114, 12, 0, "Header suffix out of range"},  // 13
    {-115, 12, 0, "Unexpected number of parameters"},  // 14
    {-120, 12, 0, "Numeric data error"},  // 15
    {-121, 12, 0, "Invalid character in number"},  // 16
    {-123, 12, 0, "Exponent too large"},  // 17
    {-124, 12, 0, "Too many digits"},  // 18
    {-128, 12, 0, "Numeric data not allowed"},  // 19
    {-130, 12, 0, "Suffix error"},  // 20
    {-131, 12, 0, "Invalid suffix"},  // 21
    {-134, 12, 0, "Suffix too long"},  // 22
    {-138, 12, 0, "Suffix not allowed"},  // 23
    {-140, 12, 0, "Character data error"},  // 24
    {-141, 12, 0, "Invalid character data"},  // 25
    {-144, 12, 0, "Character data too long"},  // 26
    {-148, 12, 0, "Character data not allowed"},  // 27
    {-150, 12, 0, "String data error"},  // 28
    {-151, 12, 0, "Invalid string data"},  // 29
    {-158, 12, 0, "String data not allowed"},  // 30
    {-160, 12, 0, "Block data error"},  // 31
    {-161, 12, 0, "Invalid block data"},  // 32
    {-168, 12, 0, "Block data not allowed"},  // 33
    {-170, 12, 0, "Expression error"},  // 34
    {-171, 12, 0, "Invalid expression"},  // 35
    {-178, 12, 0, "Expression data not allowed"},  // 36
    {-180, 12, 0, "Macro error"},  // 37
    {-181, 12, 0, "Invalid outside macro definition"},  // 38
    {-183, 12, 0, "Invalid inside macro definition"},  // 39
    {-184, 12, 0, "Macro parameter error"},  // 40
    {-200, 11, 1, "Execution error"},  // 41
    {-201, 11, 1, "Invalid while in local"},  // 42
    {-202, 11, 0, "Settings lost due to rtl"},  // 43
    {-203, 11, 1, "Command protected"},  // 44
    {-210, 11, 1, "Trigger error"},  // 45
    {-211, 11, 1, "Trigger ignored"},  // 46
    {-212, 11, 1, "Arm ignored"},  // 47
    {-213, 11, 1, "Init ignored"},  // 48
    {-214, 11, 1, "Trigger deadlock"},  // 49
    {-215, 11, 1, "Arm deadlock"},  // 50
    {-220, 11, 1, "Parameter error"},  // 51
    {-221, 11, 1, "Settings conflict"},  // 52
    {-222, 11, 1, "Data out of range"},  // 53
    {-223, 11, 1, "Too much data"},  // 54
    {-224, 11, 1, "Illegal parameter value"},  // 55
    {-225, 11, 1, "Out of memory"},  // 56
    {-226, 11, 1, "Lists not same length"},  // 57
    {-230, 11, 1, "Data corrupt or stale"},  // 58
    {-231, 11, 1, "Data questionable"},  // 59
    {-232, 11, 1, "Invalid format"},  // 60
    {-233, 11, 0, "Invalid version"},  // 61
    {-240, 11, 1, "Hardware error"},  // 62
    {-241, 11, 1, "Hardware missing"},  // 63
    {-250, 11, 1, "Mass storage error"},  // 64
    {-251, 11, 1, "Missing mass storage"},  // 65
    {-252, 11, 1, "Missing media"},  // 66
    {-253, 11, 1, "Corrupt media"},  // 67
    {-254, 11, 1, "Media full"},  // 68
    {-255, 11, 1, "Directory full"},  // 69
    {-256, 11, 1, "File name not found"},  // 70
    {-257, 11, 1, "File name error"},  // 71
    {-258, 11, 1, "Media protected"},  // 72
    {-260, 11, 0, "Expression error"},  // 73
    {-261, 11, 0, "Math error in expression"},  // 74
    {-270, 11, 0, "Macro error"},  // 75
    {-271, 11, 0, "Macro syntax error"},  // 76
    {-272, 11, 0, "Macro execution error"},  // 77
    {-273, 11, 0, "Illegal macro label"},  // 78
    {-274, 11, 0, "Macro parameter error"},  // 79
    {-275, 11, 0, "Macro definition too long"},  // 80
    {-276, 11, 0, "Macro recursion error"},  // 81
    {-277, 11, 0, "Macro redefinition not allowed"},  // 82
    {-278, 11, 0, "Macro header not found"},  // 83
    {-280, 11, 0, "Program error"},  // 84
    {-281, 11, 0, "Cannot create program"},  // 85
    {-282, 11, 0, "Illegal program name"},  // 86
    {-283, 11, 0, "Illegal variable name"},  // 87
    {-284, 11, 0, "Program currently running"},  // 88
    {-285, 11, 0, "Program syntax error"},  // 89
    {-286, 11, 0, "Program runtime error"},  // 90
    {-290, 11, 0, "Memory use error"},  // 91
    {-291, 11, 0, "Out of memory"},  // 92
    {-292, 11, 0, "Referenced name does not exist"},  // 93
    {-293, 11, 0, "Referenced name already exists"},  // 94
    {-294, 11, 0, "Incompatible type"},  // 95
    {-300, 10, 1, "Device-specific error"},  // 96
    {-310, 10, 1, "System error"},  // 97
    {-311, 10, 1, "Memory error"},  // 98
    {-312, 10, 0, "PUD memory lost"},  // 99
    {-313, 10, 0, "Calibration memory lost"},  // 100
    {-314, 10, 0, "Save/recall memory lost"},  // 101
    {-315, 10, 1, "Configuration memory lost"},  // 102
    {-320, 10, 1, "Storage fault"},  // 103
    {-321, 10, 0, "Out of memory"},  // 104
    {-330, 10, 1, "Self-test failed"},  // 105
    {-340, 10, 0, "Calibration failed"},  // 106
    {-350, 10, 0, "Queue overflow"},  // 107
    {-360, 10, 0, "Communication error"},  // 108
    {-361, 10, 0, "Parity error in program message"},  // 109
    {-362, 10, 0, "Framing error in program message"},  // 110
    {-363, 10, 0, "Input buffer overrun"},  // 111
    {-365, 10, 1, "Time out error"},  // 112
    {-400, 9, 0, "Query error"},  // 113
    {-410, 9, 0, "Query INTERRUPTED"},  // 114
    {-420, 9, 0, "Query UNTERMINATED"},  // 115
    {-430, 9, 0, "Query DEADLOCKED"},  // 116
    {-440, 9, 0, "Query UNTERMINATED after indefinite response"},  // 117
    {-500, 14, 1, "Power on"},  // 118
    {-600, 13, 0, "User request"},  // 119
    {-700, 8, 0, "Request control"},  // 120
    {-800, 7, 0, "Operation complete"},  // 121
    {101, 10, 0, "Invalid value in list"},  // 122
    {102, 10, 0, "Wrong units for parameter"},  // 123
    {103, 10, 0, "Invalid number of dimensions in channel"},  // 124
    {104, 10, 0, "Error in channel list"},  // 125
    {105, 10, 0, "Numeric suffix invalid"},  // 126
    {200, 10, 1, "Firmware error"},  // 127
    {201, 10, 1, "No probe"},  // 128
    {202, 10, 1, "No selected channel"},  // 129
    {203, 10, 1, "Invalid Channel List"},  // 130
    {204, 10, 0, "Data not all available"},  // 131
    {205, 10, 1, "Topology Changed"},  // 132
};

static_assert(std::size(kScpiErrorTable) == kScpiErrorTableRows, "kScpiErrorTable must hold 133 rows");
static_assert(kScpiErrorTable[kScpiErrorNoError].code == 0);
static_assert(kScpiErrorTable[kScpiErrorQueueOverflow].code == -350);

// Every status row named by an error exists.
constexpr bool ScpiErrorStatusRowsValid() {
  for (const ScpiErrorRow& row : kScpiErrorTable) {
    if (row.statusRow >= kStatusBitRowCount) return false;
  }
  return true;
}
static_assert(ScpiErrorStatusRowsValid());

}  // namespace Torvex
