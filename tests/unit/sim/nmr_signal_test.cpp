// The NMR physics of the DSP model on its own: the fitted frequency's spread matches the sigma it
// reports, and no resonance appears where the receiver cannot see one.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "sim/nmr_signal.h"
#include "sim/peripheral_controllers.h"

namespace {

constexpr double kGyro = sim::PeripheralControllers::kProtonGyroRatio;

sim::NmrWorld ProtonAt(double field, double noise) {
  sim::NmrWorld w;
  w.path_intact = true;
  w.gyro_ratio = kGyro;
  w.min_frequency = sim::PeripheralControllers::kProbeMinFrequency;
  w.max_frequency = sim::PeripheralControllers::kProbeMaxFrequency;
  w.field = field;
  w.noise = noise;
  return w;
}

TEST(NmrSignal, ReportedSigmaMatchesTheSpreadOfRepeatedFits) {
  for (double noise : {0.02, 0.2}) {
    SCOPED_TRACE(noise);
    const sim::NmrWorld world = ProtonAt(1.5, noise);
    const double f = kGyro * 1.5;
    sim::NmrAnalyser analyser;
    double squared = 0.0, sigmas = 0.0;
    int fits = 0;
    for (unsigned seed = 1; seed <= 60; ++seed) {
      std::mt19937 rng(seed);
      sim::NmrAcquisition acq;
      acq.lo_frequency = f - 250.0e3 + 733.0 * (seed % 11);  // the line falls anywhere between bins
      const auto signal = sim::SynthesizeNmrSignal(world, acq, rng);
      const auto a = analyser.Analyse(signal, acq.sample_rate, acq.lo_frequency, true);
      ASSERT_TRUE(a.found);
      const double error = a.rf_frequency - f;
      EXPECT_LE(std::fabs(error), 5.0 * a.sigma);
      squared += error * error;
      sigmas += a.sigma;
      ++fits;
    }
    const double rms = std::sqrt(squared / fits);
    const double mean_sigma = sigmas / fits;
    EXPECT_GT(rms, 0.5 * mean_sigma);
    EXPECT_LT(rms, 2.0 * mean_sigma);
  }
}

TEST(NmrSignal, NoResonanceWhereTheReceiverCannotSeeOne) {
  struct Case {
    const char* name;
    bool intact;
    double field;
    double lo_offset;  // LO below the resonance, Hz (the receiver's band: 20 kHz to 450 kHz)
  };
  const Case cases[] = {
      {"broken NMR path", false, 1.5, 250.0e3},        {"above the probe's range", true, 2.2, 250.0e3},
      {"IF above the band", true, 1.5, 480.0e3},       {"IF below the band", true, 1.5, 5.0e3},
      {"LO above the resonance", true, 1.5, -250.0e3},
  };
  sim::NmrAnalyser analyser;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::NmrWorld world = ProtonAt(c.field, 0.02);
    world.path_intact = c.intact;
    for (unsigned seed = 1; seed <= 10; ++seed) {
      std::mt19937 rng(seed);
      sim::NmrAcquisition acq;
      acq.lo_frequency = kGyro * c.field - c.lo_offset;
      const auto signal = sim::SynthesizeNmrSignal(world, acq, rng);
      EXPECT_FALSE(analyser.Analyse(signal, acq.sample_rate, acq.lo_frequency, false).found) << seed;
    }
  }
  // The same receiver sees it inside its band.
  std::mt19937 rng(1);
  sim::NmrAcquisition acq;
  acq.lo_frequency = kGyro * 1.5 - 250.0e3;
  const auto signal = sim::SynthesizeNmrSignal(ProtonAt(1.5, 0.02), acq, rng);
  EXPECT_TRUE(analyser.Analyse(signal, acq.sample_rate, acq.lo_frequency, false).found);
}

}  // namespace
