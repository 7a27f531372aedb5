#include "engine/COSThread.h"

#include "engine/DoVovuriStatus.h"

COSThread::COSThread() {
  cyg_thread_create(15, &COSThread::ThreadEntry, reinterpret_cast<cyg_addrword_t>(this), "DO-Vovuri", stack_,
                    kStackSize, &handle_, &thread_);
  cyg_mutex_init(&thread_mutex_);
}

COSThread::~COSThread() {
  Join();
  cyg_mutex_destroy(&thread_mutex_);
  cyg_thread_delete(handle_);
}

void COSThread::ThreadEntry(cyg_addrword_t data) {
  COSThread* self = reinterpret_cast<COSThread*>(data);
  // Start resumes the thread only once, so nobody else holds the mutex yet; a release that breaks
  // this lock is retried.
  while (!cyg_mutex_lock(&self->thread_mutex_)) {
  }
  self->Run();
  cyg_mutex_unlock(&self->thread_mutex_);
}

void COSThread::Start(cyg_priority_t priority, std::uint32_t* status) {
  if (started_.exchange(true)) {
    *status = kOsStatusNotStarted;
    return;
  }
  COSSemaphore started;
  started.Init(0, 1);
  if (started.IsFailed()) {
    *status = kOsStatusNotStarted;
    return;
  }
  start_signal_ = &started;
  cyg_thread_set_priority(handle_, priority);
  cyg_thread_resume(handle_);
  // The semaphore lives on this stack: leave only once the body has posted it.
  std::uint32_t wait_status = kStatusNotReported;
  while (!started.Wait(COSSemaphore::kWaitForever, &wait_status)) {
  }
  start_signal_ = nullptr;
  started.Destroy();
  *status = state_.load() == kStateRunning ? kStatusSuccess : kOsStatusNotStarted;
}

void COSThread::Join() {
  if (!started_.load()) return;
  if (cyg_thread_self() == handle_) return;
  // The body holds the mutex from before SignalStarted until Run returns.
  while (!cyg_mutex_lock(&thread_mutex_)) {
  }
  cyg_mutex_unlock(&thread_mutex_);
}

void COSThread::SignalStarted() {
  if (start_signal_ != nullptr) start_signal_->Post();
}
