#include "platform/regbus.h"

#include <atomic>
#include <mutex>
#include <shared_mutex>

namespace platform::regbus {
namespace {

struct Range {
  std::uint32_t base;
  std::uint32_t size;
  Model* model;
};

struct Bus {
  std::shared_mutex map_lock;
  std::vector<Range> ranges;  // newest last; searched from the end
  std::mutex trace_lock;
  std::vector<Access> trace;
  std::atomic<bool> tracing{false};
  std::atomic<std::uint64_t> unmapped{0};
};

Bus& TheBus() {
  static Bus* bus = new Bus;  // never destroyed: models may be reached during exit
  return *bus;
}

Model* Find(Bus& bus, std::uint32_t address) {
  for (auto it = bus.ranges.rbegin(); it != bus.ranges.rend(); ++it) {
    if (address - it->base < it->size) return it->model;
  }
  return nullptr;
}

void Record(Bus& bus, bool write, unsigned width, std::uint32_t address, std::uint32_t value) {
  if (!bus.tracing.load(std::memory_order_relaxed)) return;
  std::lock_guard<std::mutex> g(bus.trace_lock);
  bus.trace.push_back(Access{write, width, address, value});
}

std::uint32_t DoRead(std::uint32_t address, unsigned width) {
  Bus& bus = TheBus();
  std::uint32_t value = 0;
  {
    std::shared_lock<std::shared_mutex> g(bus.map_lock);
    if (Model* m = Find(bus, address)) {
      value = m->Read(address, width);
    } else {
      bus.unmapped.fetch_add(1, std::memory_order_relaxed);
    }
  }
  if (width < 4) value &= (1u << (8 * width)) - 1;
  Record(bus, false, width, address, value);
  return value;
}

void DoWrite(std::uint32_t address, std::uint32_t value, unsigned width) {
  Bus& bus = TheBus();
  Record(bus, true, width, address, value);
  std::shared_lock<std::shared_mutex> g(bus.map_lock);
  if (Model* m = Find(bus, address)) {
    m->Write(address, value, width);
  } else {
    bus.unmapped.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace

void Map(std::uint32_t base, std::uint32_t size, Model* model) {
  Bus& bus = TheBus();
  std::unique_lock<std::shared_mutex> g(bus.map_lock);
  bus.ranges.push_back(Range{base, size, model});
}

void Unmap(Model* model) {
  Bus& bus = TheBus();
  std::unique_lock<std::shared_mutex> g(bus.map_lock);
  std::erase_if(bus.ranges, [&](const Range& r) { return r.model == model; });
}

std::uint8_t Read8(std::uint32_t address) { return static_cast<std::uint8_t>(DoRead(address, 1)); }
std::uint16_t Read16(std::uint32_t address) { return static_cast<std::uint16_t>(DoRead(address, 2)); }
std::uint32_t Read32(std::uint32_t address) { return DoRead(address, 4); }
void Write8(std::uint32_t address, std::uint8_t value) { DoWrite(address, value, 1); }
void Write16(std::uint32_t address, std::uint16_t value) { DoWrite(address, value, 2); }
void Write32(std::uint32_t address, std::uint32_t value) { DoWrite(address, value, 4); }

void SetTrace(bool on) {
  Bus& bus = TheBus();
  std::lock_guard<std::mutex> g(bus.trace_lock);
  bus.tracing.store(on);
  if (!on) bus.trace.clear();
}

std::vector<Access> TakeTrace() {
  Bus& bus = TheBus();
  std::lock_guard<std::mutex> g(bus.trace_lock);
  std::vector<Access> out;
  out.swap(bus.trace);
  return out;
}

std::uint64_t UnmappedAccesses() { return TheBus().unmapped.load(); }

}  // namespace platform::regbus
