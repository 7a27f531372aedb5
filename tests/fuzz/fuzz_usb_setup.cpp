// Setup requests from the host, through the whole device side: the simulated device controller, the
// driver, the device manager's routing, the standard requests and a small interface class.
//
// Input: up to 16 setup packets of 8 bytes each (bmRequestType, bRequest, wValue, wIndex, wLength,
// little-endian); a shorter tail is ignored. Each input starts from a configured device at address
// 1. Every packet is sent as the host would (IN data stage when bit 7 is set and wLength > 0, else
// a status stage), and whatever the requests did, the device must still answer GET_STATUS and keep
// its service order within bounds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/CDataBuffer.h"
#include "engine/COSUsbDeviceManager.h"
#include "platform/hw_registers.h"
#include "platform/kernel.h"
#include "platform/regbus.h"
#include "sim/gpio.h"
#include "sim/usb_device.h"
#include "usb/controller/CS3C2410Controller.h"
#include "usb/device/CUsbDeviceManager.h"
#include "support/usb_device_stack.h"
#include "support/usb_test_device.h"

namespace {

// Answers class request 7 (IN) with up to 16 bytes, and the rest as the minimal class does.
class SmallClass : public torvex_test::CUsbMinimalClass {
 public:
  SmallClass() : reply_(16) {}
  void OnSetup(const UsbSetupPacket& setup, std::uint32_t* status) override {
    if (setup.bRequest == 7 && (setup.bmRequestType & 0x80) != 0) {
      reply_.SetWindow(0, setup.wLength < 16 ? setup.wLength : 16);
      reply_.next = nullptr;
      io->StartWrite(kUsbKindControl, &reply_, status);
    } else {
      CUsbMinimalClass::OnSetup(setup, status);
    }
  }

 private:
  CDataBuffer reply_;
};

struct Stack {
  torvex_test::CIgnoredUsbExceptions exceptions;
  torvex_test::UsbDeviceSide side;
  SmallClass cls;

  Stack() {
    // Frames of 0.2 ms: each input runs a few dozen of them, and the time limits of the transfers
    // still leave the device's threads room on a loaded machine.
    platform::kernel::SetTickMicroseconds(2000);
    if (side.Build(&exceptions) != 0 ||
        side.BringUp(torvex_test::TestDeviceSettings(), torvex_test::TestTmcDescription(), &cls) != 0)
      std::abort();
    cls.io = side.io;
    if (!side.host->WaitAttached(2000)) std::abort();
  }
};

Stack& TheStack() {
  static Stack* stack = new Stack;  // kept for the process: its threads serve every input
  return *stack;
}

void Check(bool ok) {
  if (!ok) std::abort();
}

// A control transfer that must succeed; a time-out (a loaded machine) is tried again, a dead device
// fails every try.
sim::UsbTransfer Must(sim::UsbHost& host, const sim::UsbSetup& setup) {
  sim::UsbTransfer t;
  for (int attempt = 0; attempt < 20; ++attempt) {
    t = host.Control(setup);
    if (t.outcome != sim::UsbOutcome::kTimeout) break;
  }
  Check(t.outcome == sim::UsbOutcome::kOk);
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
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Stack& st = TheStack();
  sim::UsbHost& host = *st.side.host;
  Configure(host);
  for (std::size_t at = 0; at + 8 <= size && at < 16 * 8; at += 8) {
    sim::UsbSetup setup{};
    setup.request_type = data[at];
    setup.request = data[at + 1];
    setup.value = static_cast<std::uint16_t>(data[at + 2] | (data[at + 3] << 8));
    setup.index = static_cast<std::uint16_t>(data[at + 4] | (data[at + 5] << 8));
    setup.length = static_cast<std::uint16_t>(data[at + 6] | (data[at + 7] << 8));
    const sim::UsbTransfer t = host.Control(setup);
    // Never more than asked for, never a packet beyond endpoint 0's size.
    Check(t.data.size() <= setup.length);
    Check(t.outcome != sim::UsbOutcome::kProtocolError);
    if (t.outcome == sim::UsbOutcome::kTimeout) {
      // The device may have acted on a request whose transfer timed out (a new address the host
      // did not take up): the host starts afresh before it checks that the device still answers.
      Configure(host);
      break;
    }
    Check(t.outcome != sim::UsbOutcome::kNoResponse);
  }
  Check(Must(host, sim::UsbSetup{0x80, 0, 0, 0, 2}).data.size() == 2);
  Check(st.side.controller->ServiceOrderSize() <= 4);
  Check(st.side.model->FifoFaults() == 0);
  return 0;
}
