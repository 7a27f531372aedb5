#include "engine/CEventObserver.h"

#include "engine/CDoVovuriInterface.h"
#include "engine/DoVovuriStatus.h"

CEventObserver::~CEventObserver() {
  // The thread must not outlive the object, whatever the owner did.
  if (stop_.load() == 0) Stop();
}

void CEventObserver::Stop() {
  stop_.store(1);
  std::uint32_t status = kStatusNotReported;
  owner_->AbortEventWait(&status);
  Join();
}

void CEventObserver::Run() {
  SetState(kStateRunning);
  SignalStarted();
  DoVovuriEventEntry entry{kEventCodeNone, 0, nullptr, nullptr, nullptr, 0};
  for (;;) {
    std::uint32_t status = kStatusNotReported;
    owner_->WaitForEvent(1, &entry, &status);
    if (status == kStatusSuccess) {
      std::uint32_t dispatch_status = kStatusNotReported;
      owner_->DispatchEvent(&entry, &dispatch_status);
    }
    if (stop_.load() != 0) return;
  }
}
