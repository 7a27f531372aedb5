#include "engine/CEngineDeviceList.h"

#include <new>

#include "engine/CEngineDevice.h"
#include "engine/DoVovuriStatus.h"

CEngineDeviceList::CEngineDeviceList() {
  mutex_.Init();
  if (mutex_.IsFailed()) return;
  slots_ = new (std::nothrow) CEngineDevice*[kInitialCapacity]();
  if (slots_ == nullptr) return;
  capacity_ = kInitialCapacity;
  failed_ = 0;
}

CEngineDeviceList::~CEngineDeviceList() {
  for (std::uint32_t i = 0; i < capacity_; ++i) delete slots_[i];
  delete[] slots_;
  if (!mutex_.IsFailed()) mutex_.Destroy();
}

std::int32_t CEngineDeviceList::Add(CPhysicalInterface* physical_interface, std::uint32_t* status) {
  std::uint32_t lock_status = kStatusNotReported;
  if (failed_ != 0 || !mutex_.Lock(&lock_status)) {
    *status = kStatusNotReported;
    return -1;
  }
  std::uint32_t slot = 0;
  while (slot < capacity_ && slots_[slot] != nullptr) ++slot;
  if (slot == capacity_) {
    CEngineDevice** grown = new (std::nothrow) CEngineDevice*[capacity_ * 2]();
    if (grown == nullptr) {
      *status = kStatusOutOfMemory;
      mutex_.Unlock();
      return -1;
    }
    for (std::uint32_t i = 0; i < capacity_; ++i) grown[i] = slots_[i];
    delete[] slots_;
    slots_ = grown;
    capacity_ *= 2;
  }
  CEngineDevice* device = new (std::nothrow) CEngineDevice(physical_interface);
  if (device == nullptr) {
    *status = kStatusOutOfMemory;
    mutex_.Unlock();
    return -1;
  }
  if (!device->IsConstructed()) {
    *status = device->Status();
    delete device;
    mutex_.Unlock();
    return -1;
  }
  device->SetInUse();
  slots_[slot] = device;
  *status = kStatusSuccess;
  mutex_.Unlock();
  return static_cast<std::int32_t>(slot + kDeviceHandleBase);
}

CEngineDevice* CEngineDeviceList::Lookup(std::int32_t handle, std::uint32_t* status) {
  std::uint32_t lock_status = kStatusNotReported;
  if (failed_ != 0 || !mutex_.Lock(&lock_status)) {
    *status = kStatusNotReported;
    return nullptr;
  }
  CEngineDevice* device = nullptr;
  const std::uint32_t slot = static_cast<std::uint32_t>(handle) - kDeviceHandleBase;
  if (handle >= 0 && slot < capacity_) device = slots_[slot];
  *status = device != nullptr ? kStatusSuccess : kStatusDeviceNotFound;
  mutex_.Unlock();
  return device;
}

CEngineDevice* CEngineDeviceList::Remove(std::int32_t handle, std::uint32_t* status) {
  std::uint32_t lock_status = kStatusNotReported;
  if (failed_ != 0 || !mutex_.Lock(&lock_status)) {
    *status = kStatusNotReported;
    return nullptr;
  }
  CEngineDevice* device = nullptr;
  const std::uint32_t slot = static_cast<std::uint32_t>(handle) - kDeviceHandleBase;
  if (handle >= 0 && slot < capacity_) {
    device = slots_[slot];
    slots_[slot] = nullptr;
  }
  *status = device != nullptr ? kStatusSuccess : kStatusDeviceNotFound;
  mutex_.Unlock();
  return device;
}
