// A device model on one of the board's I2C bus segments, as the IIC controller model sees it.
//
// The controller calls these from the thread that drives it (a driver, through the register bus),
// with its own lock held: an implementation guards its state with a lock of its own and never calls
// back into the controller.
#pragma once

#include <cstdint>

namespace sim {

class I2cSlave {
 public:
  virtual ~I2cSlave() = default;
  // A start or repeated start with this device's address; `read` is the direction bit, `bus_hz` the
  // clock the master drives. Returns true to acknowledge the address.
  virtual bool Start(bool read, std::uint32_t bus_hz) = 0;
  // A byte written by the master. Returns true to acknowledge it.
  virtual bool Write(std::uint8_t byte) = 0;
  // The next byte the master clocks in; `master_acks` tells whether the master acknowledges it (a
  // byte not acknowledged is the last of the transfer).
  virtual std::uint8_t Read(bool master_acks) = 0;
  // A stop condition ended the transfer.
  virtual void Stop() = 0;
};

}  // namespace sim
