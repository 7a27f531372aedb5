// Units: names to rows, conversions against reference values worked out separately with exact
// fractions (field, proton frequency, probe frequency, PPM), round trips between every pair of units,
// the probe's ratio taken from the selected probe object, and the refusals (no probe, zero or
// non-finite ratios, zero PPM reference, unknown units).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>

#include "core/CTorvexChannel.h"
#include "peripherals/CTorvexPwMeasuringPeripheral.h"
#include "peripherals/UnitConversion.h"
#include "support/fake_probe.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/TopologyLock.h"

namespace Torvex {
namespace {

using torvex_test::FakeProbe;

// A peripheral that cannot measure (a multiplexer, say).
class FakeMultiplexer : public CTorvexPeripheral {
 public:
  FakeMultiplexer() : CTorvexPeripheral(CTorvexChannel()) {}
  int GetType() override { return 3; }
  std::uint16_t GetModel() override { return 0; }
  int GetSerialNumber() override { return 0; }
  std::string GetDesignation() override { return "-"; }
  bool IsInitialized() override { return true; }
  int Initialize() override { return 0; }
  bool IsMeasuring() override { return false; }
  std::uint8_t GetChildCount() override { return 4; }
};

constexpr double kNominalProtonRatio = 42577478.92;  // Hz per tesla
constexpr double kProbeRatio = 6536000.0;            // Hz per tesla, the probe's sample
constexpr double kPpmReference = 1.5;                // tesla
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The three nodes the conversions read, bound for the test; no probe selected.
class UnitConversionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_node_units_parms_ppm_ref = &ppmRef;
    g_node_unit_conversion_nominal_p_gyro_ratio = &nominalRatio;
    g_node_current_probe_object = &probeObject;
    ppmRef.SetFloat64Attribute(eAttrValue, kPpmReference);
    nominalRatio.SetFloat64Attribute(eAttrValue, kNominalProtonRatio);
  }
  void TearDown() override {
    g_node_units_parms_ppm_ref = nullptr;
    g_node_unit_conversion_nominal_p_gyro_ratio = nullptr;
    g_node_current_probe_object = nullptr;
  }

  void Select(CTorvexPeripheral* peripheral) { probeObject.SetPointerAttribute(eAttrValue, peripheral); }

  CParameterNode ppmRef{"ppm_ref", eNodeType::Float64};
  CParameterNode nominalRatio{"nominal_p_gyro_ratio", eNodeType::Float64};
  CParameterNode probeObject{"object", eNodeType::Pointer};
};

eUnit Unit(const char* name) {
  const eUnit unit = FindUnit(name);
  EXPECT_NE(unit, kUnitInvalid) << name;
  return unit;
}

// Relative agreement to 1e-12; a value in PPM is a small difference of two fields, so it is held to
// 1e-8 ppm absolute (1.5e-14 T at the reference used here).
void ExpectClose(double actual, double expected, std::uint32_t unit, const std::string& what) {
  const double tolerance = unit == kUnitPpm ? 1e-8 : std::fabs(expected) * 1e-12 + 1e-15;
  EXPECT_NEAR(actual, expected, tolerance) << what;
}

TEST(FindUnit, NamesAreExactAndCaseSensitive) {
  const struct {
    const char* name;
    std::uint32_t unit;
  } cases[] = {
      {"T", 1},   {"MT", 2},    {"UGAUss", 8}, {"PPM", 9},   {"HZP", 10},          {"MAHZP", 12},
      {"HZ", 14}, {"MAHZ", 16}, {"GHZ", 17},   {"gauss", 0}, {"GAUS", 0},          {"GAUSS", 0},
      {"t", 0},   {"T ", 0},    {"", 0},       {"MHZ", 0},   {"Invalid Units", 0}, {"DEFault", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(FindUnit(c.name), c.unit) << '"' << c.name << '"';
}

TEST(FindUnit, EveryUnitFindsItsOwnRow) {
  for (std::uint32_t unit = 1; unit < kUnitCount; ++unit) EXPECT_EQ(FindUnit(kUnitTable[unit].name), unit);
}

// Probe ratio 6.536e6 Hz/T unless the row supplies one; PPM reference 1.5 T; nominal proton ratio
// 42577478.92 Hz/T. Expected values worked out with exact fractions.
TEST_F(UnitConversionTest, ReferenceValues) {
  FakeProbe probe(kProbeRatio);
  Select(&probe);
  const struct {
    double value;
    const char* from;
    const char* to;
    double ratio;
    double expected;
  } cases[] = {
      // flux density
      {1.5, "T", "GAUSs", 0, 15000},
      {1, "KGAUss", "MT", 0, 100},
      {2.5, "T", "UT", 0, 2500000},
      {123.4, "MGAUss", "NT", 0, 12340},
      {7, "UGAUss", "T", 0, 6.9999999999999996e-10},
      {0.35, "T", "UGAUss", 0, 3500000000},
      // proton frequency
      {1, "T", "MAHZP", 0, 42.577478919999997},
      {63.87, "MAHZP", "T", 0, 1.5000888173770717},
      {425.7747892, "KHZP", "GAUSs", 0, 100},
      {1.2, "GHZP", "KGAUss", 0, 281.83913900931361},
      // PPM
      {1.5015, "T", "PPM", 0, 1000},
      {1000, "PPM", "T", 0, 1.5015000000000001},
      {-250, "PPM", "MT", 0, 1499.625},
      {42.57747892, "MAHZP", "PPM", 0, -333333.33333333331},
      {12.5, "PPM", "HZP", 0, 63867016.707729749},
      // probe frequency, the selected probe's ratio
      {1, "T", "KHZ", 0, 6536},
      {9.8, "MAHZ", "T", 0, 1.4993880048959609},
      {42.57747892, "MAHZP", "HZ", 0, 6536000},
      {3, "GHZ", "MAHZP", 0, 19542.906481028152},
      {100, "PPM", "MAHZ", 0, 9.8049803999999998},
      {2, "HZ", "NT", 0, 305.99755201958385},
      // probe frequency, a supplied ratio
      {1000, "HZ", "KHZ", 40e6, 1},
      {40, "MAHZ", "T", 40e6, 1},
      {0.5, "T", "GHZ", 40e6, 0.02},
      {17, "KHZ", "GAUSs", 40e6, 4.25},
  };
  for (const auto& c : cases) {
    double value = c.value;
    const std::string what = std::to_string(c.value) + " " + c.from + " to " + c.to;
    ASSERT_EQ(ConvertUnits(value, Unit(c.from), Unit(c.to), c.ratio), 0) << what;
    ExpectClose(value, c.expected, FindUnit(c.to), what);
  }
}

// A field of 1.2 T given in unit a, taken to unit b and back, comes back to what it was in a.
TEST_F(UnitConversionTest, EveryPairRoundTrips) {
  FakeProbe probe(kProbeRatio);
  Select(&probe);
  for (std::uint32_t a = 1; a < kUnitCount; ++a) {
    double start = 1.2;
    ASSERT_EQ(ConvertUnits(start, kUnitTesla, a, 0), 0) << kUnitTable[a].name;
    for (std::uint32_t b = 1; b < kUnitCount; ++b) {
      const std::string what = std::string(kUnitTable[a].name) + " and " + kUnitTable[b].name;
      double value = start;
      ASSERT_EQ(ConvertUnits(value, a, b, 0), 0) << what;
      ASSERT_EQ(ConvertUnits(value, b, a, 0), 0) << what;
      EXPECT_NEAR(value, start, std::fabs(start) * 1e-12) << what;
    }
  }
}

TEST_F(UnitConversionTest, TheSelectedProbeIsAskedOncePerConversion) {
  FakeProbe probe(4e7);
  Select(&probe);
  double value = 2e6;
  ASSERT_EQ(ConvertUnits(value, kUnitHertz, kUnitKiloHertz, 0), 0);
  EXPECT_DOUBLE_EQ(value, 2e3);
  EXPECT_EQ(probe.asked, 1);
  // A supplied ratio is used instead of the probe's.
  value = 4e7;
  ASSERT_EQ(ConvertUnits(value, kUnitHertz, kUnitTesla, 2e7), 0);
  EXPECT_DOUBLE_EQ(value, 2.0);
  EXPECT_EQ(probe.asked, 1);
}

TEST_F(UnitConversionTest, NoProbeIsRefusedWhereItsRatioIsNeeded) {
  double value = 1000;
  EXPECT_EQ(ConvertUnits(value, kUnitHertz, kUnitKiloHertz, 0), kUnitNoCurrentProbe);
  EXPECT_EQ(value, 1000);  // the first half failed: unchanged
  value = 1.5;
  EXPECT_EQ(ConvertUnits(value, kUnitGauss, kUnitMegaHertz, 0), kUnitNoCurrentProbe);
  EXPECT_DOUBLE_EQ(value, 1.5e-4);  // the second half failed: in tesla
  value = 1000;
  EXPECT_EQ(ConvertUnits(value, kUnitHertz, kUnitKiloHertz, 1e6), 0);
  EXPECT_DOUBLE_EQ(value, 1);
  value = 3;
  EXPECT_EQ(ConvertUnits(value, kUnitHertz, kUnitHertz, 0), 0);  // equal units need nothing
  EXPECT_EQ(value, 3);
  value = 3;
  EXPECT_EQ(ConvertUnits(value, kUnitTesla, kUnitGauss, 0), 0);  // nor do the field units
  EXPECT_DOUBLE_EQ(value, 30000);

  // A selected peripheral that cannot measure is no probe.
  FakeMultiplexer multiplexer;
  Select(&multiplexer);
  value = 1000;
  EXPECT_EQ(ConvertUnits(value, kUnitHertz, kUnitTesla, 0), kUnitNoCurrentProbe);
  // The node not bound at all.
  g_node_current_probe_object = nullptr;
  EXPECT_EQ(ConvertUnits(value, kUnitHertz, kUnitTesla, 0), kUnitNoCurrentProbe);
}

// A ratio of 0 or one that is not finite is never divided or multiplied by.
TEST_F(UnitConversionTest, UnusableRatiosAreRefused) {
  for (const double bad : {0.0, kNaN, kInfinity, -kInfinity}) {
    SCOPED_TRACE(bad);
    FakeProbe probe(bad);
    Select(&probe);
    double value = 1000;
    EXPECT_EQ(ConvertUnits(value, kUnitHertz, kUnitTesla, 0), kUnitZeroQuantity);
    EXPECT_EQ(value, 1000);
    value = 1;
    EXPECT_EQ(ConvertUnits(value, kUnitMilliTesla, kUnitKiloHertz, 0), kUnitZeroQuantity);
    EXPECT_DOUBLE_EQ(value, 1e-3);
    if (bad != 0.0) {  // 0 asks the probe
      value = 1000;
      Select(nullptr);
      EXPECT_EQ(ConvertUnits(value, kUnitHertz, kUnitTesla, bad), kUnitZeroQuantity);
    }

    nominalRatio.SetFloat64Attribute(eAttrValue, bad);
    value = 42;
    EXPECT_EQ(ConvertUnits(value, kUnitProtonMegaHertz, kUnitTesla, 0), kUnitZeroQuantity);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(ConvertUnits(value, kUnitTesla, kUnitProtonHertz, 0), kUnitZeroQuantity);
    nominalRatio.SetFloat64Attribute(eAttrValue, kNominalProtonRatio);
  }
}

TEST_F(UnitConversionTest, ZeroPpmReferenceIsRefusedIntoPpm) {
  ppmRef.SetFloat64Attribute(eAttrValue, 0.0);
  double value = 1.5;
  EXPECT_EQ(ConvertUnits(value, kUnitGauss, kUnitPpm, 0), kUnitZeroQuantity);
  EXPECT_DOUBLE_EQ(value, 1.5e-4);
  value = 1000;  // out of PPM the reference only scales
  EXPECT_EQ(ConvertUnits(value, kUnitPpm, kUnitTesla, 0), 0);
  EXPECT_EQ(value, 0);
  g_node_units_parms_ppm_ref = nullptr;  // not bound: no reference
  value = 1.5;
  EXPECT_EQ(ConvertUnits(value, kUnitTesla, kUnitPpm, 0), kUnitZeroQuantity);
}

TEST_F(UnitConversionTest, UnknownIndexesAreTakenAsTesla) {
  double value = 5;
  EXPECT_EQ(ConvertUnits(value, 18, kUnitMilliTesla, 0), 0);
  EXPECT_DOUBLE_EQ(value, 5000);
  value = 5;
  EXPECT_EQ(ConvertUnits(value, kUnitKiloGauss, 0, 0), 0);
  EXPECT_DOUBLE_EQ(value, 0.5);
  value = 5;
  EXPECT_EQ(ConvertUnits(value, 0xFFFFFFFF, 99, 0), 0);
  EXPECT_EQ(value, 5);
}

// A frequency f measured with the probe maps to f x factor + offset in the unit.
TEST_F(UnitConversionTest, FieldFrequencyReferenceValues) {
  FakeProbe probe(kProbeRatio);
  Select(&probe);
  const struct {
    double frequency;
    const char* unit;
    double expected;
  } cases[] = {
      {9804000.0, "T", 1.5},
      {9804000.0, "GAUSs", 15000},
      {6536.0, "UGAUss", 10000000},
      {9804980.4, "PPM", 100},
      {9804000.0, "MAHZP", 63.866218379999999},
      {19608000.0, "GHZP", 0.12773243676000001},
      {9804000.0, "KHZ", 9804},
  };
  for (const auto& c : cases) {
    double factor = 0;
    double offset = 0;
    ASSERT_EQ(ConvertFieldFrequency(Unit(c.unit), factor, offset), 0) << c.unit;
    ExpectClose(c.frequency * factor + offset, c.expected, FindUnit(c.unit), c.unit);
  }
}

TEST_F(UnitConversionTest, FieldFrequencyOfPpmWithRoundNumbers) {
  FakeProbe probe(4e7);
  Select(&probe);
  ppmRef.SetFloat64Attribute(eAttrValue, 1.0);
  double factor = 0;
  double offset = 0;
  ASSERT_EQ(ConvertFieldFrequency(kUnitPpm, factor, offset), 0);
  EXPECT_DOUBLE_EQ(4e7 * factor + offset, 0.0);
  EXPECT_DOUBLE_EQ(offset, -1000000.0);
}

TEST_F(UnitConversionTest, FieldFrequencyRefusals) {
  double factor = 7;
  double offset = 8;
  // No probe is reported before a bad index.
  EXPECT_EQ(ConvertFieldFrequency(0, factor, offset), kUnitNoCurrentProbe);
  EXPECT_EQ(ConvertFieldFrequency(18, factor, offset), kUnitNoCurrentProbe);
  EXPECT_EQ(ConvertFieldFrequency(kUnitTesla, factor, offset), kUnitNoCurrentProbe);

  FakeProbe probe(kProbeRatio);
  Select(&probe);
  EXPECT_EQ(ConvertFieldFrequency(0, factor, offset), kUnitOutOfRange);
  EXPECT_EQ(ConvertFieldFrequency(18, factor, offset), kUnitOutOfRange);

  ppmRef.SetFloat64Attribute(eAttrValue, 0.0);
  EXPECT_EQ(ConvertFieldFrequency(kUnitPpm, factor, offset), kUnitZeroQuantity);
  ppmRef.SetFloat64Attribute(eAttrValue, kPpmReference);

  for (const double bad : {0.0, kNaN, kInfinity}) {
    probe.ratio = bad;
    for (const eUnit unit : {kUnitTesla, kUnitMicroGauss, kUnitPpm, kUnitProtonHertz}) {
      EXPECT_EQ(ConvertFieldFrequency(unit, factor, offset), kUnitZeroQuantity) << kUnitTable[unit].name;
    }
  }
  EXPECT_EQ(factor, 7);  // every refusal left the outputs alone
  EXPECT_EQ(offset, 8);
  // The probe's own frequency units need no ratio.
  ASSERT_EQ(ConvertFieldFrequency(kUnitMegaHertz, factor, offset), 0);
  EXPECT_DOUBLE_EQ(factor, 1e-6);
  EXPECT_EQ(offset, 0);
}

// A topology teardown on another thread (under g_TopologyLock: the selection cleared, the object
// destroyed, a new one selected) never leaves a conversion with a destroyed probe: each conversion
// sees either a probe or none. Run under asan and tsan as well.
TEST_F(UnitConversionTest, ProbeReplacedWhileConvertingIsNeverUsedAfterItIsDestroyed) {
  constexpr int kRounds = 2000;
  Select(new FakeProbe(4e7));
  std::thread topology([&] {
    for (int i = 0; i < kRounds; ++i) {
      CRecursiveLockGuard lock(g_TopologyLock);
      auto* old = static_cast<CTorvexPeripheral*>(probeObject.GetPointerAttribute(eAttrValue));
      probeObject.SetPointerAttribute(eAttrValue, nullptr);
      delete old;
      if (i % 3 != 0) probeObject.SetPointerAttribute(eAttrValue, static_cast<CTorvexPeripheral*>(new FakeProbe(4e7)));
    }
  });
  int converted = 0;
  int withoutProbe = 0;
  for (int i = 0; i < kRounds; ++i) {
    double value = 2e7;
    const int result = ConvertUnits(value, kUnitHertz, kUnitTesla, 0);
    if (result == 0) {
      ++converted;
      EXPECT_EQ(value, 0.5);
    } else {
      ++withoutProbe;
      EXPECT_EQ(result, kUnitNoCurrentProbe);
      EXPECT_EQ(value, 2e7);
    }
  }
  topology.join();
  EXPECT_EQ(converted + withoutProbe, kRounds);
  delete static_cast<CTorvexPeripheral*>(probeObject.GetPointerAttribute(eAttrValue));
}

}  // namespace
}  // namespace Torvex
