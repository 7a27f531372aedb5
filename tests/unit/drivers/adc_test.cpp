// "/dev/adc0" against the board's ADC model.
#include <fcntl.h>

#include <algorithm>
#include <atomic>

#include "board_fixture.h"
#include "platform/hw_registers.h"

namespace torvex_test {
namespace {

class AdcTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    fd_ = platform::open("/dev/adc0", O_RDONLY);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    platform::close(fd_);
    BoardTest::TearDown();
  }
  int fd_ = -1;
};

TEST_F(AdcTest, InitSetsThePrescalerUpAndLeavesStandby) {
  const std::uint32_t con = platform::regbus::Read32(hw::adc::ADCCON);
  EXPECT_EQ((con >> 6) & 0xFFu, 49u);
  EXPECT_NE(con & (1u << 14), 0u);
  EXPECT_EQ(con & 0x6u, 0u);  // standby and start-by-read off
}

TEST_F(AdcTest, ReadReturnsTheTenBitInputOfChannelZero) {
  for (std::uint16_t code : {0, 1, 188, 512, 901, 1023}) {
    SCOPED_TRACE(code);
    board_->SetAdcInput(0, code);
    board_->SetAdcInput(1, static_cast<std::uint16_t>(1023 - code));  // another channel must not leak in
    std::uint16_t v = 0xFFFF;
    ASSERT_EQ(platform::read(fd_, &v, 2), 2);
    EXPECT_EQ(v, code);
  }
  board_->SetAdcVoltage(0, 3.3);
  std::uint16_t v = 0;
  ASSERT_EQ(platform::read(fd_, &v, 2), 2);
  EXPECT_EQ(v, 1023);
}

TEST_F(AdcTest, ReadsOfAnyLengthButTwoAreRefusedWithoutAConversion) {
  for (std::size_t length : {0u, 1u, 3u, 4u, 16u}) {
    SCOPED_TRACE(length);
    std::uint8_t buf[16] = {};
    const auto before = board_->adc().Conversions();
    StartTrace();
    EXPECT_EQ(platform::read(fd_, buf, length), -1);
    EXPECT_EQ(errno, EINVAL);
    const auto trace = platform::regbus::TakeTrace();
    EXPECT_TRUE(std::none_of(trace.begin(), trace.end(), [](const auto& a) { return a.write; }));
    EXPECT_EQ(board_->adc().Conversions(), before);
  }
  cyg_io_handle_t h = platform::DeviceHandle(fd_);
  cyg_uint32 len = 2;
  EXPECT_EQ(cyg_io_read(h, nullptr, &len), -EINVAL);
}

TEST_F(AdcTest, ConfigurationIsRefused) {
  cyg_io_handle_t h = platform::DeviceHandle(fd_);
  std::uint32_t v = 0;
  cyg_uint32 len = sizeof v;
  EXPECT_EQ(cyg_io_get_config(h, 1, &v, &len), -EINVAL);
  EXPECT_EQ(cyg_io_set_config(h, 1, &v, &len), -EINVAL);
}

TEST_F(AdcTest, SelectIsNotReadyWhileAnotherThreadConvertsAndWakesWhenItEnds) {
  EXPECT_TRUE(Readable(fd_, 0));
  EXPECT_FALSE(Writable(fd_, 0));
  board_->SetAdcInput(0, 700);
  board_->adc().HoldConversions(true);
  std::atomic<bool> read_done{false};
  std::uint16_t value = 0;
  std::thread reader([&] {
    EXPECT_EQ(platform::read(fd_, &value, 2), 2);
    read_done = true;
  });
  ASSERT_TRUE(WaitFor([&] { return board_->adc().Converting(); }));
  EXPECT_FALSE(Readable(fd_, 0));
  std::atomic<bool> selecting{false};
  std::atomic<bool> woke{false};
  std::thread selector([&] {
    selecting = true;
    woke = Readable(fd_, 5000);
  });
  ASSERT_TRUE(WaitFor([&] { return selecting.load(); }));
  EXPECT_FALSE(read_done.load());
  board_->adc().HoldConversions(false);
  reader.join();
  selector.join();
  EXPECT_TRUE(woke.load());
  EXPECT_EQ(value, 700);
}

TEST_F(AdcTest, ConverterThatNeverEndsFailsTheReadInsteadOfHanging) {
  board_->adc().HoldConversions(true);
  std::uint16_t v = 0x5555;
  EXPECT_EQ(platform::read(fd_, &v, 2), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(v, 0x5555);
  board_->adc().HoldConversions(false);
  EXPECT_TRUE(Readable(fd_, 0));
  board_->SetAdcInput(0, 300);
  ASSERT_EQ(platform::read(fd_, &v, 2), 2);
  EXPECT_EQ(v, 300);
}

}  // namespace
}  // namespace torvex_test
