// Endpoint 0 of the S3C2410 driver: setup packets, control data and status stages.
#pragma once

#include "usb/controller/CS3C2410Endpoint.h"
#include "usb/controller/CS3C2410FifoManager.h"

class CS3C2410ControlEndpoint : public CS3C2410Endpoint {
 public:
  CS3C2410ControlEndpoint(CUsbEndpointEventObserver* observer, CS3C2410Registers* registers,
                          CS3C2410Controller* controller, std::uint32_t* status);
  ~CS3C2410ControlEndpoint() override;

  std::uint16_t GetMaxPacketSize(std::uint32_t) override { return 8; }
  std::uint8_t GetInterval(std::uint32_t) override { return 0; }
  void StartWrite(CDataBuffer* chain, std::uint32_t* status) override;
  void CancelTransfer(std::uint32_t* count, std::uint32_t* status) override;
  bool IsFifoEmpty() override { return false; }
  void FlushFifo(std::uint32_t*) override {}
  void AcknowledgeStatus(std::uint32_t* status) override;
  void Halt(std::uint32_t* status) override;
  void ReleaseHalt(std::uint32_t* status) override { ClearStall(status); }
  void Configure(std::uint32_t* status) override;
  void Deconfigure(std::uint32_t* status) override;
  void Stall(std::uint32_t* status) override;
  bool IsStalled() override;
  void ClearStall(std::uint32_t* status) override;
  void Service(std::uint32_t* status) override;

 private:
  void LoadPacket();
  // A data stage in progress (or sent, or overtaken) is over: its owner is told, result 1 when it
  // had gone out completely, 4 otherwise.
  void EndDataStage(std::uint32_t* status);
  CS3C2410FifoManager* in_ = nullptr;
  CS3C2410FifoManager* out_ = nullptr;
  std::uint8_t setup_unacknowledged_ = 0;
  std::uint8_t status_pending_ = 0;
  std::uint32_t length_ = 0;
};
