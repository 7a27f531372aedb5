// An endpoint as the device core sees it: what an interface class and the device manager call
// (transfers, halts, packet sizes). CUsbControllerEndpoint.h adds what a driver implements for the
// controller base. The base implementations report "not supported" where a driver provides nothing.
// The completions come back through the endpoint's CUsbEndpointEventObserver (UsbControllerEvents.h).
#pragma once

#include <cstdint>

#include "engine/CDataBuffer.h"
#include "usb/controller/UsbControllerEvents.h"
#include "usb/controller/UsbTypes.h"

class CUsbEndpoint {
 public:
  // The address gets bit 7 for the IN kinds (bulk-IN, interrupt-IN).
  CUsbEndpoint(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate, std::uint8_t address,
               std::int32_t kind, CUsbEndpointEventObserver* observer, std::uint32_t* status);
  virtual ~CUsbEndpoint() = default;
  CUsbEndpoint(const CUsbEndpoint&) = delete;
  CUsbEndpoint& operator=(const CUsbEndpoint&) = delete;

  virtual std::uint16_t GetMaxPacketSize(std::uint32_t speed) = 0;
  virtual void SetMaxPacketSize(std::uint16_t size, std::uint32_t speed, std::uint32_t* status);
  virtual std::uint8_t GetInterval(std::uint32_t speed) = 0;
  virtual void SetInterval(std::uint8_t value, std::uint32_t speed, std::uint32_t* status);
  virtual void RegisterReadBuffer(CDataBuffer* buffer);
  virtual void StartRead(CDataBuffer* chain, std::uint32_t* status);
  virtual void RegisterWriteBuffer(CDataBuffer* buffer);
  virtual void StartWrite(CDataBuffer* chain, std::uint32_t* status);
  // Acts whatever the status (an error already in it is kept).
  virtual void CancelTransfer(std::uint32_t* count, std::uint32_t* status) = 0;
  virtual bool IsFifoEmpty() = 0;
  virtual void FlushFifo(std::uint32_t* status) = 0;
  virtual void AcknowledgeStatus(std::uint32_t* status);
  virtual void Halt(std::uint32_t* status) = 0;
  virtual void ReleaseHalt(std::uint32_t* status) = 0;

  std::uint8_t configuration() const { return configuration_; }
  std::uint8_t interface_number() const { return interface_; }
  std::uint8_t alternate() const { return alternate_; }
  std::uint8_t address() const { return address_; }
  std::int32_t kind() const { return kind_; }
  CUsbEndpointEventObserver* observer() const { return observer_; }
  std::uint32_t state() const { return state_; }

 protected:
  std::uint8_t configuration_;
  std::uint8_t interface_;
  std::uint8_t alternate_;
  std::uint8_t address_;
  std::int32_t kind_;
  CUsbEndpointEventObserver* observer_;
  std::uint32_t state_ = 0;
};
