// Feeds a USBTMC client with whatever a device may answer: the configuration descriptors it
// enumerates with, then control replies, bulk-IN packets and interrupt-IN packets drawn from the
// input, while the client runs every operation once. It must report errors, never read out of bounds
// or hang.
//
// Input: one byte N, N bytes of configuration descriptors, then records of [outcome, length, bytes]:
// outcome 0 is ACK (others: stall, time-out, no response), length is cut to what the host asked for.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/usbtmc_client.h"

namespace {

class InputBus final : public sim::UsbBus {
 public:
  InputBus(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {
    const std::size_t n = size_ > 0 ? data_[0] : 0;
    at_ = 1;
    for (; at_ < size_ && configuration_.size() < n; ++at_) configuration_.push_back(data_[at_]);
  }

  sim::UsbEnumeration Enumerate(std::uint8_t) override {
    sim::UsbEnumeration e;
    e.configuration = configuration_;
    return e;
  }
  sim::UsbTransfer Control(const sim::UsbSetup& setup) override { return Next(setup.length); }
  sim::UsbTransfer ReadIn(unsigned, std::size_t max_bytes, std::uint32_t) override {
    sim::UsbTransfer t;
    while (t.data.size() < max_bytes || t.packets.empty()) {
      sim::UsbTransfer p = Next(64);
      if (p.outcome != sim::UsbOutcome::kOk) {
        t.outcome = p.outcome;
        return t;
      }
      t.packets.push_back(p.data.size());
      t.data.insert(t.data.end(), p.data.begin(), p.data.end());
      if (p.data.size() < 64) break;
    }
    return t;
  }
  sim::UsbTransfer ReadPacket(unsigned, std::uint32_t) override { return Next(64); }
  sim::UsbTransfer WriteOut(unsigned, const std::vector<std::uint8_t>& data, std::uint32_t) override {
    sim::UsbTransfer t;
    t.data = data;
    return t;
  }
  std::chrono::microseconds FramePeriod() const override { return std::chrono::microseconds(1000); }
  void WaitFrames(std::uint32_t) override {}

 private:
  sim::UsbTransfer Next(std::size_t limit) {
    sim::UsbTransfer t;
    if (at_ + 2 > size_) {
      t.outcome = sim::UsbOutcome::kTimeout;
      return t;
    }
    const std::uint8_t outcome = data_[at_++] % 4;
    std::size_t n = data_[at_++];
    if (outcome != 0) {
      t.outcome = outcome == 1 ? sim::UsbOutcome::kStall
                               : (outcome == 2 ? sim::UsbOutcome::kTimeout : sim::UsbOutcome::kNoResponse);
      return t;
    }
    n = std::min({n, limit, size_ - at_});
    t.data.assign(data_ + at_, data_ + at_ + n);
    at_ += n;
    t.packets.push_back(n);
    return t;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  std::vector<std::uint8_t> configuration_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputBus bus(data, size);
  sim::UsbtmcClient client(bus);
  client.set_timeout(std::chrono::milliseconds(1));
  if (!client.Open().ok()) return 0;
  std::string reply;
  (void)client.Query("*IDN?", &reply);
  sim::UsbtmcReadOptions options;
  options.transfer_size = 100;
  options.term_char = '\n';
  sim::UsbtmcChunk chunk;
  (void)client.ReadChunk(options, &chunk);
  (void)client.Trigger();
  std::uint32_t count = 0;
  (void)client.AbortBulkOut(&count);
  (void)client.AbortBulkIn(&count);
  (void)client.Clear();
  sim::UsbtmcCapabilities caps;
  (void)client.GetCapabilities(&caps);
  std::uint8_t stb = 0;
  (void)client.ReadStatusByte(&stb);
  (void)client.WaitServiceRequest(std::chrono::milliseconds(1), &stb);
  (void)client.RenControl(true);
  (void)client.LocalLockout();
  (void)client.GoToLocal();
  return 0;
}
