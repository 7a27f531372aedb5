// The descriptor reading of the usbredir bridge: built with or without the protocol library, so the
// fuzz target and the tests of the reader need nothing else.
#include <algorithm>
#include <set>

#include "sim/usb_redir.h"

namespace sim {

namespace {

constexpr std::uint8_t kDescriptorDevice = 1;
constexpr std::uint8_t kDescriptorConfiguration = 2;
constexpr std::uint8_t kDescriptorInterface = 4;
constexpr std::uint8_t kDescriptorEndpoint = 5;

std::uint16_t Word(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

bool Fail(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
  return false;
}

}  // namespace

bool ParseUsbDeviceDescriptor(const std::uint8_t* data, std::size_t size, UsbRedirDeviceInfo* info,
                              std::string* error) {
  if (data == nullptr || size < 8) return Fail(error, "device descriptor shorter than 8 bytes");
  if (data[1] != kDescriptorDevice) return Fail(error, "not a device descriptor");
  const std::uint8_t max_packet0 = data[7];
  if (max_packet0 != 8 && max_packet0 != 16 && max_packet0 != 32 && max_packet0 != 64) {
    return Fail(error, "bMaxPacketSize0 " + std::to_string(max_packet0) + " is not 8, 16, 32 or 64");
  }
  if (size < 18) {
    info->max_packet0 = max_packet0;
    return true;
  }
  if (data[0] < 18) return Fail(error, "device descriptor's bLength below 18");
  info->max_packet0 = max_packet0;
  info->device_class = data[4];
  info->device_subclass = data[5];
  info->device_protocol = data[6];
  info->vendor_id = Word(data + 8);
  info->product_id = Word(data + 10);
  info->device_release = Word(data + 12);
  return true;
}

bool ParseUsbConfiguration(const std::uint8_t* data, std::size_t size, UsbRedirDeviceInfo* info, std::string* error) {
  if (data == nullptr || size < 9) return Fail(error, "configuration shorter than 9 bytes");
  if (data[0] < 9 || data[1] != kDescriptorConfiguration) return Fail(error, "not a configuration descriptor");
  const std::size_t total = Word(data + 2);
  if (total < 9 || total > size) return Fail(error, "wTotalLength " + std::to_string(total) + " does not match");
  std::vector<UsbRedirDeviceInfo::Interface> interfaces;
  std::vector<UsbRedirDeviceInfo::Endpoint> endpoints;
  std::set<std::uint8_t> seen_endpoints;
  std::set<std::uint8_t> seen_interfaces;
  bool in_alt0 = false;
  bool any_interface = false;
  std::uint8_t current = 0;
  for (std::size_t at = data[0]; at < total;) {
    const std::size_t left = total - at;
    if (left < 2) return Fail(error, "a descriptor header cut short at byte " + std::to_string(at));
    const std::size_t length = data[at];
    const std::uint8_t type = data[at + 1];
    if (length < 2 || length > left) {
      return Fail(error, "a descriptor of length " + std::to_string(length) + " at byte " + std::to_string(at));
    }
    const std::uint8_t* d = data + at;
    if (type == kDescriptorInterface) {
      if (length < 9) return Fail(error, "interface descriptor shorter than 9 bytes");
      current = d[2];
      in_alt0 = d[3] == 0;
      any_interface = true;
      if (in_alt0) {
        if (!seen_interfaces.insert(current).second) {
          return Fail(error, "interface " + std::to_string(current) + " described twice");
        }
        if (interfaces.size() >= UsbRedirDeviceInfo::kMaxInterfaces) return Fail(error, "more than 32 interfaces");
        interfaces.push_back(UsbRedirDeviceInfo::Interface{current, d[5], d[6], d[7]});
      }
    } else if (type == kDescriptorEndpoint) {
      if (length < 7) return Fail(error, "endpoint descriptor shorter than 7 bytes");
      if (!any_interface) return Fail(error, "an endpoint outside any interface");
      if (in_alt0) {
        const std::uint8_t address = d[2];
        if ((address & 0x0F) == 0 || (address & 0x70) != 0) {
          return Fail(error, "endpoint address " + std::to_string(address) + " is not valid");
        }
        if (!seen_endpoints.insert(address).second) {
          return Fail(error, "endpoint " + std::to_string(address) + " described twice");
        }
        if (endpoints.size() >= UsbRedirDeviceInfo::kMaxEndpoints) return Fail(error, "more than 30 endpoints");
        const std::uint16_t max_packet = static_cast<std::uint16_t>(Word(d + 4) & 0x7FF);
        if (max_packet == 0 && (d[3] & 3) != 1) {
          return Fail(error, "endpoint " + std::to_string(address) + " with wMaxPacketSize 0");
        }
        endpoints.push_back(
            UsbRedirDeviceInfo::Endpoint{address, static_cast<std::uint8_t>(d[3] & 3), d[6], current, max_packet});
      }
    }
    at += length;
  }
  info->configuration_value = data[5];
  info->interfaces = std::move(interfaces);
  info->endpoints = std::move(endpoints);
  return true;
}

}  // namespace sim
