// The DSP as the ARM sees it: its host-port window (register range 0x08000000) in front of a sparse
// memory of 32-bit words, its reset line and its interrupt line to the host.
//
// Window: HPIC (write 0x00, read 0x10), HPIA (write 0x04, read 0x14), HPID with the address advanced
// by one word after the access (write 0x08, read 0x18) and HPID with the address unchanged (write
// 0x0C, read 0x1C). HPIC bits (repeated in both halves): 0 halfword ordering (set: first halfword
// least significant; clear: the two halves of every data word arrive swapped), 1 DSPINT (writing 1
// interrupts the DSP), 2 HINT (reads 1 while the DSP interrupts the host; writing 1 clears it).
// Addresses are DSP byte addresses; a word lives at its address rounded down to a multiple of 4.
//
// The DSP is held in reset while its reset line (GPE2) is low: the window then ignores writes and
// reads 0, and the memory and the host interrupt are cleared when reset begins. The window is also
// unreachable while the external bus is handed to the NAND flash (GPE3 or GPE4 high); accesses made
// then are ignored and counted as bus conflicts. The DSP's program is not modelled here: the DSP side
// (ReadWord, WriteWord, RaiseHostInterrupt), the DSPINT and reset hooks and the live word are the seam
// for it (sim/dsp_program.h).
//
// Thread safety: any thread. The host-interrupt line callback and the live word's source run with the
// model's lock held (they must not call back into this model); the DSPINT and reset hooks run without
// it.
#pragma once

#include <cstdint>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <unordered_map>

#include "platform/hw_registers.h"
#include "platform/regbus.h"

namespace sim {

class Dsp final : public platform::regbus::Model {
 public:
  static constexpr std::uint32_t kBase = hw::hpi::kBase;
  static constexpr std::uint32_t kSize = hw::hpi::kSize;

  // `host_interrupt_line` receives the level of the DSP's interrupt output (low while asserted).
  explicit Dsp(std::function<void(bool level)> host_interrupt_line);

  // Board lines.
  void SetResetLine(bool level);
  void SetBusLines(bool gpe3, bool gpe4);

  // DSP side.
  std::uint32_t ReadWord(std::uint32_t address);
  void WriteWord(std::uint32_t address, std::uint32_t word);
  void RaiseHostInterrupt();
  bool HostInterruptAsserted();
  // Called (on the writing thread) for every DSPINT the host sends while the DSP is out of reset.
  // Setting a hook (or none) waits until no hook call is running any more, so that whatever the old
  // hook reached may go away afterwards; never set one from inside a hook.
  void SetDspInterruptHook(std::function<void()> hook);
  // Called on the thread that drives the reset line: with false before the memory is cleared when
  // reset begins, with true after reset is released.
  void SetResetHook(std::function<void(bool released)> hook);
  // A word whose value `source` gives at each read (a counter the DSP keeps running); writes to it
  // are ignored. An empty source makes it plain memory again.
  void SetLiveWord(std::uint32_t address, std::function<std::uint32_t()> source);

  // Observations.
  bool InReset();
  std::uint64_t DspInterrupts();
  std::uint64_t ResetPulses();   // times reset was released
  std::uint64_t BusConflicts();  // window accesses while the NAND held the bus
  std::uint64_t BusHandovers();  // times the bus went to the NAND
  std::size_t WordCount();       // words stored

  std::uint32_t Read(std::uint32_t address, unsigned width) override;
  void Write(std::uint32_t address, std::uint32_t value, unsigned width) override;

 private:
  bool ReachableLocked();
  std::uint32_t Swap(std::uint32_t word) const;
  std::uint32_t LoadLocked(std::uint32_t address);
  void SetHintLocked(bool asserted);
  void HookDone();

  std::function<void(bool)> host_interrupt_line_;
  std::function<void()> dspint_hook_;
  std::function<void(bool)> reset_hook_;
  unsigned hooks_running_ = 0;
  std::condition_variable hooks_done_;
  std::uint32_t live_address_ = 0;
  std::function<std::uint32_t()> live_source_;
  std::mutex lock_;
  std::unordered_map<std::uint32_t, std::uint32_t> memory_;
  std::uint32_t hpia_ = 0;
  bool hwob_ = false;
  bool hint_ = false;
  bool reset_line_ = false;
  bool gpe3_ = false;
  bool gpe4_ = false;
  std::uint64_t dsp_interrupts_ = 0;
  std::uint64_t reset_pulses_ = 0;
  std::uint64_t bus_conflicts_ = 0;
  std::uint64_t bus_handovers_ = 0;
};

}  // namespace sim
