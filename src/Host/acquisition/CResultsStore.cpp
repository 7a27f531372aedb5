#include "acquisition/CResultsStore.h"

namespace Torvex {

void ResultBuffer::Allocate(std::uint32_t newCapacity) {
  if (flux == nullptr) {
    flux = new double[newCapacity]();
    capacity = newCapacity;
  }
  // The other arrays follow the capacity that the flux array was made with, so every array of one
  // buffer has the same number of elements.
  if (frequency == nullptr) frequency = new double[capacity]();
  if (sigma == nullptr) sigma = new float[capacity]();
  if (uniformity == nullptr) uniformity = new float[capacity]();
  if (timestamp == nullptr) timestamp = new std::uint64_t[capacity]();
  if (channel == nullptr) {
    channel = new CTorvexChannel[capacity];
    for (std::uint32_t i = 0; i < capacity; ++i) channel[i].length = 0;
  }
  if (unit == nullptr) unit = new std::int32_t[capacity]();
}

void ResultBuffer::FreeArrays() {
  delete[] flux;
  delete[] frequency;
  delete[] sigma;
  delete[] uniformity;
  delete[] timestamp;
  delete[] channel;
  delete[] unit;
  flux = frequency = nullptr;
  sigma = uniformity = nullptr;
  timestamp = nullptr;
  channel = nullptr;
  unit = nullptr;
  capacity = 0;
}

CResultsStore::CResultsStore(std::size_t bufferCount) {
  cyg_mutex_init(&m_Mutex);
  cyg_semaphore_init(&m_FreeSemaphore, 0);
  cyg_semaphore_init(&m_ResultSemaphore, 0);
  m_Buffers.reserve(bufferCount);
  m_FreeRing.assign(bufferCount, nullptr);
  for (std::size_t i = 0; i < bufferCount; ++i) {
    auto* buffer = new ResultBuffer;
    m_Buffers.push_back(buffer);
    PushFreeLocked(buffer);
  }
}

CResultsStore::~CResultsStore() {
  for (ResultBuffer* buffer : m_Buffers) {
    buffer->FreeArrays();
    delete buffer;
  }
  m_Buffers.clear();
  m_FreeRing.clear();
  m_FreeCount = 0;
  cyg_semaphore_destroy(&m_FreeSemaphore);
  cyg_semaphore_destroy(&m_ResultSemaphore);
  cyg_mutex_destroy(&m_Mutex);
}

void CResultsStore::AllocateArrays(std::uint32_t capacity) {
  LockMutex();
  for (ResultBuffer* buffer : m_Buffers) buffer->Allocate(capacity);
  cyg_mutex_unlock(&m_Mutex);
}

ResultBuffer* CResultsStore::GetSlotBuffer(int slot) {
  LockMutex();
  ResultBuffer* buffer = nullptr;
  if (slot == kWriterSlot) {
    buffer = m_WriterSlot;
  } else if (slot == kReaderSlot) {
    buffer = m_ReaderSlot;
  }
  cyg_mutex_unlock(&m_Mutex);
  return buffer;
}

ResultBuffer* CResultsStore::TryTake(int slot) {
  LockMutex();
  ResultBuffer* buffer = TakeLocked(slot);
  cyg_mutex_unlock(&m_Mutex);
  return buffer;
}

ResultBuffer* CResultsStore::WaitTake(int slot, const std::atomic<bool>* keepWaiting) {
  LockMutex();
  ResultBuffer* buffer = TakeLocked(slot);
  if (buffer != nullptr || (slot != kWriterSlot && slot != kReaderSlot)) {
    cyg_mutex_unlock(&m_Mutex);
    return buffer;
  }
  cyg_sem_t* semaphore = slot == kWriterSlot ? &m_FreeSemaphore : &m_ResultSemaphore;
  bool* waitingFlag = slot == kWriterSlot ? &m_WriterWaiting : &m_ReaderWaiting;
  *waitingFlag = true;
  for (;;) {
    cyg_mutex_unlock(&m_Mutex);
    const bool woken = keepWaiting == nullptr ? cyg_semaphore_wait(semaphore)
                                              : cyg_semaphore_timed_wait(semaphore, cyg_current_time() + kRecheckTicks);
    LockMutex();
    if (woken) break;  // posted: the poster cleared the flag
    if (!*waitingFlag) {
      // A post came between the end of the wait and the lock: consume it, so it cannot end the next
      // wait at once.
      cyg_semaphore_trywait(semaphore);
      break;
    }
    // A wait broken from outside, or a measurement that ended without publishing or clearing after
    // the caller decided to wait: withdraw the flag and take once more.
    if (keepWaiting == nullptr || !keepWaiting->load()) {
      *waitingFlag = false;
      break;
    }
  }
  buffer = TakeLocked(slot);
  cyg_mutex_unlock(&m_Mutex);
  return buffer;
}

// A wait broken by cyg_thread_release must not skip the store's section: the lock is taken again.
void CResultsStore::LockMutex() {
  while (!cyg_mutex_lock(&m_Mutex)) {
  }
}

bool CResultsStore::Waiting(int slot) {
  LockMutex();
  const bool waiting = slot == kWriterSlot ? m_WriterWaiting : slot == kReaderSlot && m_ReaderWaiting;
  cyg_mutex_unlock(&m_Mutex);
  return waiting;
}

ResultBuffer* CResultsStore::PublishAndTake(ResultBuffer* buffer, int slot) {
  LockMutex();
  ReturnLocked(buffer);
  ResultBuffer* taken = TakeLocked(slot);
  cyg_mutex_unlock(&m_Mutex);
  return taken;
}

void CResultsStore::Release(ResultBuffer* buffer) {
  LockMutex();
  ReturnLocked(buffer);
  cyg_mutex_unlock(&m_Mutex);
}

void CResultsStore::ReleaseSlot(int slot) {
  LockMutex();
  if (slot == kWriterSlot) {
    ReturnLocked(m_WriterSlot);
  } else if (slot == kReaderSlot) {
    ReturnLocked(m_ReaderSlot);
  }
  cyg_mutex_unlock(&m_Mutex);
}

void CResultsStore::Clear() {
  LockMutex();
  m_FreeHead = 0;
  m_FreeCount = 0;
  m_ReaderSlot = nullptr;
  m_WriterSlot = nullptr;
  m_ReadySlot = nullptr;
  for (ResultBuffer* buffer : m_Buffers) {
    buffer->state = eResultBufferState::Free;
    PushFreeLocked(buffer);
  }
  WakeWriterLocked();
  WakeReaderLocked();
  cyg_mutex_unlock(&m_Mutex);
}

void CResultsStore::WakeReader() {
  LockMutex();
  WakeReaderLocked();
  cyg_mutex_unlock(&m_Mutex);
}

ResultBuffer* CResultsStore::TakeLocked(int slot) {
  if (slot == kWriterSlot) {
    ResultBuffer* buffer = PopFreeLocked();
    if (buffer == nullptr) return nullptr;
    buffer->state = eResultBufferState::Writing;
    m_WriterSlot = buffer;
    return buffer;
  }
  if (slot == kReaderSlot) {
    ResultBuffer* buffer = m_ReadySlot;
    if (buffer == nullptr) return nullptr;
    buffer->state = eResultBufferState::Reading;
    m_ReadySlot = nullptr;
    m_ReaderSlot = buffer;
    return buffer;
  }
  return nullptr;
}

void CResultsStore::ReturnLocked(ResultBuffer* buffer) {
  if (buffer == nullptr) return;
  switch (buffer->state) {
    case eResultBufferState::Writing:
      if (m_WriterSlot == buffer) m_WriterSlot = nullptr;
      if (m_ReadySlot != nullptr) {
        m_ReadySlot->state = eResultBufferState::Free;
        PushFreeLocked(m_ReadySlot);
      }
      buffer->state = eResultBufferState::Ready;
      m_ReadySlot = buffer;
      WakeReaderLocked();
      break;
    case eResultBufferState::Reading:
      if (m_ReaderSlot == buffer) m_ReaderSlot = nullptr;
      if (m_ReadySlot != nullptr) {
        buffer->state = eResultBufferState::Free;
        PushFreeLocked(buffer);
        WakeWriterLocked();
      } else {
        buffer->state = eResultBufferState::Ready;
        m_ReadySlot = buffer;
        WakeReaderLocked();
      }
      break;
    case eResultBufferState::Free: WakeWriterLocked(); break;
    case eResultBufferState::Ready: WakeReaderLocked(); break;
  }
}

void CResultsStore::WakeReaderLocked() {
  if (!m_ReaderWaiting) return;
  m_ReaderWaiting = false;
  cyg_semaphore_post(&m_ResultSemaphore);
  cyg_thread_yield();
}

void CResultsStore::WakeWriterLocked() {
  if (!m_WriterWaiting) return;
  m_WriterWaiting = false;
  cyg_semaphore_post(&m_FreeSemaphore);
  cyg_thread_yield();
}

void CResultsStore::PushFreeLocked(ResultBuffer* buffer) {
  // The ring holds every buffer at most once; a full ring cannot happen while the states are kept.
  if (m_FreeCount == m_FreeRing.size()) return;
  m_FreeRing[(m_FreeHead + m_FreeCount) % m_FreeRing.size()] = buffer;
  ++m_FreeCount;
}

ResultBuffer* CResultsStore::PopFreeLocked() {
  if (m_FreeCount == 0) return nullptr;
  ResultBuffer* buffer = m_FreeRing[m_FreeHead];
  m_FreeHead = (m_FreeHead + 1) % m_FreeRing.size();
  --m_FreeCount;
  return buffer;
}

std::vector<ResultBuffer*> CResultsStore::FreeQueueSnapshot() {
  LockMutex();
  std::vector<ResultBuffer*> queue;
  queue.reserve(m_FreeCount);
  for (std::size_t i = 0; i < m_FreeCount; ++i) {
    queue.push_back(m_FreeRing[(m_FreeHead + i) % m_FreeRing.size()]);
  }
  cyg_mutex_unlock(&m_Mutex);
  return queue;
}

ResultBuffer* CResultsStore::ReadySlotBuffer() {
  LockMutex();
  ResultBuffer* buffer = m_ReadySlot;
  cyg_mutex_unlock(&m_Mutex);
  return buffer;
}

}  // namespace Torvex
