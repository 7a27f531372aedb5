#include "core/CRecursiveMutex.h"

#include "core/CLogger.h"

namespace Torvex {

CRecursiveMutex g_ParameterTreeLock;

CRecursiveMutex::CRecursiveMutex() { cyg_mutex_init(&m_Mutex); }

CRecursiveMutex::~CRecursiveMutex() { cyg_mutex_destroy(&m_Mutex); }

bool CRecursiveMutex::Lock() {
  const cyg_handle_t self = cyg_thread_self();
  cyg_scheduler_lock();
  if (m_Owner != 0 && m_Owner == self) {
    ++m_Count;
    cyg_scheduler_unlock();
    return true;
  }
  cyg_scheduler_unlock();

  if (!cyg_mutex_lock(&m_Mutex)) return false;  // wait broken: nothing is held, nothing recorded

  cyg_scheduler_lock();
  m_Count = 1;
  m_Owner = self;
  cyg_scheduler_unlock();
  return true;
}

void CRecursiveMutex::Unlock() {
  const cyg_handle_t self = cyg_thread_self();
  cyg_scheduler_lock();
  if (m_Count == 0 || m_Owner != self) {
    cyg_scheduler_unlock();
    g_Logger.Printf("CRecursiveMutex::Unlock: not held by the calling thread\n");
    return;
  }
  if (m_Count - 1 == 0) {
    m_Owner = 0;
    m_Count = 0;
    cyg_scheduler_unlock();
    cyg_mutex_unlock(&m_Mutex);
    return;
  }
  --m_Count;
  cyg_scheduler_unlock();
}

cyg_handle_t CRecursiveMutex::Owner() const {
  cyg_scheduler_lock();
  const cyg_handle_t owner = m_Owner;
  cyg_scheduler_unlock();
  return owner;
}

cyg_uint32 CRecursiveMutex::Count() const {
  cyg_scheduler_lock();
  const cyg_uint32 count = m_Count;
  cyg_scheduler_unlock();
  return count;
}

}  // namespace Torvex
