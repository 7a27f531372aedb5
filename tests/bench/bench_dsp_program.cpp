// The DSP program model: one request-reply exchange through the host-port window, one measurement
// (TRIGGER), a whole-range search, and the spectral analysis on its own.
#include <benchmark/benchmark.h>

#include <bit>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "platform/hw_registers.h"
#include "platform/kernel.h"
#include "sim/dsp.h"
#include "sim/dsp_image.h"
#include "sim/dsp_program.h"
#include "sim/nmr_signal.h"
#include "sim/peripheral_controllers.h"

namespace {

using namespace hw::hpi;
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
    const auto image = sim::BuildDspImage({2, 4});
    // The loadable sections, as the loader writes them.
    const unsigned sections = image[2] | (image[3] << 8);
    for (unsigned s = 0; s < sections; ++s) {
      const std::size_t h = 50 + 48 * s;
      auto le32 = [&](std::size_t at) {
        return image[at] | (image[at + 1] << 8) | (image[at + 2] << 16) | (std::uint32_t{image[at + 3]} << 24);
      };
      const std::uint32_t flags = le32(h + 40), size = le32(h + 16), raw = le32(h + 20), addr = le32(h + 8);
      if (!(flags & 0x60) || size == 0) continue;
      std::vector<std::uint32_t> words(size / 4);
      for (std::size_t i = 0; i < words.size(); ++i) words[i] = le32(raw + 4 * i);
      WriteBlock(addr, words);
    }
    Interrupt();
    Await();
  }

  void WriteBlock(std::uint32_t address, const std::vector<std::uint32_t>& words) {
    dsp_.Write(kBase + kHpicWrite, BothHalves(kHpicHalfwordOrder), 4);
    dsp_.Write(kBase + kHpiaWrite, address, 4);
    for (std::size_t i = 0; i + 1 < words.size(); ++i) dsp_.Write(kBase + kHpidIncWrite, words[i], 4);
    dsp_.Write(kBase + kHpidWrite, words.back(), 4);
  }
  std::uint32_t ReadWord(std::uint32_t address) {
    dsp_.Write(kBase + kHpicWrite, BothHalves(kHpicHalfwordOrder), 4);
    dsp_.Write(kBase + kHpiaWrite, address, 4);
    return dsp_.Read(kBase + kHpidRead, 4);
  }
  void Interrupt() { dsp_.Write(kBase + kHpicWrite, BothHalves(kHpicHalfwordOrder | kHpicDspInterrupt), 4); }
  // Spins on the host interrupt, then acknowledges it; the reply's word `word` (0: none) is returned.
  std::uint32_t Await(std::uint32_t word = 0) {
    while ((dsp_.Read(kBase + kHpicRead, 4) & kHpicHostInterrupt) == 0) {
    }
    const std::uint32_t w = word ? ReadWord(DspProgram::kReplyBuffer + 4 * word) : 0;
    dsp_.Write(kBase + kHpicWrite, BothHalves(kHpicHalfwordOrder | kHpicHostInterrupt), 4);
    return w;
  }
  // One request, its reply awaited; word `word` of the reply returned.
  std::uint32_t Exchange(std::vector<std::uint32_t> frame, std::uint32_t word = 0) {
    std::uint32_t x = 0;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) x ^= frame[i];
    frame.back() = x;
    WriteBlock(DspProgram::kRequestMailbox, {frame[0]});
    WriteBlock(DspProgram::kRequestBuffer, frame);
    Interrupt();
    return Await(word);
  }

 private:
  sim::Dsp dsp_;
  DspProgram program_;
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
