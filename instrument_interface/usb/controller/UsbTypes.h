// Shared vocabulary of the USB device stack: internal status codes, endpoint kinds, speed codes and the
// setup packet. The events a controller driver reports upwards are in UsbControllerEvents.h.
//
// Every operation that takes a status word last does nothing when it is not 0 on entry, unless its
// comment says otherwise.
#pragma once

#include <cstdint>

#include "engine/DoVovuriStatus.h"

// Internal status codes. A failure that the engine's words already name uses the engine's name
// (kStatusOutOfMemory, kStatusInterfaceAlreadyBound for a second connect, kStatusSettingsInvalid for
// inconsistent power settings, kStatusNotReported for a driver fault); these are the USB layer's own.
constexpr std::uint32_t kUsbStatusNotSupported = 0x54372;
constexpr std::uint32_t kUsbStatusDescriptorNotFound = 0x543A1;  // request error
constexpr std::uint32_t kUsbStatusNoSuchEndpoint = 0x543A2;      // request error
constexpr std::uint32_t kUsbStatusEndpointHeld = 0x543A3;        // request error
constexpr std::uint32_t kUsbStatusBadRequest = 0x543A4;          // request error

inline bool UsbIsRequestError(std::uint32_t status) {
  return status >= kUsbStatusDescriptorNotFound && status <= kUsbStatusBadRequest;
}

// Endpoint kinds.
enum : std::int32_t {
  kUsbKindControl = 0,
  kUsbKindBulkIn = 1,
  kUsbKindBulkOut = 2,
  kUsbKindInterruptIn = 3,
};
constexpr std::int32_t kUsbKindCount = 4;

// Speed codes.
enum : std::uint32_t {
  kUsbSpeedFull = 2,
  kUsbSpeedHigh = 3,
};

// Completion results.
enum : std::uint32_t {
  kUsbResultCompleted = 1,
  kUsbResultAborted = 3,
  kUsbResultOvertaken = 4,
};

struct UsbSetupPacket {
  std::uint8_t bmRequestType;
  std::uint8_t bRequest;
  std::uint16_t wValue;
  std::uint16_t wIndex;
  std::uint16_t wLength;
};
