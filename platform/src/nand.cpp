// NAND device registry and the firmware's NAND calls (see platform/nand.h).
#include "platform/nand.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "io_internal.h"
#include "platform/kernel.h"

namespace platform::nand {
namespace {

struct Registry {
  std::mutex lock;
  std::vector<Device*> devices;
};

Registry& TheRegistry() {
  static Registry* r = new Registry;
  return *r;
}

struct BusHooks {
  std::mutex lock;  // installs the pair as one
  BusHook acquire = nullptr;
  BusHook release = nullptr;
};

BusHooks& TheBusHooks() {
  static BusHooks* h = new BusHooks;
  return *h;
}

}  // namespace

void Register(Device* device) {
  if (device == nullptr) return;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> g(r.lock);
  std::erase_if(r.devices, [&](Device* d) { return std::strcmp(d->Name(), device->Name()) == 0; });
  r.devices.push_back(device);
}

void Unregister(Device* device) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> g(r.lock);
  std::erase(r.devices, device);
}

Device* Lookup(const char* name) {
  if (name == nullptr) return nullptr;
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> g(r.lock);
  for (Device* d : r.devices) {
    if (std::strcmp(d->Name(), name) == 0) return d;
  }
  return nullptr;
}

int GetPartition(Device* device, unsigned partition, Partition* out) {
  if (device == nullptr || out == nullptr) return -EINVAL;
  return device->GetPartition(partition, out) ? 0 : -ENOENT;
}

int EraseBlock(Device* device, unsigned partition, std::uint32_t block) {
  Partition p{};
  if (const int rc = GetPartition(device, partition, &p); rc != 0) return rc;
  if (block < p.first_block || block > p.last_block) return -EINVAL;
  if (device->IsBadBlock(block)) return -EIO;
  int rc = 0;
  {
    FlashAccess access;
    rc = device->EraseBlock(block);
  }
  if (rc != 0) return rc < 0 ? rc : -EIO;
  if (partition == kFlashPartition && std::strcmp(device->Name(), kFlashDeviceName) == 0) {
    io_internal::FlashContentLost();
  }
  return 0;
}

std::uint64_t GoodBlocks(Device* device, unsigned partition) {
  Partition p{};
  if (GetPartition(device, partition, &p) != 0 || p.last_block < p.first_block) return 0;
  std::uint64_t good = 0;
  for (std::uint64_t b = p.first_block; b <= p.last_block; ++b) {
    if (!device->IsBadBlock(static_cast<std::uint32_t>(b))) ++good;
  }
  return good;
}

void SetBusHooks(BusHook acquire, BusHook release) {
  BusHooks& h = TheBusHooks();
  std::lock_guard<std::mutex> g(h.lock);
  h.acquire = acquire;
  h.release = release;
}

FlashAccess::FlashAccess() {
  cyg_interrupt_disable();
  BusHook acquire = nullptr;
  {
    BusHooks& h = TheBusHooks();
    std::lock_guard<std::mutex> g(h.lock);
    acquire = h.acquire;
    release_ = h.release;
  }
  if (acquire != nullptr) acquire();
}

FlashAccess::~FlashAccess() {
  if (release_ != nullptr) release_();
  cyg_interrupt_enable();
}

}  // namespace platform::nand
