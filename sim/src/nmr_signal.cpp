// The NMR physics of the DSP model (see sim/nmr_signal.h).
#include "sim/nmr_signal.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numbers>

namespace sim {
namespace {

std::mutex& PlannerLock() {
  static std::mutex lock;
  return lock;
}

double Magnitude(const fftw_complex& c) { return std::hypot(c[0], c[1]); }

}  // namespace

struct NmrAnalyser::Plans {
  double* coarse_in = nullptr;
  fftw_complex* coarse_out = nullptr;
  fftw_plan coarse = nullptr;
  double* fine_in = nullptr;
  fftw_complex* fine_out = nullptr;
  fftw_plan fine = nullptr;
};

NmrAnalyser::NmrAnalyser() : plans_(std::make_unique<Plans>()) {
  std::lock_guard<std::mutex> g(PlannerLock());
  Plans& p = *plans_;
  p.coarse_in = fftw_alloc_real(kFftSize);
  p.coarse_out = fftw_alloc_complex(kFftSize / 2 + 1);
  p.coarse = fftw_plan_dft_r2c_1d(static_cast<int>(kFftSize), p.coarse_in, p.coarse_out, FFTW_ESTIMATE);
  p.fine_in = fftw_alloc_real(kFineFftSize);
  p.fine_out = fftw_alloc_complex(kFineFftSize / 2 + 1);
  p.fine = fftw_plan_dft_r2c_1d(static_cast<int>(kFineFftSize), p.fine_in, p.fine_out, FFTW_ESTIMATE);
}

NmrAnalyser::~NmrAnalyser() {
  std::lock_guard<std::mutex> g(PlannerLock());
  Plans& p = *plans_;
  fftw_destroy_plan(p.coarse);
  fftw_destroy_plan(p.fine);
  fftw_free(p.coarse_in);
  fftw_free(p.coarse_out);
  fftw_free(p.fine_in);
  fftw_free(p.fine_out);
}

std::vector<float> SynthesizeNmrSignal(const NmrWorld& world, const NmrAcquisition& acq, std::mt19937& rng) {
  const std::size_t n = std::min(acq.samples, NmrAnalyser::kMaxSamples);
  std::vector<float> out(n);
  const double fs = acq.sample_rate;
  const double f = world.gyro_ratio * world.field;
  const double intermediate = f - acq.lo_frequency;
  const bool resonance = world.path_intact && fs > 0.0 && f >= world.min_frequency && f <= world.max_frequency &&
                         intermediate >= NmrAnalyser::kIfBandLow * fs && intermediate <= NmrAnalyser::kIfBandHigh * fs;
  std::normal_distribution<double> noise(0.0, world.noise);
  std::uniform_real_distribution<double> phase_dist(0.0, 2.0 * std::numbers::pi);
  const double phase = phase_dist(rng);
  for (std::size_t i = 0; i < n; ++i) {
    double v = noise(rng);
    if (resonance) {
      const double t = static_cast<double>(i) / fs;
      v += std::exp(-t / world.t2_star) * std::cos(2.0 * std::numbers::pi * intermediate * t + phase);
    }
    out[i] = static_cast<float>(v);
  }
  return out;
}

NmrAnalysis NmrAnalyser::Analyse(const std::vector<float>& signal, double sample_rate, double lo_frequency,
                                 bool detail) {
  NmrAnalysis a;
  const std::size_t n = std::min(signal.size(), kMaxSamples);
  if (n < 8 || !(sample_rate > 0.0)) return a;
  Plans& p = *plans_;

  // Hann window, zero-padded.
  std::fill(p.coarse_in, p.coarse_in + kFftSize, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n - 1));
    p.coarse_in[i] = w * signal[i];
  }
  fftw_execute(p.coarse);

  const double coarse_res = sample_rate / static_cast<double>(kFftSize);
  a.fft_resolution = coarse_res;
  a.fft.resize(kFftSize / 2);
  for (std::size_t k = 0; k < kFftSize / 2; ++k) a.fft[k] = static_cast<float>(Magnitude(p.coarse_out[k]));

  // The receiver's band: the peak and the noise floor are taken inside it.
  const std::size_t lo_bin = static_cast<std::size_t>(std::ceil(kIfBandLow * sample_rate / coarse_res));
  const std::size_t hi_bin =
      std::min(kFftSize / 2 - 1, static_cast<std::size_t>(std::floor(kIfBandHigh * sample_rate / coarse_res)));
  std::vector<float> band(a.fft.begin() + static_cast<std::ptrdiff_t>(lo_bin),
                          a.fft.begin() + static_cast<std::ptrdiff_t>(hi_bin + 1));
  const auto peak_it = std::max_element(band.begin(), band.end());
  const std::size_t peak_bin = lo_bin + static_cast<std::size_t>(peak_it - band.begin());
  a.peak = *peak_it;
  std::nth_element(band.begin(), band.begin() + static_cast<std::ptrdiff_t>(band.size() / 2), band.end());
  a.noise_floor = band[band.size() / 2];
  a.found = a.noise_floor > 0.0 && a.peak > kDetectionRatio * a.noise_floor;
  a.if_frequency = static_cast<double>(peak_bin) * coarse_res;
  a.rf_frequency = lo_frequency + a.if_frequency;
  if (!detail) return a;

  a.signal.assign(signal.begin(), signal.begin() + static_cast<std::ptrdiff_t>(n));
  Refine(a, n, peak_bin, sample_rate, lo_frequency);
  return a;
}

// The peak measured on the fine spectrum of the windowed signal (still in the coarse plan's input):
// its frequency, width, shape and spread.
void NmrAnalyser::Refine(NmrAnalysis& a, std::size_t n, std::size_t peak_bin, double sample_rate, double lo_frequency) {
  Plans& p = *plans_;
  // Fine spectrum around the peak.
  std::fill(p.fine_in, p.fine_in + kFineFftSize, 0.0);
  std::copy(p.coarse_in, p.coarse_in + n, p.fine_in);
  fftw_execute(p.fine);
  constexpr std::size_t ratio = kFineFftSize / kFftSize;
  const double fine_res = sample_rate / static_cast<double>(kFineFftSize);
  const std::size_t fine_last = kFineFftSize / 2 - 1;
  std::size_t k0 = peak_bin * ratio;
  const std::size_t from = k0 > ratio ? k0 - ratio : 1;
  const std::size_t to = std::min(fine_last - 1, k0 + ratio);
  for (std::size_t k = from; k <= to; ++k)
    if (Magnitude(p.fine_out[k]) > Magnitude(p.fine_out[k0])) k0 = k;
  k0 = std::clamp<std::size_t>(k0, 1, fine_last - 1);

  const std::size_t first = k0 >= kPeakPoints / 2 ? k0 - kPeakPoints / 2 : 0;
  a.peak_spectrum.resize(kPeakPoints);
  for (std::size_t i = 0; i < kPeakPoints; ++i) {
    const std::size_t k = std::min(first + i, fine_last);
    a.peak_spectrum[i] = static_cast<float>(Magnitude(p.fine_out[k]));
  }
  a.peak_resolution = fine_res;
  a.peak_center = static_cast<double>(first + kPeakPoints / 2) * fine_res;

  // Gaussian line: a parabola through the logarithms of the three highest bins.
  const double ym = std::log(std::max(Magnitude(p.fine_out[k0 - 1]), 1e-300));
  const double y0 = std::log(std::max(Magnitude(p.fine_out[k0]), 1e-300));
  const double yp = std::log(std::max(Magnitude(p.fine_out[k0 + 1]), 1e-300));
  const double c = 0.5 * (ym + yp) - y0;
  const double b = 0.5 * (yp - ym);
  const double delta = c < 0.0 ? std::clamp(-b / (2.0 * c), -1.0, 1.0) : 0.0;
  a.if_frequency = (static_cast<double>(k0) + delta) * fine_res;
  a.rf_frequency = lo_frequency + a.if_frequency;

  // Width at half maximum, from the fine spectrum's crossings.
  const double peak_mag = Magnitude(p.fine_out[k0]);
  const double half = 0.5 * peak_mag;
  auto crossing = [&](int dir) {
    std::size_t k = k0;
    while (k > 1 && k < fine_last && Magnitude(p.fine_out[k]) > half) k = dir > 0 ? k + 1 : k - 1;
    const double m_out = Magnitude(p.fine_out[k]);
    const double m_in = Magnitude(p.fine_out[dir > 0 ? k - 1 : k + 1]);
    const double frac = m_in > m_out ? (m_in - half) / (m_in - m_out) : 0.0;
    return static_cast<double>(k) - dir * (1.0 - frac);
  };
  const double left = crossing(-1);
  const double right = crossing(+1);
  a.linewidth = std::max(right - left, 1.0) * fine_res;
  a.t2_star = 1.0 / (std::numbers::pi * a.linewidth);

  // Misfit of the parabola over the bins above half maximum.
  double sum = 0.0;
  int count = 0;
  for (std::size_t k = static_cast<std::size_t>(std::max(1.0, std::ceil(left)));
       k <= static_cast<std::size_t>(std::floor(right)) && k < fine_last; ++k) {
    const double x = static_cast<double>(k) - static_cast<double>(k0);
    const double model = y0 + b * x + c * x * x;
    const double d = std::log(std::max(Magnitude(p.fine_out[k]), 1e-300)) - model;
    sum += d * d;
    ++count;
  }
  a.residue = count > 0 ? std::sqrt(sum / count) : 0.0;

  // The frequency's spread: the line width over the peak's signal-to-noise ratio, scaled so that it
  // matches the RMS error of repeated acquisitions (kSigmaScale, measured over noise levels from 1 %
  // to 30 % of the signal).
  constexpr double kSigmaScale = 3.5;
  const double snr = a.noise_floor > 0.0 ? a.peak / a.noise_floor : 0.0;
  a.sigma = snr > 0.0 ? a.linewidth / (kSigmaScale * snr) : a.linewidth;

  a.fit = {static_cast<float>(y0), static_cast<float>(b), static_cast<float>(c), static_cast<float>(a.if_frequency),
           static_cast<float>(a.linewidth)};
}

}  // namespace sim
