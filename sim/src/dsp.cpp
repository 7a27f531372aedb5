// The DSP host-port and memory model (see sim/dsp.h).
#include "sim/dsp.h"

namespace sim {
namespace {

using namespace hw::hpi;

std::uint32_t WordAddress(std::uint32_t address) { return address & ~3u; }

}  // namespace

Dsp::Dsp(std::function<void(bool level)> host_interrupt_line) : host_interrupt_line_(std::move(host_interrupt_line)) {}

// The line is driven with the model's lock held, so that its level always follows the order of the
// changes (the port model never calls back into this one).
void Dsp::SetHintLocked(bool asserted) {
  if (hint_ == asserted) return;
  hint_ = asserted;
  if (host_interrupt_line_) host_interrupt_line_(!asserted);
}

void Dsp::SetResetLine(bool level) {
  std::function<void(bool)> hook;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (level == reset_line_) return;
    hook = reset_hook_;
    if (hook) ++hooks_running_;
  }
  // The program stops before its memory goes, so that nothing it writes outlives the reset.
  if (hook && !level) hook(false);
  bool changed = false;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (level != reset_line_) {
      changed = true;
      reset_line_ = level;
      if (!level) {
        memory_.clear();
        hpia_ = 0;
        hwob_ = false;
        SetHintLocked(false);
      } else {
        ++reset_pulses_;
      }
    }
  }
  if (hook && level && changed) hook(true);
  if (hook) HookDone();
}

void Dsp::HookDone() {
  std::lock_guard<std::mutex> g(lock_);
  if (--hooks_running_ == 0) hooks_done_.notify_all();
}

void Dsp::SetResetHook(std::function<void(bool released)> hook) {
  std::unique_lock<std::mutex> g(lock_);
  reset_hook_ = std::move(hook);
  hooks_done_.wait(g, [this] { return hooks_running_ == 0; });
}

void Dsp::SetLiveWord(std::uint32_t address, std::function<std::uint32_t()> source) {
  std::lock_guard<std::mutex> g(lock_);
  live_address_ = WordAddress(address);
  live_source_ = std::move(source);
}

std::uint32_t Dsp::LoadLocked(std::uint32_t address) {
  const std::uint32_t a = WordAddress(address);
  if (live_source_ && a == live_address_) return live_source_();
  auto it = memory_.find(a);
  return it == memory_.end() ? 0 : it->second;
}

void Dsp::SetBusLines(bool gpe3, bool gpe4) {
  std::lock_guard<std::mutex> g(lock_);
  if ((gpe3 || gpe4) && !(gpe3_ || gpe4_)) ++bus_handovers_;
  gpe3_ = gpe3;
  gpe4_ = gpe4;
}

std::uint32_t Dsp::ReadWord(std::uint32_t address) {
  std::lock_guard<std::mutex> g(lock_);
  return LoadLocked(address);
}

void Dsp::WriteWord(std::uint32_t address, std::uint32_t word) {
  std::lock_guard<std::mutex> g(lock_);
  memory_[WordAddress(address)] = word;
}

void Dsp::RaiseHostInterrupt() {
  std::lock_guard<std::mutex> g(lock_);
  if (reset_line_) SetHintLocked(true);
}

bool Dsp::HostInterruptAsserted() {
  std::lock_guard<std::mutex> g(lock_);
  return hint_;
}

void Dsp::SetDspInterruptHook(std::function<void()> hook) {
  std::unique_lock<std::mutex> g(lock_);
  dspint_hook_ = std::move(hook);
  hooks_done_.wait(g, [this] { return hooks_running_ == 0; });
}

bool Dsp::InReset() {
  std::lock_guard<std::mutex> g(lock_);
  return !reset_line_;
}

std::uint64_t Dsp::DspInterrupts() {
  std::lock_guard<std::mutex> g(lock_);
  return dsp_interrupts_;
}

std::uint64_t Dsp::ResetPulses() {
  std::lock_guard<std::mutex> g(lock_);
  return reset_pulses_;
}

std::uint64_t Dsp::BusConflicts() {
  std::lock_guard<std::mutex> g(lock_);
  return bus_conflicts_;
}

std::uint64_t Dsp::BusHandovers() {
  std::lock_guard<std::mutex> g(lock_);
  return bus_handovers_;
}

std::size_t Dsp::WordCount() {
  std::lock_guard<std::mutex> g(lock_);
  return memory_.size();
}

bool Dsp::ReachableLocked() {
  if (gpe3_ || gpe4_) {
    ++bus_conflicts_;
    return false;
  }
  return reset_line_;
}

std::uint32_t Dsp::Swap(std::uint32_t word) const { return hwob_ ? word : (word << 16) | (word >> 16); }

std::uint32_t Dsp::Read(std::uint32_t address, unsigned) {
  std::lock_guard<std::mutex> g(lock_);
  if (!ReachableLocked()) return 0;
  switch (address - kBase) {
    case kHpicRead: {
      const std::uint32_t bits = (hwob_ ? kHpicHalfwordOrder : 0u) | (hint_ ? kHpicHostInterrupt : 0u);
      return BothHalves(bits);
    }
    case kHpiaRead: return hpia_;
    case kHpidIncRead:
    case kHpidRead: {
      const std::uint32_t word = LoadLocked(hpia_);
      if (address - kBase == kHpidIncRead) hpia_ += 4;
      return Swap(word);
    }
    default: return 0;
  }
}

void Dsp::Write(std::uint32_t address, std::uint32_t value, unsigned) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!ReachableLocked()) return;
    switch (address - kBase) {
      case kHpicWrite:
        hwob_ = (value & kHpicHalfwordOrder) != 0;
        if (value & kHpicHostInterrupt) SetHintLocked(false);
        if (value & kHpicDspInterrupt) {
          ++dsp_interrupts_;
          hook = dspint_hook_;
          if (hook) ++hooks_running_;
        }
        break;
      case kHpiaWrite: hpia_ = value; break;
      case kHpidIncWrite:
      case kHpidWrite:
        memory_[WordAddress(hpia_)] = Swap(value);
        if (address - kBase == kHpidIncWrite) hpia_ += 4;
        break;
      default: break;
    }
  }
  if (hook) {
    hook();  // outside the lock: the DSP side calls back into this model
    HookDone();
  }
}

}  // namespace sim
