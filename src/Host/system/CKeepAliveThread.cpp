// The keep-alive thread (see CKeepAliveThread.h).
#include "system/CKeepAliveThread.h"

#include "system/CTorvexPower.h"

namespace Torvex {

CKeepAliveThread::CKeepAliveThread() : CThread(kKeepAliveThread) {}

CKeepAliveThread::~CKeepAliveThread() {
  m_Stop.store(true);
  cyg_thread_release(Handle());  // ends the delay; CThread's teardown then joins the thread
}

void CKeepAliveThread::ThreadMain() {
  while (!m_Stop.load()) {
    CTorvexPower::KickKeepAlive();
    cyg_thread_delay(kKeepAlivePeriodTicks);
  }
}

}  // namespace Torvex
