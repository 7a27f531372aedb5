#include "engine/CTcpIpDevice.h"

#include <cstring>

#include "engine/DoVovuriStatus.h"

CTcpIpDevice::~CTcpIpDevice() { TearDown(); }

std::uint32_t CTcpIpDevice::Enable(std::uint32_t context, const char* name, std::uint8_t start_event_loop) {
  DoVovuriVxi11Settings settings{};
  settings.size = sizeof(DoVovuriVxi11Settings);
  settings.valid = 1;
  settings.version = 1;
  if (name != nullptr) {
    const std::size_t length = std::strlen(name);
    if (length == 0 || length > 15) return DoVovuriPublicStatus(kStatusSettingsInvalid);
    std::memcpy(settings.device_name, name, length);
    settings.name_given = 1;
  }
  if (settings.valid == 0) return DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID;
  const DoVovuriDeviceDescriptor descriptor = DeviceDescriptor(kDeviceTransportVxi11, kPluginIdVxi11, "DoROra11");
  return C4882Device::Enable(&descriptor, context, &settings, start_event_loop);
}
