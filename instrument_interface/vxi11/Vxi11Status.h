// Status words of the VXI-11 layer, each named once, and the VXI-11 error code each one answers with.
//
// Words the engine already names (engine/DoVovuriStatus.h) are used under the engine's names:
// kStatusSuccess, kStatusInterfaceNotEnabled (interface not enabled), kStatusDeviceNotFound (device
// name unknown or disabled), kStatusInterfaceAlreadyBound (a name registered twice), kStatusOutOfMemory
// and kStatusNotReported (a failure with no code of its own: a wait or a send that failed). The words
// below are the link side's own; those that share a public code take its value from the public row.
#pragma once

#include <cstdint>

#include "engine/DoVovuriStatus.h"

// The plug-in descriptor's interface version is not the one this plug-in serves.
constexpr std::uint32_t kVxi11StatusIncompatible = DOVOVURI_STATUS_PLUGIN_INCOMPATIBILITY;
// An interface could not be constructed.
constexpr std::uint32_t kVxi11StatusConstructFailed = DOVOVURI_STATUS_HARDWARE_INITIALIZATION_FAULT;
// An alias already taken, or equal to the interface's own name.
constexpr std::uint32_t kVxi11StatusNameInvalid = DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID;
// device_lock refused: another link still owns the lock when the time is up, or the lock manager is off.
constexpr std::uint32_t kVxi11StatusLockRefused = 0x54315;
// device_unlock of a link that does not hold the lock.
constexpr std::uint32_t kVxi11StatusNotLocked = 0x54316;
// A wait ran out of its time.
constexpr std::uint32_t kVxi11StatusTimedOut = 0x54324;
// The link's response was discarded (its read was aborted or the response could not be kept).
constexpr std::uint32_t kVxi11StatusResponseLost = DOVOVURI_STATUS_IO_ERROR;
// A parameter out of range, e.g. an SRQ handle above 40 bytes.
constexpr std::uint32_t kVxi11StatusBadParameter = DOVOVURI_STATUS_PARAMETER_ERROR;
// An unknown link, or a link of another connection.
constexpr std::uint32_t kVxi11StatusNoSuchLink = 0x54390;
// No interrupt channel (or core channel) is established for the connection.
constexpr std::uint32_t kVxi11StatusChannelNotEstablished = 0x54391;
// create_intr_chan while the connection already has an interrupt channel.
constexpr std::uint32_t kVxi11StatusChannelAlreadyEstablished = 0x54392;
// No portmapper answers on its port.
constexpr std::uint32_t kVxi11StatusPortMapperNotPresent = DOVOVURI_STATUS_PORTMAPPER_NOT_PRESENT;
// Any other socket failure.
constexpr std::uint32_t kVxi11StatusSocketError = DOVOVURI_STATUS_SOCKET_ERROR;
// trigger / remote / local, or SRQ, not enabled for the interface.
constexpr std::uint32_t kVxi11StatusNotSupported = 0x54395;
// device_abort of the operation, or the interface went away.
constexpr std::uint32_t kVxi11StatusAborted = 0x54396;

// One row of the map from a status word to the VXI-11 error it is answered with.
struct Vxi11ErrorRow {
  std::uint32_t status;
  std::uint32_t error;
};

// Words not in the list answer error 3 (device not accessible).
constexpr Vxi11ErrorRow kVxi11ErrorRows[] = {
    {kStatusSuccess, 0},
    {kStatusDeviceNotFound, 21},
    {kVxi11StatusLockRefused, 11},
    {kVxi11StatusNotLocked, 12},
    {kVxi11StatusTimedOut, 15},
    {kVxi11StatusResponseLost, 17},
    {kVxi11StatusBadParameter, 5},
    {kVxi11StatusNoSuchLink, 4},
    {kVxi11StatusChannelNotEstablished, 6},
    {kVxi11StatusChannelAlreadyEstablished, 29},
    {kVxi11StatusNotSupported, 8},
    {kVxi11StatusAborted, 23},
    {kStatusOutOfMemory, 9},
};
constexpr std::uint32_t kVxi11ErrorDeviceNotAccessible = 3;
