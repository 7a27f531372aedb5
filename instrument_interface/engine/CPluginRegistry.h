// CPluginRegistry: the transport plug-ins' factories by plug-in id (1 VXI-11, 2 USB). Started and
// stopped by the engine front (DoVovuriEngine.h); every operation runs under the registry's mutex, also
// the factory's CreateInterface and DestroyInterface.
#pragma once

#include <cstdint>

#include "engine/COSMutex.h"
#include "engine/CPhysicalInterfaceFactory.h"

class CPluginRegistry {
 public:
  CPluginRegistry();
  ~CPluginRegistry();
  CPluginRegistry(const CPluginRegistry&) = delete;
  CPluginRegistry& operator=(const CPluginRegistry&) = delete;

  bool IsFailed() const { return failed_ != 0; }

  // kStatusNullPointer for a null factory, kStatusFactoryRegistered when the id is taken,
  // kStatusEngineIncompatible for a version outside the family of kComponentVersion.
  void RegisterPlugin(std::uint32_t plugin_id, std::uint32_t version, CPhysicalInterfaceFactory* factory,
                      std::uint32_t* status);
  void UnregisterPlugin(std::uint32_t plugin_id);
  // kStatusNoFactory and null when no factory has the descriptor's plug-in id.
  CPhysicalInterface* CreateInterface(const DoVovuriDeviceDescriptor* descriptor, std::uint32_t context,
                                      std::uint32_t* status);
  // Through the factory of the interface's plug-in id; kStatusNoFactory when there is none.
  void DestroyInterface(CPhysicalInterface* physical_interface, std::uint32_t* status);

 private:
  struct Entry {
    std::uint32_t plugin_id;
    CPhysicalInterfaceFactory* factory;
    Entry* next;
  };
  CPhysicalInterfaceFactory* Find(std::uint32_t plugin_id) const;

  COSMutex mutex_;
  std::uint8_t failed_ = 1;
  Entry* head_ = nullptr;
};
