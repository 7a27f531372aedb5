// Answers of peripheral controllers, through the whole peripheral link (frames, status, scan) and the
// peripheral objects that decode them (identification and port records, texts, physical information,
// Hall calibration and readings, camera limits and memory block).
//
// Input: a sequence of answers, each {flags, n, n content bytes}: every frame read from a controller
// takes the next answer (flags bit 0: a wrong check byte). Status frames answer ready and accepted.
// When the input runs out, the controllers stop acknowledging and every request fails.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "drivers/board_devices.h"
#include "peripherals/CTorvexMultiplexer.h"
#include "peripherals/CTorvexPulsedCamera.h"
#include "peripherals/CTorvexPulsedProbe.h"
#include "peripherals/PeripheralLink.h"
#include "peripherals/PwPhysicalInformation.h"
#include "platform/devtab.h"
#include "platform/kernel.h"
#include "sim/board.h"
#include "support/process_board.h"

namespace {

class ScriptedController final : public sim::I2cSlave {
 public:
  explicit ScriptedController(std::uint8_t address) : address_(address) {}
  bool Start(bool read, std::uint32_t) override;
  bool Write(std::uint8_t) override { return true; }
  std::uint8_t Read(bool) override { return pos_ < frame_.size() ? frame_[pos_++] : 0xFF; }
  void Stop() override {}

  static void Serve(const std::uint8_t* data, std::size_t size) {
    std::lock_guard<std::mutex> g(lock_);
    input_.assign(data, data + size);
    next_ = 0;
  }

 private:
  std::uint8_t address_;
  std::vector<std::uint8_t> frame_;
  std::size_t pos_ = 0;
  static std::mutex lock_;
  static std::vector<std::uint8_t> input_;
  static std::size_t next_;
};

std::mutex ScriptedController::lock_;
std::vector<std::uint8_t> ScriptedController::input_;
std::size_t ScriptedController::next_ = 0;

bool ScriptedController::Start(bool read, std::uint32_t) {
  std::lock_guard<std::mutex> g(lock_);
  if (next_ >= input_.size()) return false;  // the script is over: nobody answers
  if (!read) return true;
  std::vector<std::uint8_t> content;
  bool corrupt = false;
  if (address_ == 0x10) {
    content = {0x01};
  } else {
    if (input_.size() - next_ < 2) {
      next_ = input_.size();
      return false;
    }
    corrupt = (input_[next_] & 1) != 0;
    const std::size_t n = std::min<std::size_t>(input_[next_ + 1], input_.size() - next_ - 2);
    content.assign(input_.begin() + static_cast<std::ptrdiff_t>(next_ + 2),
                   input_.begin() + static_cast<std::ptrdiff_t>(next_ + 2 + n));
    next_ += 2 + n;
  }
  frame_ = {static_cast<std::uint8_t>((address_ << 1) | 1), 0, 0};
  frame_.insert(frame_.end(), content.begin(), content.end());
  const std::size_t size = frame_.size() + 1;
  frame_[1] = static_cast<std::uint8_t>(size >> 8);
  frame_[2] = static_cast<std::uint8_t>(size);
  std::uint8_t x = 0;
  for (auto b : frame_) x ^= b;
  frame_.push_back(corrupt ? static_cast<std::uint8_t>(x ^ 0x55) : x);
  pos_ = 1;
  return true;
}

void SetUp() {
  static bool done = [] {
    platform::kernel::SetTickMicroseconds(1);  // ready waits and retries end at once
    sim::Board* board = &torvex_test::ProcessBoard("fuzz-answers");
    Torvex::PeripheralLink::Init();
    for (std::uint8_t a = 0x10; a <= 0x16; ++a) board->AttachProbeDevice(a, new ScriptedController(a));
    Torvex::g_ProbeInfoSource = Torvex::eProbeInfoFromProbe;
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  SetUp();
  ScriptedController::Serve(data, size);
  using namespace Torvex;
  std::vector<PeripheralScanEntry> list;
  (void)PeripheralLink::ScanTopology(list);
  for (const PeripheralScanEntry& entry : list) {
    if (entry.path.Length() > 4) std::abort();  // a channel has room for the connector and four levels
    CTorvexChannel channel;
    channel.AppendLevel(1);
    for (std::uint8_t i = 0; i < entry.path.Length(); ++i) channel.AppendLevel(entry.path.Level(i));
    std::unique_ptr<CTorvexPeripheral> object;
    switch (entry.id.type) {
      case ePeripheralProbe2: object = std::make_unique<CTorvexPulsedProbe>(channel, entry.id); break;
      case ePeripheralMultiplexer:
        object = std::make_unique<CTorvexMultiplexer>(channel, entry.id, entry.portCount);
        break;
      case ePeripheralCamera: object = std::make_unique<CTorvexPulsedCamera>(channel, entry.id); break;
      default: break;
    }
    if (object) (void)object->Initialize();
  }
  return 0;
}
