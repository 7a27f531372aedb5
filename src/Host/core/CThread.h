// CThread: base of the application's long-lived threads.
//
// The kernel thread is created suspended when the object is built, with a stack from the C heap;
// Start() resumes it and returns only once the new thread has begun to run; the thread then runs the
// derived class's ThreadMain and exits when it returns. Destroying the object joins a thread that was
// started (it never frees a stack under a running thread) and discards one that never ran.
#pragma once

#include "platform/kernel.h"

namespace Torvex {

// Name, priority (lower is more urgent) and stack size of each application thread.
struct ThreadAttributes {
  const char* name;
  cyg_priority_t priority;
  cyg_ucount32 stack_size;
};

inline constexpr ThreadAttributes kKeepAliveThread{"KeepAlive Thread", 5, 8192};
inline constexpr ThreadAttributes kPowerDownMonitorThread{"Power Down Monitor Thread", 10, 8192};
inline constexpr ThreadAttributes kHostAcquisitionThread{"Host Acquisition Thread", 15, 80000};
inline constexpr ThreadAttributes kHostParserThread{"Host Parser Thread", 15, 32768};
inline constexpr ThreadAttributes kTopologyMonitorThread{"Topology Monitor Thread", 15, 9920};

class CThread {
 public:
  explicit CThread(const ThreadAttributes& attributes);
  CThread(cyg_priority_t priority, cyg_ucount32 stack_size, const char* name);
  virtual ~CThread();

  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // Resumes the thread and waits until it runs. Call once.
  void Start();

  // Entry of every application thread (and of the parser thread): entry data is the object.
  static void ThreadEntry(cyg_addrword_t data);

  cyg_handle_t Handle() const { return m_Handle; }

 protected:
  virtual void ThreadMain() = 0;

 private:
  void* m_Stack = nullptr;
  cyg_handle_t m_Handle = 0;
  cyg_thread m_Thread;
  cyg_sem_t m_StartSemaphore;
};

}  // namespace Torvex
