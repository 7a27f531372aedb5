// Feeds bytes to the usbredir bridge's reading of device and configuration descriptors (what a
// device on the board's USB port answers): first byte chooses which, the rest is the descriptor.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/usb_redir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  sim::UsbRedirDeviceInfo info;
  std::string error;
  if ((data[0] & 1) == 0) {
    sim::ParseUsbDeviceDescriptor(data + 1, size - 1, &info, &error);
  } else if (sim::ParseUsbConfiguration(data + 1, size - 1, &info, &error)) {
    // What was kept must respect the limits the bridge relies on.
    if (info.interfaces.size() > sim::UsbRedirDeviceInfo::kMaxInterfaces) __builtin_trap();
    if (info.endpoints.size() > sim::UsbRedirDeviceInfo::kMaxEndpoints) __builtin_trap();
    for (const auto& e : info.endpoints) {
      if ((e.address & 0x0F) == 0 || (e.address & 0x70) != 0 || e.max_packet > 0x7FF) __builtin_trap();
    }
  }
  return 0;
}
