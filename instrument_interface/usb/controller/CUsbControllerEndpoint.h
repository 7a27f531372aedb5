// An endpoint as a driver implements it: CUsbEndpoint plus what the controller base needs to program
// the endpoint into the hardware and to service it. Configure, Deconfigure, PrepareAlternate, Stall
// and ClearStall are called by the controller base for the device core's requests; IsInterruptPending
// and Service only inside a service pass.
#pragma once

#include <cstdint>

#include "usb/controller/CUsbEndpoint.h"

class CUsbControllerEndpoint : public CUsbEndpoint {
 public:
  using CUsbEndpoint::CUsbEndpoint;

  virtual void Configure(std::uint32_t* status) = 0;
  // Acts whatever the status.
  virtual void Deconfigure(std::uint32_t* status) = 0;
  virtual void PrepareAlternate(std::uint32_t* status) = 0;
  virtual void Stall(std::uint32_t* status) = 0;
  virtual bool IsStalled() { return false; }
  virtual void ClearStall(std::uint32_t* status) = 0;
  virtual bool IsInterruptPending() = 0;
  virtual void Service(std::uint32_t* status) = 0;
};
