// The record decoders of the peripheral objects: physical information, the physical-information set,
// the camera's sections (counted bytes, descriptor, text pair, limits) and the Hall calibration.
// Every record cut short at any length is refused without reading past its end.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "object_test_device.h"
#include "peripherals/CTorvex3AxisHallSensor.h"
#include "peripherals/CTorvexPulsedCamera.h"
#include "peripherals/PwPhysicalInformation.h"
#include "peripherals/PwPhysicalInformationSet.h"

namespace Torvex {
namespace {

using test::Bytes;
using test::InfoRecord;
using test::InfoValues;
using test::RecordWriter;

// Copies `n` bytes into a buffer of exactly that size, so a read past them is caught.
std::unique_ptr<std::uint8_t[]> Exact(const Bytes& b, std::size_t n) {
  auto p = std::make_unique<std::uint8_t[]>(n == 0 ? 1 : n);
  std::copy_n(b.begin(), n, p.get());
  return p;
}

TEST(PhysicalInformation, DefaultsAreZeroExceptMultiplierAndRatio) {
  const PwPhysicalInformation& d = g_DefaultPhysicalInformation;
  EXPECT_EQ(d.MinFreq, 0.0);
  EXPECT_EQ(d.MaxFreq, 0.0);
  EXPECT_EQ(d.FreqMultiplier, 1.0);
  EXPECT_EQ(d.GyroRatio, 1.0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(d.Curve(i)->count, 0);
}

TEST(PhysicalInformation, RecordWithFiveEmptyCurvesIs85BytesLong) {
  const Bytes record = InfoRecord(InfoValues{});
  ASSERT_EQ(record.size(), PwPhysicalInformation::kMinRecordSize);
  PwPhysicalInformation info;
  std::size_t next = 0;
  ASSERT_TRUE(DecodePhysicalInformation(record.data(), record.size(), info, &next));
  EXPECT_EQ(next, 85u);
  EXPECT_EQ(info.MinFreq, 1e6);
  EXPECT_EQ(info.MaxFreq, 2e6);
  EXPECT_EQ(info.GyroRatio, 42.577e6);
  EXPECT_EQ(info.SampleLength, 256);
  EXPECT_EQ(info.DeadTime, 5);
}

TEST(PhysicalInformation, DecodesEveryCurveIntoArraysOfItsOwn) {
  InfoValues v;
  v.curves[1] = {10, 20, 30};
  v.curves[4] = std::vector<std::uint16_t>(128, 7);
  const Bytes record = InfoRecord(v);
  PwPhysicalInformation info;
  std::size_t next = 0;
  ASSERT_TRUE(DecodePhysicalInformation(record.data(), record.size(), info, &next));
  EXPECT_EQ(next, record.size());
  ASSERT_EQ(info.Tuning.count, 3);
  EXPECT_EQ(info.Tuning.points[2], 30);
  EXPECT_EQ(info.FreqStep.count, 128);
  EXPECT_EQ(info.FreqStep.points[127], 7);
  EXPECT_EQ(info.NoiseLevel.count, 0);

  const PwPhysicalInformation copy = info;
  EXPECT_NE(copy.Tuning.points.get(), info.Tuning.points.get());
  EXPECT_EQ(copy.Tuning.points[1], 20);
}

TEST(PhysicalInformation, RefusesOtherVersionsAndCurvesAbove128Points) {
  InfoValues v2;
  v2.version = 2;
  const Bytes version2 = InfoRecord(v2);
  PwPhysicalInformation info;
  EXPECT_FALSE(DecodePhysicalInformation(version2.data(), version2.size(), info, nullptr));
  EXPECT_EQ(info.MinFreq, 0.0) << "a refused version leaves the record unchanged";

  InfoValues v;
  v.curves[0] = {1, 2};
  v.curves[1] = std::vector<std::uint16_t>(129, 1);
  v.curves[2] = {5};
  const Bytes tuning129 = InfoRecord(v);
  EXPECT_FALSE(DecodePhysicalInformation(tuning129.data(), tuning129.size(), info, nullptr));
  EXPECT_EQ(info.NoiseLevel.count, 2) << "curves before the failing one stay decoded";
  EXPECT_EQ(info.Tuning.count, 0);
  EXPECT_EQ(info.Matching.count, 0);
}

TEST(PhysicalInformation, RecordCutShortAtAnyLengthIsRefusedWithoutReadingPastIt) {
  InfoValues v;
  v.curves[0] = {1, 2, 3};
  v.curves[3] = {4};
  const Bytes record = InfoRecord(v);
  for (std::size_t n = 0; n < record.size(); ++n) {
    auto exact = Exact(record, n);
    PwPhysicalInformation info;
    EXPECT_FALSE(DecodePhysicalInformation(exact.get(), n, info, nullptr)) << n << " bytes";
  }
  auto exact = Exact(record, record.size());
  PwPhysicalInformation info;
  EXPECT_TRUE(DecodePhysicalInformation(exact.get(), record.size(), info, nullptr));
}

TEST(PhysicalInformationSet, LoadsRecordsInOrderAndKeepsThoseBeforeAFailure) {
  InfoValues a, b, bad;
  a.minFreq = 1;
  b.minFreq = 2;
  bad.version = 2;
  RecordWriter w;
  w.U8(3).Append(InfoRecord(a)).Append(InfoRecord(b)).Append(InfoRecord(bad));
  PwPhysicalInformationSet set;
  EXPECT_FALSE(LoadPhysicalInformationSet(w.bytes.data(), w.bytes.size(), set));
  ASSERT_EQ(set.records.size(), 2u);
  EXPECT_EQ(set.records[1]->MinFreq, 2);

  const Bytes empty = {0};
  PwPhysicalInformationSet none;
  EXPECT_TRUE(LoadPhysicalInformationSet(empty.data(), empty.size(), none));
  EXPECT_TRUE(none.records.empty());

  // Two records promised, one present.
  RecordWriter shortSet;
  shortSet.U8(2).Append(InfoRecord(a));
  PwPhysicalInformationSet partial;
  EXPECT_FALSE(LoadPhysicalInformationSet(shortSet.bytes.data(), shortSet.bytes.size(), partial));
  EXPECT_EQ(partial.records.size(), 1u);
  EXPECT_FALSE(LoadPhysicalInformationSet(nullptr, 0, partial));
}

TEST(CameraSections, CountedBytesAndTextPairTakeOnlyWhatIsThere) {
  std::vector<std::uint8_t> out = {9};
  const Bytes counted = {3, 1, 2, 3};
  EXPECT_TRUE(CopyCountedBytes(out, counted.data(), counted.size()));
  EXPECT_EQ(out, (Bytes{1, 2, 3}));
  auto cut = Exact(counted, 3);
  EXPECT_FALSE(CopyCountedBytes(out, cut.get(), 3));
  EXPECT_EQ(out, (Bytes{1, 2, 3}));

  std::string first = "x", second = "y";
  const Bytes pair = test::TextPair("", "ABCD");
  EXPECT_TRUE(DecodeTextPair(pair.data(), pair.size(), first, second));
  EXPECT_EQ(first, "");
  EXPECT_EQ(second, "ABCD");
  for (std::size_t n = 0; n < pair.size(); ++n) {
    auto exact = Exact(pair, n);
    std::string a = "keep", b = "keep";
    EXPECT_FALSE(DecodeTextPair(exact.get(), n, a, b)) << n;
    EXPECT_EQ(b, "keep");
  }
}

TEST(CameraSections, DescriptorWithEmptyStringReadsTheFourthDoubleAt26) {
  RecordWriter w;
  w.U8(1).Double(2).Double(3).Double(4).U8(0).Double(5).U8(2).U16(6).U16(7);
  CameraDescriptor d;
  ASSERT_TRUE(DecodeCameraBlock(w.bytes.data(), w.bytes.size(), d));
  EXPECT_EQ(d.value, 1);
  EXPECT_EQ(d.third, 4);
  EXPECT_EQ(d.text, "");
  EXPECT_EQ(d.fourth, 5);
  EXPECT_EQ(d.values, (std::vector<std::uint16_t>{6, 7}));
  for (std::size_t n = 0; n < w.bytes.size(); ++n) {
    auto exact = Exact(w.bytes, n);
    CameraDescriptor cut;
    EXPECT_FALSE(DecodeCameraBlock(exact.get(), n, cut)) << n;
  }
}

TEST(CameraSections, LimitsNeedVersion1And44Bytes) {
  const Bytes record = test::CameraLimitsRecord(1e6, 2e6, 10, 20, 2.0);
  ASSERT_EQ(record.size(), CameraLimits::kRecordSize);
  CameraLimits limits;
  ASSERT_TRUE(DecodeCameraLimits(record.data(), record.size(), limits));
  EXPECT_EQ(limits.MaxFreq, 2e6);
  EXPECT_EQ(limits.FreqMultiplier, 2.0);
  EXPECT_EQ(limits.value, 0x1234);

  auto cut = Exact(record, 43);
  CameraLimits unchanged;
  EXPECT_FALSE(DecodeCameraLimits(cut.get(), 43, unchanged));
  EXPECT_EQ(unchanged.FreqMultiplier, 1.0);
  const Bytes version2 = test::CameraLimitsRecord(1, 2, 3, 4, 5, 2);
  EXPECT_FALSE(DecodeCameraLimits(version2.data(), version2.size(), unchanged));
  EXPECT_EQ(unchanged.MinFreq, 0.0);
}

struct SensorUnderTest : CTorvex3AxisHallSensor {
  int ReadHallSensor(std::uint16_t*, std::uint16_t*, std::uint16_t*, std::uint16_t*) override { return 48; }
};

TEST(HallCalibration, NeedsVersion1And48Bytes) {
  const Bytes record = test::HallCalibrationRecord({});
  ASSERT_EQ(record.size(), CTorvex3AxisHallSensor::kCalibrationRecordSize);
  SensorUnderTest sensor;
  ASSERT_TRUE(sensor.DecodeHallCalibration(record.data(), record.size()));
  EXPECT_EQ(sensor.sensorWord, 0xBEEF);
  EXPECT_EQ(sensor.referenceTemperature, 2000);
  EXPECT_EQ(sensor.offsetDriftX, 2.5f);

  SensorUnderTest fresh;
  auto cut = Exact(record, 47);
  EXPECT_FALSE(fresh.DecodeHallCalibration(cut.get(), 47));
  const Bytes version2 = test::HallCalibrationRecord({}, 2);
  EXPECT_FALSE(fresh.DecodeHallCalibration(version2.data(), version2.size()));
  EXPECT_EQ(fresh.referenceTemperature, 0) << "a refused record leaves the calibration unchanged";
}

struct AxisCase {
  const char* name;
  std::uint16_t raw, offset;
  float gain, offsetDrift, gainDrift, dT;
  int expected;
};

void PrintTo(const AxisCase& c, std::ostream* os) { *os << c.name; }

class HallAxis : public ::testing::TestWithParam<AxisCase> {};

TEST_P(HallAxis, ComputesAndSaturates) {
  const AxisCase& c = GetParam();
  EXPECT_EQ(CTorvex3AxisHallSensor::ComputeAxis(c.raw, c.offset, c.gain, c.offsetDrift, c.gainDrift, c.dT), c.expected);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(Cases, HallAxis,
                         ::testing::Values(AxisCase{"WorkedExampleX", 1620, 1000, 0.5f, 2.5f, 0, 8, 300},
                                           AxisCase{"WorkedExampleY", 1800, 1000, 0.5f, 0, 0, 8, 400},
                                           AxisCase{"AtOffsetZero", 1000, 1000, 0.5f, 0, 0, 8, 0},
                                           AxisCase{"TruncatesTowardZero", 997, 1000, 0.9f, 0, 0, 0, -2},
                                           AxisCase{"GainDriftAddsPerStep", 1100, 1000, 1.0f, 0, 0.5f, 2, 200},
                                           AxisCase{"AboveRangeGivesMaximum", 65535, 0, 1e6f, 0, 0, 0, 2147483647},
                                           AxisCase{"BelowRangeGivesMinimum", 0, 65535, 1e6f, 0, 0, 0, -2147483647 - 1},
                                           AxisCase{"InfiniteGainGivesMaximum", 2, 1, kInf, 0, 0, 0, 2147483647},
                                           AxisCase{"NaNGainGivesZero", 1620, 1000, kNaN, 0, 0, 0, 0},
                                           AxisCase{"ZeroTimesInfiniteGivesZero", 1000, 1000, kInf, 0, 0, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HallMagnitude, SumsSquaresIn64Bits) {
  EXPECT_EQ(CTorvex3AxisHallSensor::Magnitude(300, 400, 0), 500u);
  EXPECT_EQ(CTorvex3AxisHallSensor::Magnitude(30000, 30000, 30000), 51961u);
  EXPECT_EQ(CTorvex3AxisHallSensor::Magnitude(-2147483647 - 1, 0, 0), 2147483648u);
  EXPECT_EQ(CTorvex3AxisHallSensor::Magnitude(-2147483647 - 1, -2147483647 - 1, -2147483647 - 1), 3719550786u);
}

}  // namespace
}  // namespace Torvex
