// CResultsStore: hands the results of measurement sequences from the acquisition thread (the one
// writer) to the SCPI parser thread (the one reader) through a small pool of result buffers.
//
// Every buffer is in exactly one place: the free queue (Free), the writer slot (Writing), the ready
// slot (Ready, the last published result) or the reader slot (Reading). Slot number 0 is the writer's
// side (free queue and writer slot), 1 the reader's side (ready slot and reader slot). The writer never
// waits for the reader: a publish recycles an unread older result. The reader keeps its buffer for a
// whole program message, so every value of one reply comes from one sequence; when it gives the buffer
// back and nothing newer was published, the buffer becomes ready again and the next message reads the
// same result. Clear returns every buffer to the free queue and wakes a waiting reader or writer, which
// then take once more and may get null; WakeReader wakes a waiting reader alone, discarding nothing.
//
// Threads: one kernel mutex guards the queue, the slots, the waiting flags and every buffer's state.
// The contents of a buffer are written only by the thread that holds it in its slot; ReadHeld lets the
// reader copy values while the mutex pins the buffer in its slot, so a clear cannot hand the buffer to
// the writer in the middle of the copy.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/CTorvexChannel.h"
#include "platform/kernel.h"

namespace Torvex {

// Scoped: the names Free, Writing, Ready and Reading are taken by other enumerations of the module.
enum class eResultBufferState : std::int32_t {
  Free = 0,
  Writing = 1,
  Ready = 2,
  Reading = 3,
};

// The results of one measurement sequence. The arrays are allocated once and reused; elements from
// `count` on are stale.
struct ResultBuffer {
  std::uint32_t capacity = 0;
  double* flux = nullptr;       // in the unit of `unit` element i
  double* frequency = nullptr;  // Hz
  float* sigma = nullptr;
  float* uniformity = nullptr;
  std::uint64_t* timestamp = nullptr;
  CTorvexChannel* channel = nullptr;
  std::int32_t* unit = nullptr;  // kUnitTable row of the flux element
  eResultBufferState state = eResultBufferState::Free;
  std::uint32_t count = 0;

  // Allocates each array that is still absent with `capacity` elements; the capacity field is set only
  // together with the flux array, so a later call with another capacity changes nothing.
  void Allocate(std::uint32_t capacity);
  void FreeArrays();
};

class CResultsStore {
 public:
  static constexpr int kWriterSlot = 0;
  static constexpr int kReaderSlot = 1;

  explicit CResultsStore(std::size_t bufferCount);
  ~CResultsStore();

  CResultsStore(const CResultsStore&) = delete;
  CResultsStore& operator=(const CResultsStore&) = delete;

  void AllocateArrays(std::uint32_t capacity);

  // Slot 0: the writer slot's buffer; slot 1: the reader slot's; null otherwise.
  ResultBuffer* GetSlotBuffer(int slot);
  ResultBuffer* TryTake(int slot);
  // As TryTake, but when nothing can be taken waits (without time-out) once for a publish (slot 1),
  // a returned buffer (slot 0) or a clear, then takes once more. With `keepWaiting`, the wait also
  // ends when that word turns false (checked every kRecheckTicks): the reader waits only while a
  // measurement runs, and a measurement that ends between the reader's test of that word and its
  // wait must not leave it waiting for ever.
  ResultBuffer* WaitTake(int slot, const std::atomic<bool>* keepWaiting = nullptr);
  static constexpr cyg_tick_count_t kRecheckTicks = 5;
  ResultBuffer* PublishAndTake(ResultBuffer* buffer, int slot);
  void Release(ResultBuffer* buffer);
  // Release of the buffer in the slot (0 writer, 1 reader), found and returned under one hold of the
  // mutex; nothing when the slot is empty. A clear between looking the buffer up and returning it
  // could otherwise hand a buffer that the other side took meanwhile to Release.
  void ReleaseSlot(int slot);
  void Clear();
  // Ends the wait of a reader in WaitTake without a new result and without discarding anything: the
  // reader takes once more and, finding nothing, answers that there is no result. For a measurement
  // that goes on after a sequence ended without one.
  void WakeReader();

  // Runs `read(buffer)` with the mutex held, for the buffer in the reader slot (null when the slot is
  // empty), and returns its result. `read` must not call back into the store.
  template <typename F>
  auto ReadHeld(F&& read) {
    LockMutex();
    auto result = read(static_cast<const ResultBuffer*>(m_ReaderSlot));
    cyg_mutex_unlock(&m_Mutex);
    return result;
  }

  // Observations for tests and diagnostics, each under the mutex.
  std::vector<ResultBuffer*> FreeQueueSnapshot();
  ResultBuffer* ReadySlotBuffer();
  // True while the writer (slot 0) or the reader (slot 1) waits in WaitTake.
  bool Waiting(int slot);
  const std::vector<ResultBuffer*>& Buffers() const { return m_Buffers; }

 private:
  void LockMutex();
  ResultBuffer* TakeLocked(int slot);
  void ReturnLocked(ResultBuffer* buffer);
  void WakeReaderLocked();
  void WakeWriterLocked();
  void PushFreeLocked(ResultBuffer* buffer);
  ResultBuffer* PopFreeLocked();

  cyg_mutex_t m_Mutex;
  std::vector<ResultBuffer*> m_Buffers;
  // The free queue: a ring as large as the pool, so queueing never allocates.
  std::vector<ResultBuffer*> m_FreeRing;
  std::size_t m_FreeHead = 0;
  std::size_t m_FreeCount = 0;
  ResultBuffer* m_WriterSlot = nullptr;
  ResultBuffer* m_ReadySlot = nullptr;
  ResultBuffer* m_ReaderSlot = nullptr;
  cyg_sem_t m_FreeSemaphore;
  cyg_sem_t m_ResultSemaphore;
  bool m_WriterWaiting = false;
  bool m_ReaderWaiting = false;
};

// The store of the acquisition module (three buffers).
extern CResultsStore g_ResultsStore;

}  // namespace Torvex
