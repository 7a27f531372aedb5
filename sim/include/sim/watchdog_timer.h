// The board's watchdog timer (WTCON, WTDAT, WTCNT at 0x53000000). Once enabled with its reset output,
// it counts down from WTCNT and, when it reaches 0, calls platform::bootloader::WatchdogExpired (the
// board treats it as a reset). Writing WTCNT reloads it. The count runs in kernel ticks: the real
// period (about 39 s for a count of 60000) is scaled by the tick length like every firmware period.
//
// One instance per process, mapped on the register bus from static initialisation on, so that the
// firmware's start of the watchdog (made before main runs) reaches it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/regbus.h"

namespace sim {

class WatchdogTimer final : public platform::regbus::Model {
 public:
  static WatchdogTimer& Instance();

  std::uint32_t Read(std::uint32_t address, unsigned width) override;
  void Write(std::uint32_t address, std::uint32_t value, unsigned width) override;

  bool Running();
  std::uint64_t Expiries();

 private:
  WatchdogTimer();
  void Run();
  void Arm();  // with lock_ held

  std::mutex lock_;
  std::condition_variable changed_;
  std::uint16_t wtcon_ = 0x8021;  // reset value
  std::uint16_t wtdat_ = 0x8000;
  std::uint16_t wtcnt_ = 0x8000;
  bool armed_ = false;
  std::chrono::steady_clock::time_point deadline_{};
  std::uint64_t expiries_ = 0;
  std::thread thread_;
};

}  // namespace sim
