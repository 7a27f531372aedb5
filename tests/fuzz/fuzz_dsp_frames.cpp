// Request frames that the firmware hands to the DSP program model, through the host-port window:
// whatever the frame, the DSP answers it with exactly one well-formed reply of the mailbox id's reply
// id and keeps running.
//
// Input: byte 0 flags (bit 0: make the frame well-formed: word 0 the mailbox id, the id's length, the
// check word computed), bytes 1-4 the mailbox id (little-endian), then the frame's words (little-
// endian, at most 700).
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "sim/dsp.h"
#include "sim/dsp_image.h"
#include "sim/dsp_program.h"
#include "sim/peripheral_controllers.h"
#include "support/dsp_host_port.h"

namespace {

using sim::DspProgram;

class Rig {
 public:
  Rig()
      : dsp_([](bool) {}), program_(dsp_, [] {
          sim::NmrWorld w;
          w.path_intact = true;
          w.gyro_ratio = sim::PeripheralControllers::kProtonGyroRatio;
          w.min_frequency = sim::PeripheralControllers::kProbeMinFrequency;
          w.max_frequency = sim::PeripheralControllers::kProbeMaxFrequency;
          w.field = 1.5;
          return w;
        }) {}

  void WriteBlock(std::uint32_t address, const std::vector<std::uint32_t>& words) { port_.WriteBlock(address, words); }
  std::uint32_t ReadWord(std::uint32_t address) { return port_.ReadWord(address); }
  void Interrupt() { port_.InterruptDsp(); }
  void Ack() { port_.AckHostInterrupt(); }
  bool AwaitReply() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!port_.HostInterrupt()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }

  // A reset, the image loaded and started, DSP_BOOTED taken.
  void Boot() {
    dsp_.SetResetLine(false);
    dsp_.SetResetLine(true);
    port_.LoadImage(sim::BuildDspImage({2, 4}));
    Interrupt();
    if (!AwaitReply() || ReadWord(DspProgram::kReplyMailbox) != DspProgram::kBootedId) std::abort();
    Ack();
  }

  DspProgram& program() { return program_; }

 private:
  sim::Dsp dsp_;
  DspProgram program_;
  torvex_test::DspHostPort port_{dsp_};
};

Rig& TheRig() {
  static Rig* rig = [] {
    platform::kernel::SetTickMicroseconds(100);  // the search's pacing stays short
    return new Rig;
  }();
  return *rig;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  Rig& rig = TheRig();
  if (!rig.program().Running()) rig.Boot();  // after QUIT, or at the first input

  const bool well_formed = (data[0] & 1) != 0;
  const std::uint32_t mailbox = data[1] | (data[2] << 8) | (data[3] << 16) | (std::uint32_t{data[4]} << 24);
  std::vector<std::uint32_t> frame;
  for (std::size_t at = 5; at + 4 <= size && frame.size() < 700; at += 4) {
    frame.push_back(data[at] | (data[at + 1] << 8) | (data[at + 2] << 16) | (std::uint32_t{data[at + 3]} << 24));
  }
  if (well_formed && DspProgram::RequestBytes(mailbox) != 0) {
    frame.resize(DspProgram::RequestBytes(mailbox) / 4, 0);
    frame[0] = mailbox;
    if (mailbox == DspProgram::kInitiateSearch) {
      // A search sweeps its whole window in steps: the window is kept to the probes' range so that
      // each run stays short (the sweep itself does not change with the window's width).
      for (std::size_t i : {2u, 3u}) {
        const float f = std::bit_cast<float>(frame[i]);
        frame[i] = std::bit_cast<std::uint32_t>(f >= 1.0e6f && f <= 2.0e8f ? f : 6.0e7f);
      }
    }
    std::uint32_t x = 0;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) x ^= frame[i];
    frame.back() = x;
  }
  if (frame.empty()) frame.push_back(0);

  rig.Ack();
  rig.WriteBlock(DspProgram::kRequestMailbox, {mailbox});
  rig.WriteBlock(DspProgram::kRequestBuffer, frame);
  rig.Interrupt();
  if (!rig.AwaitReply()) {
    std::fprintf(stderr, "no reply to a frame of id 0x%X\n", mailbox);
    std::abort();
  }
  const std::uint32_t reply_id = rig.ReadWord(DspProgram::kReplyMailbox);
  if (reply_id != (mailbox | DspProgram::kReplyBit)) {
    std::fprintf(stderr, "reply 0x%X to a frame of id 0x%X\n", reply_id, mailbox);
    std::abort();
  }
  std::uint32_t words = DspProgram::ReplyBytes(reply_id) / 4;
  if (words == 0) words = 5;
  std::uint32_t x = 0;
  for (std::uint32_t i = 0; i < words; ++i) x ^= rig.ReadWord(DspProgram::kReplyBuffer + 4 * i);
  if (x != 0) std::abort();
  rig.Ack();
  return 0;
}
