// CFunctionCallInterface: the implementation of CDoVovuriInterface. It owns one engine device through
// its handle in the engine device list and forwards every operation to it after checking the
// arguments. Made by CreateFunctionCallInterface and deleted by ReleaseFunctionCallInterface (or by the
// engine's shut-down, which stops its event loop and destroys its device first; see DoVovuriEngine.h).
#pragma once

#include <cstdint>

#include "engine/CDoVovuriInterface.h"
#include "engine/CPhysicalInterfaceFactory.h"

class CEngineDevice;
class CEventObserver;

class CFunctionCallInterface : public CDoVovuriInterface {
 public:
  CFunctionCallInterface(const DoVovuriDeviceDescriptor* descriptor, std::uint32_t context);
  ~CFunctionCallInterface() override;
  CFunctionCallInterface(const CFunctionCallInterface&) = delete;
  CFunctionCallInterface& operator=(const CFunctionCallInterface&) = delete;

  std::int32_t Handle() const { return handle_; }

  // The two halves of the destruction, for the engine's shut-down: first every interface's event
  // loop stops, then every device goes (with its physical interface). Both may run more than once.
  void StopEventLoop();
  void DestroyDevice();

  std::uint8_t IsValid(std::uint32_t* status) override;
  void Enable(const void* settings, std::uint32_t* status) override;
  void Disable(std::uint32_t* status) override;
  void EnableEventLoop(std::uint32_t* status) override;
  void EnableEvent(std::uint32_t id, DoVovuriEventFunction function, void* context, std::uint32_t* status) override;
  void DisableEvent(std::uint32_t id, std::uint32_t* status) override;
  void WaitForEvent(std::uint8_t wait_forever, DoVovuriEventEntry* entry, std::uint32_t* status) override;
  void AbortEventWait(std::uint32_t* status) override;
  void DispatchEvent(DoVovuriEventEntry* entry, std::uint32_t* status) override;
  void PostInputBuffer(void* data, std::uint32_t capacity, std::uint32_t* status) override;
  void CancelInputBuffer(std::uint32_t* status) override;
  void QueueResponse(const void* data, std::uint32_t count, std::uint8_t end, std::uint32_t* status) override;
  void CancelResponse(std::uint32_t* status) override;
  void QueryDetected(std::uint32_t* status) override;
  void MessageProcessed(std::uint32_t* status) override;
  void EndProcessed(std::uint32_t* status) override;
  void ReportDeadlock(std::uint32_t* status) override;
  void AcknowledgeUnterminated(std::uint32_t* status) override;
  void SetStatusByte(std::uint8_t status_byte, std::uint32_t* status) override;
  void RequestService(std::uint32_t* status) override;
  void WithdrawServiceRequest(std::uint32_t* status) override;
  void ReturnToLocal(std::uint32_t* status) override;
  void EnableRelaxedMode(std::uint32_t* status) override;
  void DisableRelaxedMode(std::uint32_t* status) override;

 private:
  // The engine device of the handle, or null with kStatusDeviceNotFound.
  CEngineDevice* Device(std::uint32_t* status);

  std::int32_t handle_ = -1;
  CEventObserver* event_loop_ = nullptr;
  std::uint8_t valid_ = 0;
  std::uint32_t status_;
};
