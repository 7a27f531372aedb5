// The peripheral objects against a device stand-in: probe initialisation from the probe's memory or
// the description file, the Hall worked example and Hall failures, the gyromagnetic-ratio rules,
// multiplexers, a camera with three heads and every refusal of its memory block, and the numbering
// and channel initialisation over the peripherals branch.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>

#include "object_test_device.h"
#include "core/CRecursiveMutex.h"
#include "peripherals/CTorvexMultiplexer.h"
#include "peripherals/CTorvexPulsedCamera.h"
#include "peripherals/CTorvexPulsedCameraHead.h"
#include "peripherals/CTorvexPulsedProbe.h"
#include "peripherals/ProbeXml.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {
namespace {

using test::Bytes;
using test::Channel;
using test::FakeDevice;
using test::Identification;
using test::InfoRecord;
using test::InfoValues;

constexpr std::uint8_t kAux = kCmdAuxWord, kDesignation = kCmdDesignation, kInfo = kCmdInformation;
constexpr std::uint8_t kHallCal = kCmdHallCalibration, kHallRaw = kCmdHallRaw, kBlock = kCmdMemoryBlock;
constexpr std::uint8_t kHeads = kCmdLimits;

// Sets g_ProbeInfoSource for one test.
struct InfoSource {
  explicit InfoSource(std::int32_t source) : saved(g_ProbeInfoSource) { g_ProbeInfoSource = source; }
  ~InfoSource() { g_ProbeInfoSource = saved; }
  std::int32_t saved;
};

// A probe device answering aux word, designation, physical information and (optionally) Hall records.
void AnswerAsProbe(FakeDevice& device, const InfoValues& info = {}) {
  device.Answer1(kAux, {0x12, 0x34});
  device.Answer1(kDesignation, test::TextPair("first", "Probe P1"));
  device.Answer1(kInfo, InfoRecord(info));
}

Bytes WorkedExampleRaw() {
  test::RecordWriter w;
  w.U16(1620).U16(1800).U16(1000).U16(2008);
  return w.bytes;
}

class Probe : public ::testing::Test {
 protected:
  FakeDevice device;
  InfoSource source{eProbeInfoFromProbe};
};

TEST_F(Probe, NewProbeAnswersDashAndIsUninitialised) {
  CTorvexPulsedProbe probe(Channel({1, 3}), Identification(2));
  EXPECT_EQ(probe.GetDesignation(), "-");
  EXPECT_FALSE(probe.IsInitialized());
  EXPECT_EQ(probe.GetType(), 2);
  EXPECT_TRUE(probe.IsMeasuring());
  EXPECT_EQ(probe.GetChildCount(), 0);
  EXPECT_EQ(probe.GetGyromagneticRatio(), 1.0);
}

TEST_F(Probe, InitialisesFromItsMemoryWithoutHallCalibrationWhenNoSensor) {
  AnswerAsProbe(device);
  CTorvexPulsedProbe probe(Channel({1, 3, 2}), Identification(2));
  ASSERT_EQ(probe.Initialize(), 0);
  EXPECT_TRUE(probe.IsInitialized());
  EXPECT_EQ(probe.GetDesignation(), "Probe P1");
  EXPECT_EQ(probe.AuxWord(), 0x1234);
  EXPECT_EQ(probe.GetMinFrequency(), 1e6);
  EXPECT_EQ(probe.GetGyromagneticRatio(), 42.577e6);
  EXPECT_EQ(device.Count('c', kHallCal), 0);
  // Every request carries the link path (the connector level left out), model and serial.
  ASSERT_FALSE(device.requests.empty());
  EXPECT_EQ(device.requests[0].path, Channel({3, 2}));
  EXPECT_EQ(device.requests[0].model, 0x0102);
  EXPECT_EQ(device.requests[0].serial, 0x030405u);

  const auto sent = device.requests.size();
  EXPECT_EQ(probe.Initialize(), 0) << "an initialised probe answers at once";
  EXPECT_EQ(device.requests.size(), sent);
}

TEST_F(Probe, UndecidedSourceFails) {
  InfoSource undecided(eProbeInfoUndecided);
  AnswerAsProbe(device);
  CTorvexPulsedProbe probe(Channel({1}), Identification(2));
  EXPECT_EQ(probe.Initialize(), 48);
  EXPECT_FALSE(probe.IsInitialized());
}

TEST_F(Probe, RefusedOrCutShortAnswersFailWith48) {
  struct Case {
    const char* name;
    std::uint8_t command;
    FakeDevice::Answer answer;
    std::uint32_t flags;
  };
  InfoValues version2;
  version2.version = 2;
  InfoValues tuning129;
  tuning129.curves[1] = std::vector<std::uint16_t>(129, 1);
  Bytes infoCut = InfoRecord({});
  infoCut.pop_back();
  Bytes hallCut = test::HallCalibrationRecord({});
  hallCut.resize(47);
  const Case cases[] = {
      {"aux word refused", kAux, {0, 2, {0, 1}}, 0},
      {"aux word of one byte", kAux, {0, 0, {7}}, 0},
      {"designation link failure", kDesignation, {12, 0, {}}, 0},
      {"designation lengths beyond the answer", kDesignation, {0, 0, {0, 9, 'a', 'b'}}, 0},
      {"information version 2", kInfo, {0, 0, InfoRecord(version2)}, 0},
      {"information tuning 129 points", kInfo, {0, 0, InfoRecord(tuning129)}, 0},
      {"information cut short", kInfo, {0, 0, infoCut}, 0},
      {"Hall calibration of 47 bytes", kHallCal, {0, 0, hallCut}, 1},
      {"Hall calibration version 2", kHallCal, {0, 0, test::HallCalibrationRecord({}, 2)}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDevice fresh;
    AnswerAsProbe(fresh);
    fresh.Answer1(kHallCal, test::HallCalibrationRecord({}));
    fresh.Answers(c.command, {c.answer});
    CTorvexPulsedProbe probe(Channel({1}), Identification(2, c.flags));
    EXPECT_EQ(probe.Initialize(), 48);
    EXPECT_FALSE(probe.IsInitialized());
  }
}

TEST_F(Probe, GyromagneticRatioOfZeroOrNotFiniteIsRefused) {
  for (double ratio : {0.0, -0.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(ratio);
    FakeDevice fresh;
    InfoValues info;
    info.gyro = ratio;
    AnswerAsProbe(fresh, info);
    CTorvexPulsedProbe probe(Channel({1}), Identification(2));
    EXPECT_EQ(probe.Initialize(), 48);
    EXPECT_FALSE(probe.IsInitialized());
  }
  for (double ratio : {42.577e6, -1.0e6, 1e-9}) {
    FakeDevice fresh;
    InfoValues info;
    info.gyro = ratio;
    AnswerAsProbe(fresh, info);
    CTorvexPulsedProbe probe(Channel({1}), Identification(2));
    EXPECT_EQ(probe.Initialize(), 0) << ratio;
    EXPECT_EQ(probe.GetGyromagneticRatio(), ratio);
  }
  EXPECT_FALSE(IsUsableGyromagneticRatio(0.0));
  EXPECT_FALSE(IsUsableGyromagneticRatio(std::nan("")));
  EXPECT_TRUE(IsUsableGyromagneticRatio(42.577e6));
}

TEST_F(Probe, HallWorkedExample) {
  AnswerAsProbe(device);
  device.Answer1(kHallCal, test::HallCalibrationRecord({}));
  device.Answer1(kHallRaw, WorkedExampleRaw());
  CTorvexPulsedProbe probe(Channel({1}), Identification(2, CTorvexRealPeripheral::kFlagHallSensor));
  ASSERT_EQ(probe.Initialize(), 0);
  EXPECT_EQ(device.Count('c', kHallCal), 1);
  int x = -1, y = -1, z = -1;
  unsigned total = 1;
  ASSERT_EQ(probe.ReadHallField(&x, &y, &z, &total), 0);
  EXPECT_EQ(x, 300);
  EXPECT_EQ(y, 400);
  EXPECT_EQ(z, 0);
  EXPECT_EQ(total, 500u);
}

TEST_F(Probe, HallReadFailuresGive48AndZeros) {
  AnswerAsProbe(device);
  device.Answer1(kHallCal, test::HallCalibrationRecord({}));
  CTorvexPulsedProbe probe(Channel({1}), Identification(2, CTorvexRealPeripheral::kFlagHallSensor));
  ASSERT_EQ(probe.Initialize(), 0);
  const FakeDevice::Answer failures[] = {{12, 0, {}}, {0, 3, {}}, {0, 0, {1, 2, 3, 4, 5, 6, 7}}};
  for (const auto& answer : failures) {
    device.Answers(kHallRaw, {answer});
    int x = 5, y = 5, z = 5;
    unsigned total = 5;
    EXPECT_EQ(probe.ReadHallField(&x, &y, &z, &total), 48);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    EXPECT_EQ(z, 0);
    EXPECT_EQ(total, 0u);
  }
}

TEST_F(Probe, HallReadWithoutSensorGives48AndSendsNothing) {
  AnswerAsProbe(device);
  device.Answer1(kHallRaw, WorkedExampleRaw());
  CTorvexPulsedProbe probe(Channel({1}), Identification(2, 0));
  ASSERT_EQ(probe.Initialize(), 0);
  const auto sent = device.requests.size();
  int x = 5, y = 5, z = 5;
  unsigned total = 5;
  EXPECT_EQ(probe.ReadHallField(&x, &y, &z, &total), 48);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(device.requests.size(), sent);
}

TEST_F(Probe, ActivateSelectsTheRouteThenInitialises) {
  AnswerAsProbe(device);
  device.routeResult = 30;
  CTorvexPulsedProbe probe(Channel({1, 2}), Identification(2));
  EXPECT_EQ(probe.Activate(), 30);
  EXPECT_FALSE(probe.IsInitialized());
  EXPECT_EQ(device.Count('c', kAux), 0);

  device.routeResult = 0;
  EXPECT_EQ(probe.Activate(), 0);
  EXPECT_TRUE(probe.IsInitialized());
  EXPECT_EQ(device.requests.front().path, Channel({2}));
}

TEST_F(Probe, ParameterPairIsSentBigEndianWithCommand7) {
  CTorvexPulsedProbe probe(Channel({1}), Identification(2));
  EXPECT_EQ(probe.WriteParameterPair(0x01020304, 0xA0B0C0D0), 0);
  ASSERT_EQ(device.Count('d', kCmdParameterPair), 1);
  EXPECT_EQ(device.requests.back().data, (Bytes{1, 2, 3, 4, 0xA0, 0xB0, 0xC0, 0xD0}));
  device.dataResults[kCmdParameterPair] = {0, 2};
  EXPECT_EQ(probe.WriteParameterPair(1, 2), 11);
  device.dataResults[kCmdParameterPair] = {12, 0};
  EXPECT_EQ(probe.WriteParameterPair(1, 2), 11);
}

TEST_F(Probe, FileRecordIsCopiedAndOutlivesTheProbe) {
  InfoSource fromFile(eProbeInfoFromFile);
  const ProbeXmlRecord saved = g_ProbeXmlRecord;
  g_ProbeXmlRecord = {};
  g_ProbeXmlRecord.StructVersion = 1;
  g_ProbeXmlRecord.MinFreq = 3e6;
  g_ProbeXmlRecord.GyroRatio = 2.0e6;
  g_ProbeXmlRecord.DeadTime = 9;
  g_ProbeXmlRecord.TuningCurve.count = 3;
  g_ProbeXmlRecord.TuningCurve.points[0] = 10;
  g_ProbeXmlRecord.TuningCurve.points[2] = 30;
  AnswerAsProbe(device);  // its memory holds other values
  {
    CTorvexPulsedProbe probe(Channel({1}), Identification(2));
    ASSERT_EQ(probe.Initialize(), 0);
    EXPECT_EQ(device.Count('c', kInfo), 0);
    EXPECT_EQ(probe.GetMinFrequency(), 3e6);
    EXPECT_EQ(probe.GetPhysicalInformation()->DeadTime, 9);
    ASSERT_EQ(probe.GetPhysicalInformation()->Tuning.count, 3);
    EXPECT_EQ(probe.GetPhysicalInformation()->Tuning.points[2], 30);
    EXPECT_NE(probe.GetPhysicalInformation()->Tuning.points.get(), g_ProbeXmlRecord.TuningCurve.points);
  }
  EXPECT_EQ(g_ProbeXmlRecord.TuningCurve.points[2], 30);

  g_ProbeXmlRecord.StructVersion = 2;
  CTorvexPulsedProbe other(Channel({1}), Identification(2));
  EXPECT_EQ(other.Initialize(), 48);
  g_ProbeXmlRecord = saved;
}

TEST(Multiplexer, ReadsAgainAtEveryInitialize) {
  FakeDevice device;
  device.Answer1(kAux, {0, 1});
  device.Answer1(kDesignation, test::TextPair("", "Mux4"));
  CTorvexMultiplexer mux(Channel({1}), Identification(3), 4);
  EXPECT_EQ(mux.GetChildCount(), 4);
  EXPECT_FALSE(mux.IsMeasuring());
  EXPECT_EQ(mux.GetType(), 3);
  ASSERT_EQ(mux.Initialize(), 0);
  ASSERT_EQ(mux.Initialize(), 0);
  EXPECT_EQ(device.Count('c', kAux), 2);
  EXPECT_EQ(device.Count('c', kDesignation), 2);
  EXPECT_EQ(mux.GetDesignation(), "Mux4");

  device.Answers(kDesignation, {{12, 0, {}}});
  EXPECT_EQ(mux.Initialize(), 48);
  EXPECT_TRUE(mux.IsInitialized()) << "a failed refresh keeps the previous state";
  CTorvexMultiplexer fresh(Channel({1}), Identification(3), 2);
  EXPECT_EQ(fresh.Initialize(), 48);
  EXPECT_FALSE(fresh.IsInitialized());
}

// --- camera ----------------------------------------------------------------------------------------

// Splits a block into answers of at most `part` bytes.
std::vector<FakeDevice::Answer> Parts(const Bytes& block, std::size_t part) {
  std::vector<FakeDevice::Answer> answers;
  for (std::size_t i = 0; i < block.size(); i += part) {
    answers.push_back({0, 0, Bytes(block.begin() + i, block.begin() + std::min(block.size(), i + part))});
  }
  return answers;
}

class Camera : public ::testing::Test {
 protected:
  void AnswerAsCamera(const Bytes& block, std::size_t part = 512) {
    device.Answer1(kAux, {0, 7});
    device.Answer1(kInfo, test::CameraLimitsRecord(0.5e6, 50e6, 0, 1e9, 1.0));
    device.Answers(kBlock, Parts(block, part));
  }
  static test::CameraBlockSpec ThreeHeads() {
    test::CameraBlockSpec spec;
    for (int i = 0; i < 3; ++i) {
      spec.records[i].minFreq = 1e6 * (i + 1);
      spec.records[i].maxFreq = 10e6 * (i + 1);
    }
    return spec;
  }
  FakeDevice device;
};

TEST_F(Camera, ThreeHeadsAnswerTheirOwnRecords) {
  const Bytes block = test::CameraBlock(ThreeHeads());
  AnswerAsCamera(block);
  CTorvexPulsedCamera camera(Channel({1, 2}), Identification(6));
  ASSERT_EQ(camera.Initialize(), 0);
  EXPECT_TRUE(camera.IsInitialized());
  EXPECT_EQ(camera.GetChildCount(), 3);
  EXPECT_EQ(camera.GetDesignation(), "Camera 3H");
  EXPECT_EQ(camera.GetModel(), 0x0A0B) << "the memory's identity replaces the scan's";
  EXPECT_EQ(camera.GetSerialNumber(), 0x0C0D0E);
  EXPECT_EQ(camera.Descriptor().text, "abc");

  // The data request (start 0, size 512), then reads; the head table written back with command 13.
  ASSERT_GE(device.Count('d', kBlock), 1);
  EXPECT_EQ(device.requests[2].data, (Bytes{0, 0, 2, 0}));
  ASSERT_EQ(device.Count('d', kHeads), 1);
  EXPECT_EQ(device.requests.back().data, (Bytes{3, 0x41, 0, 0x42, 1, 0x43, 2}));
  EXPECT_EQ(device.requests.back().model, 0x0A0B);

  auto heads = camera.CreateHeads();
  ASSERT_EQ(heads.size(), 3u);
  CTorvexPulsedCameraHead& head2 = *heads[1];
  EXPECT_EQ(head2.GetChannel(), Channel({1, 2, 2}));
  EXPECT_EQ(head2.GetType(), 2);
  EXPECT_EQ(head2.GetMinFrequency(), 2e6);
  EXPECT_EQ(head2.GetMaxFrequency(), 20e6);
  EXPECT_EQ(head2.GetGyromagneticRatio(), 42.577e6);
  EXPECT_EQ(head2.GetSerialNumber(), 0x0C0D0E);
  EXPECT_TRUE(head2.IsInitialized());
  EXPECT_EQ(head2.GetChildCount(), 0);

  const auto sent = device.requests.size();
  EXPECT_EQ(head2.Initialize(), 0);
  EXPECT_EQ(device.requests.size(), sent) << "an initialised camera answers at once";

  EXPECT_EQ(head2.Activate(), 0);
  EXPECT_EQ(device.requests.back().kind, 'r');
  EXPECT_EQ(device.requests.back().path, Channel({2, 2}));

  int x = 7, y = 7, z = 7;
  unsigned total = 7;
  EXPECT_EQ(head2.ReadHallField(&x, &y, &z, &total), 48);
  EXPECT_EQ(x, 7) << "cameras have no Hall sensor; the outputs stay";

  // The camera's range is the range all heads share.
  EXPECT_EQ(camera.GetMinFrequency(), 3e6);
  EXPECT_EQ(camera.GetMaxFrequency(), 10e6);
}

TEST_F(Camera, HeadWithoutRecordAnswersTheDefaults) {
  test::CameraBlockSpec spec;
  spec.heads = {{1, 0}, {2, 5}};
  spec.records.resize(1);
  AnswerAsCamera(test::CameraBlock(spec));
  CTorvexPulsedCamera camera(Channel({1}), Identification(6));
  ASSERT_EQ(camera.Initialize(), 0);
  EXPECT_EQ(camera.HeadRecord(0), &g_DefaultPhysicalInformation);
  EXPECT_EQ(camera.HeadRecord(2), &g_DefaultPhysicalInformation);
  EXPECT_EQ(camera.HeadRecord(3), &g_DefaultPhysicalInformation);
  EXPECT_NE(camera.HeadRecord(1), &g_DefaultPhysicalInformation);
}

TEST_F(Camera, RecordsAreFittedIntoTheLimits) {
  test::CameraBlockSpec spec;
  spec.heads = {{1, 0}};
  spec.records.resize(1);
  spec.records[0].minFreq = 0.5e6;
  spec.records[0].maxFreq = 3e6;
  spec.records[0].multiplier = 1.5;
  device.Answer1(kAux, {0, 7});
  device.Answer1(kInfo, test::CameraLimitsRecord(1e6, 2e6, 0, 1e9, 2.0));
  device.Answers(kBlock, Parts(test::CameraBlock(spec), 512));
  CTorvexPulsedCamera camera(Channel({1}), Identification(6));
  ASSERT_EQ(camera.Initialize(), 0);
  const PwPhysicalInformation* record = camera.GetPhysicalInformation();
  EXPECT_EQ(record->MinFreq, 1e6);
  EXPECT_EQ(record->MaxFreq, 2e6);
  EXPECT_EQ(record->FreqMultiplier, 3.0);
}

TEST_F(Camera, BlockArrivesInPartsAndTheLastIsCutToFit) {
  test::CameraBlockSpec spec = ThreeHeads();
  Bytes block = test::CameraBlock(spec);
  ASSERT_LT(block.size(), 450u);
  // Pad the block to 450 bytes; the device's parts are 200 bytes each, so the third carries 50 more
  // than the block needs.
  block.resize(450);
  block[4] = 450 >> 8;
  block[5] = 450 & 0xFF;
  std::uint8_t x = 0;
  for (int i = 0; i < 28; ++i) x ^= block[i];
  block[28] = x;
  Bytes third(200, 0xEE);
  std::copy(block.begin() + 400, block.end(), third.begin());
  device.Answer1(kAux, {0, 7});
  device.Answer1(kInfo, test::CameraLimitsRecord(0, 1e9, 0, 1e9, 1.0));
  device.Answers(kBlock, {{0, 0, Bytes(block.begin(), block.begin() + 200)},
                          {0, 0, Bytes(block.begin() + 200, block.begin() + 400)},
                          {0, 0, third}});
  CTorvexPulsedCamera camera(Channel({1}), Identification(6));
  std::vector<std::uint8_t> read;
  ASSERT_EQ(camera.ReadMemoryBlock(Channel({1}), read, 0, 512), 0);
  EXPECT_EQ(device.Count('c', kBlock), 3);
  EXPECT_EQ(read, block);
}

TEST_F(Camera, UnusableMemoryBlocksAreRefused) {
  struct Case {
    const char* name;
    std::function<void(Bytes&)> spoil;
  };
  const auto fixCheck = [](Bytes& b) {
    std::uint8_t x = 0;
    for (int i = 0; i < 28; ++i) x ^= b[i];
    b[28] = x;
  };
  const auto setTotal = [&](Bytes& b, std::size_t total) {
    b[4] = static_cast<std::uint8_t>(total >> 8);
    b[5] = static_cast<std::uint8_t>(total);
    fixCheck(b);
  };
  const Case cases[] = {
      {"header XOR not 0", [](Bytes& b) { b[28] ^= 1; }},
      {"first answer shorter than the header", [](Bytes& b) { b.resize(28); }},
      {"total below the header size", [&](Bytes& b) { setTotal(b, 20); }},
      {"total holds only the header",
       [&](Bytes& b) {
         setTotal(b, 29);
         b.resize(29);
       }},
      {"section offset outside the block",
       [&](Bytes& b) {
         b[31 + 3 * 5 + 1] = 0xFF;
         b[31 + 3 * 5 + 2] = 0xFF;
       }},
      {"total cuts the last section short",
       [&](Bytes& b) {
         setTotal(b, b.size() - 1);
         b.pop_back();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDevice fresh;
    Bytes block = test::CameraBlock(ThreeHeads());
    c.spoil(block);
    fresh.Answer1(kAux, {0, 7});
    fresh.Answer1(kInfo, test::CameraLimitsRecord(0, 1e9, 0, 1e9, 1.0));
    fresh.Answers(kBlock, Parts(block, 512));
    CTorvexPulsedCamera camera(Channel({1}), Identification(6));
    EXPECT_EQ(camera.Initialize(), 48);
    EXPECT_FALSE(camera.IsInitialized());
    EXPECT_EQ(fresh.Count('d', kHeads), 0);
    EXPECT_TRUE(camera.CreateHeads().empty()) << "a camera that failed gets no heads";
  }
}

TEST_F(Camera, FewerThanSixDirectoryEntriesAreRefused) {
  test::CameraBlockSpec spec = ThreeHeads();
  spec.entries = 5;
  AnswerAsCamera(test::CameraBlock(spec));
  CTorvexPulsedCamera camera(Channel({1}), Identification(6));
  EXPECT_EQ(camera.Initialize(), 48);
}

TEST_F(Camera, EmptyPartWhileIncompleteEndsTheRead) {
  const Bytes block = test::CameraBlock(ThreeHeads());
  device.Answer1(kAux, {0, 7});
  device.Answer1(kInfo, test::CameraLimitsRecord(0, 1e9, 0, 1e9, 1.0));
  device.Answers(kBlock, {{0, 0, Bytes(block.begin(), block.begin() + 100)}, {0, 0, {}}});
  CTorvexPulsedCamera camera(Channel({1}), Identification(6));
  EXPECT_EQ(camera.Initialize(), 48);
  EXPECT_EQ(device.Count('c', kBlock), 2);
}

TEST_F(Camera, OtherFailuresOfInitialize) {
  struct Case {
    const char* name;
    std::function<void(FakeDevice&, test::CameraBlockSpec&)> setUp;
    int headTableWrites;
  };
  const Case cases[] = {
      {"limits of version 2",
       [](FakeDevice& d, auto&) { d.Answer1(kInfo, test::CameraLimitsRecord(0, 1, 0, 1, 1, 2)); }, 0},
      {"limits of 43 bytes",
       [](FakeDevice& d, auto&) {
         Bytes l = test::CameraLimitsRecord(0, 1, 0, 1, 1);
         l.pop_back();
         d.Answer1(kInfo, l);
       },
       0},
      {"empty head table", [](FakeDevice&, test::CameraBlockSpec& s) { s.heads.clear(); }, 0},
      {"head table refused",
       [](FakeDevice& d, auto&) {
         d.dataResults[kHeads] = {0, 3};
       },
       1},
      {"a record of version 2", [](FakeDevice&, test::CameraBlockSpec& s) { s.records[1].version = 2; }, 0},
      {"a record with ratio 0", [](FakeDevice&, test::CameraBlockSpec& s) { s.records[2].gyro = 0; }, 0},
      {"memory block data request refused",
       [](FakeDevice& d, auto&) {
         d.dataResults[kBlock] = {11, 0};
       },
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDevice fresh;
    test::CameraBlockSpec spec = ThreeHeads();
    fresh.Answer1(kAux, {0, 7});
    fresh.Answer1(kInfo, test::CameraLimitsRecord(0, 1e9, 0, 1e9, 1.0));
    c.setUp(fresh, spec);
    fresh.Answers(kBlock, Parts(test::CameraBlock(spec), 512));
    CTorvexPulsedCamera camera(Channel({1}), Identification(6));
    EXPECT_EQ(camera.Initialize(), 48);
    EXPECT_EQ(fresh.Count('d', kHeads), c.headTableWrites);
    EXPECT_FALSE(camera.IsInitialized());
  }
}

class CameraRatio : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = g_node_unit_conversion_nominal_p_gyro_ratio;
    node = std::make_unique<CParameterNode>("nominal_p_gyro_ratio", eNodeType::Float64);
    node->SetFloat64Attribute(eAttrValue, 42.5774806e6);
    g_node_unit_conversion_nominal_p_gyro_ratio = node.get();
  }
  void TearDown() override { g_node_unit_conversion_nominal_p_gyro_ratio = saved; }

  double RatioOf(std::vector<double> ratios) {
    FakeDevice device;
    test::CameraBlockSpec spec;
    spec.records.resize(ratios.size());
    spec.heads.clear();
    for (std::size_t i = 0; i < ratios.size(); ++i) {
      spec.records[i].gyro = ratios[i];
      spec.heads.push_back({static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i)});
    }
    if (spec.heads.empty()) spec.heads.push_back({1, 0});
    device.Answer1(kAux, {0, 7});
    device.Answer1(kInfo, test::CameraLimitsRecord(0, 1e9, 0, 1e9, 1.0));
    device.Answers(kBlock, Parts(test::CameraBlock(spec), 512));
    CTorvexPulsedCamera camera(Channel({1}), Identification(6));
    EXPECT_EQ(camera.Initialize(), 0);
    return camera.GetGyromagneticRatio();
  }

  CParameterNode* saved = nullptr;
  std::unique_ptr<CParameterNode> node;
};

TEST_F(CameraRatio, CommonRatioNominalWhenTheyDifferAndOnePointOneWithoutRecords) {
  EXPECT_EQ(RatioOf({42.57e6, 42.58e6}), 42.5774806e6);
  EXPECT_EQ(RatioOf({42.57e6, 42.57e6, 42.57e6}), 42.57e6);
  EXPECT_EQ(RatioOf({}), 1.1);
}

TEST_F(CameraRatio, RangeOfTwoRecords) {
  FakeDevice device;
  test::CameraBlockSpec spec;
  spec.records.resize(2);
  spec.records[0].minFreq = 1e6;
  spec.records[0].maxFreq = 3e6;
  spec.records[1].minFreq = 1.2e6;
  spec.records[1].maxFreq = 2.5e6;
  device.Answer1(kAux, {0, 7});
  device.Answer1(kInfo, test::CameraLimitsRecord(0, 1e9, 0, 1e9, 1.0));
  device.Answers(kBlock, Parts(test::CameraBlock(spec), 512));
  CTorvexPulsedCamera camera(Channel({1}), Identification(6));
  ASSERT_EQ(camera.Initialize(), 0);
  EXPECT_EQ(camera.GetMinFrequency(), 1.2e6);
  EXPECT_EQ(camera.GetMaxFrequency(), 2.5e6);
}

// --- topology operations ---------------------------------------------------------------------------

class Topology : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = g_node_peripherals;
    peripherals = std::make_unique<CParameterNode>("peripherals", eNodeType::Branch);
    g_node_peripherals = peripherals.get();
  }
  void TearDown() override {
    peripherals.reset();
    g_node_peripherals = saved;
  }
  void Publish(const std::string& path, CTorvexPeripheral* object) {
    CParameterNode* node = nullptr;
    ASSERT_EQ(peripherals->FindOrCreateNode(path, eNodeType::Pointer, &node), 0);
    node->SetPointerAttribute(eAttrValue, object);
  }

  CParameterNode* saved = nullptr;
  std::unique_ptr<CParameterNode> peripherals;
  FakeDevice device;
};

TEST_F(Topology, NumbersMeasuringPeripheralsDepthFirst) {
  test::CameraBlockSpec spec;
  spec.heads = {{1, 0}, {2, 1}};
  spec.records.resize(2);
  device.Answer1(kAux, {0, 7});
  device.Answer1(kInfo, test::CameraLimitsRecord(0, 1e9, 0, 1e9, 1.0));
  device.Answers(kBlock, Parts(test::CameraBlock(spec), 512));

  CTorvexMultiplexer mux(Channel({1}), Identification(3), 3);
  CTorvexPulsedProbe probe(Channel({1, 2}), Identification(2));
  CTorvexPulsedCamera camera(Channel({1, 3}), Identification(6));
  ASSERT_EQ(camera.Initialize(), 0);
  auto heads = camera.CreateHeads();
  Publish("1", &mux);
  Publish("1/2", &probe);
  Publish("1/3", &camera);
  Publish("1/3/1", heads[0].get());
  Publish("1/3/2", heads[1].get());

  EXPECT_EQ(CTorvexPeripheral::NumberMeasuringPeripherals("1", 0), 2);
  EXPECT_EQ(probe.GetMeasuringIndex(), 0);
  EXPECT_EQ(camera.GetMeasuringIndex(), 1);
  EXPECT_EQ(mux.GetMeasuringIndex(), 0);
  EXPECT_EQ(heads[1]->GetMeasuringIndex(), 0);
  EXPECT_EQ(CTorvexPeripheral::NumberMeasuringPeripherals("9", 4), 4);
}

TEST_F(Topology, InitializeChannelsStopsAtAChannelWithoutPeripheral) {
  AnswerAsProbe(device);
  InfoSource source(eProbeInfoFromProbe);
  CTorvexPulsedProbe probe(Channel({1, 1}), Identification(2));
  Publish("1/1", &probe);
  Publish("1/2", nullptr);
  EXPECT_EQ(CTorvexPeripheral::InitializeChannels({Channel({1, 1}), Channel({1, 4})}), 29);
  EXPECT_TRUE(probe.IsInitialized());
  EXPECT_EQ(CTorvexPeripheral::InitializeChannels({Channel({1, 2})}), 29);
  EXPECT_EQ(CTorvexPeripheral::InitializeChannels({Channel({1, 1})}), 0);
  EXPECT_EQ(CTorvexPeripheral::InitializeChannels({}), 0);

  CTorvexPulsedProbe failing(Channel({1, 3}), Identification(2));
  Publish("1/3", &failing);
  device.Answers(kInfo, {{12, 0, {}}});
  EXPECT_EQ(CTorvexPeripheral::InitializeChannels({Channel({1, 3})}), 48);
}

TEST(PeripheralPath, LevelsJoinedBySlash) {
  EXPECT_EQ(CTorvexPeripheral::PathOf(Channel({1})), "1");
  EXPECT_EQ(CTorvexPeripheral::PathOf(Channel({1, 3, 12})), "1/3/12");
  EXPECT_EQ(PeripheralLink::LinkPathOf(Channel({1})).Length(), 0);
  EXPECT_EQ(PeripheralLink::LinkPathOf(Channel({1, 3, 2})), Channel({3, 2}));
}

}  // namespace
}  // namespace Torvex
