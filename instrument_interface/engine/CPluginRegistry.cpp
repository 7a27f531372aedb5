#include "engine/CPluginRegistry.h"

#include <new>

#include "engine/CPhysicalInterface.h"
#include "engine/DoVovuriStatus.h"

CPluginRegistry::CPluginRegistry() {
  mutex_.Init();
  failed_ = mutex_.IsFailed() ? 1 : 0;
}

CPluginRegistry::~CPluginRegistry() {
  while (head_ != nullptr) {
    Entry* next = head_->next;
    delete head_;
    head_ = next;
  }
  if (!mutex_.IsFailed()) mutex_.Destroy();
}

CPhysicalInterfaceFactory* CPluginRegistry::Find(std::uint32_t plugin_id) const {
  for (Entry* entry = head_; entry != nullptr; entry = entry->next) {
    if (entry->plugin_id == plugin_id) return entry->factory;
  }
  return nullptr;
}

void CPluginRegistry::RegisterPlugin(std::uint32_t plugin_id, std::uint32_t version, CPhysicalInterfaceFactory* factory,
                                     std::uint32_t* status) {
  std::uint32_t lock_status = kStatusNotReported;
  if (failed_ != 0 || !mutex_.Lock(&lock_status)) {
    *status = kStatusNotReported;
    return;
  }
  if (factory == nullptr) {
    *status = kStatusNullPointer;
  } else if (Find(plugin_id) != nullptr) {
    *status = kStatusFactoryRegistered;
  } else if ((version >> 8) != (kComponentVersion >> 8)) {
    *status = kStatusEngineIncompatible;
  } else {
    Entry* entry = new (std::nothrow) Entry{plugin_id, factory, head_};
    if (entry == nullptr) {
      *status = kStatusOutOfMemory;
    } else {
      head_ = entry;
      *status = kStatusSuccess;
    }
  }
  mutex_.Unlock();
}

void CPluginRegistry::UnregisterPlugin(std::uint32_t plugin_id) {
  std::uint32_t lock_status = kStatusNotReported;
  if (failed_ != 0 || !mutex_.Lock(&lock_status)) return;
  for (Entry** link = &head_; *link != nullptr; link = &(*link)->next) {
    if ((*link)->plugin_id == plugin_id) {
      Entry* gone = *link;
      *link = gone->next;
      delete gone;
      break;
    }
  }
  mutex_.Unlock();
}

CPhysicalInterface* CPluginRegistry::CreateInterface(const DoVovuriDeviceDescriptor* descriptor, std::uint32_t context,
                                                     std::uint32_t* status) {
  std::uint32_t lock_status = kStatusNotReported;
  if (failed_ != 0 || !mutex_.Lock(&lock_status)) {
    *status = kStatusNotReported;
    return nullptr;
  }
  CPhysicalInterface* physical_interface = nullptr;
  CPhysicalInterfaceFactory* factory = Find(descriptor->plugin_id);
  if (factory == nullptr) {
    *status = kStatusNoFactory;
  } else {
    *status = kStatusNotReported;
    physical_interface = factory->CreateInterface(descriptor, context, status);
    if (*status != kStatusSuccess) physical_interface = nullptr;
  }
  mutex_.Unlock();
  return physical_interface;
}

void CPluginRegistry::DestroyInterface(CPhysicalInterface* physical_interface, std::uint32_t* status) {
  std::uint32_t lock_status = kStatusNotReported;
  if (failed_ != 0 || !mutex_.Lock(&lock_status)) {
    *status = kStatusNotReported;
    return;
  }
  CPhysicalInterfaceFactory* factory = Find(physical_interface->PluginId());
  if (factory == nullptr) {
    *status = kStatusNoFactory;
  } else {
    factory->DestroyInterface(physical_interface);
    *status = kStatusSuccess;
  }
  mutex_.Unlock();
}
