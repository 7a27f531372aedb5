// The bulk-OUT endpoint 0x02 of the S3C2410 driver.
#pragma once

#include "usb/controller/CS3C2410Endpoint.h"
#include "usb/controller/CS3C2410FifoManager.h"

class CS3C2410BulkOutEndpoint : public CS3C2410Endpoint {
 public:
  CS3C2410BulkOutEndpoint(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate,
                          CUsbEndpointEventObserver* observer, CS3C2410Registers* registers,
                          CS3C2410Controller* controller, std::uint32_t* status);
  ~CS3C2410BulkOutEndpoint() override;

  std::uint16_t GetMaxPacketSize(std::uint32_t) override { return 64; }
  std::uint8_t GetInterval(std::uint32_t) override { return 0; }
  void StartRead(CDataBuffer* chain, std::uint32_t* status) override;
  void CancelTransfer(std::uint32_t* count, std::uint32_t* status) override;
  bool IsFifoEmpty() override { return registers_->OutFifoCount(2) == 0; }
  void FlushFifo(std::uint32_t* status) override;
  void Halt(std::uint32_t* status) override;
  void ReleaseHalt(std::uint32_t*) override { hold_ = 0; }
  void Configure(std::uint32_t* status) override;
  void Deconfigure(std::uint32_t* status) override;
  void Stall(std::uint32_t* status) override;
  bool IsStalled() override { return SendStallSet(); }
  void ClearStall(std::uint32_t* status) override;
  void Service(std::uint32_t* status) override;

 private:
  void Receive();
  void Complete(std::uint32_t* status);
  CS3C2410FifoManager* fifo_ = nullptr;
};
