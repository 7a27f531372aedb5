#include "platform/regbus.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "platform/signals.h"

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

std::uint32_t Low32(const void* p) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }

// Where an access came from: the accessor called and the return address into its caller.
struct Origin {
  const void* accessor;
  const void* caller;
};

// The bus error of an access that no model decodes, raised outside the map lock (a handler may touch
// the bus).
[[gnu::noinline]] void BusError(bool write, unsigned width, std::uint32_t address, std::uint32_t value, Origin origin) {
  platform::signals::SavedRegisters frame{};
  frame.r[0] = address;
  frame.r[1] = write ? value : 0;
  frame.r[2] = width;
  frame.r[3] = write ? 1 : 0;
  frame.pc = Low32(origin.accessor);
  frame.lr = Low32(origin.caller);
  frame.sp = Low32(&frame);
  frame.fp = Low32(__builtin_frame_address(0));
  platform::signals::Raise(platform::signals::kSigBus, frame);
}

std::uint32_t DoRead(std::uint32_t address, unsigned width, Origin origin) {
  Bus& bus = TheBus();
  std::uint32_t value = 0;
  bool decoded = true;
  {
    std::shared_lock<std::shared_mutex> g(bus.map_lock);
    if (Model* m = Find(bus, address)) {
      value = m->Read(address, width);
    } else {
      bus.unmapped.fetch_add(1, std::memory_order_relaxed);
      decoded = false;
    }
  }
  if (!decoded) BusError(false, width, address, 0, origin);
  if (width < 4) value &= (1u << (8 * width)) - 1;
  Record(bus, false, width, address, value);
  return value;
}

void DoWrite(std::uint32_t address, std::uint32_t value, unsigned width, Origin origin) {
  Bus& bus = TheBus();
  Record(bus, true, width, address, value);
  {
    std::shared_lock<std::shared_mutex> g(bus.map_lock);
    if (Model* m = Find(bus, address)) {
      m->Write(address, value, width);
      return;
    }
    bus.unmapped.fetch_add(1, std::memory_order_relaxed);
  }
  BusError(true, width, address, value, origin);
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

// Each accessor names itself and its caller for the frame of a bus error.
#define TORVEX_REGBUS_ORIGIN(accessor) \
  Origin { reinterpret_cast<const void*>(&accessor), __builtin_return_address(0) }

std::uint8_t Read8(std::uint32_t address) {
  return static_cast<std::uint8_t>(DoRead(address, 1, TORVEX_REGBUS_ORIGIN(Read8)));
}
std::uint16_t Read16(std::uint32_t address) {
  return static_cast<std::uint16_t>(DoRead(address, 2, TORVEX_REGBUS_ORIGIN(Read16)));
}
std::uint32_t Read32(std::uint32_t address) { return DoRead(address, 4, TORVEX_REGBUS_ORIGIN(Read32)); }
void Write8(std::uint32_t address, std::uint8_t value) { DoWrite(address, value, 1, TORVEX_REGBUS_ORIGIN(Write8)); }
void Write16(std::uint32_t address, std::uint16_t value) { DoWrite(address, value, 2, TORVEX_REGBUS_ORIGIN(Write16)); }
void Write32(std::uint32_t address, std::uint32_t value) { DoWrite(address, value, 4, TORVEX_REGBUS_ORIGIN(Write32)); }
#undef TORVEX_REGBUS_ORIGIN

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
