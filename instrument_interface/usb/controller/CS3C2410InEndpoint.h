// What bulk-IN and interrupt-IN of the S3C2410 driver share: one FIFO loaded a packet at a time.
#pragma once

#include "usb/controller/CS3C2410Endpoint.h"
#include "usb/controller/CS3C2410FifoManager.h"

class CS3C2410InEndpoint : public CS3C2410Endpoint {
 public:
  CS3C2410InEndpoint(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate, unsigned number,
                     std::int32_t kind, CUsbEndpointEventObserver* observer, CS3C2410Registers* registers,
                     CS3C2410Controller* controller, std::uint32_t* status);
  ~CS3C2410InEndpoint() override;

  void StartWrite(CDataBuffer* chain, std::uint32_t* status) override;
  // Nothing left for the host: every byte loaded and the last packet taken from the FIFO.
  bool IsFifoEmpty() override { return fifo_ == nullptr || (fifo_->remaining() == 0 && !PacketWaiting()); }
  void FlushFifo(std::uint32_t* status) override;
  void Halt(std::uint32_t* status) override;
  void Configure(std::uint32_t* status) override;
  void Deconfigure(std::uint32_t* status) override;
  void Stall(std::uint32_t* status) override;
  bool IsStalled() override { return SendStallSet(); }
  void Service(std::uint32_t* status) override;

 protected:
  bool PacketWaiting();
  void LoadPacket();
  CS3C2410FifoManager* fifo_ = nullptr;
};
