// CDoVovuriInterface: the engine's programming interface of one device, as the application's device
// object (C4882Device) sees it. Its only implementation is CFunctionCallInterface.
//
// Every operation reports an internal status word through its last argument. Operations of one device
// are serialised by the engine device's mutex, so any thread may call them; WaitForEvent and
// DispatchEvent are the event-loop thread's (CEventObserver). A device must not be released from inside
// one of its own event functions (the release joins the event-loop thread).
#pragma once

#include <cstdint>

#include "engine/CEventQueue.h"

class CDoVovuriInterface {
 public:
  virtual ~CDoVovuriInterface() = default;

  virtual std::uint8_t IsValid(std::uint32_t* status) = 0;
  virtual void Enable(const void* settings, std::uint32_t* status) = 0;
  virtual void Disable(std::uint32_t* status) = 0;
  virtual void EnableEventLoop(std::uint32_t* status) = 0;
  virtual void EnableEvent(std::uint32_t id, DoVovuriEventFunction function, void* context, std::uint32_t* status) = 0;
  virtual void DisableEvent(std::uint32_t id, std::uint32_t* status) = 0;
  virtual void WaitForEvent(std::uint8_t wait_forever, DoVovuriEventEntry* entry, std::uint32_t* status) = 0;
  virtual void AbortEventWait(std::uint32_t* status) = 0;
  virtual void DispatchEvent(DoVovuriEventEntry* entry, std::uint32_t* status) = 0;
  virtual void PostInputBuffer(void* data, std::uint32_t capacity, std::uint32_t* status) = 0;
  virtual void CancelInputBuffer(std::uint32_t* status) = 0;
  virtual void QueueResponse(const void* data, std::uint32_t count, std::uint8_t end, std::uint32_t* status) = 0;
  virtual void CancelResponse(std::uint32_t* status) = 0;
  virtual void QueryDetected(std::uint32_t* status) = 0;
  virtual void MessageProcessed(std::uint32_t* status) = 0;
  virtual void EndProcessed(std::uint32_t* status) = 0;
  virtual void ReportDeadlock(std::uint32_t* status) = 0;
  virtual void AcknowledgeUnterminated(std::uint32_t* status) = 0;
  virtual void SetStatusByte(std::uint8_t status_byte, std::uint32_t* status) = 0;
  virtual void RequestService(std::uint32_t* status) = 0;
  virtual void WithdrawServiceRequest(std::uint32_t* status) = 0;
  virtual void ReturnToLocal(std::uint32_t* status) = 0;
  virtual void EnableRelaxedMode(std::uint32_t* status) = 0;
  virtual void DisableRelaxedMode(std::uint32_t* status) = 0;
};
