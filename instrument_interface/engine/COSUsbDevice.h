// The USB device controller as an operating-system device: its interrupt vectors, an ISR that runs the
// primary handler, a DSR that posts the service semaphore, and the "USB Interrupt Handler" thread
// (priority 7) that runs the secondary handler once per post.
//
// Created by COSUsbDeviceManager::CreateDevice. AttachInterrupts creates the kernel interrupts,
// AttachHandlers makes them live, DetachHandlers takes them out of the vector table and returns only
// when no secondary handler is running any more (unless called from that handler itself), so the
// caller may then free its handlers. The destructor stops the interrupt thread and waits for its end
// before freeing what it uses.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/COSDevice.h"
#include "engine/COSInterruptHandler.h"
#include "engine/CSdkList.h"
#include "platform/interrupt.h"
#include "platform/kernel.h"

class COSUsbDevice : public COSDevice {
 public:
  static constexpr cyg_ucount32 kStackSize = 4096;
  static constexpr cyg_priority_t kThreadPriority = 7;
  static constexpr cyg_priority_t kInterruptPriority = 3;

  explicit COSUsbDevice(std::int32_t device_number);
  ~COSUsbDevice() override;
  COSUsbDevice(const COSUsbDevice&) = delete;
  COSUsbDevice& operator=(const COSUsbDevice&) = delete;

  bool IsFailed() override { return failed_ != 0; }
  std::int32_t GetDeviceNumber() override { return device_number_; }
  // `vectors` ends with 0. On an allocation failure every interrupt made so far is removed again and
  // the status is 5.
  void AttachInterrupts(const cyg_vector_t* vectors, std::uint32_t* status);
  void AttachHandlers(COSInterruptHandler* primary, COSInterruptHandler* secondary, std::uint32_t* status) override;
  void DetachHandlers() override;

  // Runs the secondary handler once more on the interrupt thread without an interrupt (a driver that
  // has work left for it).
  void PostService() { cyg_semaphore_post(&service_); }
  // The "USB Interrupt Handler" thread.
  cyg_handle_t ServiceThread() const { return thread_handle_; }

  cyg_vector_t LastVector() const { return last_vector_.load(); }
  std::uint32_t InterruptCount() const;

 private:
  struct InterruptRecord {
    cyg_vector_t vector;
    cyg_handle_t handle;
    cyg_interrupt* object;
    bool operator==(const InterruptRecord& other) const {
      return vector == other.vector && handle == other.handle && object == other.object;
    }
  };

  static cyg_uint32 UsbInterruptIsr(cyg_vector_t vector, cyg_addrword_t data);
  static void UsbInterruptDsr(cyg_vector_t vector, cyg_ucount32 count, cyg_addrword_t data);
  static void UsbInterruptThread(cyg_addrword_t data);
  void RemoveInterrupts();

  std::uint8_t failed_ = 1;
  CSdkList<InterruptRecord> interrupts_;
  std::int32_t device_number_;
  std::atomic<COSInterruptHandler*> primary_{nullptr};
  std::atomic<COSInterruptHandler*> secondary_{nullptr};
  cyg_thread thread_;
  cyg_handle_t thread_handle_ = 0;
  unsigned char* stack_ = nullptr;
  cyg_sem_t service_;
  std::atomic<cyg_vector_t> last_vector_{0};

  // Held by the interrupt thread while it runs the secondary handler.
  cyg_mutex_t handler_mutex_;
  // Ending of the interrupt thread: the stop request and the thread's last word.
  std::atomic<bool> stop_{false};
  cyg_sem_t ended_;
};
