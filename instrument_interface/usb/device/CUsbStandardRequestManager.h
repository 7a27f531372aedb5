// Answers the standard device requests (USB 2.0 chapter 9) that reach endpoint 0: GET_STATUS,
// CLEAR_FEATURE and SET_FEATURE (endpoint halt), SET_ADDRESS, GET_DESCRIPTOR (device, configuration,
// string), GET_CONFIGURATION, SET_CONFIGURATION, GET_INTERFACE and SET_INTERFACE. Everything else,
// and every request whose fields are out of range (all fields are taken at their full width: a value
// that does not exist is refused, never masked into one that does), is a request error, answered by
// a stall of endpoint 0 with a clean status. Any other error is left in the status for the controller
// base to report, and endpoint 0 is then not touched.
//
// Runs in the "USB Interrupt Handler" thread inside endpoint 0's service pass; takes no lock.
#pragma once

#include <cstdint>

#include "engine/CDataBuffer.h"
#include "usb/controller/CUsbController.h"
#include "usb/device/CUsbDescriptorSet.h"
#include "usb/controller/CUsbEndpoint.h"

class CUsbStandardRequestManager {
 public:
  CUsbStandardRequestManager(CUsbController* controller, CUsbEndpoint* endpoint0)
      : controller_(controller), endpoint0_(endpoint0) {}
  virtual ~CUsbStandardRequestManager();
  CUsbStandardRequestManager(const CUsbStandardRequestManager&) = delete;
  CUsbStandardRequestManager& operator=(const CUsbStandardRequestManager&) = delete;

  // Keeps the set and allocates the reply buffer for its largest descriptor.
  void SetDescriptorSet(CUsbDescriptorSet* descriptors, std::uint32_t* status);
  void Reset();
  void SetPowerSource(std::uint32_t source, std::uint32_t* status);
  void HandleRequest(const UsbSetupPacket& setup, std::uint32_t* status);
  void OnDataStageRead(std::uint32_t result, std::uint32_t count, std::uint32_t* status);
  void OnDataStageWritten(std::uint32_t result, std::uint32_t count, std::uint32_t* status);
  bool InDataStage() const { return data_stage_ != 0; }

 private:
  void Reply(std::uint32_t length, std::uint32_t* status);
  void GetStatus(const UsbSetupPacket& setup, std::uint32_t* status);
  void Feature(const UsbSetupPacket& setup, bool set, std::uint32_t* status);
  void SetAddress(const UsbSetupPacket& setup, std::uint32_t* status);
  void GetDescriptor(const UsbSetupPacket& setup, std::uint32_t* status);
  void GetConfiguration(const UsbSetupPacket& setup, std::uint32_t* status);
  void SetConfiguration(const UsbSetupPacket& setup, std::uint32_t* status);
  void GetInterface(const UsbSetupPacket& setup, std::uint32_t* status);
  void SetInterface(const UsbSetupPacket& setup, std::uint32_t* status);

  CUsbController* controller_;
  CUsbDescriptorSet* descriptors_ = nullptr;
  CDataBuffer* reply_ = nullptr;
  CUsbEndpoint* endpoint0_;
  std::uint8_t data_stage_ = 0;
};
