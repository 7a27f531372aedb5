// CEventObserver: the event-loop thread of one device ("DO-Vovuri", priority 8). It waits for the
// device's events and dispatches them, one at a time and in posting order, so the application's event
// operations of a device run only on this thread. Created by CFunctionCallInterface::EnableEventLoop,
// stopped and joined by the interface's destruction.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/COSThread.h"

class CDoVovuriInterface;

class CEventObserver : public COSThread {
 public:
  static constexpr cyg_priority_t kPriority = 8;

  explicit CEventObserver(CDoVovuriInterface* owner) : owner_(owner) {}
  ~CEventObserver() override;

  bool IsFailed() override { return false; }
  // Sets the stop flag, wakes the wait and joins the thread.
  void Stop();

 protected:
  void Run() override;

 private:
  CDoVovuriInterface* owner_;
  std::atomic<std::uint8_t> stop_{0};
};
