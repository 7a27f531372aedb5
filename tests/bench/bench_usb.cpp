// Costs of the USB device side against the simulated controller and host: a bulk-IN transfer of
// several sizes (every FIFO byte is one masked register access with a 1 us delay), a control read of
// the configuration descriptor, and a whole enumeration. The host's frames are 1 ms (the
// instrument's 10 ms tick, as the running firmware has it), so that the bulk-IN figures compare with
// what full speed carries: 19 packets of 64 bytes a frame. Each bulk-IN size prints its throughput,
// that limit at the frame length in use and their ratio.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

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

struct Stack {
  torvex_test::CIgnoredUsbExceptions exceptions;
  torvex_test::UsbDeviceSide side;
  torvex_test::CUsbMinimalClass cls;

  Stack() {
    platform::kernel::SetTickMicroseconds(10000);
    if (side.Build(&exceptions) != 0 ||
        side.BringUp(torvex_test::TestDeviceSettings(), torvex_test::TestTmcDescription(), &cls) != 0 ||
        side.host->Enumerate(3).outcome != sim::UsbOutcome::kOk)
      std::abort();
  }
};

Stack& TheStack() {
  static Stack* stack = new Stack;  // kept for the process: its threads outlive the benchmarks
  return *stack;
}

void BM_BulkInTransfer(benchmark::State& state) {
  Stack& st = TheStack();
  const std::uint32_t n = static_cast<std::uint32_t>(state.range(0));
  CDataBuffer buffer(static_cast<std::int32_t>(n));
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    buffer.SetWindow(0, n);
    buffer.next = nullptr;
    std::uint32_t s = 0;
    st.side.manager->SuspendEvents(&s);
    st.side.io->StartWrite(kUsbKindBulkIn, &buffer, &s);
    st.side.manager->ResumeEvents(&s);
    const sim::UsbTransfer t = st.side.host->ReadIn(1, n + 64, 5000);
    if (s != 0 || t.outcome != sim::UsbOutcome::kOk || t.data.size() != n) {
      state.SkipWithError("bulk-IN transfer failed");
      break;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double bytes_per_s = seconds > 0 ? static_cast<double>(state.iterations()) * n / seconds : 0;
  const double frame_s = std::chrono::duration<double>(sim::UsbHost::FramePeriod()).count();
  const double limit = 19.0 * 64.0 / frame_s;  // full speed: 19 bulk packets of 64 bytes a frame
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * n);
  state.counters["frame_us"] = frame_s * 1e6;
  state.counters["B_per_s"] = bytes_per_s;
  state.counters["limit_B_per_s"] = limit;
  state.counters["ratio_to_limit"] = bytes_per_s / limit;
}
BENCHMARK(BM_BulkInTransfer)
    ->Arg(64)
    ->Arg(1024)
    ->Arg(4096)
    ->Arg(64 * 1024)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ControlReadOfTheConfiguration(benchmark::State& state) {
  Stack& st = TheStack();
  for (auto _ : state) {
    const sim::UsbTransfer t = st.side.host->Control(sim::UsbSetup{0x80, 6, 0x0200, 0, 255});
    if (t.outcome != sim::UsbOutcome::kOk) {
      state.SkipWithError("control read failed");
      break;
    }
  }
}
BENCHMARK(BM_ControlReadOfTheConfiguration)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Enumeration(benchmark::State& state) {
  Stack& st = TheStack();
  for (auto _ : state) {
    const sim::UsbEnumeration e = st.side.host->Enumerate(3);
    if (e.outcome != sim::UsbOutcome::kOk) {
      state.SkipWithError(("enumeration failed at " + e.failed_step).c_str());
      break;
    }
  }
}
BENCHMARK(BM_Enumeration)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
