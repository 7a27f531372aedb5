// The simulated board (see sim/board.h).
#include "sim/board.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/bootloader.h"
#include "platform/interrupt.h"
#include "platform/regbus.h"
#include "sim/identity_image.h"

namespace sim {
namespace {

using hw::line::kBusHandover3;
using hw::line::kBusHandover4;
using hw::line::kDspInterrupt;
using hw::line::kDspReset;
using hw::line::kI2cSegment;
using hw::line::kOnOffButton;
using hw::line::kPowerOn;
using hw::line::kTemperatureAlarm;

}  // namespace

Board::Board(const std::string& root)
    : root_(root.empty() ? "." : root),
      temperature_sensor_([this](bool level) { gpio_.SetInput(kTemperatureAlarm, level); }),
      dsp_([this](bool level) { gpio_.SetInput(kDspInterrupt, level); }),
      dsp_program_(dsp_, [this] { return peripherals_.NmrSource(); }),
      usb_(gpio_) {
  // The interrupt controller maps itself on the register bus when first used: make that happen here,
  // not inside a model that holds its own lock while it raises a line.
  (void)platform::interrupts::IsMasked(0);

  std::error_code ec;
  std::filesystem::create_directories(root_, ec);
  if (ec) throw std::runtime_error("cannot create " + root_ + ": " + ec.message());
  LoadOrCreateEepromImage();

  // Board wiring: lines the firmware drives reach the models that listen to them.
  gpio_.Observe(kDspReset, [this](bool level) { dsp_.SetResetLine(level); });
  auto bus_lines = [this](bool) { dsp_.SetBusLines(gpio_.Level(kBusHandover3), gpio_.Level(kBusHandover4)); };
  gpio_.Observe(kBusHandover3, bus_lines);
  gpio_.Observe(kBusHandover4, bus_lines);
  gpio_.Observe(kI2cSegment, [this](bool level) { iic_.SetSegmentSelect(level); });
  gpio_.Observe(kPowerOn, [this](bool level) { OnPowerLine(level); });
  gpio_.Observe(hw::line::kUsbPullup, [this](bool level) {
    if (!level) return;
    std::lock_guard<std::mutex> g(lock_);
    ++usb_attach_count_;
  });

  // Pulls: the DSP's reset, the bus hand-over and the segment select rest low.
  for (const hw::Line& line : {kDspReset, kBusHandover3, kBusHandover4, kI2cSegment}) {
    gpio_.SetInput(line, false);
  }
  // The boot loader holds the power on.
  gpio_.Preset(kPowerOn, hw::gpio::kFunctionOutput, true);
  // The USB pull-up is an output, low: the device stays off the bus until the firmware connects.
  gpio_.Preset(hw::line::kUsbPullup, hw::gpio::kFunctionOutput, false);

  iic_.Attach(kOnBoardSegment, kEepromAddress, &eeprom_);
  iic_.Attach(kOnBoardSegment, kTemperatureSensorAddress, &temperature_sensor_);
  // The probe connector: the peripheral controllers, and their NMR-path sense voltage on ADC channel 0.
  for (unsigned i = 0; i < PeripheralControllers::kAddressCount; ++i)
    iic_.Attach(kProbeSegment, static_cast<std::uint8_t>(PeripheralControllers::kFirstAddress + i),
                peripherals_.Device(i));
  peripherals_.SetSenseObserver([this](std::uint16_t code) { adc_.SetInput(kNmrSenseChannel, code); });
  gpio_.Observe(hw::line::kPeripheralReset, [this](bool level) { peripherals_.SetResetLine(level); });

  platform::regbus::Map(Gpio::kBase, Gpio::kSize, &gpio_);
  platform::regbus::Map(IicController::kBase, IicController::kSize, &iic_);
  platform::regbus::Map(Adc::kBase, Adc::kSize, &adc_);
  platform::regbus::Map(Dsp::kBase, Dsp::kSize, &dsp_);
}

std::uint64_t Board::UsbAttachCount() {
  std::lock_guard<std::mutex> g(lock_);
  return usb_attach_count_;
}

Board::~Board() {
  dsp_program_.Stop();
  platform::regbus::Unmap(&dsp_);
  platform::regbus::Unmap(&adc_);
  platform::regbus::Unmap(&iic_);
  platform::regbus::Unmap(&gpio_);
}

std::string Board::EepromImagePath() const { return root_ + "/" + kEepromImageName; }

void Board::LoadOrCreateEepromImage() {
  const std::string path = EepromImagePath();
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    const auto image = DefaultEepromImage();
    std::string error;
    if (!WriteImageFile(image, &error)) throw std::runtime_error(error);
    eeprom_.Load(0, image);
    return;
  }
  std::ifstream in(path, std::ios::binary);
  const std::string refused = "EEPROM image " + path + " refused: ";
  if (!in) throw std::runtime_error(refused + "cannot read it: " + std::strerror(errno));
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error(refused + "cannot read it");
  if (bytes.size() != Eeprom::kSize) {
    throw std::runtime_error(refused + "it holds " + std::to_string(bytes.size()) + " bytes, an image holds " +
                             std::to_string(Eeprom::kSize));
  }
  eeprom_.Load(0, bytes);
}

bool Board::WriteImageFile(const std::array<std::uint8_t, Eeprom::kSize>& image, std::string* error) {
  // Written beside the image and renamed over it, so a failed write never leaves a broken image.
  const std::string path = EepromImagePath();
  const std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out) {
      std::remove(tmp.c_str());
      if (error) *error = "cannot write " + tmp;
      return false;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    if (error) *error = "cannot rename " + tmp + " to " + path + ": " + std::strerror(errno);
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

void Board::PressButton() { gpio_.SetInput(kOnOffButton, false); }
void Board::ReleaseButton() { gpio_.SetInput(kOnOffButton, true); }
void Board::SetTemperature(double celsius) { temperature_sensor_.SetTemperature(celsius); }
void Board::SetAdcInput(unsigned channel, std::uint16_t code) { adc_.SetInput(channel, code); }
void Board::SetAdcVoltage(unsigned channel, double volts) { adc_.SetVoltage(channel, volts); }

bool Board::LoadEeprom(std::size_t offset, std::span<const std::uint8_t> bytes, std::string* error) {
  if (offset > Eeprom::kSize || bytes.size() > Eeprom::kSize - offset) {
    if (error)
      *error = "board: " + std::to_string(bytes.size()) + " bytes at offset " + std::to_string(offset) +
               " do not fit in the " + std::to_string(Eeprom::kSize) + "-byte EEPROM";
    return false;
  }
  std::lock_guard<std::mutex> g(lock_);
  auto image = eeprom_.Contents();
  std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
  if (!WriteImageFile(image, error)) return false;
  eeprom_.Load(offset, bytes);
  return true;
}

void Board::WithholdAck(unsigned segment, std::uint8_t address, std::chrono::steady_clock::duration duration) {
  iic_.WithholdAckUntil(segment, address, std::chrono::steady_clock::now() + duration);
}

void Board::WithholdAckAttempts(unsigned segment, std::uint8_t address, unsigned attempts,
                                IicController::Direction direction) {
  iic_.WithholdAckAttempts(segment, address, attempts, direction);
}

void Board::ClearI2cFaults() { iic_.ClearFaults(); }

void Board::AttachProbeDevice(std::uint8_t address, I2cSlave* device) { iic_.Attach(kProbeSegment, address, device); }

bool Board::PowerOn() {
  std::lock_guard<std::mutex> g(lock_);
  return power_on_;
}

void Board::OnPowerLine(bool level) {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (level || !power_on_) return;
    power_on_ = false;
  }
  platform::bootloader::PowerOff();
}

}  // namespace sim
