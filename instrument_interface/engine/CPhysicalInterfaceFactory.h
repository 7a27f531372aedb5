// CPhysicalInterfaceFactory: what a transport plug-in registers with the engine under its plug-in id.
// The engine asks it for a physical interface when a device of that plug-in is enabled, and hands the
// interface back when the device goes. Both calls come with the plug-in registry's mutex held: a
// factory must not call back into the registry.
#pragma once

#include <cstdint>

class CPhysicalInterface;

// The device descriptor an application device hands to the engine (32 bytes).
struct DoVovuriDeviceDescriptor {
  std::uint32_t size;               // kDeviceDescriptorSize
  std::uint32_t interface_version;  // kDeviceInterfaceVersion
  std::uint32_t transport;          // kDeviceTransportVxi11 or kDeviceTransportUsb
  std::uint32_t plugin_id;          // kPluginIdVxi11 or kPluginIdUsb
  char plugin_name[16];             // zero-filled
};
static_assert(sizeof(DoVovuriDeviceDescriptor) == 32, "the descriptor is 32 bytes");

constexpr std::uint32_t kDeviceDescriptorSize = 32;
constexpr std::uint32_t kDeviceTransportUsb = 0;
constexpr std::uint32_t kDeviceTransportVxi11 = 1;
constexpr std::uint32_t kDeviceInterfaceVersion = 0x01040000;
constexpr std::uint32_t kPluginIdVxi11 = 1;
constexpr std::uint32_t kPluginIdUsb = 2;
// Version of the engine and of both plug-ins; the registry takes only the 0x010600xx family.
constexpr std::uint32_t kComponentVersion = 0x01060000;

class CPhysicalInterfaceFactory {
 public:
  virtual ~CPhysicalInterfaceFactory() = default;
  // Null with a status when no interface can be made.
  virtual CPhysicalInterface* CreateInterface(const DoVovuriDeviceDescriptor* descriptor, std::uint32_t context,
                                              std::uint32_t* status) = 0;
  virtual void DestroyInterface(CPhysicalInterface* physical_interface) = 0;
};
