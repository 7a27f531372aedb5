// The I2C bus driver, the identity EEPROM read and the peripheral-link transport, against the board's
// IIC controller model and its devices.
#include <algorithm>
#include <array>
#include <mutex>
#include <vector>

#include "board_fixture.h"
#include "drivers/eeprom.h"
#include "drivers/i2c_bus.h"
#include "drivers/i2c_peripheral.h"
#include "platform/hw_registers.h"
#include "platform/kernel.h"
#include "sim/identity_image.h"

namespace torvex_test {
namespace {

using Direction = sim::IicController::Direction;

// A peripheral controller stand-in on the probe segment: records what it is sent and answers reads
// with a prepared frame.
class FakeController final : public sim::I2cSlave {
 public:
  bool Start(bool read, std::uint32_t) override {
    std::lock_guard<std::mutex> g(lock_);
    if (read) read_pos_ = 1;  // byte 0 (the address byte) is not sent by the controller
    return true;
  }
  bool Write(std::uint8_t byte) override {
    std::lock_guard<std::mutex> g(lock_);
    written_.push_back(byte);
    return true;
  }
  std::uint8_t Read(bool) override {
    std::lock_guard<std::mutex> g(lock_);
    return read_pos_ < answer_.size() ? answer_[read_pos_++] : 0xFF;
  }
  void Stop() override {}

  void Answer(std::vector<std::uint8_t> frame) {
    std::lock_guard<std::mutex> g(lock_);
    answer_ = std::move(frame);
  }
  std::vector<std::uint8_t> Written() {
    std::lock_guard<std::mutex> g(lock_);
    return written_;
  }

 private:
  std::mutex lock_;
  std::vector<std::uint8_t> written_;
  std::vector<std::uint8_t> answer_;
  std::size_t read_pos_ = 1;
};

// A frame of `length` bytes from the controller at address byte 0x25: length, content, XOR check.
std::vector<std::uint8_t> MakeFrame(std::uint16_t length) {
  std::vector<std::uint8_t> f(length);
  f[0] = 0x25;
  f[1] = static_cast<std::uint8_t>(length >> 8);
  f[2] = static_cast<std::uint8_t>(length);
  for (std::size_t k = 3; k + 1 < f.size(); ++k) f[k] = static_cast<std::uint8_t>(0x40 + k);
  std::uint8_t x = 0;
  for (std::size_t k = 0; k + 1 < f.size(); ++k) x ^= f[k];
  f.back() = x;
  return f;
}

std::size_t CountWrites(const std::vector<platform::regbus::Access>& trace, std::uint32_t address) {
  return std::count_if(trace.begin(), trace.end(), [&](const auto& a) { return a.write && a.address == address; });
}

class I2cTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    i2c_peripheral_set_bus(&board_i2c_bus);
    ASSERT_TRUE(i2c_peripheral_set_speed(100000));
    image_ = sim::DefaultEepromImage();
    for (std::size_t k = 0; k < image_.size(); ++k) image_[k] = static_cast<std::uint8_t>(k * 7 + 3);
    ASSERT_TRUE(board_->LoadEeprom(0, image_));
  }
  void TearDown() override {
    board_->AttachProbeDevice(0x12, nullptr);
    board_->AttachProbeDevice(0x54, nullptr);
    BoardTest::TearDown();
  }

  std::array<std::uint8_t, 256> image_{};
};

struct EepromArgCase {
  bool null_bus;
  bool null_buffer;
  std::uint16_t length;
  std::uint16_t offset;
  int result;
};

TEST_F(I2cTest, EepromReadChecksItsArgumentsBeforeTouchingTheBus) {
  const EepromArgCase cases[] = {
      {true, false, 8, 0, 22},    {false, true, 8, 0, 22},     {false, false, 0, 0, 22},
      {false, false, 1, 256, 22}, {false, false, 57, 200, 22}, {false, false, 2, 255, 22},
      {false, false, 56, 200, 0}, {false, false, 1, 255, 0},   {false, false, 256, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "length " << c.length << " offset " << c.offset);
    std::array<std::uint8_t, 256> buf{};
    StartTrace();
    const int r =
        eeprom_read(c.null_bus ? nullptr : &board_i2c_bus, c.null_buffer ? nullptr : buf.data(), c.length, c.offset);
    const auto trace = platform::regbus::TakeTrace();
    EXPECT_EQ(r, c.result);
    if (c.result == 22) {
      EXPECT_TRUE(trace.empty());
    } else {
      EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + c.length, image_.begin() + c.offset));
    }
  }
}

TEST_F(I2cTest, EepromReadsTheLastBytesUpToThePageBoundary) {
  std::array<std::uint8_t, 56> buf{};
  ASSERT_EQ(eeprom_read(&board_i2c_bus, buf.data(), 56, 200), 0);
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), image_.begin() + 200));
  // The EEPROM's pointer was set by the offset byte: a second read elsewhere is not a continuation.
  std::array<std::uint8_t, 4> head{};
  ASSERT_EQ(eeprom_read(&board_i2c_bus, head.data(), 4, 0), 0);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), image_.begin()));
}

TEST_F(I2cTest, EepromRidesOutAShortBusyPeriodByAcknowledgePolling) {
  const auto tick = std::chrono::microseconds(platform::kernel::TickMicroseconds());
  board_->WithholdAck(sim::Board::kOnBoardSegment, 0x54, 2 * tick);
  std::array<std::uint8_t, 16> buf{};
  EXPECT_EQ(eeprom_read(&board_i2c_bus, buf.data(), 16, 16), 0);
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), image_.begin() + 16));
}

TEST_F(I2cTest, EepromThatStaysSilentForSevenTicksFailsWithFive) {
  board_->WithholdAck(sim::Board::kOnBoardSegment, 0x54, std::chrono::hours(1));
  const auto before = board_->iic().AddressPhases(0, 0x54, Direction::kWrite);
  const cyg_tick_count_t start = cyg_current_time();
  std::array<std::uint8_t, 16> buf{};
  EXPECT_EQ(eeprom_read(&board_i2c_bus, buf.data(), 16, 0), 5);
  EXPECT_GE(cyg_current_time() - start, 7u);
  EXPECT_GT(board_->iic().AddressPhases(0, 0x54, Direction::kWrite) - before, 1u);  // polled, not one try
  board_->ClearI2cFaults();
  EXPECT_EQ(eeprom_read(&board_i2c_bus, buf.data(), 16, 0), 0);  // the bus recovers from the failed reads
}

struct RecordCase {
  unsigned refused_reads;  // read address phases the EEPROM does not acknowledge
  int result;
  std::uint64_t read_phases;
};

TEST_F(I2cTest, IdentityRecordReadMakesUpToFourTries) {
  const RecordCase cases[] = {{0, 0, 1}, {1, 0, 2}, {3, 0, 4}, {4, 5, 4}, {9, 5, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.refused_reads << " refused reads");
    board_->ClearI2cFaults();
    board_->WithholdAckAttempts(sim::Board::kOnBoardSegment, 0x54, c.refused_reads, Direction::kRead);
    const auto before = board_->iic().AddressPhases(0, 0x54, Direction::kRead);
    std::array<std::uint8_t, EEPROM_IDENTITY_RECORD_SIZE> record{};
    EXPECT_EQ(eeprom_read_record(record.data()), c.result);
    EXPECT_EQ(board_->iic().AddressPhases(0, 0x54, Direction::kRead) - before, c.read_phases);
    if (c.result == 0) {
      EXPECT_TRUE(std::equal(record.begin(), record.end(), image_.begin()));
    }
  }
}

TEST_F(I2cTest, TheDefaultIdentityRecordCarriesVersionTwoPointZero) {
  ASSERT_TRUE(board_->LoadEeprom(0, sim::DefaultEepromImage()));
  std::array<std::uint8_t, EEPROM_IDENTITY_RECORD_SIZE> record{};
  ASSERT_EQ(eeprom_read_record(record.data()), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(record.data() + 8), "2.0");
  EXPECT_EQ(record[76], 42);
}

struct SpeedCase {
  std::uint32_t hz;
  std::uint32_t divider;
  bool pclk_512;
};

TEST_F(I2cTest, LinkSpeedProgramsTheClockDividerAtTheNextTransfer) {
  const SpeedCase cases[] = {
      {100000, 0, true},  {50000, 1, true},    {10000, 9, true},    {1, 15, true},
      {400000, 7, false}, {1000000, 2, false}, {3125000, 0, false}, {10000000, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.hz << " Hz");
    ASSERT_TRUE(i2c_peripheral_set_speed(c.hz));
    std::uint8_t frame[4] = {0x24, 0x00, 0x04, 0x24 ^ 0x04};
    EXPECT_FALSE(i2c_peripheral_send(frame));  // nothing on the probe connector acknowledges
    const std::uint32_t con = platform::regbus::Read32(hw::iic::IICCON);
    EXPECT_EQ(con & 0xFu, c.divider);
    EXPECT_EQ((con & 0x40u) != 0, c.pclk_512);
  }
}

TEST_F(I2cTest, SameBitPeriodLeavesTheClockUntouchedAndAChangeReprogramsItFirst) {
  std::uint8_t frame[4] = {0x24, 0x00, 0x04, 0x24 ^ 0x04};
  ASSERT_TRUE(i2c_peripheral_set_speed(100000));
  (void)i2c_peripheral_send(frame);
  ASSERT_EQ(platform::regbus::Read32(hw::iic::IICCON) & 0xFu, 0u);

  StartTrace();
  (void)i2c_peripheral_send(frame);
  auto trace = platform::regbus::TakeTrace();
  for (const auto& a : trace) {
    if (a.write && a.address == hw::iic::IICCON) {
      EXPECT_EQ(a.value & 0x4Fu, 0x40u);
    }
  }

  ASSERT_TRUE(i2c_peripheral_set_speed(50000));
  (void)i2c_peripheral_send(frame);
  trace = platform::regbus::TakeTrace();
  auto first_con =
      std::find_if(trace.begin(), trace.end(), [](const auto& a) { return a.write && a.address == hw::iic::IICCON; });
  auto first_start = std::find_if(trace.begin(), trace.end(), [](const auto& a) {
    return a.write && a.address == hw::iic::IICSTAT && (a.value & 0x20u);
  });
  ASSERT_NE(first_con, trace.end());
  ASSERT_NE(first_start, trace.end());
  EXPECT_LT(first_con - trace.begin(), first_start - trace.begin());
  EXPECT_EQ(first_con->value & 0x4Fu, 0x41u);
}

TEST_F(I2cTest, LinkSpeedRefusesZeroAndSpeedsWithoutABitPeriod) {
  ASSERT_TRUE(i2c_peripheral_set_speed(50000));
  EXPECT_FALSE(i2c_peripheral_set_speed(0));
  EXPECT_FALSE(i2c_peripheral_set_speed(1000000001u));
  EXPECT_TRUE(i2c_peripheral_set_speed(1000000000u));
  ASSERT_TRUE(i2c_peripheral_set_speed(50000));
  std::uint8_t frame[4] = {0x24, 0x00, 0x04, 0x24 ^ 0x04};
  (void)i2c_peripheral_send(frame);
  EXPECT_EQ(platform::regbus::Read32(hw::iic::IICCON) & 0xFu, 1u);  // the refused speeds changed nothing
}

TEST_F(I2cTest, BitPeriodLongerThanASecondTakesTheSlowestClock) {
  // Nothing acknowledges 0x33 on the probe connector: only the clock programming matters here.
  for (cyg_uint32 period : {1000000001u, 2000000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(period);
    const cyg_i2c_device slow = {&board_i2c_bus, 0x33, I2C_FLAG_PROBE_SEGMENT, period};
    const std::uint8_t byte = 0;
    EXPECT_EQ(cyg_i2c_tx(&slow, &byte, 1), 0u);
    const std::uint32_t con = platform::regbus::Read32(hw::iic::IICCON);
    EXPECT_EQ(con & 0xFu, 15u);
    EXPECT_NE(con & 0x40u, 0u);
    ASSERT_TRUE(i2c_peripheral_set_speed(100000));
    std::uint8_t frame[4] = {0x24, 0x00, 0x04, 0x24 ^ 0x04};
    (void)i2c_peripheral_send(frame);  // back to a normal clock before the next period
  }
}

TEST_F(I2cTest, SendMovesTheFrameAfterItsAddressByteToTheController) {
  FakeController controller;
  board_->AttachProbeDevice(0x12, &controller);
  const auto frame = MakeFrame(9);
  std::vector<std::uint8_t> out = frame;
  out[0] = 0x24;  // write address byte of 0x12
  EXPECT_TRUE(i2c_peripheral_send(out.data()));
  EXPECT_EQ(controller.Written(), std::vector<std::uint8_t>(out.begin() + 1, out.end()));
  EXPECT_EQ(board_->iic().AddressPhases(sim::Board::kOnBoardSegment, 0x12), 0u);
}

TEST_F(I2cTest, SendRefusesShortFramesWithoutTouchingTheBus) {
  for (std::uint16_t length : {0, 1, 2, 3}) {
    SCOPED_TRACE(length);
    std::uint8_t frame[4] = {0x24, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), 0};
    StartTrace();
    EXPECT_FALSE(i2c_peripheral_send(frame));
    EXPECT_EQ(CountWrites(platform::regbus::TakeTrace(), hw::iic::IICDS), 0u);
  }
  EXPECT_FALSE(i2c_peripheral_send(nullptr));
}

TEST_F(I2cTest, EmptyProbeConnectorAcknowledgesNothing) {
  std::uint8_t frame[4] = {0x20, 0x00, 0x04, 0x20 ^ 0x04};
  EXPECT_FALSE(i2c_peripheral_send(frame));
  std::uint8_t buf[16];
  std::uint8_t* p = buf;
  std::uint16_t length = 99;
  EXPECT_FALSE(i2c_peripheral_receive(0x21, &p, true, sizeof buf, &length));
  EXPECT_EQ(length, 0u);
}

TEST_F(I2cTest, LinkDevicesAreOnTheProbeSegmentNotBesideTheEeprom) {
  FakeController controller;  // same address as the EEPROM, on the probe connector
  board_->AttachProbeDevice(0x54, &controller);
  const auto eeprom_phases = board_->iic().AddressPhases(sim::Board::kOnBoardSegment, 0x54);
  auto frame = MakeFrame(6);
  frame[0] = 0xA8;
  EXPECT_TRUE(i2c_peripheral_send(frame.data()));
  EXPECT_EQ(controller.Written().size(), 5u);
  EXPECT_EQ(board_->iic().AddressPhases(sim::Board::kOnBoardSegment, 0x54), eeprom_phases);
  std::array<std::uint8_t, 8> buf{};
  EXPECT_EQ(eeprom_read(&board_i2c_bus, buf.data(), 8, 0), 0);  // and the EEPROM is still reached
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), image_.begin()));
}

struct ReceiveCase {
  std::uint16_t frame_length;
  std::uint32_t capacity;
  bool ok;
};

TEST_F(I2cTest, ReceiveIntoTheCallersBufferChecksLengthAgainstCapacity) {
  FakeController controller;
  board_->AttachProbeDevice(0x12, &controller);
  const ReceiveCase cases[] = {{4, 16, false}, {5, 5, true}, {6, 5, false}, {16, 16, true}, {3, 16, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "frame " << c.frame_length << " capacity " << c.capacity);
    auto frame = MakeFrame(std::max<std::uint16_t>(c.frame_length, 3));
    frame[1] = static_cast<std::uint8_t>(c.frame_length >> 8);
    frame[2] = static_cast<std::uint8_t>(c.frame_length);
    controller.Answer(frame);
    std::vector<std::uint8_t> buf(c.capacity, 0xEE);
    std::uint8_t* p = buf.data();
    std::uint16_t length = 0;
    EXPECT_EQ(i2c_peripheral_receive(0x25, &p, true, c.capacity, &length), c.ok);
    EXPECT_EQ(length, c.frame_length);
    EXPECT_EQ(p, buf.data());
    if (c.ok) {
      EXPECT_EQ(std::vector<std::uint8_t>(buf.begin(), buf.begin() + c.frame_length), frame);
    }
  }
}

TEST_F(I2cTest, ReceiveRefusesACallerBufferOfThreeBytesOrLess) {
  std::uint8_t buf[3];
  std::uint8_t* p = buf;
  std::uint16_t length = 7;
  EXPECT_FALSE(i2c_peripheral_receive(0x25, &p, true, 3, &length));
  EXPECT_EQ(length, 0u);
}

TEST_F(I2cTest, ReceiveIntoTheSharedBufferGrowsItToTheFrame) {
  FakeController controller;
  board_->AttachProbeDevice(0x12, &controller);
  for (std::uint16_t n : {5, 40, 300, 12}) {
    SCOPED_TRACE(n);
    const auto frame = MakeFrame(n);
    controller.Answer(frame);
    std::uint8_t* p = nullptr;
    std::uint16_t length = 0;
    ASSERT_TRUE(i2c_peripheral_receive(0x25, &p, false, 0, &length));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(length, n);
    EXPECT_EQ(std::vector<std::uint8_t>(p, p + n), frame);
  }
}

}  // namespace
}  // namespace torvex_test
