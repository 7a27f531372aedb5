// The NMR physics of the DSP model: what the receiver samples for a probe in a field, and how the DSP
// program turns the samples into a frequency.
//
// The probe's spins precess at f = GyroRatio x |B|. The receiver mixes the signal down with a local
// oscillator (LO) to the intermediate frequency IF = f - LO and samples it at the sample rate: a
// free-induction decay A exp(-t / T2*) cos(2 pi IF t + phase) with white Gaussian noise. The
// receiver's band passes IFs from kIfBandLow to kIfBandHigh of the sample rate; outside it, and when
// the NMR path is broken or the field lies outside the probe's frequency range, only noise arrives.
//
// Analysis: Hann window, FFT zero-padded to kFftSize points (the FFT buffer holds the magnitudes of its
// first kFftSize / 2 bins), a second FFT zero-padded to kFineFftSize points around the peak (the peak
// spectrum, kPeakPoints magnitudes centred on the peak), and a parabola fitted to the logarithm of the
// three highest fine bins (a Gaussian line). A resonance is found when the peak stands
// kDetectionRatio times above the noise floor (the median of the FFT magnitudes).
//
// FFTW plans are made once per analyser under one process-wide lock (the planner is not thread-safe);
// one analyser serves one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace sim {

// The world as the DSP's receiver meets it.
struct NmrWorld {
  bool path_intact = false;  // a probe's NMR path reaches the receiver
  double gyro_ratio = 0.0;   // Hz per tesla
  double min_frequency = 0.0;
  double max_frequency = 0.0;  // the probe's range, Hz
  double field = 0.0;          // |B|, tesla
  double t2_star = 2.0e-3;     // s
  double noise = 0.01;         // noise standard deviation relative to the signal amplitude
};

// One acquisition.
struct NmrAcquisition {
  double sample_rate = 1.0e6;  // Hz
  std::size_t samples = 2000;  // at most NmrAnalyser::kMaxSamples
  double lo_frequency = 0.0;   // Hz
};

struct NmrAnalysis {
  bool found = false;
  double if_frequency = 0.0;  // Hz (fitted)
  double rf_frequency = 0.0;  // LO + IF, Hz
  double sigma = 0.0;         // standard deviation of the frequency, Hz
  double linewidth = 0.0;     // full width at half maximum, Hz
  double t2_star = 0.0;       // 1 / (pi x linewidth), s
  double noise_floor = 0.0;   // median FFT magnitude
  double peak = 0.0;          // highest FFT magnitude
  double fft_resolution = 0.0;
  double peak_resolution = 0.0;
  double peak_center = 0.0;          // IF of the middle point of the peak spectrum, Hz
  double residue = 0.0;              // RMS misfit of the parabola over the fine bins within half maximum
  std::vector<float> signal;         // the samples
  std::vector<float> fft;            // kFftSize / 2 magnitudes
  std::vector<float> peak_spectrum;  // kPeakPoints magnitudes
  std::vector<float> fit;            // a, b, c of a + b x + c x^2 over fine bins from the peak, IF, linewidth
};

// The signal the receiver samples (no analysis); `rng` supplies the noise.
std::vector<float> SynthesizeNmrSignal(const NmrWorld& world, const NmrAcquisition& acq, std::mt19937& rng);

class NmrAnalyser {
 public:
  static constexpr std::size_t kMaxSamples = 4096;
  static constexpr std::size_t kFftSize = 4096;
  static constexpr std::size_t kFineFftSize = 32768;
  static constexpr std::size_t kPeakPoints = 64;
  static constexpr double kDetectionRatio = 12.0;
  static constexpr double kIfBandLow = 0.02;
  static constexpr double kIfBandHigh = 0.45;

  NmrAnalyser();
  ~NmrAnalyser();
  NmrAnalyser(const NmrAnalyser&) = delete;
  NmrAnalyser& operator=(const NmrAnalyser&) = delete;

  // Analyses `signal` sampled at `sample_rate` after mixing with `lo_frequency`. With `detail` false
  // only the detection and the coarse peak are computed (the search's quick look).
  NmrAnalysis Analyse(const std::vector<float>& signal, double sample_rate, double lo_frequency, bool detail);

 private:
  struct Plans;
  void Refine(NmrAnalysis& a, std::size_t n, std::size_t peak_bin, double sample_rate, double lo_frequency);
  std::unique_ptr<Plans> plans_;
};

}  // namespace sim
