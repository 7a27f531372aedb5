// Interrupt objects and the board's interrupt controller, provided on the host.
//
// Drivers create an interrupt object for a vector with an ISR and a DSR, attach it, and mask, unmask,
// acknowledge the vector. The controller keeps, per vector, a source-pending bit and a mask bit; it
// delivers a vector that is pending, unmasked and attached by calling its ISR, then (when the ISR asks)
// its DSR, both on the controller's own delivery thread under the kernel lock (so not while a thread
// holds the scheduler lock or has interrupts disabled).
//
// Hardware models (sim/) drive the sources: SetSourceLevel for a line that stays asserted (the pending
// bit is set again while it is asserted, even after an acknowledge), RaiseSource for a one-shot event.
// A raise on a masked vector is latched in the pending bit and delivered once on unmask.
#pragma once

#include <cstdint>

#include "platform/hw_registers.h"
#include "platform/kernel.h"

typedef std::uint32_t cyg_vector_t;
typedef cyg_uint32 cyg_ISR_t(cyg_vector_t vector, cyg_addrword_t data);
typedef void cyg_DSR_t(cyg_vector_t vector, cyg_ucount32 count, cyg_addrword_t data);

enum : cyg_uint32 {
  CYG_ISR_HANDLED = 1,
  CYG_ISR_CALL_DSR = 2,
};

struct cyg_interrupt {
  cyg_vector_t vector = 0;
  cyg_priority_t priority = 0;
  cyg_addrword_t data = 0;
  cyg_ISR_t* isr = nullptr;
  cyg_DSR_t* dsr = nullptr;
  bool attached = false;
};

void cyg_interrupt_create(cyg_vector_t vector, cyg_priority_t priority, cyg_addrword_t data, cyg_ISR_t* isr,
                          cyg_DSR_t* dsr, cyg_handle_t* handle, cyg_interrupt* intr);
void cyg_interrupt_delete(cyg_handle_t interrupt);
void cyg_interrupt_attach(cyg_handle_t interrupt);
void cyg_interrupt_detach(cyg_handle_t interrupt);
void cyg_interrupt_mask(cyg_vector_t vector);
void cyg_interrupt_unmask(cyg_vector_t vector);
// Clears the vector's pending bit (it is set again at once if its source is a level still asserted).
void cyg_interrupt_acknowledge(cyg_vector_t vector);

namespace platform::interrupts {

constexpr cyg_vector_t kVectorCount = 32;

// The controller's registers on the register bus: SRCPND, INTMOD, INTMSK, PRIORITY, INTPND, INTOFFSET.
constexpr std::uint32_t kControllerBase = hw::intc::kBase;

// Called by hardware models.
void SetSourceLevel(cyg_vector_t vector, bool asserted);
void RaiseSource(cyg_vector_t vector);

// State for tests and register reads.
bool IsPending(cyg_vector_t vector);
bool IsMasked(cyg_vector_t vector);
// Number of ISR calls made for the vector since start.
std::uint64_t DeliveredCount(cyg_vector_t vector);
// Waits (real time, bounded) until no deliverable vector is left and the delivery thread is idle.
bool WaitIdle(std::uint32_t timeout_ms = 2000);

// Resets the controller: every vector masked, nothing pending, no handler attached (tests).
void ResetController();

}  // namespace platform::interrupts
