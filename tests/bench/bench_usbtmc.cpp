// "*IDN?" round trips over USB: a host with the usbtmc driver's behaviour (sim::UsbtmcClient) on the
// simulated cable writes "*IDN?" and reads the reply through the device controller model, the
// controller driver, the device stack, the USBTMC-USB488 class and the 488.2 engine, to an
// application device that answers from its event function. Beside it, for scale, the same query
// through the engine's test transport, and the ratio of the two. Then the rate of one long message
// written as one DEV_DEP_MSG_OUT transfer, as the Linux usbtmc driver writes it, into a device that
// only counts what it receives.
//
// The host retries a NAKed bulk token within the frame while the frame has room, so a short query
// takes a fraction of a frame or a few frames. The round trip runs at 1 ms frames (the instrument's
// 10 ms tick, as the running firmware has it) and prints the frames a round trip takes and the round
// trips per second; the long write keeps the 1000 us tick of the whole-firmware tests (100 us
// frames) and prints the frame period.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "engine/C4882Device.h"
#include "engine/DoVovuriEngine.h"
#include "platform/kernel.h"
#include "sim/usbtmc_client.h"
#include "support/process_board.h"
#include "test_transport.h"
#include "usb/UsbPlugin.h"

namespace {

using torvex_test::CTestTransport;
using torvex_test::CTestTransportFactory;
using torvex_test::TestTransportConfig;

constexpr const char* kReply = "Maker,Model,0000042,1.0\n";

// Answers every message with kReply.
template <typename Device>
class Answering : public Device {
 public:
  Answering() {
    MessageBufferDescriptor::Init(&input_, 4096, nullptr);
    MessageBufferDescriptor::Init(&response_, 4096, nullptr);
    std::memcpy(response_.data, kReply, std::strlen(kReply));
    response_.count = static_cast<std::uint32_t>(std::strlen(kReply));
  }
  ~Answering() override {
    this->Disable();
    MessageBufferDescriptor::Release(&input_);
    MessageBufferDescriptor::Release(&response_);
  }
  std::uint32_t Post() { return this->PostInputBuffer(&input_); }
  void OnInputComplete(std::int32_t, MessageBufferDescriptor*) override {
    this->QueryDetected();
    this->QueueResponse(&response_, 1);
    this->MessageProcessed();
    this->PostInputBuffer(&input_);
  }
  void OnResponseComplete(std::int32_t, MessageBufferDescriptor*) override {}
  void OnDeviceClear(std::uint32_t) override {}

 private:
  MessageBufferDescriptor input_{};
  MessageBufferDescriptor response_{};
};

CTestTransportFactory& Factory() {
  static CTestTransportFactory factory{TestTransportConfig{}};
  return factory;
}
CPhysicalInterfaceFactory* StartTestPlugin(std::uint32_t* status) {
  *status = 0;
  return &Factory();
}
void StopTestPlugin() {}

// Microseconds of one "*IDN?" round trip through the engine's test transport.
double EngineRoundTripUs(int rounds) {
  Factory().SetConfig(TestTransportConfig{});
  if (DoVovuriStartVxi11Plugin() != 0) return -1;
  double us = -1;
  {
    Answering<CTcpIpDevice> device;
    if (device.Enable(0, "inst0", 1) == 0 && device.Post() == 0) {
      CTestTransport* transport = Factory().Last();
      std::size_t expected = 0;
      const auto start = std::chrono::steady_clock::now();
      int done = 0;
      for (; done < rounds; ++done) {
        transport->HostWrite("*IDN?", true);
        if (!transport->WaitWritten()) break;
        transport->HostRead(64);
        expected += std::strlen(kReply);
        if (!transport->WaitReceived(expected)) break;
      }
      if (done == rounds) {
        us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / rounds;
      }
    }
  }
  DoVovuriStopVxi11Plugin();
  return us;
}

void BM_UsbtmcIdnRoundTrip(benchmark::State& state) {
  platform::kernel::SetTickMicroseconds(10000);
  sim::Board& board = torvex_test::ProcessBoard("bench_usbtmc");
  // The USB transport of the firmware, and the test transport in the VXI-11 place for the scale line.
  static const DoVovuriPluginHooks hooks{&StartTestPlugin, &StopTestPlugin};
  DoVovuriInstallPluginHooks(kPluginIdVxi11, &hooks);
  UsbProvidePlugin();
  if (DoVovuriStartEngine() != 0 || DoVovuriStartUsbPlugin() != 0) {
    state.SkipWithError("the engine or its USB plug-in did not start");
    return;
  }
  {
    Answering<CUsbDevice> device;
    if (device.Enable(0x1234, 0x5678, 0x0100, "Maker", "Model", "0000042", nullptr, nullptr, 50, 1, 0, 1) != 0 ||
        device.Post() != 0) {
      state.SkipWithError("the USB device did not enable");
    } else {
      sim::UsbHost host(board.usb());
      sim::UsbHostBus bus(host);
      sim::UsbtmcClient client(bus);
      const sim::UsbtmcResult opened = client.Open(1);
      if (!opened.ok()) {
        state.SkipWithError(opened.Describe().c_str());
      } else {
        std::string reply;
        std::int64_t rounds = 0;
        const auto start = std::chrono::steady_clock::now();
        for (auto _ : state) {
          const sim::UsbtmcResult r = client.Query("*IDN?", &reply);
          if (!r.ok() || reply != kReply) {
            state.SkipWithError(("round trip " + std::to_string(rounds + 1) + " failed: " + r.Describe()).c_str());
            break;
          }
          ++rounds;
        }
        const double usb_us =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() /
            static_cast<double>(rounds > 0 ? rounds : 1);
        state.counters["usb_round_trips_per_s"] = usb_us > 0 ? 1e6 / usb_us : 0;
        state.counters["usb_round_trip_us"] = usb_us;
        const auto frame_us = static_cast<double>(sim::UsbHost::FramePeriod().count());
        state.counters["frame_us"] = frame_us;
        state.counters["frames_per_round_trip"] = usb_us / frame_us;
        const double engine_us = EngineRoundTripUs(2000);
        if (engine_us > 0) {
          state.counters["engine_round_trips_per_s"] = 1e6 / engine_us;
          state.counters["ratio_usb_to_engine"] = usb_us / engine_us;
        }
      }
    }
  }
  DoVovuriStopAll();
}
BENCHMARK(BM_UsbtmcIdnRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Counts the bytes of every input and posts its buffer again; answers nothing.
class Counting : public CUsbDevice {
 public:
  Counting() { MessageBufferDescriptor::Init(&input_, 4096, nullptr); }
  ~Counting() override {
    Disable();
    MessageBufferDescriptor::Release(&input_);
  }
  std::uint32_t Post() { return PostInputBuffer(&input_); }
  void OnInputComplete(std::int32_t reason, MessageBufferDescriptor* descriptor) override {
    if (descriptor != nullptr) received_ += descriptor->count;
    if (reason == kInputReasonEnd) MessageProcessed();
    PostInputBuffer(&input_);
  }
  void OnResponseComplete(std::int32_t, MessageBufferDescriptor*) override {}
  void OnDeviceClear(std::uint32_t) override {}
  std::uint64_t Received() const { return received_.load(); }

 private:
  MessageBufferDescriptor input_{};
  std::atomic<std::uint64_t> received_{0};
};

void BM_UsbtmcLongWrite(benchmark::State& state) {
  platform::kernel::SetTickMicroseconds(1000);
  sim::Board& board = torvex_test::ProcessBoard("bench_usbtmc");
  UsbProvidePlugin();
  if (DoVovuriStartEngine() != 0 || DoVovuriStartUsbPlugin() != 0) {
    state.SkipWithError("the engine or its USB plug-in did not start");
    return;
  }
  {
    Counting device;
    if (device.Enable(0x1234, 0x5678, 0x0100, "Maker", "Model", "0000042", nullptr, nullptr, 50, 1, 0, 1) != 0 ||
        device.Post() != 0) {
      state.SkipWithError("the USB device did not enable");
    } else {
      sim::UsbHost host(board.usb());
      sim::UsbHostBus bus(host);
      sim::UsbtmcClient client(bus);
      const sim::UsbtmcResult opened = client.Open(1);
      const std::string message(static_cast<std::size_t>(state.range(0)), 'x');
      if (!opened.ok()) {
        state.SkipWithError(opened.Describe().c_str());
      } else {
        std::uint64_t expected = 0;
        for (auto _ : state) {
          const sim::UsbtmcResult r = client.Write(message);
          expected += message.size();
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
          while (device.Received() < expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
          }
          if (!r.ok() || device.Received() != expected) {
            state.SkipWithError(("the write failed: " + r.Describe()).c_str());
            break;
          }
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(expected));
        state.counters["frame_us"] = static_cast<double>(sim::UsbHost::FramePeriod().count());
      }
    }
  }
  DoVovuriStopAll();
}
BENCHMARK(BM_UsbtmcLongWrite)->Arg(64 * 1024)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
