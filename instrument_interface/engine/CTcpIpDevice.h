// CTcpIpDevice: the application's device over VXI-11. A host object derives from it, overrides the
// event operations of C4882Device and enables it with a device name (or none: the transport chooses).
// Enable and the destructor come from the application's threads, as the other operations.
#pragma once

#include <cstdint>

#include "engine/C4882Device.h"
#include "engine/DoVovuriDeviceSettings.h"

class CTcpIpDevice : public virtual C4882Device {
 public:
  ~CTcpIpDevice() override;
  // name: 1 to 15 characters, or null to let the transport choose.
  std::uint32_t Enable(std::uint32_t context, const char* name, std::uint8_t start_event_loop);
};
