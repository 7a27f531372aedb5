// kScpiErrorTable: the SCPI errors by row index.
//
// Every subsystem reports an error by the row's name here (eScpiErrorRow, e.g. kScpiErrorFirmwareError;
// an eSCPIErrorEvent carries one as well); the status objects (CScpiStatus) queue the row index, the
// error query turns it back into code and text. Each row names the status-bit row (kStatusBitRows)
// whose condition bit the error sets on the client that queues it, and whether the error is
// device-wide (queued in every client's error queue). Row 0 "No error" is never queued; row
// kScpiErrorQueueOverflow replaces the newest entry of a full queue. The rows are written once, in
// TORVEX_SCPI_ERROR_ROWS; the table, its count and the row names are all made from that list. A text
// that two rows share is told apart by the code in the name. Constant data: read from any thread
// without a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "status/ScpiStatusBitRows.h"

namespace Torvex {

struct ScpiErrorRow {
  std::int16_t code;        // SCPI error code
  std::uint32_t statusRow;  // row of kStatusBitRows set when the error is queued
  std::uint8_t deviceWide;  // 1: queued in every client
  const char* text;
};

// X(name, code, status row, device-wide, text), one row per error, in row order.
// clang-format off
#define TORVEX_SCPI_ERROR_ROWS(X) \
  X(kScpiErrorNoError,                                  0,    kStatusRowNone,             0, "No error")  /*   0 */ \
  X(kScpiErrorCommandError,                             -100, kStatusRowCommandError,     0, "Command error")  /*   1 */ \
  X(kScpiErrorInvalidCharacter,                         -101, kStatusRowCommandError,     0, "Invalid character")  /*   2 */ \
  X(kScpiErrorSyntaxError,                              -102, kStatusRowCommandError,     0, "Syntax error")  /*   3 */ \
  X(kScpiErrorInvalidSeparator,                         -103, kStatusRowCommandError,     0, "Invalid separator")  /*   4 */ \
  X(kScpiErrorDataTypeError,                            -104, kStatusRowCommandError,     0, "Data type error")  /*   5 */ \
  X(kScpiErrorGetNotAllowed,                            -105, kStatusRowCommandError,     0, "GET not allowed")  /*   6 */ \
  X(kScpiErrorParameterNotAllowed,                      -108, kStatusRowCommandError,     0, "Parameter not allowed")  /*   7 */ \
  X(kScpiErrorMissingParameter,                         -109, kStatusRowCommandError,     0, "Missing parameter")  /*   8 */ \
  X(kScpiErrorCommandHeaderError,                       -110, kStatusRowCommandError,     0, "Command header error")  /*   9 */ \
  X(kScpiErrorHeaderSeparatorError,                     -111, kStatusRowCommandError,     0, "Header separator error")  /*  10 */ \
  X(kScpiErrorProgramMnemonicTooLong,                   -112, kStatusRowCommandError,     0, "Program mnemonic too long")  /*  11 */ \
  X(kScpiErrorUndefinedHeader,                          -113, kStatusRowCommandError,     0, "Undefined header")  /*  12 */ \
  X(kScpiErrorHeaderSuffixOutOfRange,                   -114, kStatusRowCommandError,     0, "Header suffix out of range")  /*  13 */ \
  X(kScpiErrorUnexpectedNumberOfParameters,             -115, kStatusRowCommandError,     0, "Unexpected number of parameters")  /*  14 */ \
  X(kScpiErrorNumericDataError,                         -120, kStatusRowCommandError,     0, "Numeric data error")  /*  15 */ \
  X(kScpiErrorInvalidCharacterInNumber,                 -121, kStatusRowCommandError,     0, "Invalid character in number")  /*  16 */ \
  X(kScpiErrorExponentTooLarge,                         -123, kStatusRowCommandError,     0, "Exponent too large")  /*  17 */ \
  X(kScpiErrorTooManyDigits,                            -124, kStatusRowCommandError,     0, "Too many digits")  /*  18 */ \
  X(kScpiErrorNumericDataNotAllowed,                    -128, kStatusRowCommandError,     0, "Numeric data not allowed")  /*  19 */ \
  X(kScpiErrorSuffixError,                              -130, kStatusRowCommandError,     0, "Suffix error")  /*  20 */ \
  X(kScpiErrorInvalidSuffix,                            -131, kStatusRowCommandError,     0, "Invalid suffix")  /*  21 */ \
  X(kScpiErrorSuffixTooLong,                            -134, kStatusRowCommandError,     0, "Suffix too long")  /*  22 */ \
  X(kScpiErrorSuffixNotAllowed,                         -138, kStatusRowCommandError,     0, "Suffix not allowed")  /*  23 */ \
  X(kScpiErrorCharacterDataError,                       -140, kStatusRowCommandError,     0, "Character data error")  /*  24 */ \
  X(kScpiErrorInvalidCharacterData,                     -141, kStatusRowCommandError,     0, "Invalid character data")  /*  25 */ \
  X(kScpiErrorCharacterDataTooLong,                     -144, kStatusRowCommandError,     0, "Character data too long")  /*  26 */ \
  X(kScpiErrorCharacterDataNotAllowed,                  -148, kStatusRowCommandError,     0, "Character data not allowed")  /*  27 */ \
  X(kScpiErrorStringDataError,                          -150, kStatusRowCommandError,     0, "String data error")  /*  28 */ \
  X(kScpiErrorInvalidStringData,                        -151, kStatusRowCommandError,     0, "Invalid string data")  /*  29 */ \
  X(kScpiErrorStringDataNotAllowed,                     -158, kStatusRowCommandError,     0, "String data not allowed")  /*  30 */ \
  X(kScpiErrorBlockDataError,                           -160, kStatusRowCommandError,     0, "Block data error")  /*  31 */ \
  X(kScpiErrorInvalidBlockData,                         -161, kStatusRowCommandError,     0, "Invalid block data")  /*  32 */ \
  X(kScpiErrorBlockDataNotAllowed,                      -168, kStatusRowCommandError,     0, "Block data not allowed")  /*  33 */ \
  X(kScpiErrorExpressionError170,                       -170, kStatusRowCommandError,     0, "Expression error")  /*  34 */ \
  X(kScpiErrorInvalidExpression,                        -171, kStatusRowCommandError,     0, "Invalid expression")  /*  35 */ \
  X(kScpiErrorExpressionDataNotAllowed,                 -178, kStatusRowCommandError,     0, "Expression data not allowed")  /*  36 */ \
  X(kScpiErrorMacroError180,                            -180, kStatusRowCommandError,     0, "Macro error")  /*  37 */ \
  X(kScpiErrorInvalidOutsideMacroDefinition,            -181, kStatusRowCommandError,     0, "Invalid outside macro definition")  /*  38 */ \
  X(kScpiErrorInvalidInsideMacroDefinition,             -183, kStatusRowCommandError,     0, "Invalid inside macro definition")  /*  39 */ \
  X(kScpiErrorMacroParameterError184,                   -184, kStatusRowCommandError,     0, "Macro parameter error")  /*  40 */ \
  X(kScpiErrorExecutionError,                           -200, kStatusRowExecutionError,   1, "Execution error")  /*  41 */ \
  X(kScpiErrorInvalidWhileInLocal,                      -201, kStatusRowExecutionError,   1, "Invalid while in local")  /*  42 */ \
  X(kScpiErrorSettingsLostDueToRtl,                     -202, kStatusRowExecutionError,   0, "Settings lost due to rtl")  /*  43 */ \
  X(kScpiErrorCommandProtected,                         -203, kStatusRowExecutionError,   1, "Command protected")  /*  44 */ \
  X(kScpiErrorTriggerError,                             -210, kStatusRowExecutionError,   1, "Trigger error")  /*  45 */ \
  X(kScpiErrorTriggerIgnored,                           -211, kStatusRowExecutionError,   1, "Trigger ignored")  /*  46 */ \
  X(kScpiErrorArmIgnored,                               -212, kStatusRowExecutionError,   1, "Arm ignored")  /*  47 */ \
  X(kScpiErrorInitIgnored,                              -213, kStatusRowExecutionError,   1, "Init ignored")  /*  48 */ \
  X(kScpiErrorTriggerDeadlock,                          -214, kStatusRowExecutionError,   1, "Trigger deadlock")  /*  49 */ \
  X(kScpiErrorArmDeadlock,                              -215, kStatusRowExecutionError,   1, "Arm deadlock")  /*  50 */ \
  X(kScpiErrorParameterError,                           -220, kStatusRowExecutionError,   1, "Parameter error")  /*  51 */ \
  X(kScpiErrorSettingsConflict,                         -221, kStatusRowExecutionError,   1, "Settings conflict")  /*  52 */ \
  X(kScpiErrorDataOutOfRange,                           -222, kStatusRowExecutionError,   1, "Data out of range")  /*  53 */ \
  X(kScpiErrorTooMuchData,                              -223, kStatusRowExecutionError,   1, "Too much data")  /*  54 */ \
  X(kScpiErrorIllegalParameterValue,                    -224, kStatusRowExecutionError,   1, "Illegal parameter value")  /*  55 */ \
  X(kScpiErrorOutOfMemory225,                           -225, kStatusRowExecutionError,   1, "Out of memory")  /*  56 */ \
  X(kScpiErrorListsNotSameLength,                       -226, kStatusRowExecutionError,   1, "Lists not same length")  /*  57 */ \
  X(kScpiErrorDataCorruptOrStale,                       -230, kStatusRowExecutionError,   1, "Data corrupt or stale")  /*  58 */ \
  X(kScpiErrorDataQuestionable,                         -231, kStatusRowExecutionError,   1, "Data questionable")  /*  59 */ \
  X(kScpiErrorInvalidFormat,                            -232, kStatusRowExecutionError,   1, "Invalid format")  /*  60 */ \
  X(kScpiErrorInvalidVersion,                           -233, kStatusRowExecutionError,   0, "Invalid version")  /*  61 */ \
  X(kScpiErrorHardwareError,                            -240, kStatusRowExecutionError,   1, "Hardware error")  /*  62 */ \
  X(kScpiErrorHardwareMissing,                          -241, kStatusRowExecutionError,   1, "Hardware missing")  /*  63 */ \
  X(kScpiErrorMassStorageError,                         -250, kStatusRowExecutionError,   1, "Mass storage error")  /*  64 */ \
  X(kScpiErrorMissingMassStorage,                       -251, kStatusRowExecutionError,   1, "Missing mass storage")  /*  65 */ \
  X(kScpiErrorMissingMedia,                             -252, kStatusRowExecutionError,   1, "Missing media")  /*  66 */ \
  X(kScpiErrorCorruptMedia,                             -253, kStatusRowExecutionError,   1, "Corrupt media")  /*  67 */ \
  X(kScpiErrorMediaFull,                                -254, kStatusRowExecutionError,   1, "Media full")  /*  68 */ \
  X(kScpiErrorDirectoryFull,                            -255, kStatusRowExecutionError,   1, "Directory full")  /*  69 */ \
  X(kScpiErrorFileNameNotFound,                         -256, kStatusRowExecutionError,   1, "File name not found")  /*  70 */ \
  X(kScpiErrorFileNameError,                            -257, kStatusRowExecutionError,   1, "File name error")  /*  71 */ \
  X(kScpiErrorMediaProtected,                           -258, kStatusRowExecutionError,   1, "Media protected")  /*  72 */ \
  X(kScpiErrorExpressionError260,                       -260, kStatusRowExecutionError,   0, "Expression error")  /*  73 */ \
  X(kScpiErrorMathErrorInExpression,                    -261, kStatusRowExecutionError,   0, "Math error in expression")  /*  74 */ \
  X(kScpiErrorMacroError270,                            -270, kStatusRowExecutionError,   0, "Macro error")  /*  75 */ \
  X(kScpiErrorMacroSyntaxError,                         -271, kStatusRowExecutionError,   0, "Macro syntax error")  /*  76 */ \
  X(kScpiErrorMacroExecutionError,                      -272, kStatusRowExecutionError,   0, "Macro execution error")  /*  77 */ \
  X(kScpiErrorIllegalMacroLabel,                        -273, kStatusRowExecutionError,   0, "Illegal macro label")  /*  78 */ \
  X(kScpiErrorMacroParameterError274,                   -274, kStatusRowExecutionError,   0, "Macro parameter error")  /*  79 */ \
  X(kScpiErrorMacroDefinitionTooLong,                   -275, kStatusRowExecutionError,   0, "Macro definition too long")  /*  80 */ \
  X(kScpiErrorMacroRecursionError,                      -276, kStatusRowExecutionError,   0, "Macro recursion error")  /*  81 */ \
  X(kScpiErrorMacroRedefinitionNotAllowed,              -277, kStatusRowExecutionError,   0, "Macro redefinition not allowed")  /*  82 */ \
  X(kScpiErrorMacroHeaderNotFound,                      -278, kStatusRowExecutionError,   0, "Macro header not found")  /*  83 */ \
  X(kScpiErrorProgramError,                             -280, kStatusRowExecutionError,   0, "Program error")  /*  84 */ \
  X(kScpiErrorCannotCreateProgram,                      -281, kStatusRowExecutionError,   0, "Cannot create program")  /*  85 */ \
  X(kScpiErrorIllegalProgramName,                       -282, kStatusRowExecutionError,   0, "Illegal program name")  /*  86 */ \
  X(kScpiErrorIllegalVariableName,                      -283, kStatusRowExecutionError,   0, "Illegal variable name")  /*  87 */ \
  X(kScpiErrorProgramCurrentlyRunning,                  -284, kStatusRowExecutionError,   0, "Program currently running")  /*  88 */ \
  X(kScpiErrorProgramSyntaxError,                       -285, kStatusRowExecutionError,   0, "Program syntax error")  /*  89 */ \
  X(kScpiErrorProgramRuntimeError,                      -286, kStatusRowExecutionError,   0, "Program runtime error")  /*  90 */ \
  X(kScpiErrorMemoryUseError,                           -290, kStatusRowExecutionError,   0, "Memory use error")  /*  91 */ \
  X(kScpiErrorOutOfMemory291,                           -291, kStatusRowExecutionError,   0, "Out of memory")  /*  92 */ \
  X(kScpiErrorReferencedNameDoesNotExist,               -292, kStatusRowExecutionError,   0, "Referenced name does not exist")  /*  93 */ \
  X(kScpiErrorReferencedNameAlreadyExists,              -293, kStatusRowExecutionError,   0, "Referenced name already exists")  /*  94 */ \
  X(kScpiErrorIncompatibleType,                         -294, kStatusRowExecutionError,   0, "Incompatible type")  /*  95 */ \
  X(kScpiErrorDeviceSpecificError,                      -300, kStatusRowDeviceError,      1, "Device-specific error")  /*  96 */ \
  X(kScpiErrorSystemError,                              -310, kStatusRowDeviceError,      1, "System error")  /*  97 */ \
  X(kScpiErrorMemoryError,                              -311, kStatusRowDeviceError,      1, "Memory error")  /*  98 */ \
  X(kScpiErrorPudMemoryLost,                            -312, kStatusRowDeviceError,      0, "PUD memory lost")  /*  99 */ \
  X(kScpiErrorCalibrationMemoryLost,                    -313, kStatusRowDeviceError,      0, "Calibration memory lost")  /* 100 */ \
  X(kScpiErrorSaveRecallMemoryLost,                     -314, kStatusRowDeviceError,      0, "Save/recall memory lost")  /* 101 */ \
  X(kScpiErrorConfigurationMemoryLost,                  -315, kStatusRowDeviceError,      1, "Configuration memory lost")  /* 102 */ \
  X(kScpiErrorStorageFault,                             -320, kStatusRowDeviceError,      1, "Storage fault")  /* 103 */ \
  X(kScpiErrorOutOfMemory321,                           -321, kStatusRowDeviceError,      0, "Out of memory")  /* 104 */ \
  X(kScpiErrorSelfTestFailed,                           -330, kStatusRowDeviceError,      1, "Self-test failed")  /* 105 */ \
  X(kScpiErrorCalibrationFailed,                        -340, kStatusRowDeviceError,      0, "Calibration failed")  /* 106 */ \
  X(kScpiErrorQueueOverflow,                            -350, kStatusRowDeviceError,      0, "Queue overflow")  /* 107 */ \
  X(kScpiErrorCommunicationError,                       -360, kStatusRowDeviceError,      0, "Communication error")  /* 108 */ \
  X(kScpiErrorParityErrorInProgramMessage,              -361, kStatusRowDeviceError,      0, "Parity error in program message")  /* 109 */ \
  X(kScpiErrorFramingErrorInProgramMessage,             -362, kStatusRowDeviceError,      0, "Framing error in program message")  /* 110 */ \
  X(kScpiErrorInputBufferOverrun,                       -363, kStatusRowDeviceError,      0, "Input buffer overrun")  /* 111 */ \
  X(kScpiErrorTimeOutError,                             -365, kStatusRowDeviceError,      1, "Time out error")  /* 112 */ \
  X(kScpiErrorQueryError,                               -400, kStatusRowQueryError,       0, "Query error")  /* 113 */ \
  X(kScpiErrorQueryInterrupted,                         -410, kStatusRowQueryError,       0, "Query INTERRUPTED")  /* 114 */ \
  X(kScpiErrorQueryUnterminated,                        -420, kStatusRowQueryError,       0, "Query UNTERMINATED")  /* 115 */ \
  X(kScpiErrorQueryDeadlocked,                          -430, kStatusRowQueryError,       0, "Query DEADLOCKED")  /* 116 */ \
  X(kScpiErrorQueryUnterminatedAfterIndefiniteResponse, -440, kStatusRowQueryError,       0, "Query UNTERMINATED after indefinite response")  /* 117 */ \
  X(kScpiErrorPowerOn,                                  -500, kStatusRowPowerOn,          1, "Power on")  /* 118 */ \
  X(kScpiErrorUserRequest,                              -600, kStatusRowUserRequest,      0, "User request")  /* 119 */ \
  X(kScpiErrorRequestControl,                           -700, kStatusRowRequestControl,   0, "Request control")  /* 120 */ \
  X(kScpiErrorOperationComplete,                        -800, kStatusRowOperationComplete, 0, "Operation complete")  /* 121 */ \
  X(kScpiErrorInvalidValueInList,                       101,  kStatusRowDeviceError,      0, "Invalid value in list")  /* 122 */ \
  X(kScpiErrorWrongUnitsForParameter,                   102,  kStatusRowDeviceError,      0, "Wrong units for parameter")  /* 123 */ \
  X(kScpiErrorInvalidNumberOfDimensionsInChannel,       103,  kStatusRowDeviceError,      0, "Invalid number of dimensions in channel")  /* 124 */ \
  X(kScpiErrorErrorInChannelList,                       104,  kStatusRowDeviceError,      0, "Error in channel list")  /* 125 */ \
  X(kScpiErrorNumericSuffixInvalid,                     105,  kStatusRowDeviceError,      0, "Numeric suffix invalid")  /* 126 */ \
  X(kScpiErrorFirmwareError,                            200,  kStatusRowDeviceError,      1, "Firmware error")  /* 127 */ \
  X(kScpiErrorNoProbe,                                  201,  kStatusRowDeviceError,      1, "No probe")  /* 128 */ \
  X(kScpiErrorNoSelectedChannel,                        202,  kStatusRowDeviceError,      1, "No selected channel")  /* 129 */ \
  X(kScpiErrorInvalidChannelList,                       203,  kStatusRowDeviceError,      1, "Invalid Channel List")  /* 130 */ \
  X(kScpiErrorDataNotAllAvailable,                      204,  kStatusRowDeviceError,      0, "Data not all available")  /* 131 */ \
  X(kScpiErrorTopologyChanged,                          205,  kStatusRowDeviceError,      1, "Topology Changed")  /* 132 */
// clang-format on

// The row names; the value of each is its row index.
enum eScpiErrorRow : std::uint32_t {
#define TORVEX_SCPI_ERROR_NAME(name, c, s, d, t) name,
  TORVEX_SCPI_ERROR_ROWS(TORVEX_SCPI_ERROR_NAME)
#undef TORVEX_SCPI_ERROR_NAME
      kScpiErrorRowEnd
};

inline constexpr std::size_t kScpiErrorTableRows = kScpiErrorRowEnd;

// {code, status row, device-wide, text}, one row per error, by row index.
inline constexpr ScpiErrorRow kScpiErrorTable[] = {
#define TORVEX_SCPI_ERROR_DATA(name, c, s, d, t) {c, s, d, t},
    TORVEX_SCPI_ERROR_ROWS(TORVEX_SCPI_ERROR_DATA)
#undef TORVEX_SCPI_ERROR_DATA
};

static_assert(std::size(kScpiErrorTable) == kScpiErrorTableRows, "one row per row name");
static_assert(kScpiErrorTableRows == 133, "the error table has 133 rows");

// Each name indexes its own row (the code given beside the name is the row's).
#define TORVEX_SCPI_ERROR_CHECK(name, c, s, d, t) static_assert(kScpiErrorTable[name].code == (c), #name);
TORVEX_SCPI_ERROR_ROWS(TORVEX_SCPI_ERROR_CHECK)
#undef TORVEX_SCPI_ERROR_CHECK

// Every status row named by an error exists.
constexpr bool ScpiErrorStatusRowsValid() {
  for (const ScpiErrorRow& row : kScpiErrorTable) {
    if (row.statusRow >= kStatusBitRowCount) return false;
  }
  return true;
}
static_assert(ScpiErrorStatusRowsValid());

}  // namespace Torvex
