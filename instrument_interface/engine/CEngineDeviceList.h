// CEngineDeviceList: the engine devices by handle (slot index + 0xBA5700). 16 slots at first, doubled
// when none is free; slots are reused. Adding, removing and looking up take the list's mutex; the
// engine device found is used without it (each belongs to one function-call interface).
#pragma once

#include <cstdint>

#include "engine/COSMutex.h"

class CEngineDevice;
class CPhysicalInterface;

class CEngineDeviceList {
 public:
  static constexpr std::uint32_t kInitialCapacity = 16;

  CEngineDeviceList();
  // Deletes every engine device still in the list.
  ~CEngineDeviceList();
  CEngineDeviceList(const CEngineDeviceList&) = delete;
  CEngineDeviceList& operator=(const CEngineDeviceList&) = delete;

  bool IsFailed() const { return failed_ != 0; }
  std::uint32_t Capacity() const { return capacity_; }

  // Constructs an engine device for the interface; its handle, or -1 with a status.
  std::int32_t Add(CPhysicalInterface* physical_interface, std::uint32_t* status);
  // kStatusDeviceNotFound for an empty slot (or no handle).
  CEngineDevice* Lookup(std::int32_t handle, std::uint32_t* status);
  // Takes the device out of its slot and returns it (the caller deletes it).
  CEngineDevice* Remove(std::int32_t handle, std::uint32_t* status);

 private:
  COSMutex mutex_;
  std::uint8_t failed_ = 1;
  CEngineDevice** slots_ = nullptr;
  std::uint32_t capacity_ = 0;
};
