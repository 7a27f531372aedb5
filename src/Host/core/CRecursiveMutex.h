// CRecursiveMutex: a re-entrant lock on one kernel mutex.
//
// The owning thread may lock again; only the nesting count changes, and the kernel mutex is released
// when the count returns to 0. Owner and count change only with the scheduler locked.
// g_ParameterTreeLock guards the whole parameter tree; another instance guards the SCPI status objects.
#pragma once

#include "platform/kernel.h"

namespace Torvex {

class CRecursiveMutex {
 public:
  CRecursiveMutex();
  ~CRecursiveMutex();

  CRecursiveMutex(const CRecursiveMutex&) = delete;
  CRecursiveMutex& operator=(const CRecursiveMutex&) = delete;

  // False when the kernel wait was broken (cyg_thread_release); the lock is then not held.
  bool Lock();
  // Unlock by a thread that does not hold the lock changes nothing and is logged.
  void Unlock();

  // For tests and assertions.
  cyg_handle_t Owner() const;
  cyg_uint32 Count() const;

 private:
  cyg_mutex_t m_Mutex;
  cyg_handle_t m_Owner = 0;
  cyg_uint32 m_Count = 0;
};

// Holds a CRecursiveMutex for a scope (only when Lock succeeded).
class CRecursiveLockGuard {
 public:
  explicit CRecursiveLockGuard(CRecursiveMutex& mutex) : m_Mutex(mutex), m_Locked(mutex.Lock()) {}
  ~CRecursiveLockGuard() {
    if (m_Locked) m_Mutex.Unlock();
  }
  CRecursiveLockGuard(const CRecursiveLockGuard&) = delete;
  CRecursiveLockGuard& operator=(const CRecursiveLockGuard&) = delete;
  bool Locked() const { return m_Locked; }

 private:
  CRecursiveMutex& m_Mutex;
  bool m_Locked;
};

extern CRecursiveMutex g_ParameterTreeLock;

}  // namespace Torvex
