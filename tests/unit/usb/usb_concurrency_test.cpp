// The host side and the engine side at once: the host reads, writes and sends control requests while
// the engine starts transfers and suspends and resumes the device's events for its flow control.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "usb_fixture.h"

namespace torvex_test {
namespace {

using UsbConcurrency = UsbStack;

std::size_t LengthOfRound(int round) { return static_cast<std::size_t>((round * 37) % 150); }

TEST_F(UsbConcurrency, HostAndEngineRunTogether) {
  BringEnumerated();
  constexpr int kRounds = 24;
  std::atomic<bool> stop{false};
  std::atomic<int> engine_failures{0};

  // Flow control: the engine holds the events back now and then.
  std::thread flow([&] {
    while (!stop.load()) {
      std::uint32_t s = 0;
      manager_->SuspendEvents(&s);
      std::this_thread::yield();
      manager_->ResumeEvents(&s);
      if (s != 0) engine_failures.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });

  CDataBuffer& out = Buffer(256);
  CDataBuffer& in = Buffer(64);
  std::thread engine([&] {
    for (int round = 0; round < kRounds; ++round) {
      const std::size_t n = LengthOfRound(round);
      for (std::size_t i = 0; i < n; ++i) out.Data()[i] = static_cast<std::uint8_t>(round + i);
      out.SetWindow(0, static_cast<std::uint32_t>(n));
      in.SetWindow(0, 64);
      const std::size_t writes = class_.Count("write");
      const std::size_t reads = class_.Count("read");
      if (StartBulkIn(&out) != 0 || StartBulkOut(&in) != 0) {
        engine_failures.fetch_add(1);
        return;
      }
      if (!class_.WaitFor("write", writes + 1) || !class_.WaitFor("read", reads + 1)) {
        engine_failures.fetch_add(1);
        return;
      }
    }
  });

  // The host's side (its failures end it early; the threads are joined in every case).
  auto host_side = [&] {
    for (int round = 0; round < kRounds; ++round) {
      const std::size_t n = LengthOfRound(round);
      const sim::UsbTransfer t = host_->ReadIn(1, 1024, 2000);
      ASSERT_EQ(t.outcome, sim::UsbOutcome::kOk) << round;
      ASSERT_EQ(t.data.size(), n) << round;
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(t.data[i], static_cast<std::uint8_t>(round + i)) << round;
      std::vector<std::uint8_t> packet(64, static_cast<std::uint8_t>(round));
      ASSERT_EQ(host_->WriteOut(2, packet, 2000).outcome, sim::UsbOutcome::kOk) << round;
      const sim::UsbTransfer status = Request(0x80, 0, 0, 0, 2);
      ASSERT_EQ(status.outcome, sim::UsbOutcome::kOk) << round;
    }
  };
  host_side();
  engine.join();
  stop.store(true);
  flow.join();
  EXPECT_EQ(engine_failures.load(), 0);
  EXPECT_EQ(model_->FifoFaults(), 0u);
  EXPECT_TRUE(exceptions_.Statuses().empty());
}

}  // namespace
}  // namespace torvex_test
