// USBTMC from the host, through the whole USB side and the engine: class requests on endpoint 0 and
// bulk transfers (headers and payload) in any order, against the USB plug-in with a small application
// device that answers queries.
//
// Input: up to 24 records. A record starts with an operation byte (taken modulo 4):
//   0: a class request, 8 more bytes of setup packet (bmRequestType is made a class request, the
//      direction and recipient bits are kept);
//   1: a bulk-OUT transfer, a length byte n and then n bytes (fewer at the end of the input);
//   2: a bulk-IN read of up to 4096 bytes;
//   3: an interrupt-IN read.
// Each input starts from a freshly reset and configured device. Whatever the records did, the device
// must answer within USB's rules, and once the configuration is selected again GET_CAPABILITIES must
// answer its record with success.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/C4882Device.h"
#include "engine/DoVovuriEngine.h"
#include "platform/hw_registers.h"
#include "platform/interrupt.h"
#include "platform/kernel.h"
#include "platform/regbus.h"
#include "sim/gpio.h"
#include "sim/usb_device.h"
#include "usb/UsbPlugin.h"

namespace {

// How long a bulk or interrupt record waits for the device (frames of 0.2 ms): enough for a device
// that has something to say, short for one that rightly has nothing.
constexpr std::uint32_t kRecordFrames = 10;

// The input being run, shown when a check fails.
const std::uint8_t* g_input = nullptr;
std::size_t g_input_size = 0;
std::uint64_t g_faults_before = 0;

void Check(bool ok, const char* what = "check") {
  if (ok) return;
  std::fprintf(stderr, "fuzz_usbtmc: %s failed; input:", what);
  for (std::size_t i = 0; i < g_input_size; ++i) std::fprintf(stderr, " %02x", g_input[i]);
  std::fprintf(stderr, "\n");
  std::abort();
}

class App : public CUsbDevice {
 public:
  App() {
    MessageBufferDescriptor::Init(&input_, 4096, nullptr);
    MessageBufferDescriptor::Init(&response_, 64, nullptr);
  }
  ~App() override {
    Disable();
    MessageBufferDescriptor::Release(&input_);
    MessageBufferDescriptor::Release(&response_);
  }
  bool Start() {
    if (Enable(0x1234, 0x5678, 0x0100, "Maker", "Product", "1", nullptr, nullptr, 50, 1, 0, 1) != 0) return false;
    EnableTriggerEvent();
    EnableStatusByteRequestEvent();
    EnableRemoteLocalEvent(1);
    return PostInputBuffer(&input_) == 0;
  }
  void OnInputComplete(std::int32_t, MessageBufferDescriptor* d) override {
    if (d != nullptr && d->count != 0 && std::memchr(d->data, '?', d->count) != nullptr) {
      QueryDetected();
      std::memcpy(response_.data, "ANSWER\n", 7);
      response_.count = 7;
      QueueResponse(&response_, 1);
    }
    MessageProcessed();
    PostInputBuffer(&input_);
  }
  void OnResponseComplete(std::int32_t, MessageBufferDescriptor*) override {}
  void OnDeviceClear(std::uint32_t) override {}
  void OnStatusByteRequest(std::uint32_t) override { SetStatusByte(0x10); }

 private:
  MessageBufferDescriptor input_{};
  MessageBufferDescriptor response_{};
};

struct Board {
  sim::Gpio gpio;
  std::unique_ptr<sim::UsbDeviceController> model;
  std::unique_ptr<sim::UsbHost> host;
  std::unique_ptr<App> app;

  Board() {
    platform::kernel::SetTickMicroseconds(2000);
    platform::regbus::Map(sim::Gpio::kBase, sim::Gpio::kSize, &gpio);
    gpio.Preset(hw::line::kUsbPullup, hw::gpio::kFunctionOutput, false);
    model = std::make_unique<sim::UsbDeviceController>(gpio);
    host = std::make_unique<sim::UsbHost>(*model);
    UsbProvidePlugin();
    Check(DoVovuriStartEngine() == 0, "engine start");
    Check(DoVovuriStartUsbPlugin() == 0, "plug-in start");
    app = std::make_unique<App>();
    Check(app->Start(), "device enable");
    Check(host->WaitAttached(2000), "attach");
  }
};

Board& TheBoard() {
  static Board* board = new Board;  // kept for the process: its threads serve every input
  return *board;
}

// A control transfer that must succeed. On a loaded machine the host may give up on a transfer the
// device is still finishing, and its next setup packet then meets that one's end: a time-out or a
// stall is tried again, a dead device fails every try.
sim::UsbTransfer Must(sim::UsbHost& host, const sim::UsbSetup& setup) {
  sim::UsbTransfer t;
  for (int attempt = 0; attempt < 20; ++attempt) {
    t = host.Control(setup);
    if (t.outcome != sim::UsbOutcome::kTimeout && t.outcome != sim::UsbOutcome::kStall) break;
  }
  if (t.outcome != sim::UsbOutcome::kOk)
    std::fprintf(stderr, "fuzz_usbtmc: request %02x %02x: %s\n", setup.request_type, setup.request,
                 sim::UsbOutcomeName(t.outcome));
  Check(t.outcome == sim::UsbOutcome::kOk, "control transfer");
  return t;
}

// Resets the bus, then addresses and configures the device. A transfer that fails (a loaded machine)
// starts again from the reset, not with the same request: a SET_ADDRESS whose status stage timed out
// may have taken effect all the same, and the device no longer answers at address 0.
void Configure(sim::UsbHost& host) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    host.Reset();
    if (host.Control(sim::UsbSetup{0x00, 5, 1, 0, 0}).outcome != sim::UsbOutcome::kOk) continue;
    if (host.Control(sim::UsbSetup{0x00, 9, 1, 0, 0}).outcome == sim::UsbOutcome::kOk) return;
  }
  Check(false, "bus reset, address and configuration");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  g_input = data;
  g_input_size = size;
  Board& board = TheBoard();
  sim::UsbHost& host = *board.host;
  Configure(host);
  g_faults_before = board.model->FifoFaults();
  std::size_t at = 0;
  for (int record = 0; record < 24 && at < size; ++record) {
    const std::uint8_t op = data[at++] % 4;
    if (op == 0) {
      if (at + 8 > size) break;
      sim::UsbSetup setup{};
      setup.request_type = static_cast<std::uint8_t>((data[at] & 0x9F) | 0x20);
      setup.request = data[at + 1];
      setup.value = static_cast<std::uint16_t>(data[at + 2] | (data[at + 3] << 8));
      setup.index = static_cast<std::uint16_t>(data[at + 4] | (data[at + 5] << 8));
      setup.length = static_cast<std::uint16_t>(data[at + 6] | (data[at + 7] << 8));
      at += 8;
      const sim::UsbTransfer t = host.Control(setup);
      Check(t.data.size() <= setup.length, "reply length");
      Check(t.outcome != sim::UsbOutcome::kProtocolError, "control protocol");
      Check(t.outcome != sim::UsbOutcome::kNoResponse, "control response");
    } else if (op == 1) {
      if (at >= size) break;
      std::size_t n = data[at++];
      if (n > size - at) n = size - at;
      const std::vector<std::uint8_t> bytes(data + at, data + at + n);
      at += n;
      const sim::UsbTransfer t = host.WriteOut(2, bytes, kRecordFrames);
      Check(t.outcome != sim::UsbOutcome::kProtocolError, "bulk-OUT protocol");
    } else if (op == 2) {
      const sim::UsbTransfer t = host.ReadIn(1, 4096, kRecordFrames);
      Check(t.outcome != sim::UsbOutcome::kProtocolError, "bulk-IN protocol");
      // Every response transfer starts with a DEV_DEP_MSG_IN header whose TransferSize fits.
      if (t.outcome == sim::UsbOutcome::kOk && t.data.size() >= 12) {
        Check(t.data[0] == 2, "response header");
        const std::uint32_t length =
            static_cast<std::uint32_t>(t.data[4]) | static_cast<std::uint32_t>(t.data[5]) << 8 |
            static_cast<std::uint32_t>(t.data[6]) << 16 | static_cast<std::uint32_t>(t.data[7]) << 24;
        Check(length <= t.data.size() - 12, "response TransferSize");
      }
    } else {
      const sim::UsbTransfer t = host.ReadIn(3, 2, kRecordFrames, 2);
      Check(t.outcome != sim::UsbOutcome::kProtocolError, "interrupt protocol");
      Check(t.data.size() <= 2, "interrupt length");
    }
  }
  // No FIFO was over- or under-run by the traffic. (The bus reset at the start of an input may empty
  // a FIFO that a service pass is reading, as on the hardware, so the count is taken after it.)
  Check(board.model->FifoFaults() == g_faults_before, "FIFO faults");
  // Selecting the configuration again starts the interface afresh: no split, no hold, the record
  // with success.
  Must(host, sim::UsbSetup{0x00, 9, 1, 0, 0});
  const sim::UsbTransfer caps = Must(host, sim::UsbSetup{0xA1, 7, 0, 0, 24});
  Check(caps.data.size() == 24 && caps.data[0] == 1 && caps.data[14] == 7, "capabilities after configuration");
  return 0;
}
