// A handler of the interrupt path of a COSUsbDevice: the primary one runs in interrupt context and
// returns 1 when the deferred (secondary) work is needed; the secondary one runs on the device's
// "USB Interrupt Handler" thread.
#pragma once

#include <cstdint>

class COSInterruptHandler {
 public:
  virtual ~COSInterruptHandler() = default;
  virtual std::uint32_t Handle() = 0;
};
