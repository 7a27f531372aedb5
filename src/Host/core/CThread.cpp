#include "core/CThread.h"

#include <cstdlib>

namespace Torvex {

CThread::CThread(const ThreadAttributes& attributes)
    : CThread(attributes.priority, attributes.stack_size, attributes.name) {}

CThread::CThread(cyg_priority_t priority, cyg_ucount32 stack_size, const char* name) {
  cyg_semaphore_init(&m_StartSemaphore, 0);
  m_Stack = std::malloc(stack_size);
  cyg_thread_create(priority, &CThread::ThreadEntry, reinterpret_cast<cyg_addrword_t>(this), name, m_Stack, stack_size,
                    &m_Handle, &m_Thread);
}

CThread::~CThread() {
  // Joins a started thread; the stack is freed only once nothing runs on it.
  cyg_thread_delete(m_Handle);
  std::free(m_Stack);
  cyg_semaphore_destroy(&m_StartSemaphore);
}

void CThread::Start() {
  cyg_thread_resume(m_Handle);
  cyg_semaphore_wait(&m_StartSemaphore);
}

void CThread::ThreadEntry(cyg_addrword_t data) {
  auto* self = reinterpret_cast<CThread*>(data);
  cyg_semaphore_post(&self->m_StartSemaphore);
  self->ThreadMain();
  cyg_thread_exit();
}

}  // namespace Torvex
