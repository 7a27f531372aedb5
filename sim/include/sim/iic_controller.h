// The IIC controller (register range 0x54000000) and the two bus segments behind it.
//
// Registers: IICCON (clock divider, pending bit, interrupt enable, clock source, acknowledge enable),
// IICSTAT (mode, busy/start-stop, output enable, last acknowledge), IICADD, IICDS. As master:
//  - writing IICSTAT with bit 5 set on an idle bus sends a start and the address byte held in IICDS;
//    on a busy bus it sends a repeated start (when the pending bit is next cleared, if it is set);
//  - clearing the pending bit (writing IICCON with bit 4 at 0) resumes the bus: in transmit mode the
//    byte written to IICDS since the last one is shifted out; in receive mode one byte is clocked in
//    and acknowledged as IICCON bit 7 says (after a byte not acknowledged the master waits for a stop
//    or a repeated start);
//  - writing IICSTAT with bit 5 clear on a busy bus sends a stop (when the pending bit is next
//    cleared, if it is set); the busy bit clears with the stop.
// Each address, byte or repeated start sets the pending bit and, with interrupts enabled, raises
// vector 27. Transfers complete at once (the model has no bus timing); the bus clock is derived from
// the divider and handed to the devices.
//
// Segments: port line GPE8 selects segment 0 (on-board devices) or 1 (the probe connector); it is
// sampled at each start. An address with no device on the selected segment is not acknowledged.
// Faults: a device's address acknowledge can be withheld for a time or for a number of attempts.
//
// Thread safety: any thread; device callbacks run under the controller's lock.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>

#include "platform/hw_registers.h"
#include "platform/regbus.h"
#include "sim/i2c_slave.h"

namespace sim {

class IicController final : public platform::regbus::Model {
 public:
  static constexpr std::uint32_t kBase = hw::iic::kBase;
  static constexpr std::uint32_t kSize = hw::iic::kSize;
  static constexpr unsigned kVector = hw::iic::kVector;
  static constexpr unsigned kSegments = 2;
  static constexpr std::uint32_t kPclkHz = 50000000;

  using Clock = std::chrono::steady_clock;
  // Which address phases a fault applies to.
  enum class Direction { kAny, kWrite, kRead };

  // Places `device` at the 7-bit `address` of `segment` (nullptr removes it).
  void Attach(unsigned segment, std::uint8_t address, I2cSlave* device);
  // The segment select line (GPE8).
  void SetSegmentSelect(bool level);

  // Faults: the device at (segment, address) does not acknowledge its address until `until`, or for
  // the next `attempts` address phases (of the given direction).
  void WithholdAckUntil(unsigned segment, std::uint8_t address, Clock::time_point until);
  void WithholdAckAttempts(unsigned segment, std::uint8_t address, unsigned attempts,
                           Direction direction = Direction::kAny);
  void ClearFaults();

  // Observations for tests: address phases seen for a device (of the given direction).
  std::uint64_t AddressPhases(unsigned segment, std::uint8_t address, Direction direction = Direction::kAny);
  std::uint32_t BusHz();
  bool Busy();

  std::uint32_t Read(std::uint32_t address, unsigned width) override;
  void Write(std::uint32_t address, std::uint32_t value, unsigned width) override;

 private:
  struct Fault {
    Clock::time_point until{};
    unsigned attempts = 0;
    Direction direction = Direction::kAny;
  };

  std::uint32_t BusHzLocked() const;
  void StartLocked();
  void StopLocked();
  void ResumeLocked();
  void SetPendingLocked();

  std::mutex lock_;
  std::uint32_t con_ = 0;
  std::uint32_t stat_ = 0;  // mode (7:6) and output enable (4) as written; busy and ack kept apart
  std::uint32_t add_ = 0;
  std::uint32_t ds_ = 0;
  bool pending_ = false;
  bool busy_ = false;
  bool nack_ = false;       // IICSTAT bit 0
  bool ds_loaded_ = false;  // IICDS written since the last byte shifted
  bool stop_requested_ = false;
  bool start_requested_ = false;
  bool rx_ended_ = false;  // the master did not acknowledge the last byte received
  bool segment_select_ = false;
  unsigned segment_ = 0;  // segment of the current transfer
  I2cSlave* current_ = nullptr;
  std::array<std::map<std::uint8_t, I2cSlave*>, kSegments> devices_{};
  std::map<std::pair<unsigned, std::uint8_t>, Fault> faults_;
  std::map<std::pair<unsigned, std::uint8_t>, std::array<std::uint64_t, 2>> address_phases_;  // write, read
};

}  // namespace sim
