// The interrupt controller and interrupt objects (see platform/interrupt.h).
#include "platform/interrupt.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "kernel_internal.h"
#include "platform/regbus.h"

namespace platform::interrupts {
namespace {

enum : std::uint32_t {
  kSRCPND = 0x00,
  kINTMOD = 0x04,
  kINTMSK = 0x08,
  kPRIORITY = 0x0C,
  kINTPND = 0x10,
  kINTOFFSET = 0x14,
};

class Controller final : public regbus::Model {
 public:
  Controller() {
    Reset();
    regbus::Map(kControllerBase, 0x20, this);
  }

  void Reset() {
    std::lock_guard<std::mutex> g(lock_);
    pending_ = 0;
    level_ = 0;
    mask_ = 0xFFFFFFFFu;
    mode_ = 0;
    priority_ = 0;
    handlers_.fill(nullptr);
    delivered_.fill(0);
  }

  void EnsureDeliveryThread() {
    std::call_once(started_, [this] { std::thread([this] { DeliveryLoop(); }).detach(); });
  }

  void Create(cyg_interrupt* intr) {
    (void)intr;
    EnsureDeliveryThread();
  }

  void Attach(cyg_interrupt* intr) {
    std::lock_guard<std::mutex> g(lock_);
    if (intr->vector >= kVectorCount) return;
    intr->attached = true;
    handlers_[intr->vector] = intr;
    Changed();
  }

  void Detach(cyg_interrupt* intr) {
    std::unique_lock<std::mutex> g(lock_);
    if (intr->vector >= kVectorCount) return;
    intr->attached = false;
    if (handlers_[intr->vector] == intr) handlers_[intr->vector] = nullptr;
    Changed();
    // Never return while the delivery thread may still be calling this object's routines (unless
    // the caller is that routine itself).
    if (std::this_thread::get_id() != delivery_id_) idle_.wait(g, [&] { return in_service_ != intr; });
  }

  void Mask(cyg_vector_t v, bool masked) {
    if (v >= kVectorCount) return;
    std::lock_guard<std::mutex> g(lock_);
    if (masked) {
      mask_ |= Bit(v);
    } else {
      mask_ &= ~Bit(v);
    }
    Changed();
  }

  void ClearPending(std::uint32_t bits) {
    std::lock_guard<std::mutex> g(lock_);
    pending_ &= ~bits;
    pending_ |= level_;  // a level still asserted sets its pending bit again at once
    Changed();
  }

  void SetLevel(cyg_vector_t v, bool asserted) {
    if (v >= kVectorCount) return;
    EnsureDeliveryThread();
    std::lock_guard<std::mutex> g(lock_);
    if (asserted) {
      level_ |= Bit(v);
      pending_ |= Bit(v);
    } else {
      level_ &= ~Bit(v);
    }
    Changed();
  }

  void Raise(cyg_vector_t v) {
    if (v >= kVectorCount) return;
    EnsureDeliveryThread();
    std::lock_guard<std::mutex> g(lock_);
    pending_ |= Bit(v);
    Changed();
  }

  bool Pending(cyg_vector_t v) {
    std::lock_guard<std::mutex> g(lock_);
    return v < kVectorCount && (pending_ & Bit(v)) != 0;
  }

  bool Masked(cyg_vector_t v) {
    std::lock_guard<std::mutex> g(lock_);
    return v >= kVectorCount || (mask_ & Bit(v)) != 0;
  }

  std::uint64_t Delivered(cyg_vector_t v) {
    std::lock_guard<std::mutex> g(lock_);
    return v < kVectorCount ? delivered_[v] : 0;
  }

  bool WaitIdle(std::uint32_t timeout_ms) {
    std::unique_lock<std::mutex> g(lock_);
    return idle_.wait_for(g, std::chrono::milliseconds(timeout_ms),
                          [&] { return in_service_ == nullptr && Deliverable() < 0; });
  }

  std::uint32_t Read(std::uint32_t address, unsigned) override {
    std::lock_guard<std::mutex> g(lock_);
    switch (address - kControllerBase) {
      case kSRCPND: return pending_;
      case kINTMOD: return mode_;
      case kINTMSK: return mask_;
      case kPRIORITY: return priority_;
      case kINTPND: {
        const int v = Deliverable();
        return v < 0 ? 0 : Bit(static_cast<cyg_vector_t>(v));
      }
      case kINTOFFSET: {
        const int v = Deliverable();
        return v < 0 ? 0 : static_cast<std::uint32_t>(v);
      }
      default: return 0;
    }
  }

  void Write(std::uint32_t address, std::uint32_t value, unsigned) override {
    switch (address - kControllerBase) {
      case kSRCPND: ClearPending(value); break;
      case kINTMSK: {
        std::lock_guard<std::mutex> g(lock_);
        mask_ = value;
        Changed();
        break;
      }
      case kINTMOD: {
        std::lock_guard<std::mutex> g(lock_);
        mode_ = value;
        break;
      }
      case kPRIORITY: {
        std::lock_guard<std::mutex> g(lock_);
        priority_ = value;
        break;
      }
      default: break;  // INTPND and INTOFFSET: writes have no further effect here
    }
  }

 private:
  // With lock_ held: what may be delivered has changed (a waiter for idleness re-checks too).
  void Changed() {
    changed_.notify_all();
    idle_.notify_all();
  }

  static std::uint32_t Bit(cyg_vector_t v) { return 1u << v; }

  // Lowest pending, unmasked vector with an attached handler, or -1. Called with lock_ held.
  int Deliverable() const {
    const std::uint32_t ready = pending_ & ~mask_;
    if (ready == 0) return -1;
    for (cyg_vector_t v = 0; v < kVectorCount; ++v) {
      if ((ready & Bit(v)) && handlers_[v] != nullptr) return static_cast<int>(v);
    }
    return -1;
  }

  void DeliveryLoop() {
    kernel::Self()->name = "interrupt delivery";  // named in contract-check messages
    {
      std::lock_guard<std::mutex> g(lock_);
      delivery_id_ = std::this_thread::get_id();
    }
    for (;;) {
      {
        std::unique_lock<std::mutex> g(lock_);
        changed_.wait(g, [&] { return Deliverable() >= 0; });
      }
      // ISR and DSR run under the kernel lock, as interrupt context on the target. The vector is
      // chosen only once the lock is held: a thread holding it (interrupts disabled) may detach,
      // mask or acknowledge meanwhile, and a detach then never waits for a delivery that waits for
      // the kernel lock.
      cyg_scheduler_lock();
      cyg_interrupt* intr = nullptr;
      {
        std::lock_guard<std::mutex> g(lock_);
        const int v = Deliverable();
        if (v >= 0) {
          intr = handlers_[static_cast<cyg_vector_t>(v)];
          in_service_ = intr;
          ++delivered_[intr->vector];
        }
      }
      if (intr != nullptr) {
        kernel::SetInterruptContext(true);
        const cyg_uint32 r = intr->isr != nullptr ? intr->isr(intr->vector, intr->data) : CYG_ISR_HANDLED;
        if ((r & CYG_ISR_CALL_DSR) && intr->dsr != nullptr) intr->dsr(intr->vector, 1, intr->data);
        kernel::SetInterruptContext(false);
        std::lock_guard<std::mutex> g(lock_);
        in_service_ = nullptr;
        idle_.notify_all();
      }
      cyg_scheduler_unlock();
    }
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::condition_variable idle_;
  std::uint32_t pending_ = 0;
  std::uint32_t level_ = 0;
  std::uint32_t mask_ = 0xFFFFFFFFu;
  std::uint32_t mode_ = 0;
  std::uint32_t priority_ = 0;
  std::array<cyg_interrupt*, kVectorCount> handlers_{};
  std::array<std::uint64_t, kVectorCount> delivered_{};
  cyg_interrupt* in_service_ = nullptr;
  std::thread::id delivery_id_;
  std::once_flag started_;
};

Controller& TheController() {
  static Controller* c = new Controller;  // never destroyed: the delivery thread runs until exit
  return *c;
}

// The controller exists before any static initialiser or hardware model can raise a line, so that
// its creation never nests inside a model's own lock.
struct MakeAtStart {
  MakeAtStart() { TheController(); }
};
[[maybe_unused]] MakeAtStart g_make_at_start __attribute__((init_priority(150)));

}  // namespace

void SetSourceLevel(cyg_vector_t vector, bool asserted) { TheController().SetLevel(vector, asserted); }
void RaiseSource(cyg_vector_t vector) { TheController().Raise(vector); }
bool IsPending(cyg_vector_t vector) { return TheController().Pending(vector); }
bool IsMasked(cyg_vector_t vector) { return TheController().Masked(vector); }
std::uint64_t DeliveredCount(cyg_vector_t vector) { return TheController().Delivered(vector); }
bool WaitIdle(std::uint32_t timeout_ms) { return TheController().WaitIdle(timeout_ms); }
void ResetController() { TheController().Reset(); }

}  // namespace platform::interrupts

using platform::interrupts::TheController;

void cyg_interrupt_create(cyg_vector_t vector, cyg_priority_t priority, cyg_addrword_t data, cyg_ISR_t* isr,
                          cyg_DSR_t* dsr, cyg_handle_t* handle, cyg_interrupt* intr) {
  intr->vector = vector;
  intr->priority = priority;
  intr->data = data;
  intr->isr = isr;
  intr->dsr = dsr;
  intr->attached = false;
  TheController().Create(intr);
  if (handle != nullptr) *handle = reinterpret_cast<cyg_handle_t>(intr);
}

void cyg_interrupt_delete(cyg_handle_t interrupt) {
  // Always through Detach: an object its own ISR detached may still be in its DSR.
  auto* intr = reinterpret_cast<cyg_interrupt*>(interrupt);
  if (intr != nullptr) TheController().Detach(intr);
}

void cyg_interrupt_attach(cyg_handle_t interrupt) {
  TheController().Attach(reinterpret_cast<cyg_interrupt*>(interrupt));
}

void cyg_interrupt_detach(cyg_handle_t interrupt) {
  TheController().Detach(reinterpret_cast<cyg_interrupt*>(interrupt));
}

void cyg_interrupt_mask(cyg_vector_t vector) { TheController().Mask(vector, true); }
void cyg_interrupt_unmask(cyg_vector_t vector) { TheController().Mask(vector, false); }
void cyg_interrupt_acknowledge(cyg_vector_t vector) {
  if (vector < platform::interrupts::kVectorCount) TheController().ClearPending(1u << vector);
}
