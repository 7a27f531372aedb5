// A register sequence of the S3C2410 driver with IRQ and FIQ masked, for the scope of the object.
#pragma once

#include "platform/kernel.h"

class CS3C2410InterruptMask {
 public:
  CS3C2410InterruptMask() { cyg_interrupt_disable(); }
  ~CS3C2410InterruptMask() { cyg_interrupt_enable(); }
  CS3C2410InterruptMask(const CS3C2410InterruptMask&) = delete;
  CS3C2410InterruptMask& operator=(const CS3C2410InterruptMask&) = delete;
};
