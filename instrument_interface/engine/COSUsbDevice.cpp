#include "engine/COSUsbDevice.h"

#include <new>

#include "engine/DoVovuriStatus.h"

COSUsbDevice::COSUsbDevice(std::int32_t device_number) : device_number_(device_number) {
  interrupts_.Init();
  stack_ = new (std::nothrow) unsigned char[kStackSize];
  if (stack_ == nullptr) return;
  cyg_semaphore_init(&service_, 0);
  cyg_semaphore_init(&ended_, 0);
  cyg_mutex_init(&handler_mutex_);
  cyg_thread_create(kThreadPriority, &COSUsbDevice::UsbInterruptThread, reinterpret_cast<cyg_addrword_t>(this),
                    "USB Interrupt Handler", stack_, kStackSize, &thread_handle_, &thread_);
  cyg_thread_resume(thread_handle_);
  failed_ = 0;
}

COSUsbDevice::~COSUsbDevice() {
  RemoveInterrupts();
  if (stack_ == nullptr) return;
  // Stop the thread and wait for its last word before deleting it and freeing what it uses.
  stop_.store(true);
  cyg_semaphore_post(&service_);
  while (!cyg_semaphore_wait(&ended_)) {
  }
  cyg_thread_delete(thread_handle_);
  cyg_mutex_destroy(&handler_mutex_);
  cyg_semaphore_destroy(&ended_);
  cyg_semaphore_destroy(&service_);
  delete[] stack_;
}

void COSUsbDevice::RemoveInterrupts() {
  InterruptRecord record{};
  while (interrupts_.PopFront(&record)) {
    cyg_interrupt_detach(record.handle);
    cyg_interrupt_delete(record.handle);
    delete record.object;
  }
}

void COSUsbDevice::AttachInterrupts(const cyg_vector_t* vectors, std::uint32_t* status) {
  for (const cyg_vector_t* v = vectors; v != nullptr && *v != 0; ++v) {
    cyg_interrupt* object = new (std::nothrow) cyg_interrupt;
    if (object == nullptr) {
      RemoveInterrupts();
      *status = kOsStatusNoMemory;
      return;
    }
    cyg_handle_t handle = 0;
    cyg_interrupt_create(*v, kInterruptPriority, reinterpret_cast<cyg_addrword_t>(this), &COSUsbDevice::UsbInterruptIsr,
                         &COSUsbDevice::UsbInterruptDsr, &handle, object);
    if (!interrupts_.PushBack(InterruptRecord{*v, handle, object})) {
      cyg_interrupt_delete(handle);
      delete object;
      RemoveInterrupts();
      *status = kOsStatusNoMemory;
      return;
    }
  }
  *status = kStatusSuccess;
}

void COSUsbDevice::AttachHandlers(COSInterruptHandler* primary, COSInterruptHandler* secondary, std::uint32_t* status) {
  primary_.store(primary);
  secondary_.store(secondary);
  CSdkList<InterruptRecord>::Cursor cursor;
  interrupts_.Begin(&cursor);
  InterruptRecord record{};
  while (interrupts_.Next(&cursor, &record)) cyg_interrupt_attach(record.handle);
  *status = kStatusSuccess;
}

void COSUsbDevice::DetachHandlers() {
  // The ISR runs under the kernel lock: clearing the primary handler under it means no ISR is using
  // the old one afterwards.
  cyg_scheduler_lock();
  primary_.store(nullptr);
  secondary_.store(nullptr);
  cyg_scheduler_unlock();
  CSdkList<InterruptRecord>::Cursor cursor;
  interrupts_.Begin(&cursor);
  InterruptRecord record{};
  while (interrupts_.Next(&cursor, &record)) cyg_interrupt_detach(record.handle);
  if (stack_ != nullptr && cyg_thread_self() != thread_handle_) {
    // Wait out a secondary handler that is still running.
    while (!cyg_mutex_lock(&handler_mutex_)) {
    }
    cyg_mutex_unlock(&handler_mutex_);
  }
}

std::uint32_t COSUsbDevice::InterruptCount() const {
  std::uint32_t n = 0;
  CSdkList<InterruptRecord>::Cursor cursor;
  interrupts_.Begin(&cursor);
  InterruptRecord record{};
  while (interrupts_.Next(&cursor, &record)) ++n;
  return n;
}

cyg_uint32 COSUsbDevice::UsbInterruptIsr(cyg_vector_t vector, cyg_addrword_t data) {
  COSUsbDevice* self = reinterpret_cast<COSUsbDevice*>(data);
  self->last_vector_.store(vector);
  COSInterruptHandler* primary = self->primary_.load();
  if (primary != nullptr && primary->Handle() == 1) return CYG_ISR_CALL_DSR;
  return CYG_ISR_HANDLED;
}

void COSUsbDevice::UsbInterruptDsr(cyg_vector_t, cyg_ucount32, cyg_addrword_t data) {
  cyg_semaphore_post(&reinterpret_cast<COSUsbDevice*>(data)->service_);
}

void COSUsbDevice::UsbInterruptThread(cyg_addrword_t data) {
  COSUsbDevice* self = reinterpret_cast<COSUsbDevice*>(data);
  while (cyg_semaphore_wait(&self->service_) && !self->stop_.load()) {
    while (!cyg_mutex_lock(&self->handler_mutex_)) {
    }
    COSInterruptHandler* secondary = self->secondary_.load();
    if (secondary != nullptr) secondary->Handle();
    cyg_mutex_unlock(&self->handler_mutex_);
  }
  cyg_semaphore_post(&self->ended_);
}
