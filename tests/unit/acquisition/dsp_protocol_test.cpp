// The DSP message protocol byte for byte: every request as the DSP finds it in its memory, against
// frames worked out by hand from the tree values set here (floats and doubles in IEEE 754, the check
// word for sequence number 0; a frame with sequence s carries that check word XOR s), and every reply
// read from hand-made frames through the getters.
#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <string>
#include <vector>

#include "dsp_link_support.h"
#include "peripherals/UnitConversion.h"
#include "support/fake_probe.h"

namespace torvex_test {
namespace {

using namespace Torvex;

void SetString(CParameterNode* node, const char* text) { node->SetStringAttribute(eAttrValue, text); }
void SetF64(CParameterNode* node, double value) { node->SetFloat64Attribute(eAttrValue, value); }
void SetI32(CParameterNode* node, std::int32_t value) { node->SetInt32Attribute(eAttrValue, value); }
void SetBool(CParameterNode* node, bool value) { node->SetBooleanAttribute(eAttrValue, value); }

struct RequestCase {
  std::uint32_t id;
  std::uint32_t words;
  std::vector<std::uint32_t> payload;  // words 2 to n-2
  std::uint32_t check0;                // the check word with sequence number 0
};

class DspProtocolTest : public DspLinkTest {
 protected:
  void SetUp() override {
    DspLinkTest::SetUp();
    probe_.information.MinFreq = 2048.0;
    probe_.information.MaxFreq = 4096.0;
    probe_.information.FreqMultiplier = 2.0;
    probe_.information.T2 = 0.5;
    probe_.information.MinIF = 1.0;
    probe_.information.MaxIF = 8.0;
    probe_.information.PulsePeriod = 0.125;
    probe_.information.SampleLength = 0.25;
    probe_.information.DeadTime = 1;
    g_node_current_probe_object->SetPointerAttribute(eAttrValue, &probe_);
    SetTreeValues();
  }
  void TearDown() override {
    g_node_current_probe_object->SetPointerAttribute(eAttrValue, nullptr);
    DspLinkTest::TearDown();
  }

  static void SetTreeValues() {
    SetString(g_node_system_versions_hardware, "R-B3");
    g_node_measure_parms_sample_rate->SetFloat64Attribute(eAttrDefault, 2.5);
    g_node_measure_parms_measurement_reject->SetBooleanAttribute(eAttrDefault, true);
    g_node_measure_parms_measurement_bandwidth->SetFloat64Attribute(eAttrDefault, 0.25);
    g_node_measure_parms_measurement_points->SetInt32Attribute(eAttrDefault, 7);
    g_node_measure_parms_tracking_hysteresis->SetInt32Attribute(eAttrDefault, 5);
    g_node_measure_parms_measurement_hysteresis->SetInt32Attribute(eAttrDefault, 9);

    SetString(g_node_trigger_parms_trigger_in_source, "BUS");
    SetString(g_node_trigger_parms_trigger_in_slope, "EITHer");
    SetString(g_node_measure_parms_probe_matching_tuning_mode, "AUTO");
    SetF64(g_node_measure_parms_probe_matching, 0.5);
    SetF64(g_node_measure_parms_probe_tuning, 0.75);
    SetString(g_node_measure_parms_pulse_mode, "MANual");
    SetF64(g_node_measure_parms_pulse_width, 0.125);
    SetF64(g_node_measure_parms_pulse_period, 2.0);
    SetString(g_node_measure_parms_sample_mode, "AUTO");
    SetF64(g_node_measure_parms_sample_length, 0.25);
    SetF64(g_node_measure_parms_sample_rate, 100.0);
    SetF64(g_node_measure_parms_sample_offset, -1.5);
    SetBool(g_node_measure_parms_averaging_signal_active, true);
    SetString(g_node_measure_parms_averaging_signal_type, "REPeat");
    SetI32(g_node_measure_parms_averaging_signal_count, 16);
    SetBool(g_node_measure_parms_averaging_measurement_active, false);
    SetString(g_node_measure_parms_averaging_measurement_type, "MOVing");
    SetI32(g_node_measure_parms_averaging_measurement_count, 4);
    SetString(g_node_measure_parms_measurement_mode, "AUTO");
    SetF64(g_node_measure_parms_measurement_level, 12.5);
    SetI32(g_node_measure_parms_measurement_hysteresis, 3);
    SetBool(g_node_measure_parms_measurement_reject, false);
    SetF64(g_node_measure_parms_measurement_bandwidth, 0.0625);
    SetI32(g_node_measure_parms_measurement_points, 11);
    SetF64(g_node_measure_parms_tracking_min_freq, 2048.0);
    SetF64(g_node_measure_parms_tracking_max_freq, 4096.0);
    SetI32(g_node_measure_parms_tracking_hysteresis, 6);

    CTorvexDSP::SetSearchWindow(1.5, 3.0);
    CTorvexDSP::SetSearchConfirm(1);
    SetString(g_node_measure_parms_search_mode, "AUTO");
    SetF64(g_node_measure_parms_search_fstep, 0.5);
    SetF64(g_node_measure_parms_search_level, 0.75);
    SetF64(g_node_measure_parms_search_value, 1.5);  // tesla: 3 Hz with the probe's ratio of 2

    CTorvexDSP::SetTrackingFrequency(1.5);
    SetString(g_node_units_parms_selected, "T");
    SetString(g_node_ref_clock_parms_mode, "EXTernal");

    SetF64(g_node_trigger_parms_trigger_out_level, 1.5);
    SetBool(g_node_trigger_parms_trigger_out_state, true);
    SetString(g_node_trigger_parms_trigger_out_slope, "NEGative");
    SetString(g_node_trigger_parms_trigger_out_shape, "PULSe");
    SetString(g_node_trigger_parms_trigger_out_polarity, "INVerted");
    SetF64(g_node_trigger_parms_trigger_out_delay, 0.5);
    SetF64(g_node_trigger_parms_trigger_out_width, 0.25);
    CTorvexDSP::SetTriggerOutRequest(1);
  }

  // Sends one request answered by the script and returns the frame the DSP received.
  std::vector<std::uint32_t> SendAndCapture(std::uint32_t id, std::uint32_t* sequence) {
    *sequence = CTorvexDSP::GetSequenceCounter();
    EXPECT_EQ(RoundTrip(id), 0) << std::hex << id;
    return script_->LastRequest();
  }

  FakeProbe probe_{2.0};
};

TEST_F(DspProtocolTest, EveryRequestFrameWordForWord) {
  const std::vector<RequestCase> cases = {
      {0x10, 11, {2, 3, 0x40200000, 1, 0x3E800000, 7, 5, 9}, 0x7EA0001B},
      {0x30,
       30,
       {1, 2, 1, 0x3F000000, 0x3F400000, 0, 0x3E000000, 0x40000000, 1,  0x3E800000, 0x42C80000, 0xBFC00000, 1, 1, 16,
        0, 2, 4, 1,          0x41480000, 3, 0,          0x3D800000, 11, 0x45000000, 0x45800000, 6},
       0xC180002A},
      {0x40, 9, {0x3FC00000, 0x40400000, 1, 1, 0x3F000000, 0x3F400000}, 0x7FC00040},
      {0x50, 6, {0x3FF80000, 0, 0}, 0x3FF80050},
      {0x60, 12, {0x40080000, 0, 1, 0x3F000000, 0x3F400000, 0, 0x3E000000, 0x40000000, 0}, 0x3E480061},
      {0x70, 8, {0x3FE00000, 0, 0, 0, 0}, 0x3FE00070},
      {0x80, 3, {}, 0x80},
      {0x90, 3, {}, 0x90},
      {0xA0, 3, {}, 0xA0},
      {0xB0, 4, {1}, 0xB1},
      {0xC0, 12, {0x40080000, 0, 1, 1, 1, 1, 0x3F000000, 0x3E800000, 1}, 0x418800C1},
      {0xD0, 3, {}, 0xD0},
      {0x8010, 5, {0, 0}, 0x8010},
      {0x8020, 5, {0, 0}, 0x8020},
      {0x8030, 7, {0, 0, 0, 0}, 0x8030},
  };
  Boot();
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "request 0x" << std::hex << c.id);
    EXPECT_EQ(CTorvexDSP::RequestLength(c.id), c.words * 4);
    std::uint32_t sequence = 0;
    const std::vector<std::uint32_t> frame = SendAndCapture(c.id, &sequence);
    ASSERT_EQ(frame.size(), c.words);
    EXPECT_EQ(frame[0], c.id);
    EXPECT_EQ(frame[1], sequence);
    EXPECT_EQ(std::vector<std::uint32_t>(frame.begin() + 2, frame.end() - 1), c.payload);
    EXPECT_EQ(frame.back(), c.check0 ^ sequence);
    // One request and its accepted reply advance the counter by two.
    EXPECT_EQ(CTorvexDSP::GetSequenceCounter(), sequence + 2);
  }
  // A 12-byte request is id, sequence number and check word: the check word is id XOR sequence.
  std::uint32_t sequence = 0;
  const auto abort = SendAndCapture(kDspAbort, &sequence);
  EXPECT_EQ(abort, (std::vector<std::uint32_t>{0x80, sequence, 0x80 ^ sequence}));
}

TEST_F(DspProtocolTest, ProbeConnectCarriesThePhysicalDescription) {
  const std::uint16_t pulse[] = {1, 2, 3};
  const std::uint16_t step[] = {0xFFFF};
  const std::uint16_t noise[] = {10, 20};
  std::vector<std::uint16_t> tuning(300);
  for (std::size_t i = 0; i < tuning.size(); ++i) tuning[i] = static_cast<std::uint16_t>(i + 1);
  probe_.information.PulseWidth.Assign(pulse, 3);
  probe_.information.FreqStep.Assign(step, 1);
  probe_.information.NoiseLevel.Assign(noise, 2);
  probe_.information.Tuning.Assign(tuning.data(), static_cast<std::uint16_t>(tuning.size()));
  SetF64(g_node_system_acquisition_short_duration, 3.0);
  Boot();
  std::uint32_t sequence = 0;
  const std::vector<std::uint32_t> frame = SendAndCapture(kDspPwProbeConnect, &sequence);
  ASSERT_EQ(frame.size(), 658u);
  const std::vector<std::uint32_t> head = {0x20,       sequence,   0x45000000, 0x45800000, 0x40000000, 0x3F000000,
                                           0x3F800000, 0x41000000, 0x3E000000, 0x3E800000, 0x40400000, 0x358637BD};
  EXPECT_EQ(std::vector<std::uint32_t>(frame.begin(), frame.begin() + 12), head);
  // Pulse-width curve: count 3 at word 12, values 1, 2 | 3.
  EXPECT_EQ(frame[12], 3u);
  EXPECT_EQ(frame[13], 0x00020001u);
  EXPECT_EQ(frame[14] & 0xFFFFu, 3u);
  // Matching curve: no values, only its count.
  EXPECT_EQ(frame[141], 0u);
  // Tuning curve: cut to 256 values, which fill its area to the last word.
  EXPECT_EQ(frame[270], 256u);
  EXPECT_EQ(frame[271], 0x00020001u);
  EXPECT_EQ(frame[398], 0x01000000u | 255u);
  // Frequency-step curve and noise-level curve.
  EXPECT_EQ(frame[399], 1u);
  EXPECT_EQ(frame[400] & 0xFFFFu, 0xFFFFu);
  EXPECT_EQ(frame[528], 2u);
  EXPECT_EQ(frame[529], 0x0014000Au);
  std::uint32_t x = 0;
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) x ^= frame[i];
  EXPECT_EQ(frame.back(), x);
}

TEST_F(DspProtocolTest, DefaultConfigurationReadsDefaultsAndMeasureParmsReadsValues) {
  Boot();
  std::uint32_t sequence = 0;
  SetF64(g_node_measure_parms_sample_rate, 100.0);
  EXPECT_EQ(SendAndCapture(kDspPwDefaultConfiguration, &sequence)[4], 0x40200000u);  // default 2.5
  EXPECT_EQ(SendAndCapture(kDspPwMeasureParms, &sequence)[12], 0x42C80000u);         // value 100
  SetF64(g_node_measure_parms_sample_rate, 12.5);
  EXPECT_EQ(SendAndCapture(kDspPwDefaultConfiguration, &sequence)[4], 0x40200000u);
  EXPECT_EQ(SendAndCapture(kDspPwMeasureParms, &sequence)[12], 0x41480000u);
}

TEST_F(DspProtocolTest, ChoiceTextsMapToTheirCodes) {
  struct Case {
    CParameterNode* node;
    const char* text;
    std::uint32_t id;
    std::size_t word;
    std::uint32_t code;
  };
  const std::vector<Case> cases = {
      {g_node_trigger_parms_trigger_in_source, "IMMediate", 0x30, 2, 0},
      {g_node_trigger_parms_trigger_in_source, "TIMer", 0x30, 2, 1},
      {g_node_trigger_parms_trigger_in_source, "BUS", 0x30, 2, 1},
      {g_node_trigger_parms_trigger_in_source, "EXTernal", 0x30, 2, 2},
      {g_node_trigger_parms_trigger_in_source, "MANual", 0x30, 2, 0},
      {g_node_trigger_parms_trigger_in_source, "AUTO", 0x30, 2, 0},
      {g_node_trigger_parms_trigger_in_slope, "NEGative", 0x30, 3, 1},
      {g_node_measure_parms_probe_matching_tuning_mode, "auto", 0x30, 4, 0},
      {g_node_measure_parms_averaging_signal_type, "MOVing", 0x30, 15, 0},
      {g_node_measure_parms_averaging_signal_type, "REPeat", 0x30, 15, 1},
      {g_node_measure_parms_averaging_measurement_type, "MOVing", 0x30, 18, 2},
      {g_node_measure_parms_averaging_measurement_type, "EXPonential", 0x30, 18, 0},
      {g_node_trigger_parms_trigger_out_shape, "DC", 0xC0, 6, 0},
      {g_node_trigger_parms_trigger_out_polarity, "NORMal", 0xC0, 7, 0},
      {g_node_trigger_parms_trigger_out_slope, "EITHer", 0xC0, 5, 2},
      {g_node_ref_clock_parms_mode, "INTernal", 0xB0, 2, 0},
  };
  Boot();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SetString(c.node, c.text);
    std::uint32_t sequence = 0;
    EXPECT_EQ(SendAndCapture(c.id, &sequence).at(c.word), c.code);
  }
}

struct ReplyCase {
  std::uint32_t request;  // 0: DSP_BOOTED
  std::vector<std::uint32_t> frame;
  std::uint32_t status;
  const char* name;
};

TEST_F(DspProtocolTest, EveryReplyIsAcceptedAndRead) {
  auto ack = [](std::uint32_t id) { return std::vector<std::uint32_t>{id, 3, 3, 0, id}; };
  const std::vector<ReplyCase> cases = {
      {0, {0x10001, 7, 0, 0, 2, 4, 0xFFFF0001, 8, 0xFFFE0009}, 0, "DSP_BOOTED"},
      {0x10, ack(0x10010), 3, "PW_DEFAULT_CONFIGURATION_ACK"},
      {0x20, ack(0x10020), 3, "PW_PROBE_CONNECT_ACK"},
      {0x30, ack(0x10030), 3, "PW_MEASURE_PARMS_ACK"},
      {0x40, {0x10040, 0, 0x10, 0, 0x40A00000, 0, 0, 0x40A10050}, 0x10, "RETURN_SEARCH_RESULT"},
      {0x50, ack(0x10050), 3, "INITIATE_TRACKING_ACK"},
      {0x60, ack(0x10060), 3, "INITIATE_MANUAL_MEASUREMENT_ACK"},
      {0x70,
       {0x10070, 0, 0, 0, 0x3FF80000, 0, 0x40080000, 0, 0x89ABCDEF, 0x01234567, 0x3F000000, 0xDEADBEEF, 0x3E800000,
        0x3F400000, 0x3E000000, 0x29143617},
       0,
       "RETURN_PW_MEASUREMENT"},
      {0x80, ack(0x10080), 3, "ABORT_ACK"},
      {0x90,
       {0x10090, 0,          0,          0,          0x40000000, 0,          0x40B00000, 0,          0x3F000000,
        0,       0x80000000, 3,          0x41000000, 0x80001000, 2,          0x3E800000, 0x3D800000, 0x80002000,
        0,       0x3F800000, 0x45000000, 0x80003000, 1,          0x3F400000, 0,          0x38710090},
       0,
       "RETURN_NMR_SIGNAL"},
      {0xA0, ack(0x100A0), 3, "RELEASE_NMR_SIGNAL_ACK"},
      {0xB0, ack(0x100B0), 3, "EXTERNAL_REFERENCE_ACK"},
      {0xC0, {0x100C0, 0, 0, 0, 2, 0x100C2}, 0, "RETURN_TRIGGER_OUT"},
      {0xD0, ack(0x100D0), 3, "QUIT_ACK"},
      {0x8010, ack(0x18010), 3, "LL_SET_FREQUENCY_ACK"},
      {0x8020, ack(0x18020), 3, "LL_SET_VOLTAGES_ACK"},
      {0x8030, {0x18030, 0, 0x100000, 0, 0, 0, 0x118030}, 0x100000, "RETURN_LL_SET_FIELD_MODULATION"},
  };
  ASSERT_EQ(cases.size(), kDspReplyCount);
  // Data blocks of RETURN_NMR_SIGNAL in DSP memory.
  for (std::uint32_t i = 0; i < 3; ++i) board_->dsp().WriteWord(0x80000000 + 4 * i, 0x3F800000 + i);
  for (std::uint32_t i = 0; i < 2; ++i) board_->dsp().WriteWord(0x80001000 + 4 * i, 0x40000000 + i);
  board_->dsp().WriteWord(0x80003000, 0x40400000);

  script_->SetSilent(true);
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint32_t replyId = c.frame[0];
    EXPECT_EQ(CTorvexDSP::ReplyLength(replyId), c.frame.size() * 4);
    if (c.request == 0) {
      CTorvexDSP::ResetToNotBooted();
    } else {
      ASSERT_EQ(CTorvexDSP::SendRequest(c.request), 0);
    }
    const std::uint32_t sequence = CTorvexDSP::GetSequenceCounter();
    script_->Send(c.frame);
    std::uint32_t status = 0xFFFFFFFF;
    ASSERT_EQ(CTorvexDSP::ReadMessage(replyId, &status), 0);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(CTorvexDSP::GetSequenceCounter(), sequence + 1);
    EXPECT_EQ(CTorvexDSP::GetState(), Ready);
    EXPECT_NE(LogText().find(std::string("Received ") + c.name + " message from DSP\n"), std::string::npos);

    switch (replyId) {
      case kDspBooted: {
        std::uint16_t v[4] = {};
        CTorvexDSP::GetVersions(&v[0], &v[1], &v[2], &v[3]);
        EXPECT_EQ(v[0], 2);
        EXPECT_EQ(v[1], 4);
        EXPECT_EQ(v[2], 1);
        EXPECT_EQ(v[3], 8);
        break;
      }
      case 0x10040: EXPECT_EQ(CTorvexDSP::GetSearchResult(), 2048.0); break;
      case 0x10070: {
        double flux = 0, frequency = 0;
        int unit = -1;
        float sigma = 0, uniformity = 0, matching = 0, tuning = 0;
        std::uint32_t word11 = 0;
        std::uint64_t stamp = 0;
        CTorvexDSP::GetPwMeasurement(&flux, &unit, &frequency, &sigma, &word11, &uniformity, &matching, &tuning,
                                     &stamp);
        EXPECT_EQ(flux, 1.5);
        EXPECT_EQ(unit, static_cast<int>(kUnitTesla));  // units_parms/selected when TRIGGER was built
        EXPECT_EQ(frequency, 3.0);
        EXPECT_EQ(sigma, 0.5f);
        EXPECT_EQ(word11, 0xDEADBEEFu);
        EXPECT_EQ(uniformity, 0.25f);
        EXPECT_EQ(matching, 0.75f);
        EXPECT_EQ(tuning, 0.125f);
        EXPECT_EQ(stamp, 0x0123456789ABCDEFull);
        break;
      }
      case 0x10090: {
        float nmr[4] = {-1, -1, -1, -1}, fft[1] = {-1}, peak[2] = {-1, -1}, fit[2] = {-1, -1};
        std::uint32_t counts[4] = {99, 99, 99, 99};
        const IntermediateBlock blocks[4] = {
            {nmr, 4, &counts[0]}, {fft, 1, &counts[1]}, {peak, 2, &counts[2]}, {fit, 2, &counts[3]}};
        IntermediateScalars s{};
        CTorvexDSP::CopyIntermediateResults(blocks, &s);
        EXPECT_EQ(counts[0], 3u);  // the block's length
        EXPECT_EQ(counts[1], 1u);  // the capacity: the block is longer
        EXPECT_EQ(counts[2], 0u);  // the block is empty
        EXPECT_EQ(counts[3], 1u);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(nmr[0]), 0x3F800000u);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(nmr[2]), 0x3F800002u);
        EXPECT_EQ(nmr[3], -1.0f);
        EXPECT_EQ(fft[0], 2.0f);
        EXPECT_EQ(peak[0], -1.0f);
        EXPECT_EQ(fit[0], 3.0f);
        EXPECT_EQ(fit[1], -1.0f);
        EXPECT_EQ(s.ifFrequency, 2.0);
        EXPECT_EQ(s.rfFrequency, 4096.0);
        EXPECT_EQ(s.relaxationTime, 0.5f);
        EXPECT_EQ(s.samplePeriod, 0.125f);
        EXPECT_EQ(s.fftResolution, 0.25f);
        EXPECT_EQ(s.fftNoiseFloor, 0.0625f);
        EXPECT_EQ(s.peakResolution, 1.0f);
        EXPECT_EQ(s.peakCenterFrequency, 2048.0f);
        EXPECT_EQ(s.fitResidue, 0.75f);
        break;
      }
      case 0x100C0: {
        bool state = false;
        CTorvexDSP::GetTriggerOutState(&state);
        EXPECT_TRUE(state);
        break;
      }
      default: break;
    }
    CTorvexDSP::ReleaseInterface();
  }
}

TEST_F(DspProtocolTest, PwMeasurementCarriesTheUnitOfTheLastTrigger) {
  SetString(g_node_units_parms_selected, "MT");
  Boot();
  std::uint32_t sequence = 0;
  const auto frame = SendAndCapture(kDspTrigger, &sequence);
  // Millitesla per hertz with a ratio of 2 Hz/T: 500.
  EXPECT_EQ(frame[2], 0x407F4000u);
  double flux = 0, frequency = 0;
  int unit = -1;
  float f[4];
  std::uint32_t word11;
  std::uint64_t stamp;
  CTorvexDSP::GetPwMeasurement(&flux, &unit, &frequency, &f[0], &word11, &f[1], &f[2], &f[3], &stamp);
  EXPECT_EQ(unit, static_cast<int>(kUnitMilliTesla));
}

}  // namespace
}  // namespace torvex_test
