// The DSP program model: one request-reply exchange through the host-port window, one measurement
// (TRIGGER), a whole-range search, and the spectral analysis on its own.
#include <benchmark/benchmark.h>

#include <bit>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "platform/kernel.h"
#include "sim/dsp.h"
#include "sim/dsp_image.h"
#include "sim/dsp_program.h"
#include "sim/nmr_signal.h"
#include "sim/peripheral_controllers.h"
#include "support/dsp_host_port.h"

namespace {

using sim::DspProgram;

constexpr double kGyro = sim::PeripheralControllers::kProtonGyroRatio;

// A booted DSP with a proton probe at 1.5 T, driven through the window.
class Rig {
 public:
  Rig()
      : dsp_([](bool) {}), program_(dsp_, [] {
          sim::NmrWorld w;
          w.path_intact = true;
          w.gyro_ratio = kGyro;
          w.min_frequency = sim::PeripheralControllers::kProbeMinFrequency;
          w.max_frequency = sim::PeripheralControllers::kProbeMaxFrequency;
          w.field = 1.5;
          return w;
        }) {
    dsp_.SetResetLine(true);
    port_.LoadImage(sim::BuildDspImage({2, 4}));
    port_.InterruptDsp();
    Await();
  }

  // Spins on the host interrupt, then acknowledges it; the reply's word `word` (0: none) is returned.
  std::uint32_t Await(std::uint32_t word = 0) {
    while (!port_.HostInterrupt()) {
    }
    const std::uint32_t w = word ? port_.ReadWord(DspProgram::kReplyBuffer + 4 * word) : 0;
    port_.AckHostInterrupt();
    return w;
  }
  // One request, its reply awaited; word `word` of the reply returned.
  std::uint32_t Exchange(std::vector<std::uint32_t> frame, std::uint32_t word = 0) {
    std::uint32_t x = 0;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) x ^= frame[i];
    frame.back() = x;
    port_.WriteBlock(DspProgram::kRequestMailbox, {frame[0]});
    port_.WriteBlock(DspProgram::kRequestBuffer, frame);
    port_.InterruptDsp();
    return Await(word);
  }

 private:
  sim::Dsp dsp_;
  DspProgram program_;
  torvex_test::DspHostPort port_{dsp_};
};

std::vector<std::uint32_t> Request(std::uint32_t id) {
  std::vector<std::uint32_t> f(DspProgram::RequestBytes(id) / 4, 0);
  f[0] = id;
  return f;
}

void BM_DspExchange(benchmark::State& state) {
  Rig rig;
  for (auto _ : state) benchmark::DoNotOptimize(rig.Exchange(Request(DspProgram::kExternalReference)));
}
BENCHMARK(BM_DspExchange)->UseRealTime();

void BM_DspMeasurement(benchmark::State& state) {
  Rig rig;
  auto tracking = Request(DspProgram::kInitiateTracking);
  const auto bits = std::bit_cast<std::uint64_t>(kGyro * 1.5);
  tracking[2] = static_cast<std::uint32_t>(bits >> 32);
  tracking[3] = static_cast<std::uint32_t>(bits);
  rig.Exchange(tracking);
  auto trigger = Request(DspProgram::kTrigger);
  const auto one = std::bit_cast<std::uint64_t>(1.0);
  trigger[2] = static_cast<std::uint32_t>(one >> 32);
  trigger[3] = static_cast<std::uint32_t>(one);
  for (auto _ : state) benchmark::DoNotOptimize(rig.Exchange(trigger, 6));
}
BENCHMARK(BM_DspMeasurement)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A search of the probe's whole range (1.5 to 90 MHz, the resonance at 63.9 MHz) with the shortest
// tick, so that the search's pacing (kSearchTicks ticks) weighs little.
void BM_DspSearchWholeRange(benchmark::State& state) {
  platform::kernel::SetTickMicroseconds(100);
  Rig rig;
  auto search = Request(DspProgram::kInitiateSearch);
  search[2] = std::bit_cast<std::uint32_t>(1.5e6f);
  search[3] = std::bit_cast<std::uint32_t>(90.0e6f);
  for (auto _ : state) benchmark::DoNotOptimize(rig.Exchange(search, 4));
}
BENCHMARK(BM_DspSearchWholeRange)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_NmrAnalysis(benchmark::State& state) {
  sim::NmrWorld w;
  w.path_intact = true;
  w.gyro_ratio = kGyro;
  w.min_frequency = 1.0e6;
  w.max_frequency = 1.0e8;
  w.field = 1.5;
  sim::NmrAcquisition acq;
  acq.samples = static_cast<std::size_t>(state.range(0));
  acq.lo_frequency = kGyro * 1.5 - 250.0e3;
  std::mt19937 rng(1);
  const auto signal = sim::SynthesizeNmrSignal(w, acq, rng);
  sim::NmrAnalyser analyser;
  const bool detail = state.range(1) != 0;
  for (auto _ : state) benchmark::DoNotOptimize(analyser.Analyse(signal, acq.sample_rate, acq.lo_frequency, detail));
}
BENCHMARK(BM_NmrAnalysis)->Args({2000, 0})->Args({2000, 1})->Args({4096, 1})->Unit(benchmark::kMicrosecond);

}  // namespace
