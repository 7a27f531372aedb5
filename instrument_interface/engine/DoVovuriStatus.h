// Status words of the instrument-interface layer (engine, plug-ins, transports).
//
// Every internal operation reports through a 32-bit status word passed by pointer as its last
// argument: 0 is success, anything else an error. The layer's own codes lie in 0x54300 to 0x543FF; the
// operating-system classes (COS*) report the small codes 5 to 8 in the same word. A caller sets its
// word to kStatusNotReported before an internal call, so a callee that never writes it is seen as a
// failure.
//
// The operations the application calls on its device object turn an internal word into a public code
// with DoVovuriPublicStatus: the low byte selects a row of DoVovuriStatusTable (256 rows) and the row's
// code is the public one. The table and the mapping are constant; any thread may use them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The public codes, one row each: name, code, the sentence of its text. The text of a code is its
// name, a colon, a blank and the sentence.
#define DOVOVURI_PUBLIC_CODES(X) \
  X(DOVOVURI_STATUS_HARDWARE_NOT_FOUND, 0x54300, "The specified hardware was not found.") \
  X(DOVOVURI_STATUS_HARDWARE_INITIALIZATION_FAULT, 0x54301, "The specified hardware could not be initialized.") \
  X(DOVOVURI_STATUS_HARDWARE_ALREADY_IN_USE, 0x54306, "The hardware is already in use.") \
  X(DOVOVURI_STATUS_HARDWARE_ERROR, 0x5430F, "There was a hardware error.") \
  X(DOVOVURI_STATUS_DEVICE_ALREADY_EXISTS, 0x54311, "The specified device already exists.") \
  X(DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID, 0x54312, "The device settings are invalid.") \
  X(DOVOVURI_STATUS_DEVICE_ALREADY_ENABLED, 0x54317, "The specified device is already enabled.") \
  X(DOVOVURI_STATUS_DEVICE_NOT_ENABLED, 0x54318, "The specified device is not enabled.") \
  X(DOVOVURI_STATUS_DEVICE_ERROR, 0x5431F, "There was a device error.") \
  X(DOVOVURI_STATUS_INPUT_QUEUE_ALREADY_ENABLED, 0x54320, "The input queue is already enabled.") \
  X(DOVOVURI_STATUS_RESPONSE_MSG_ALREADY_QUEUED, 0x54323, "A response message is already queued.") \
  X(DOVOVURI_STATUS_IO_ERROR, 0x5432F, "There was an I/O error.") \
  X(DOVOVURI_STATUS_DEADLOCKED, 0x54330, "The device is deadlocked.") \
  X(DOVOVURI_STATUS_DEVICE_CLEAR_ACTIVE, 0x54331, "A device clear event is active.") \
  X(DOVOVURI_STATUS_END_MSG_NOT_RECEIVED, 0x54332, "An end-of-message has not been received.") \
  X(DOVOVURI_STATUS_MSG_REQUESTED, 0x54333, "A response message has been requested.") \
  X(DOVOVURI_STATUS_NEW_MSG_NOT_RECEIVED, 0x54334, "A new message has not been received.") \
  X(DOVOVURI_STATUS_QUERY_NOT_DETECTED, 0x54335, "A query has not been detected.") \
  X(DOVOVURI_STATUS_MSG_NOT_UNTERMINATED, 0x54336, "An unterminated condition has not been detected.") \
  X(DOVOVURI_STATUS_RELAXED_MODE_ALREADY_ENABLED, 0x54337, "Relaxed mode output queue rules were already enabled.") \
  X(DOVOVURI_STATUS_RELAXED_MODE_ALREADY_DISABLED, 0x54338, "Relaxed mode output queue rules were already disabled.") \
  X(DOVOVURI_STATUS_MEP_ERROR, 0x5433F, "There was a Message Exchange Protocol error.") \
  X(DOVOVURI_STATUS_MSG_BUFFER_INVALID, 0x54342, "The specified buffer is invalid.") \
  X(DOVOVURI_STATUS_MSG_BUFFER_NOT_ON_32BIT_BOUNDARY, 0x54343, "The specified buffer is not 32-bit aligned.") \
  X(DOVOVURI_STATUS_MSG_BUFFER_SIZE_INVALID, 0x54344, "The specified buffer has an invalid size.") \
  X(DOVOVURI_STATUS_MULTI_THREAD_NOT_SUPPORTED, 0x54346, "Multiple threads are not supported.") \
  X(DOVOVURI_STATUS_PARAMETER_ERROR, 0x5434F, "There was an error with a parameter.") \
  X(DOVOVURI_STATUS_EVENT_MSG_LOOP_ENABLED, 0x54350, "The event message loop is enabled.") \
  X(DOVOVURI_STATUS_EVENT_ALREADY_ENABLED, 0x54352, "The specified event is already enabled.") \
  X(DOVOVURI_STATUS_EVENT_MSG_UNAVAILABLE, 0x54356, "An event message is unavailable.") \
  X(DOVOVURI_STATUS_EVENT_MSG_ABORTED, 0x54357, "The event message loop was aborted.") \
  X(DOVOVURI_STATUS_EVENT_ERROR, 0x5435F, "There was an event error.") \
  X(DOVOVURI_STATUS_INTERNAL_INCOMPATIBILITY, 0x54362, \
    "The versions of the internal DO-Vovuri components are incompatible with each other.") \
  X(DOVOVURI_STATUS_ENGINE_INCOMPATIBILITY, 0x54363, \
    "The version of the DO-Vovuri engine is incompatible with your application.") \
  X(DOVOVURI_STATUS_PLUGIN_INCOMPATIBILITY, 0x54364, \
    "The version of the DO-Vovuri plug-in is incompatible with your application.") \
  X(DOVOVURI_STATUS_UNABLE_TO_LOAD_ENGINE, 0x54365, "Unable to load the specified DO-Vovuri engine.") \
  X(DOVOVURI_STATUS_UNABLE_TO_LOAD_PLUGIN, 0x54366, "Unable to load the specified DO-Vovuri plug-in.") \
  X(DOVOVURI_STATUS_COMPONENT_ERROR, 0x5436F, "There was a component error.") \
  X(DOVOVURI_STATUS_GPIB_PLUGIN_ERROR, 0x5438F, "There was a GPIB plug-in error.") \
  X(DOVOVURI_STATUS_PORTMAPPER_NOT_PRESENT, 0x54393, "An RPC portmapper was not found on the system.") \
  X(DOVOVURI_STATUS_SOCKET_ERROR, 0x54394, "A socket error was detected.") \
  X(DOVOVURI_STATUS_TCPIP_PLUGIN_ERROR, 0x5439F, "There was a TCP/IP plug-in error.") \
  X(DOVOVURI_STATUS_USB_PLUGIN_ERROR, 0x543AF, "There was a USB plug-in error.") \
  X(DOVOVURI_STATUS_INSUFFICIENT_MEMORY, 0x543F0, "An out-of-memory condition was detected.") \
  X(DOVOVURI_STATUS_OUT_OF_RESOURCES, 0x543F1, "There are not enough resources to complete the operation.") \
  X(DOVOVURI_STATUS_UNKNOWN, 0x543FE, "There was an unknown error.") \
  X(DOVOVURI_STATUS_DRIVER_FAULT, 0x543FF, "There was a driver error.")

#define DOVOVURI_DECLARE_PUBLIC_CODE(name, code, sentence) constexpr std::uint32_t name = code;
DOVOVURI_PUBLIC_CODES(DOVOVURI_DECLARE_PUBLIC_CODE)
#undef DOVOVURI_DECLARE_PUBLIC_CODE

// One row of the public table: the public code and its text.
struct DoVovuriStatusRow {
  std::uint32_t code;
  const char* text;
};

constexpr std::size_t kDoVovuriStatusRowCount = 256;
extern const std::array<DoVovuriStatusRow, kDoVovuriStatusRowCount> DoVovuriStatusTable;

// The public code of an internal status word: 0 for 0, else the code of the row its low byte selects
// (no other bit takes part, so the operating-system codes map by their value as well).
std::uint32_t DoVovuriPublicStatus(std::uint32_t internal_status);

// The text of a public code (its name and sentence), or null for a value that is no public code.
const char* DoVovuriStatusText(std::uint32_t public_code);

// --- internal codes of the engine ------------------------------------------------------------------

constexpr std::uint32_t kStatusSuccess = 0;
constexpr std::uint32_t kStatusNoPhysicalInterface = 0x54300;      // the engine device has none
constexpr std::uint32_t kStatusInterfaceNotEnabled = 0x54303;      // the physical interface is not enabled
constexpr std::uint32_t kStatusInterfaceAlreadyEnabled = 0x54304;  // engine enable of an enabled interface
constexpr std::uint32_t kStatusDeviceNotFound = 0x54310;           // handle or interface not registered
constexpr std::uint32_t kStatusInterfaceAlreadyBound = 0x54311;    // interface bound to another device
constexpr std::uint32_t kStatusDeviceHasInterface = 0x54317;       // the device object already holds one
constexpr std::uint32_t kStatusInputBufferPosted = 0x54320;
constexpr std::uint32_t kStatusNoInputBuffer = 0x54321;
constexpr std::uint32_t kStatusNoResponseQueued = 0x54322;
constexpr std::uint32_t kStatusResponseQueued = 0x54323;
// Message exchange refusals.
constexpr std::uint32_t kStatusDeadlocked = 0x54330;
constexpr std::uint32_t kStatusDeviceClearActive = 0x54331;
constexpr std::uint32_t kStatusEndNotReceived = 0x54332;
constexpr std::uint32_t kStatusMessageRequested = 0x54333;
constexpr std::uint32_t kStatusNewMessageNotReceived = 0x54334;
constexpr std::uint32_t kStatusQueryNotDetected = 0x54335;
constexpr std::uint32_t kStatusNotUnterminated = 0x54336;
constexpr std::uint32_t kStatusRelaxedAlreadyEnabled = 0x54337;
constexpr std::uint32_t kStatusRelaxedAlreadyDisabled = 0x54338;
constexpr std::uint32_t kStatusNullPointer = 0x54341;
constexpr std::uint32_t kStatusBufferInvalid = 0x54342;      // null or empty
constexpr std::uint32_t kStatusBufferNotAligned = 0x54343;   // not on a 4-byte boundary
constexpr std::uint32_t kStatusBufferSizeInvalid = 0x54344;  // neither 1 nor a multiple of 4
constexpr std::uint32_t kStatusEventInvalid = 0x54345;       // event id above 15, or an empty entry
constexpr std::uint32_t kStatusEventLoopRunning = 0x54350;
constexpr std::uint32_t kStatusEventAlreadyEnabled = 0x54352;
constexpr std::uint32_t kStatusEventQueueEmpty = 0x54354;
constexpr std::uint32_t kStatusEventQueueFull = 0x54355;
constexpr std::uint32_t kStatusEventWaitTimedOut = 0x54356;
constexpr std::uint32_t kStatusEventWaitAborted = 0x54357;
constexpr std::uint32_t kStatusFactoryRegistered = 0x54360;
constexpr std::uint32_t kStatusNoFactory = 0x54361;
constexpr std::uint32_t kStatusInternalIncompatible = 0x54362;
constexpr std::uint32_t kStatusEngineIncompatible = 0x54363;
constexpr std::uint32_t kStatusSettingsInvalid = 0x54370;
constexpr std::uint32_t kStatusOutOfMemory = 0x543F0;
constexpr std::uint32_t kStatusNotReported = 0x543FF;  // the initial value of every status word

// --- codes of the operating-system classes ---------------------------------------------------------

constexpr std::uint32_t kOsStatusNoMemory = 5;     // a heap allocation failed
constexpr std::uint32_t kOsStatusTimedOut = 6;     // a wait timed out, or a connect was interrupted
constexpr std::uint32_t kOsStatusSocketError = 7;  // a socket call failed, or there is no socket
constexpr std::uint32_t kOsStatusNotStarted = 8;   // thread not started, object not built, unsupported

// Other reserved values of the layer.
constexpr std::uint8_t kEventCodeNone = 127;           // an event entry that holds no event
constexpr std::uint32_t kDeviceHandleBase = 0xBA5700;  // a device handle is slot index + this
