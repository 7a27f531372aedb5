// The reader side of the acquisition: the result getters over the results store's reader slot, the
// search progress, and the intermediate results fetched from the DSP on demand. Everything here runs on
// the SCPI parser thread.
#include <string>

#include "acquisition/CEventRegister.h"
#include "acquisition/CIntermediateResults.h"
#include "acquisition/CResultsStore.h"
#include "acquisition/CTorvexDSP.h"
#include "acquisition/CTorvexException.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "acquisition/DspProtocol.h"
#include "core/CLogger.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {

namespace {

// --- result getters ----------------------------------------------------------------------------------

// Makes sure the reader slot holds a buffer (taking the published one, or waiting for one while a
// measurement runs), then copies element `index` with `copy` while the store pins the buffer in the
// reader slot. 48 when there is no buffer or the index is not below its count.
template <typename T, typename Copy>
int GetResultElement(std::uint32_t index, T* out, Copy copy) {
  if (out == nullptr) return kAcqNoData;
  if (g_ResultsStore.GetSlotBuffer(CResultsStore::kReaderSlot) == nullptr) {
    ResultBuffer* taken = g_TriggerActive.load() ? g_ResultsStore.WaitTake(CResultsStore::kReaderSlot, &g_TriggerActive)
                                                 : g_ResultsStore.TryTake(CResultsStore::kReaderSlot);
    if (taken == nullptr) return kAcqNoData;
  }
  return g_ResultsStore.ReadHeld([&](const ResultBuffer* buffer) -> int {
    // Null when a clear emptied the slot after the take.
    if (buffer == nullptr) return kAcqNoData;
    const std::uint32_t valid = buffer->count < buffer->capacity ? buffer->count : buffer->capacity;
    if (index >= valid) return kAcqNoData;
    *out = copy(*buffer, index);
    return 0;
  });
}

// --- intermediate results ------------------------------------------------------------------------------

// The four array descriptions, built from the record on the first fetch and reused afterwards.
IntermediateBlock s_Blocks[kIntermediateBlockCount];
bool s_BlocksBuilt = false;

// One request and its reply, 500 ms at most, with the interface held by the caller: a failure is thrown
// as CAcqError with its code. An unanswered request is abandoned, so the next fetch is not refused by
// the interface's state machine; an interrupt left from an earlier exchange is discarded first.
void FetchExchange(std::uint32_t request) {
  const int fd = g_DspIntr.Descriptor();
  if (fd < 0) throw CAcqError(TORVEX_LOCATION, kAcqTimeout);
  std::uint32_t status = 0;
  const int result = CTorvexDSP::Exchange(request, fd, 500, &status);
  if (result != 0) throw CAcqError(result);
  ProcessDspStatus(status);
}

void SetInt32Node(CParameterNode* node, std::uint32_t value) {
  if (node != nullptr) node->SetInt32Attribute(eAttrValue, static_cast<std::int32_t>(value));
}

void SetFloat64Node(CParameterNode* node, double value) {
  if (node != nullptr) node->SetFloat64Attribute(eAttrValue, value);
}

void PublishIntermediateNodes(const CIntermediateResults& record) {
  const IntermediateScalars& s = record.scalars;
  SetInt32Node(g_node_intermediate_results_nmr_signal_length, record.nmrSignal.count);
  SetFloat64Node(g_node_intermediate_results_nmr_signal_sample_period, s.samplePeriod);
  SetInt32Node(g_node_intermediate_results_fft_buffer_length, record.fftBuffer.count);
  SetFloat64Node(g_node_intermediate_results_fft_buffer_resolution, s.fftResolution);
  SetFloat64Node(g_node_intermediate_results_fft_buffer_noise_floor, s.fftNoiseFloor);
  SetInt32Node(g_node_intermediate_results_peak_spectrum_length, record.peakSpectrum.count);
  SetFloat64Node(g_node_intermediate_results_peak_spectrum_resolution, s.peakResolution);
  SetFloat64Node(g_node_intermediate_results_peak_spectrum_center_frequency, s.peakCenterFrequency);
  SetInt32Node(g_node_intermediate_results_fit_coeffs_length, record.fitCoefficients.count);
  SetFloat64Node(g_node_intermediate_results_fit_coeffs_residue, s.fitResidue);
  SetFloat64Node(g_node_intermediate_results_if_frequency, s.ifFrequency);
  SetFloat64Node(g_node_intermediate_results_relaxation_time, s.relaxationTime);
  SetFloat64Node(g_node_intermediate_results_rf_frequency, s.rfFrequency);
}

int GetArray(const IntermediateArray& array, float** data, std::uint16_t count) {
  if (data == nullptr) return kAcqNoData;
  if (g_IntermediateResults.AcquireForRead() != 0) return kAcqNoData;
  if (count > array.count || array.data == nullptr) return kAcqNoData;
  *data = array.data;
  return 0;
}

template <typename T, typename Field>
int GetScalar(T* out, Field field) {
  if (out == nullptr) return kAcqNoData;
  if (g_IntermediateResults.AcquireForRead() != 0) return kAcqNoData;
  *out = field(g_IntermediateResults.scalars);
  return 0;
}

}  // namespace

int CTorvexHostAcquisition::GetFlux(std::uint32_t index, double* flux) {
  return GetResultElement(index, flux, [](const ResultBuffer& b, std::uint32_t i) { return b.flux[i]; });
}

int CTorvexHostAcquisition::GetSigma(std::uint32_t index, float* sigma) {
  return GetResultElement(index, sigma, [](const ResultBuffer& b, std::uint32_t i) { return b.sigma[i]; });
}

int CTorvexHostAcquisition::GetUniformity(std::uint32_t index, float* uniformity) {
  return GetResultElement(index, uniformity, [](const ResultBuffer& b, std::uint32_t i) { return b.uniformity[i]; });
}

int CTorvexHostAcquisition::GetTimestamp(std::uint32_t index, std::uint64_t* timestamp) {
  return GetResultElement(index, timestamp, [](const ResultBuffer& b, std::uint32_t i) { return b.timestamp[i]; });
}

int CTorvexHostAcquisition::GetChannel(std::uint32_t index, CTorvexChannel* channel) {
  return GetResultElement(index, channel, [](const ResultBuffer& b, std::uint32_t i) { return b.channel[i]; });
}

int CTorvexHostAcquisition::GetFluxUnit(std::uint32_t index, std::int32_t* unit) {
  return GetResultElement(index, unit, [](const ResultBuffer& b, std::uint32_t i) { return b.unit[i]; });
}

int CTorvexHostAcquisition::GetSearchProgress(std::uint16_t* percent) {
  if (percent == nullptr) return kAcqNoData;
  while (!cyg_mutex_lock(&g_SearchProgressMutex)) {
  }
  *percent = g_SearchProgress;
  cyg_mutex_unlock(&g_SearchProgressMutex);
  return 0;
}

void CTorvexHostAcquisition::ReleaseResults() { g_ResultsStore.ReleaseSlot(CResultsStore::kReaderSlot); }

int CIntermediateResults::AcquireForRead() {
  if (!IsValid()) {
    const int result = CTorvexHostAcquisition::RetrieveIntermediateResults();
    if (result != 0) return result;
  }
  Lock();
  return 0;
}

int CTorvexHostAcquisition::RetrieveIntermediateResults() {
  g_Logger.Printf("CTorvexHostAcquisition::RetrieveIntermediateResults()\n");
  CIntermediateResults& record = g_IntermediateResults;
  // Built once the acquisition thread has allocated the arrays; a fetch before that delivers nothing.
  if (!s_BlocksBuilt) {
    record.DescribeBlocks(s_Blocks);
    s_BlocksBuilt = s_Blocks[kBlockNmrSignal].data != nullptr;
  }
  bool lockedHere = false;
  try {
    CTorvexDSP::TakeInterface();
    FetchExchange(kDspRequestNmrSignal);
    record.Lock();
    lockedHere = true;
    CTorvexDSP::CopyIntermediateResults(s_Blocks, &record.scalars);
    PublishIntermediateNodes(record);
    record.SetValid();
    record.Release();
    lockedHere = false;
    FetchExchange(kDspReleaseNmrSignal);
    CTorvexDSP::ReleaseInterface();
    return 0;
  } catch (const CAcqError& error) {
    if (lockedHere) record.Release();
    CTorvexDSP::ReleaseInterface();
    return error.m_Code;
  } catch (...) {
    g_Logger.Printf("%s", ("Unforeseen exception at: " + TORVEX_LOCATION + "\n").c_str());
    if (lockedHere) record.Release();
    CTorvexDSP::ReleaseInterface();
    return kAcqUnforeseen;
  }
}

int CTorvexHostAcquisition::GetNmrSignal(float** data, std::uint16_t count) {
  return GetArray(g_IntermediateResults.nmrSignal, data, count);
}

int CTorvexHostAcquisition::GetNmrSignalSamplePeriod(float* period) {
  return GetScalar(period, [](const IntermediateScalars& s) { return s.samplePeriod; });
}

int CTorvexHostAcquisition::GetFftBuffer(float** data, std::uint16_t count) {
  return GetArray(g_IntermediateResults.fftBuffer, data, count);
}

int CTorvexHostAcquisition::GetFftBufferResolution(float* resolution) {
  return GetScalar(resolution, [](const IntermediateScalars& s) { return s.fftResolution; });
}

int CTorvexHostAcquisition::GetPeakSpectrum(float** data, std::uint16_t count) {
  return GetArray(g_IntermediateResults.peakSpectrum, data, count);
}

int CTorvexHostAcquisition::GetPeakSpectrumCenterFrequency(float* frequency) {
  return GetScalar(frequency, [](const IntermediateScalars& s) { return s.peakCenterFrequency; });
}

int CTorvexHostAcquisition::GetPeakSpectrumResolution(float* resolution) {
  return GetScalar(resolution, [](const IntermediateScalars& s) { return s.peakResolution; });
}

int CTorvexHostAcquisition::GetFitCoefficients(float** data, std::uint16_t count) {
  return GetArray(g_IntermediateResults.fitCoefficients, data, count);
}

int CTorvexHostAcquisition::GetFitResidue(float* residue) {
  return GetScalar(residue, [](const IntermediateScalars& s) { return s.fitResidue; });
}

int CTorvexHostAcquisition::GetIfFrequency(double* frequency) {
  return GetScalar(frequency, [](const IntermediateScalars& s) { return s.ifFrequency; });
}

int CTorvexHostAcquisition::GetRelaxationTime(float* time) {
  return GetScalar(time, [](const IntermediateScalars& s) { return s.relaxationTime; });
}

int CTorvexHostAcquisition::GetRfFrequency(double* frequency) {
  return GetScalar(frequency, [](const IntermediateScalars& s) { return s.rfFrequency; });
}

}  // namespace Torvex
