// The external-interrupt event devices against the board's port and external-interrupt models.
#include <fcntl.h>

#include <algorithm>

#include "board_fixture.h"
#include "drivers/dsp_hpi.h"
#include "platform/hw_registers.h"
#include "platform/interrupt.h"

namespace torvex_test {
namespace {

class ExtintTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    dsp_reset(false);
    dsp_hpi_ack_host_interrupt();
  }

  int Open(const char* path) {
    const int fd = platform::open(path, O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    return fd;
  }
  // Consumes what earlier tests left (bounded: the sources rest inactive here).
  void Drain(int fd) {
    for (int k = 0; k < 64 && Readable(fd, 10); ++k) {
    }
  }
};

TEST_F(ExtintTest, TriggerSetUpProgramsTheExternalInterruptBlock) {
  const std::uint32_t extint0 = platform::regbus::Read32(hw::gpio::EXTINT0);
  EXPECT_EQ(extint0 & 7u, 0u);          // EINT0 low level
  EXPECT_EQ((extint0 >> 4) & 7u, 4u);   // EINT1 rising edge
  EXPECT_EQ((extint0 >> 8) & 7u, 0u);   // EINT2 low level
  EXPECT_EQ((extint0 >> 28) & 7u, 6u);  // EINT7 both edges
  const std::uint32_t gpfcon = platform::regbus::Read32(hw::gpio::GPFCON);
  for (unsigned pin : {0u, 2u, 7u}) EXPECT_EQ((gpfcon >> (2 * pin)) & 3u, 2u) << pin;
}

TEST_F(ExtintTest, LookupAcceptsTheThreeDevices) {
  for (const char* name : {"/dev/dsp-int", "/dev/temp-al", "/dev/on-off_rd"}) {
    cyg_io_handle_t h = 0;
    EXPECT_EQ(cyg_io_lookup(name, &h), 0) << name;
  }
}

TEST_F(ExtintTest, PressAndReleaseGiveTwoEventsEachConsumedOnce) {
  const int fd = Open("/dev/on-off_rd");
  Drain(fd);
  EXPECT_FALSE(Readable(fd, 20));
  board_->PressButton();
  EXPECT_TRUE(Readable(fd, 5000));
  EXPECT_FALSE(board_->gpio().Level(sim::Port::F, 7));  // reads 0 while pressed
  EXPECT_FALSE(Readable(fd, 20));
  board_->ReleaseButton();
  EXPECT_TRUE(Readable(fd, 5000));
  EXPECT_FALSE(Readable(fd, 20));
  platform::close(fd);
}

TEST_F(ExtintTest, EdgesThatComeWhileMaskedAreLatchedAndFireOnReArm) {
  const int fd = Open("/dev/on-off_rd");
  Drain(fd);
  board_->PressButton();
  ASSERT_TRUE(Readable(fd, 5000));
  // The vector stays masked after the consuming select: the release waits in EINTPEND.
  board_->ReleaseButton();
  EXPECT_NE(platform::regbus::Read32(hw::gpio::EINTPEND) & (1u << 7), 0u);
  EXPECT_TRUE(Readable(fd, 5000));
  EXPECT_FALSE(Readable(fd, 20));
  platform::close(fd);
}

TEST_F(ExtintTest, EventThatArrivesWithNoSelectorIsCountedAndConsumedAtOnce) {
  const int fd = Open("/dev/on-off_rd");
  Drain(fd);
  ASSERT_FALSE(Readable(fd, 0));  // arms the device, then leaves
  const auto delivered = platform::interrupts::DeliveredCount(4);
  board_->PressButton();
  ASSERT_TRUE(WaitFor([&] { return platform::interrupts::DeliveredCount(4) > delivered; }));
  ASSERT_TRUE(platform::interrupts::WaitIdle());

  cyg_io_handle_t h = platform::DeviceHandle(fd);
  StartTrace();
  EXPECT_TRUE(cyg_io_select(h, CYG_FREAD, 0));
  const auto trace = platform::regbus::TakeTrace();
  EXPECT_TRUE(trace.empty());  // consumed without re-enabling the interrupt
  EXPECT_TRUE(platform::interrupts::IsMasked(4));
  board_->ReleaseButton();
  EXPECT_TRUE(Readable(fd, 5000));
  platform::close(fd);
}

TEST_F(ExtintTest, DspInterruptFiresAgainWhileItsLineStaysLow) {
  const int fd = Open("/dev/dsp-int");
  Drain(fd);
  EXPECT_FALSE(Readable(fd, 20));
  const auto delivered = platform::interrupts::DeliveredCount(0);
  board_->dsp().RaiseHostInterrupt();
  EXPECT_FALSE(board_->gpio().Level(sim::Port::F, 0));
  EXPECT_TRUE(Readable(fd, 5000));
  EXPECT_TRUE(Readable(fd, 5000));
  EXPECT_TRUE(Readable(fd, 5000));
  EXPECT_GE(platform::interrupts::DeliveredCount(0) - delivered, 3u);
  dsp_hpi_ack_host_interrupt();
  EXPECT_TRUE(board_->gpio().Level(sim::Port::F, 0));
  Drain(fd);
  EXPECT_FALSE(Readable(fd, 20));
  platform::close(fd);
}

TEST_F(ExtintTest, SelectReArmsALevelSourceByClearingItsPendingBitFirst) {
  const int fd = Open("/dev/dsp-int");
  Drain(fd);
  cyg_io_handle_t h = platform::DeviceHandle(fd);
  ASSERT_TRUE(platform::interrupts::WaitIdle());
  StartTrace();
  (void)cyg_io_select(h, CYG_FREAD, 0);
  const auto trace = platform::regbus::TakeTrace();
  ASSERT_FALSE(trace.empty());
  EXPECT_TRUE(trace[0].write);
  EXPECT_EQ(trace[0].address, hw::intc::SRCPND);
  EXPECT_EQ(trace[0].value, 1u);
  EXPECT_TRUE(std::none_of(trace.begin(), trace.end(), [](const auto& a) { return a.address == hw::gpio::EINTMASK; }));
  platform::close(fd);
}

TEST_F(ExtintTest, EachReadableSelectOfSeveralThreadsConsumesOneEvent) {
  const int fd = Open("/dev/on-off_rd");
  Drain(fd);
  std::atomic<int> seen{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> selectors;
  for (int k = 0; k < 3; ++k) {
    selectors.emplace_back([&] {
      while (!stop) {
        if (Readable(fd, 10)) ++seen;
      }
    });
  }
  constexpr int kEdges = 20;
  for (int k = 0; k < kEdges; ++k) {
    if (k % 2 == 0) {
      board_->PressButton();
    } else {
      board_->ReleaseButton();
    }
    ASSERT_TRUE(WaitFor([&] { return seen.load() == k + 1; })) << "edge " << k;
  }
  stop = true;
  for (auto& t : selectors) t.join();
  EXPECT_EQ(seen.load(), kEdges);
  platform::close(fd);
}

}  // namespace
}  // namespace torvex_test
