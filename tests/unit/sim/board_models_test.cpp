// The board's hardware models on their own: register behaviour, lines and the board's files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/bootloader.h"
#include "platform/interrupt.h"
#include "platform/regbus.h"
#include "sim/board.h"
#include "sim/identity_image.h"
#include "support/temp_dir.h"

namespace {

using sim::Port;

class TempRoot {
 public:
  TempRoot() { path_ = torvex_test::MakeTempDir("sim-test").string(); }
  ~TempRoot() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// --- identity image and board files ---------------------------------------------------------------

TEST(IdentityImage, DefaultRecordHoldsReadableFieldsAndErasedTail) {
  const auto image = sim::DefaultEepromImage();
  auto text = [&](std::size_t offset) { return std::string(reinterpret_cast<const char*>(image.data() + offset)); };
  auto u32 = [&](std::size_t o) {
    return image[o] | (image[o + 1] << 8) | (image[o + 2] << 16) | (static_cast<std::uint32_t>(image[o + 3]) << 24);
  };
  EXPECT_EQ(text(8), "2.0");
  EXPECT_EQ(text(36), "Brenvold");
  EXPECT_EQ(text(68), "Torvex");
  EXPECT_EQ(u32(76), 42u);             // default host name Torvex_00042
  EXPECT_EQ(image[116] & 0x03, 0x02);  // a locally administered unicast MAC address
  EXPECT_EQ(image[124] | (image[125] << 8), 0x1234);
  EXPECT_EQ(image[136] | (image[137] << 8), 0x0115);
  for (std::size_t k = sim::kIdentityRecordSize; k < image.size(); ++k) EXPECT_EQ(image[k], 0xFF) << k;
}

TEST(BoardFiles, MissingImageIsWrittenFromTheDefaults) {
  TempRoot root;
  sim::Board board(root.path());
  const auto bytes = ReadFile(board.EepromImagePath());
  const auto image = sim::DefaultEepromImage();
  EXPECT_EQ(bytes, std::vector<std::uint8_t>(image.begin(), image.end()));
  EXPECT_EQ(board.eeprom().Contents(), image);
}

TEST(BoardFiles, ExistingImageIsLoadedAndKept) {
  TempRoot root;
  std::vector<std::uint8_t> mine(256);
  for (std::size_t k = 0; k < mine.size(); ++k) mine[k] = static_cast<std::uint8_t>(255 - k);
  std::ofstream(root.path() + "/eeprom.bin", std::ios::binary).write(reinterpret_cast<const char*>(mine.data()), 256);
  sim::Board board(root.path());
  const auto contents = board.eeprom().Contents();
  EXPECT_EQ(std::vector<std::uint8_t>(contents.begin(), contents.end()), mine);
  EXPECT_EQ(ReadFile(board.EepromImagePath()), mine);
}

TEST(BoardFiles, ImageOfTheWrongSizeIsRefusedAndLeftAlone) {
  for (std::size_t size : {0u, 140u, 257u}) {
    SCOPED_TRACE(size);
    TempRoot root;
    const std::vector<std::uint8_t> bad(size, 0x11);
    std::ofstream(root.path() + "/eeprom.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(bad.data()), static_cast<std::streamsize>(size));
    try {
      sim::Board board(root.path());
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("eeprom.bin refused: it holds " + std::to_string(size) + " bytes"),
                std::string::npos)
          << e.what();
    }
    EXPECT_EQ(ReadFile(root.path() + "/eeprom.bin"), bad);
  }
}

TEST(BoardFiles, LoadEepromUpdatesTheChipAndItsFileOrRefusesWhatDoesNotFit) {
  TempRoot root;
  sim::Board board(root.path());
  const std::vector<std::uint8_t> version = {'2', '.', '1', 0};
  ASSERT_TRUE(board.LoadEeprom(8, version));
  EXPECT_EQ(board.eeprom().Contents()[10], '1');
  EXPECT_EQ(ReadFile(board.EepromImagePath())[10], '1');

  std::string error;
  const std::vector<std::uint8_t> two(2, 0);
  EXPECT_FALSE(board.LoadEeprom(255, two, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(board.LoadEeprom(300, {}, &error));
  EXPECT_EQ(board.eeprom().Contents()[255], 0xFF);
  EXPECT_EQ(ReadFile(board.EepromImagePath())[255], 0xFF);
}

TEST(BoardLines, DrivingThePowerLineLowCutsThePowerOnce) {
  TempRoot root;
  sim::Board board(root.path());
  std::atomic<int> cuts{0};
  platform::bootloader::SetHooks({nullptr, nullptr, [&] { ++cuts; }});
  EXPECT_TRUE(board.PowerOn());
  const std::uint32_t gpgdat = 0x56000064;
  platform::regbus::Write32(gpgdat, platform::regbus::Read32(gpgdat) | 1u);
  EXPECT_TRUE(board.PowerOn());
  platform::regbus::Write32(gpgdat, platform::regbus::Read32(gpgdat) & ~1u);
  EXPECT_FALSE(board.PowerOn());
  platform::regbus::Write32(gpgdat, platform::regbus::Read32(gpgdat) | 1u);
  platform::regbus::Write32(gpgdat, platform::regbus::Read32(gpgdat) & ~1u);
  EXPECT_EQ(cuts.load(), 1);
  platform::bootloader::ResetHooks();
}

// --- ports and external interrupts ---------------------------------------------------------------

constexpr std::uint32_t kGPFCON = 0x56000050;
constexpr std::uint32_t kGPFDAT = 0x56000054;

TEST(GpioModel, OutputsDriveFromTheLatchAndInputsReadTheBoard) {
  sim::Gpio gpio;
  std::vector<bool> seen;
  gpio.Observe(Port::F, 3, [&](bool level) { seen.push_back(level); });
  gpio.SetInput(Port::F, 3, false);
  EXPECT_EQ(gpio.Read(kGPFDAT, 4) & 8u, 0u);
  gpio.Write(kGPFDAT, 8u, 4);  // latch only: the pin is an input
  EXPECT_FALSE(gpio.Level(Port::F, 3));
  gpio.Write(kGPFCON, 1u << 6, 4);  // output
  EXPECT_TRUE(gpio.Level(Port::F, 3));
  gpio.Write(kGPFDAT, 0u, 4);
  EXPECT_FALSE(gpio.Level(Port::F, 3));
  EXPECT_EQ(seen, (std::vector<bool>{false, true, false}));
}

TEST(GpioModel, EdgesLatchInEintPendWhileMaskedAndAssertTheSharedVectorWhenUnmasked) {
  sim::Gpio gpio;
  gpio.Write(hw::gpio::EXTINT0, 6u << 28, 4);  // EINT7 both edges
  gpio.Write(kGPFCON, 2u << 14, 4);            // GPF7 external interrupt
  gpio.SetInput(Port::F, 7, false);
  EXPECT_EQ(gpio.Read(hw::gpio::EINTPEND, 4), 1u << 7);
  cyg_interrupt_acknowledge(4);
  EXPECT_FALSE(platform::interrupts::IsPending(4));  // masked in EINTMASK: the vector stays quiet
  gpio.Write(hw::gpio::EINTMASK, 0x00FFFF70u, 4);    // unmask EINT7
  EXPECT_TRUE(platform::interrupts::IsPending(4));
  gpio.Write(hw::gpio::EINTPEND, 1u << 7, 4);
  cyg_interrupt_acknowledge(4);
  EXPECT_FALSE(platform::interrupts::IsPending(4));
  gpio.SetInput(Port::F, 7, true);  // the release is an edge too
  EXPECT_TRUE(platform::interrupts::IsPending(4));
  gpio.Write(hw::gpio::EINTPEND, 1u << 7, 4);
  cyg_interrupt_acknowledge(4);
}

TEST(GpioModel, LowLevelSourceStaysAssertedUntilTheLineRises) {
  sim::Gpio gpio;
  gpio.Write(kGPFCON, 2u << 4, 4);  // GPF2 external interrupt, EINT2 low level (EXTINT0 = 0)
  gpio.SetInput(Port::F, 2, false);
  cyg_interrupt_acknowledge(2);
  EXPECT_TRUE(platform::interrupts::IsPending(2));  // a level sets its pending bit again
  gpio.SetInput(Port::F, 2, true);
  cyg_interrupt_acknowledge(2);
  EXPECT_FALSE(platform::interrupts::IsPending(2));
  gpio.Write(kGPFCON, 0u, 4);  // an input without its interrupt function raises nothing
  gpio.SetInput(Port::F, 2, false);
  EXPECT_FALSE(platform::interrupts::IsPending(2));
}

// --- IIC controller --------------------------------------------------------------------------------

// A device that records the bus events it sees.
class Recorder final : public sim::I2cSlave {
 public:
  bool Start(bool read, std::uint32_t bus_hz) override {
    events.push_back(read ? "start-r" : "start-w");
    last_hz = bus_hz;
    return true;
  }
  bool Write(std::uint8_t byte) override {
    events.push_back("w" + std::to_string(byte));
    return true;
  }
  std::uint8_t Read(bool master_acks) override {
    events.push_back(master_acks ? "r-ack" : "r-nack");
    return next++;
  }
  void Stop() override { events.push_back("stop"); }

  std::vector<std::string> events;
  std::uint32_t last_hz = 0;
  std::uint8_t next = 0x30;
};

class IicModelTest : public ::testing::Test {
 protected:
  static constexpr std::uint32_t CON = 0x54000000, STAT = 0x54000004, DS = 0x5400000C;
  void SetUp() override {
    iic_.Attach(0, 0x48, &dev_);
    iic_.Write(CON, 0x40, 4);  // PCLK/512, divider 0, no interrupts
  }
  bool Pending() { return (iic_.Read(CON, 4) & 0x10u) != 0; }
  bool Nack() { return (iic_.Read(STAT, 4) & 1u) != 0; }
  void ClearPending() { iic_.Write(CON, iic_.Read(CON, 4) & ~0x10u, 4); }
  void Start(std::uint8_t address_byte, std::uint32_t mode) {
    iic_.Write(DS, address_byte, 4);
    iic_.Write(STAT, mode | 0x10, 4);
    iic_.Write(STAT, mode | 0x30, 4);
  }

  sim::IicController iic_;
  Recorder dev_;
};

TEST_F(IicModelTest, WriteThenRepeatedStartReadThenStop) {
  Start(0x90, 0xC0);
  ASSERT_TRUE(Pending());
  EXPECT_FALSE(Nack());
  EXPECT_EQ(dev_.last_hz, 97656u);
  iic_.Write(DS, 0x03, 4);
  ClearPending();
  ASSERT_TRUE(Pending());
  // Repeated start in receive mode: takes effect when the pending bit is cleared.
  iic_.Write(DS, 0x91, 4);
  iic_.Write(STAT, 0xB0, 4);
  ClearPending();
  ASSERT_TRUE(Pending());
  iic_.Write(CON, iic_.Read(CON, 4) | 0x80, 4);
  ClearPending();
  EXPECT_EQ(iic_.Read(DS, 4), 0x30u);
  iic_.Write(CON, iic_.Read(CON, 4) & ~0x80u, 4);
  ClearPending();
  EXPECT_EQ(iic_.Read(DS, 4), 0x31u);
  ClearPending();  // after a byte not acknowledged the master waits for a stop
  EXPECT_FALSE(Pending());
  EXPECT_TRUE(iic_.Busy());
  iic_.Write(STAT, 0x90, 4);
  EXPECT_FALSE(iic_.Busy());
  EXPECT_EQ(dev_.events, (std::vector<std::string>{"start-w", "w3", "start-r", "r-ack", "r-nack", "stop"}));
}

TEST_F(IicModelTest, StopWrittenWhilePendingHappensWhenThePendingBitIsCleared) {
  Start(0x90, 0xC0);
  iic_.Write(STAT, 0xD0, 4);
  EXPECT_TRUE(iic_.Busy());
  ClearPending();
  EXPECT_FALSE(iic_.Busy());
  EXPECT_FALSE(Pending());
  EXPECT_EQ(dev_.events.back(), "stop");
}

TEST_F(IicModelTest, AbsentDevicesAndOtherSegmentsDoNotAcknowledge) {
  Start(0x92, 0xC0);  // 0x49: nobody
  EXPECT_TRUE(Nack());
  iic_.Write(STAT, 0xD0, 4);
  ClearPending();
  iic_.SetSegmentSelect(true);  // the probe segment: the sensor is not there
  Start(0x90, 0xC0);
  EXPECT_TRUE(Nack());
  EXPECT_EQ(iic_.AddressPhases(1, 0x48), 1u);
  EXPECT_TRUE(dev_.events.empty());
}

TEST_F(IicModelTest, WithheldAcknowledgeCountsAttemptsOfItsDirectionAndTime) {
  iic_.WithholdAckAttempts(0, 0x48, 2, sim::IicController::Direction::kRead);
  auto attempt = [&](std::uint8_t address_byte, std::uint32_t mode) {
    Start(address_byte, mode);
    const bool acked = !Nack();
    iic_.Write(STAT, mode | 0x10, 4);
    ClearPending();
    return acked;
  };
  EXPECT_TRUE(attempt(0x90, 0xC0));  // writes are not affected
  EXPECT_FALSE(attempt(0x91, 0x80));
  EXPECT_FALSE(attempt(0x91, 0x80));
  EXPECT_TRUE(attempt(0x91, 0x80));
  iic_.WithholdAckUntil(0, 0x48, std::chrono::steady_clock::now() + std::chrono::hours(1));
  EXPECT_FALSE(attempt(0x90, 0xC0));
  iic_.ClearFaults();
  EXPECT_TRUE(attempt(0x90, 0xC0));
  EXPECT_EQ(iic_.AddressPhases(0, 0x48, sim::IicController::Direction::kRead), 3u);
}

TEST_F(IicModelTest, StartNeedsTheOutputEnabled) {
  iic_.Write(DS, 0x90, 4);
  iic_.Write(STAT, 0xE0, 4);
  EXPECT_FALSE(Pending());
  EXPECT_FALSE(iic_.Busy());
}

// --- temperature sensor ------------------------------------------------------------------------------

class SensorTest : public ::testing::Test {
 protected:
  // Register writes as the bus delivers them.
  void WriteConfig(std::uint8_t config) {
    sensor_.Start(false, 100000);
    sensor_.Write(1);
    sensor_.Write(config);
    sensor_.Stop();
  }
  void WriteLimit(std::uint8_t reg, std::int16_t value) {
    sensor_.Start(false, 100000);
    sensor_.Write(reg);
    sensor_.Write(static_cast<std::uint8_t>(static_cast<std::uint16_t>(value) >> 8));
    sensor_.Write(static_cast<std::uint8_t>(value));
    sensor_.Stop();
  }
  void ReadAny() {
    sensor_.Start(true, 100000);
    (void)sensor_.Read(false);
    sensor_.Stop();
  }

  std::vector<bool> pin_;
  sim::TemperatureSensor sensor_{[this](bool level) { pin_.push_back(level); }};
};

TEST_F(SensorTest, ComparatorFollowsLimitAndHysteresisWithTheFaultQueue) {
  WriteLimit(3, 40 * 256);
  WriteLimit(2, 35 * 256);
  WriteConfig(0x08);  // two faults
  sensor_.SetTemperature(41);
  EXPECT_FALSE(sensor_.OutputActive());
  sensor_.SetTemperature(42);
  EXPECT_TRUE(sensor_.OutputActive());
  sensor_.SetTemperature(37);  // between the thresholds: stays
  EXPECT_TRUE(sensor_.OutputActive());
  sensor_.SetTemperature(30);
  sensor_.SetTemperature(30);
  EXPECT_FALSE(sensor_.OutputActive());
  EXPECT_EQ(pin_, (std::vector<bool>{false, true}));  // active low
}

TEST_F(SensorTest, InterruptModeIsClearedByARead) {
  WriteLimit(3, 40 * 256);
  WriteLimit(2, 35 * 256);
  WriteConfig(0x06);  // interrupt mode, active high
  sensor_.SetTemperature(45);
  EXPECT_TRUE(sensor_.OutputActive());
  ReadAny();
  EXPECT_FALSE(sensor_.OutputActive());
  sensor_.SetTemperature(46);
  EXPECT_FALSE(sensor_.OutputActive());  // still above: no new event
  sensor_.SetTemperature(30);
  EXPECT_TRUE(sensor_.OutputActive());  // the downward crossing is an event too
}

TEST_F(SensorTest, ShutdownStopsConversions) {
  sensor_.SetTemperature(20);
  WriteConfig(0x01);
  sensor_.SetTemperature(60);
  EXPECT_EQ(sensor_.RegisterValue(0), 20 * 256);
  WriteConfig(0x00);
  EXPECT_EQ(sensor_.RegisterValue(0), 60 * 256);
}

TEST_F(SensorTest, RegistersKeepHalfDegreeResolutionAndReadMostSignificantFirst) {
  WriteLimit(3, 0x4655);
  EXPECT_EQ(sensor_.RegisterValue(3), 0x4600);
  sensor_.SetTemperature(25.7);
  sensor_.Start(false, 100000);
  sensor_.Write(0);
  sensor_.Stop();
  sensor_.Start(true, 100000);
  EXPECT_EQ(sensor_.Read(true), 0x19);
  EXPECT_EQ(sensor_.Read(false), 0x80);
  sensor_.Stop();
}

// --- ADC -----------------------------------------------------------------------------------------------

TEST(AdcModel, ConversionNeedsThePrescalerAndSamplesItsChannel) {
  sim::Adc adc;
  adc.SetInput(2, 611);
  adc.Write(sim::Adc::kBase, (2u << 3) | 1u, 4);  // no prescaler: never ends
  EXPECT_EQ(adc.Read(sim::Adc::kBase, 4) & 0x8000u, 0u);
  adc.Write(sim::Adc::kBase, (1u << 14) | (49u << 6) | (2u << 3) | 1u, 4);
  EXPECT_NE(adc.Read(sim::Adc::kBase, 4) & 0x8000u, 0u);
  EXPECT_EQ(adc.Read(sim::Adc::kBase + 0xC, 4), 611u);
  adc.SetVoltage(2, 1.65);
  adc.Write(sim::Adc::kBase + 4, 3, 4);  // touch-screen mode
  adc.Write(sim::Adc::kBase, (1u << 14) | (49u << 6) | (2u << 3) | 1u, 4);
  EXPECT_EQ(adc.Read(sim::Adc::kBase + 0xC, 4), 0u);
  adc.Write(sim::Adc::kBase + 4, 0, 4);
  adc.Write(sim::Adc::kBase, (1u << 14) | (49u << 6) | (2u << 3) | 1u, 4);
  EXPECT_EQ(adc.Read(sim::Adc::kBase + 0xC, 4), 512u);
}

// --- DSP host port -----------------------------------------------------------------------------------

TEST(DspModel, WindowReachesMemoryOnlyOutOfResetAndWithTheBus) {
  std::vector<bool> hint_line;
  sim::Dsp dsp([&](bool level) { hint_line.push_back(level); });
  const std::uint32_t B = sim::Dsp::kBase;
  dsp.Write(B + 0x04, 0x100, 4);
  dsp.Write(B + 0x0C, 5, 4);
  EXPECT_EQ(dsp.WordCount(), 0u);  // in reset
  dsp.SetResetLine(true);
  dsp.Write(B + 0x00, 0x00010001, 4);
  dsp.Write(B + 0x04, 0x100, 4);
  dsp.Write(B + 0x08, 0x11112222, 4);
  dsp.Write(B + 0x0C, 0x33334444, 4);
  EXPECT_EQ(dsp.Read(B + 0x14, 4), 0x104u);
  EXPECT_EQ(dsp.ReadWord(0x100), 0x11112222u);
  EXPECT_EQ(dsp.ReadWord(0x104), 0x33334444u);
  dsp.Write(B + 0x00, 0, 4);  // halfword order cleared: halves arrive swapped
  dsp.Write(B + 0x04, 0x200, 4);
  dsp.Write(B + 0x0C, 0xAAAABBBB, 4);
  EXPECT_EQ(dsp.ReadWord(0x200), 0xBBBBAAAAu);
  dsp.SetBusLines(true, false);
  dsp.Write(B + 0x0C, 1, 4);
  EXPECT_EQ(dsp.BusConflicts(), 1u);
  dsp.SetBusLines(false, false);
  dsp.RaiseHostInterrupt();
  EXPECT_EQ(dsp.Read(B + 0x10, 4) & 4u, 4u);
  dsp.Write(B + 0x00, 0x00050005, 4);
  EXPECT_FALSE(dsp.HostInterruptAsserted());
  dsp.SetResetLine(false);
  EXPECT_EQ(dsp.WordCount(), 0u);
  EXPECT_EQ(hint_line, (std::vector<bool>{false, true}));
}

}  // namespace
