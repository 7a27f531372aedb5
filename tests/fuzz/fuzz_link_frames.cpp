// Frames that a peripheral controller on the probe connector sends back, through the link transport's
// receive (I2C bus driver and IIC controller model included).
//
// Input: byte 0 selects the buffer (bit 0 set: the caller's buffer) and byte 1 its capacity; the
// rest is what the controller clocks out from frame byte 1 on (length, content, check byte), 0xFF
// after its end. Frames claiming more than 2048 bytes are skipped to keep each run short; the length
// logic does not change above that.
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "drivers/board_devices.h"
#include "drivers/i2c_bus.h"
#include "drivers/i2c_peripheral.h"
#include "platform/devtab.h"
#include "platform/kernel.h"
#include "sim/board.h"
#include "support/process_board.h"

namespace {

class Controller final : public sim::I2cSlave {
 public:
  bool Start(bool read, std::uint32_t) override {
    std::lock_guard<std::mutex> g(lock_);
    if (read) pos_ = 0;
    return true;
  }
  bool Write(std::uint8_t) override { return true; }
  std::uint8_t Read(bool) override {
    std::lock_guard<std::mutex> g(lock_);
    return pos_ < bytes_.size() ? bytes_[pos_++] : 0xFF;
  }
  void Stop() override {}
  void Serve(const std::uint8_t* data, std::size_t size) {
    std::lock_guard<std::mutex> g(lock_);
    bytes_.assign(data, data + size);
    pos_ = 0;
  }

 private:
  std::mutex lock_;
  std::vector<std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

Controller& TheController() {
  static Controller* controller = [] {
    platform::kernel::SetTickMicroseconds(1000);  // short bus time-outs: failed frames end fast
    sim::Board* board = &torvex_test::ProcessBoard("fuzz-link");
    i2c_peripheral_set_bus(&board_i2c_bus);
    auto* c = new Controller;
    board->AttachProbeDevice(0x12, c);
    return c;
  }();
  return *controller;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  Controller& controller = TheController();
  const bool caller_buffer = (data[0] & 1) != 0;
  const std::uint32_t capacity = data[1];
  const std::uint8_t* sent = data + 2;
  const std::size_t sent_size = size - 2;
  const std::uint32_t claimed = sent_size >= 2 ? (sent[0] << 8) | sent[1] : 0xFFFF;
  if (claimed > 2048) return 0;
  controller.Serve(sent, sent_size);

  std::vector<std::uint8_t> buffer(capacity + 1, 0xEE);  // one guard byte past the capacity
  std::uint8_t* frame = caller_buffer ? buffer.data() : nullptr;
  std::uint16_t length = 0;
  const bool ok = i2c_peripheral_receive(0x25, &frame, caller_buffer, capacity, &length);
  if (caller_buffer && buffer[capacity] != 0xEE) std::abort();  // wrote past the caller's buffer
  if (ok) {
    if (length <= 4 || length != claimed) std::abort();
    if (caller_buffer && length > capacity) std::abort();
    if (frame[0] != 0x25) std::abort();
    for (std::uint32_t k = 1; k < length; ++k) {
      const std::uint8_t expected = k - 1 < sent_size ? sent[k - 1] : 0xFF;
      if (frame[k] != expected) std::abort();
    }
  }
  return 0;
}
