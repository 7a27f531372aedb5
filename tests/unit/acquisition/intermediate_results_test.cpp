// Intermediate results: fetched from the DSP once per program message, capped at the arrays' capacity,
// published in the tree, and the reader lock around them.
#include "acquisition/CIntermediateResults.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <thread>
#include <vector>

#include "acquisition/CTorvexHostAcquisition.h"
#include "dsp_link_support.h"
#include "support/wait_for.h"

namespace torvex_test {
namespace {

using Torvex::CTorvexDSP;
using Torvex::CTorvexHostAcquisition;
using Torvex::g_IntermediateResults;

constexpr std::uint32_t kReturnNmrSignal = 0x10090;
constexpr std::uint32_t kBlockBase[4] = {0x80000000, 0x80010000, 0x80020000, 0x80030000};

float SampleOf(int block, std::uint32_t i) { return static_cast<float>(block * 1000 + i) + 0.5f; }

// The scalars the DSP reports.
struct DspScalars {
  double ifHz = 1.25e6;
  double rfHz = 42.5e6;
  float relaxation = 0.003f;
  float sampleRate = 4.0e6f;
  float fftResolution = 12.5f;
  float noiseFloor = -90.0f;
  float peakResolution = 3.0f;
  float peakCenter = 1.25e6f;
  float residue = 0.01f;
};

class IntermediateResultsTest : public DspLinkTest {
 protected:
  void SetUp() override {
    DspLinkTest::SetUp();
    if (HasFatalFailure()) return;
    Boot();
    ASSERT_TRUE(Torvex::g_DspIntr.Open());
    g_IntermediateResults.AllocateArrays();
    g_IntermediateResults.Invalidate();
    g_IntermediateResults.Release();
  }
  void TearDown() override {
    EndMessage();
    DspLinkTest::TearDown();
  }

  // What the parser thread does at the end of every program message.
  static void EndMessage() {
    g_IntermediateResults.Invalidate();
    CTorvexHostAcquisition::ReleaseResults();
    g_IntermediateResults.Release();
  }

  // Puts blocks of the given lengths in DSP memory and the RETURN_NMR_SIGNAL that names them.
  void Script(const std::uint32_t lengths[4], const DspScalars& s = DspScalars{}) {
    for (int b = 0; b < 4; ++b) {
      for (std::uint32_t i = 0; i < lengths[b]; ++i) {
        board_->dsp().WriteWord(kBlockBase[b] + 4 * i, std::bit_cast<std::uint32_t>(SampleOf(b, i)));
      }
    }
    std::vector<std::uint32_t> payload(22, 0);
    auto word = [&](int index) -> std::uint32_t& { return payload[index - 2]; };
    Torvex::PutDouble(&word(4), s.ifHz);
    Torvex::PutDouble(&word(6), s.rfHz);
    word(8) = Torvex::FloatWord(s.relaxation);
    const int blockWords[4][2] = {{10, 11}, {13, 14}, {17, 18}, {21, 22}};
    for (int b = 0; b < 4; ++b) {
      word(blockWords[b][0]) = kBlockBase[b];
      word(blockWords[b][1]) = lengths[b];
    }
    word(12) = Torvex::FloatWord(s.sampleRate);
    word(15) = Torvex::FloatWord(s.fftResolution);
    word(16) = Torvex::FloatWord(s.noiseFloor);
    word(19) = Torvex::FloatWord(s.peakResolution);
    word(20) = Torvex::FloatWord(s.peakCenter);
    word(23) = Torvex::FloatWord(s.residue);
    script_->SetPayload(kReturnNmrSignal, payload);
  }

  std::size_t Requests(std::uint32_t id) {
    std::size_t n = 0;
    for (const auto& frame : script_->Requests()) n += !frame.empty() && frame[0] == id ? 1 : 0;
    return n;
  }
};

TEST_F(IntermediateResultsTest, ArraysTakeTheirCapacityFromTheSizeNodesOnce) {
  EXPECT_EQ(g_IntermediateResults.nmrSignal.capacity,
            static_cast<std::uint32_t>(
                Torvex::g_node_intermediate_results_nmr_signal_size->GetInt32Attribute(Torvex::eAttrMaximum)));
  EXPECT_EQ(g_IntermediateResults.fitCoefficients.capacity,
            static_cast<std::uint32_t>(
                Torvex::g_node_intermediate_results_fit_coeffs_size->GetInt32Attribute(Torvex::eAttrMaximum)));
  float* before = g_IntermediateResults.fftBuffer.data;
  Torvex::g_node_intermediate_results_fft_buffer_size->SetInt32Attribute(Torvex::eAttrMaximum, 3);
  g_IntermediateResults.AllocateArrays();
  EXPECT_EQ(g_IntermediateResults.fftBuffer.data, before);
  EXPECT_NE(g_IntermediateResults.fftBuffer.capacity, 3u);
}

TEST_F(IntermediateResultsTest, GettersOfOneMessageShareOneFetch) {
  const std::uint32_t lengths[4] = {6, 5, 4, 3};
  DspScalars s;
  Script(lengths, s);

  float* data = nullptr;
  ASSERT_EQ(CTorvexHostAcquisition::GetNmrSignal(&data, 6), 0);
  for (std::uint32_t i = 0; i < 6; ++i) EXPECT_EQ(data[i], SampleOf(0, i));
  ASSERT_EQ(CTorvexHostAcquisition::GetFftBuffer(&data, 5), 0);
  for (std::uint32_t i = 0; i < 5; ++i) EXPECT_EQ(data[i], SampleOf(1, i));
  ASSERT_EQ(CTorvexHostAcquisition::GetPeakSpectrum(&data, 4), 0);
  EXPECT_EQ(data[3], SampleOf(2, 3));
  ASSERT_EQ(CTorvexHostAcquisition::GetFitCoefficients(&data, 3), 0);
  EXPECT_EQ(data[2], SampleOf(3, 2));

  float f = 0;
  double d = 0;
  ASSERT_EQ(CTorvexHostAcquisition::GetNmrSignalSamplePeriod(&f), 0);
  EXPECT_FLOAT_EQ(f, 1.0f / s.sampleRate);
  ASSERT_EQ(CTorvexHostAcquisition::GetFftBufferResolution(&f), 0);
  EXPECT_EQ(f, s.fftResolution);
  ASSERT_EQ(CTorvexHostAcquisition::GetPeakSpectrumCenterFrequency(&f), 0);
  EXPECT_EQ(f, s.peakCenter);
  ASSERT_EQ(CTorvexHostAcquisition::GetPeakSpectrumResolution(&f), 0);
  EXPECT_EQ(f, s.peakResolution);
  ASSERT_EQ(CTorvexHostAcquisition::GetFitResidue(&f), 0);
  EXPECT_EQ(f, s.residue);
  ASSERT_EQ(CTorvexHostAcquisition::GetRelaxationTime(&f), 0);
  EXPECT_EQ(f, s.relaxation);
  ASSERT_EQ(CTorvexHostAcquisition::GetIfFrequency(&d), 0);
  EXPECT_EQ(d, s.ifHz);
  ASSERT_EQ(CTorvexHostAcquisition::GetRfFrequency(&d), 0);
  EXPECT_EQ(d, s.rfHz);

  EXPECT_EQ(Requests(Torvex::kDspRequestNmrSignal), 1u);
  EXPECT_EQ(Requests(Torvex::kDspReleaseNmrSignal), 1u);
  EXPECT_EQ(g_IntermediateResults.Owner(), cyg_thread_self()) << "the reader lock is held until the message ends";
  EXPECT_FALSE(CTorvexDSP::HeldByCaller()) << "the DSP interface is free again";

  EndMessage();
  EXPECT_EQ(g_IntermediateResults.Owner(), 0u);
  ASSERT_EQ(CTorvexHostAcquisition::GetIfFrequency(&d), 0);
  EXPECT_EQ(Requests(Torvex::kDspRequestNmrSignal), 2u) << "the next message fetches afresh";
  EXPECT_EQ(Requests(Torvex::kDspReleaseNmrSignal), 2u);
}

TEST_F(IntermediateResultsTest, FetchPublishesScalarsAndLengthsInTheTree) {
  const std::uint32_t lengths[4] = {7, 2, 1, 5};
  DspScalars s;
  Script(lengths, s);
  double d = 0;
  ASSERT_EQ(CTorvexHostAcquisition::GetIfFrequency(&d), 0);
  using namespace Torvex;
  EXPECT_EQ(g_node_intermediate_results_nmr_signal_length->GetInt32Attribute(eAttrValue), 7);
  EXPECT_EQ(g_node_intermediate_results_fft_buffer_length->GetInt32Attribute(eAttrValue), 2);
  EXPECT_EQ(g_node_intermediate_results_peak_spectrum_length->GetInt32Attribute(eAttrValue), 1);
  EXPECT_EQ(g_node_intermediate_results_fit_coeffs_length->GetInt32Attribute(eAttrValue), 5);
  EXPECT_DOUBLE_EQ(g_node_intermediate_results_nmr_signal_sample_period->GetFloat64Attribute(eAttrValue),
                   static_cast<double>(1.0f / s.sampleRate));
  EXPECT_EQ(g_node_intermediate_results_fft_buffer_resolution->GetFloat64Attribute(eAttrValue), s.fftResolution);
  EXPECT_EQ(g_node_intermediate_results_fft_buffer_noise_floor->GetFloat64Attribute(eAttrValue), s.noiseFloor);
  EXPECT_EQ(g_node_intermediate_results_peak_spectrum_resolution->GetFloat64Attribute(eAttrValue), s.peakResolution);
  EXPECT_EQ(g_node_intermediate_results_peak_spectrum_center_frequency->GetFloat64Attribute(eAttrValue), s.peakCenter);
  EXPECT_EQ(g_node_intermediate_results_fit_coeffs_residue->GetFloat64Attribute(eAttrValue), s.residue);
  EXPECT_EQ(g_node_intermediate_results_if_frequency->GetFloat64Attribute(eAttrValue), s.ifHz);
  EXPECT_EQ(g_node_intermediate_results_relaxation_time->GetFloat64Attribute(eAttrValue), s.relaxation);
  EXPECT_EQ(g_node_intermediate_results_rf_frequency->GetFloat64Attribute(eAttrValue), s.rfHz);
}

void CountCall(Torvex::CParameterNode*, int kind, void* context) {
  if (kind == Torvex::eAttrValue) ++*static_cast<int*>(context);
}

TEST_F(IntermediateResultsTest, AnUnchangedNodeIsNotWrittenAgain) {
  const std::uint32_t lengths[4] = {3, 3, 3, 3};
  Script(lengths);
  int calls = 0;
  Torvex::g_node_intermediate_results_if_frequency->Subscribe(CountCall, &calls);
  double d = 0;
  ASSERT_EQ(CTorvexHostAcquisition::GetIfFrequency(&d), 0);
  const int first = calls;
  EndMessage();
  ASSERT_EQ(CTorvexHostAcquisition::GetIfFrequency(&d), 0);
  EXPECT_EQ(Requests(Torvex::kDspRequestNmrSignal), 2u);
  EXPECT_EQ(calls, first) << "the same value is not written again";
  DspScalars changed;
  changed.ifHz = 2.5e6;
  Script(lengths, changed);
  EndMessage();
  ASSERT_EQ(CTorvexHostAcquisition::GetIfFrequency(&d), 0);
  EXPECT_EQ(calls, first + 1);
}

// Requested counts against the delivered count, and a DSP block longer than the array.
TEST_F(IntermediateResultsTest, ArraysAreCappedAtCapacityAndRequestsAtTheDeliveredCount) {
  const std::uint32_t fitCapacity = g_IntermediateResults.fitCoefficients.capacity;
  ASSERT_GT(fitCapacity, 0u);
  const std::uint32_t lengths[4] = {10, 4, 4, fitCapacity + 5};
  Script(lengths);
  float* data = nullptr;
  EXPECT_EQ(CTorvexHostAcquisition::GetNmrSignal(&data, 10), 0);
  EXPECT_EQ(CTorvexHostAcquisition::GetNmrSignal(&data, 11), Torvex::kAcqNoData);
  EXPECT_EQ(CTorvexHostAcquisition::GetFitCoefficients(&data, static_cast<std::uint16_t>(fitCapacity)), 0);
  EXPECT_EQ(data[fitCapacity - 1], SampleOf(3, fitCapacity - 1));
  EXPECT_EQ(CTorvexHostAcquisition::GetFitCoefficients(&data, static_cast<std::uint16_t>(fitCapacity + 1)),
            Torvex::kAcqNoData);
  EXPECT_EQ(Torvex::g_node_intermediate_results_fit_coeffs_length->GetInt32Attribute(Torvex::eAttrValue),
            static_cast<std::int32_t>(fitCapacity));
}

TEST_F(IntermediateResultsTest, NoReplyAnswersNoDataFreesTheInterfaceAndTheNextGetterFetchesAgain) {
  const std::uint32_t lengths[4] = {2, 2, 2, 2};
  Script(lengths);
  script_->SetSilent(true);
  double d = 0;
  EXPECT_EQ(CTorvexHostAcquisition::GetRfFrequency(&d), Torvex::kAcqNoData);
  EXPECT_FALSE(g_IntermediateResults.IsValid());
  EXPECT_FALSE(CTorvexDSP::HeldByCaller());
  EXPECT_EQ(g_IntermediateResults.Owner(), 0u) << "a failed fetch takes no reader lock";
  // Another thread can take the interface at once.
  std::thread other([] {
    CTorvexDSP::TakeInterface();
    CTorvexDSP::ReleaseInterface();
  });
  other.join();

  script_->SetSilent(false);
  EXPECT_EQ(CTorvexHostAcquisition::GetRfFrequency(&d), 0) << "the next getter repeats the request";
  EXPECT_EQ(d, DspScalars{}.rfHz);
  EXPECT_EQ(Requests(Torvex::kDspRequestNmrSignal), 2u);
}

// The data arrived, but the DSP refused their release: the getter answers no data, yet the record
// holds the new data and the next getter of the message reads them without another fetch.
TEST_F(IntermediateResultsTest, AFailedReleaseLeavesTheFetchedDataValid) {
  const std::uint32_t lengths[4] = {2, 2, 2, 2};
  DspScalars s;
  Script(lengths, s);
  script_->QueuePayload(Torvex::DspReplyId(Torvex::kDspReleaseNmrSignal), {0x80000000u});
  double d = 0;
  EXPECT_EQ(CTorvexHostAcquisition::GetIfFrequency(&d), Torvex::kAcqNoData);
  EXPECT_TRUE(g_IntermediateResults.IsValid());
  EXPECT_FALSE(CTorvexDSP::HeldByCaller());
  ASSERT_EQ(CTorvexHostAcquisition::GetIfFrequency(&d), 0);
  EXPECT_EQ(d, s.ifHz);
  EXPECT_EQ(Requests(Torvex::kDspRequestNmrSignal), 1u);
}

TEST_F(IntermediateResultsTest, ReaderLockDoesNotCountAndOnlyItsOwnerReleasesIt) {
  g_IntermediateResults.Lock();
  g_IntermediateResults.Lock();
  EXPECT_EQ(g_IntermediateResults.Owner(), cyg_thread_self());
  std::atomic<bool> taken{false};
  std::thread other([&] {
    g_IntermediateResults.Release();  // not the owner: nothing
    g_IntermediateResults.Lock();
    taken = true;
    g_IntermediateResults.Release();
  });
  // The other thread cannot take the lock while this one holds it.
  ASSERT_TRUE(WaitFor([&] { return g_IntermediateResults.Owner() == cyg_thread_self(); }));
  EXPECT_FALSE(taken.load());
  g_IntermediateResults.Release();  // one release frees it, however often it was taken
  ASSERT_TRUE(WaitFor([&] { return taken.load(); }));
  other.join();
  EXPECT_EQ(g_IntermediateResults.Owner(), 0u);
}

}  // namespace
}  // namespace torvex_test
