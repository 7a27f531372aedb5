// One measurement sequence (a search when no frequency is known, then trigger_parms/trigger_in/count
// measurements into one result buffer, published at the end) and one measurement (its trigger of
// the configured source, the TRIGGER exchange, the DSP's matching and tuning followed in the probe
// nodes).
#include <cmath>
#include <cstdint>
#include <string>

#include "acquisition/AcqFlowSupport.h"
#include "acquisition/CEventRegister.h"
#include "acquisition/CResultsStore.h"
#include "acquisition/CTorvexDSP.h"
#include "acquisition/CTorvexException.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "acquisition/DspProtocol.h"
#include "core/CLogger.h"
#include "peripherals/CTorvexPeripheral.h"
#include "peripherals/CTorvexPwMeasuringPeripheral.h"
#include "status/CScpiStatus.h"
#include "status/ScpiStatusBitRows.h"
#include "tree/BoundParameterNodes.h"
#include "tree/TopologyLock.h"

namespace Torvex {
namespace {

enum class eTriggerSource { Immediate, Timer, Bus, External };

// The configured trigger source; any other text restarts the acquisition system.
eTriggerSource ReadTriggerSource() {
  std::string text;
  if (g_node_trigger_parms_trigger_in_source != nullptr)
    text = acqflow::ReadString(g_node_trigger_parms_trigger_in_source);
  if (text == "IMMediate") return eTriggerSource::Immediate;
  if (text == "TIMer") return eTriggerSource::Timer;
  if (text == "BUS") return eTriggerSource::Bus;
  if (text == "EXTernal") return eTriggerSource::External;
  throw CFatalAcqException(TORVEX_LOCATION);
}

// The longest single wait the event register can express, in milliseconds.
constexpr double kLongestWaitMs = 32767.0;

// Sends TRIGGER and reads RETURN_PW_MEASUREMENT. The exchange lasts as long as the DSP's activity
// counter runs (for an external trigger, the whole wait for the edge); a counter that stands still
// between two readings 200 ms apart ends it with the located time-out given by the caller.
void TriggerExchange(PwMeasurement* measurement, const std::string& timeoutLocation) {
  try {
    acqflow::BeginDspExchange();
    const int sent = CTorvexDSP::SendRequest(kDspTrigger);
    if (sent != 0) throw CAcqError(sent);
    DspStatusBlock previous{};
    DspStatusBlock latest{};
    int readings = 0;
    for (;;) {
      const eAcqEvent event = CEventRegister::WaitForEvent(kAcqSourceDsp, 200, true);
      if (readings >= 2 && previous.words[0] == latest.words[0]) throw CAcqError(timeoutLocation, kAcqTimeout);
      previous = latest;
      CTorvexDSP::ReadStatusBlock(&latest);
      ++readings;
      if (event == kAcqEventDsp) break;
    }
    std::uint32_t status = 0;
    const int read = CTorvexDSP::ReadMessage(DspReplyId(kDspTrigger), &status);
    if (read != 0) throw CAcqError(read);
    ProcessDspStatus(status);
    std::uint32_t word11 = 0;
    int unit = 0;
    CTorvexDSP::GetPwMeasurement(&measurement->flux, &unit, &measurement->frequency, &measurement->sigma, &word11,
                                 &measurement->uniformity, &measurement->matching, &measurement->tuning,
                                 &measurement->timestamp);
    measurement->fluxUnit = unit;
    CTorvexDSP::ReleaseInterface();
  } catch (...) {
    CTorvexDSP::ReleaseInterface();
    throw;
  }
}

// With matching_tuning_mode "AUTO" the probe nodes follow the values the DSP used.
void FollowMatchingAndTuning(const PwMeasurement& measurement) {
  if (acqflow::ReadString(g_node_measure_parms_probe_matching_tuning_mode) != "AUTO") return;
  acqflow::BoundNode(g_node_measure_parms_probe_matching).SetFloat64Attribute(eAttrValue, measurement.matching);
  acqflow::BoundNode(g_node_measure_parms_probe_tuning).SetFloat64Attribute(eAttrValue, measurement.tuning);
}

}  // namespace

double acqflow::TimerPeriodMs(double seconds) {
  const double ms = std::trunc(seconds * 1000.0);
  return ms > 0.0 ? ms : 0.0;  // negative and NaN periods count as 0
}

void acqflow::WaitTimerPeriod(double seconds) {
  // The register takes at most 32767 ms at a time: a longer period is waited in chunks, each of them
  // abortable; a period of 0 still polls the abort mailbox once.
  double remaining = TimerPeriodMs(seconds);
  do {
    const double chunk = remaining < kLongestWaitMs ? remaining : kLongestWaitMs;
    CEventRegister::WaitForEvent(4, static_cast<std::int16_t>(chunk), true);
    remaining -= chunk;
  } while (remaining > 0.0);
}

int CTorvexHostAcquisition::AcquisitionSequenceFlow(CPeripheralReference& peripheral, bool expectedGiven,
                                                    double& frequency) {
  g_Logger.Printf("CTorvexHostAcquisition::AcquisitionSequenceFlow, Entering\n");
  if (acqflow::ManualSearchMode()) {
    SendDspCommand(kDspInitiateManualMeasurement, DspReplyId(kDspInitiateManualMeasurement), 500);
  } else if (!expectedGiven && frequency == 0.0) {
    SetOperationState(kOperationSearching);
    // The window stays in tesla here: the search converts it with each channel's own probe.
    const double lowTesla = acqflow::ReadFloat64(g_node_measure_parms_search_low);
    const double highTesla = acqflow::ReadFloat64(g_node_measure_parms_search_high);
    const double found = SearchFlow(peripheral, lowTesla, highTesla);
    if (found == 0.0) return 1;
    CTorvexDSP::SetTrackingFrequency(found);
    SendDspCommand(kDspInitiateTracking, DspReplyId(kDspInitiateTracking), 500);
  }

  ResultBuffer* buffer = g_ResultsStore.GetSlotBuffer(CResultsStore::kWriterSlot);
  if (buffer == nullptr) buffer = g_ResultsStore.TryTake(CResultsStore::kWriterSlot);
  if (buffer == nullptr) throw CAcqError(kAcqUnforeseen);

  const auto count = static_cast<std::uint16_t>(acqflow::ReadInt32(g_node_trigger_parms_trigger_in_count) & 0xFFFF);
  bool success = true;
  buffer->count = 0;
  for (std::uint32_t i = 0; i < buffer->capacity && i < count; ++i) {
    g_Logger.Printf("CTorvexHostAcquisition::AcquisitionSequenceFlow: Waiting for trigger No %u\n", i);
    PwMeasurement measurement;
    frequency = TriggerWaitingFlow(&measurement);
    buffer->flux[i] = measurement.flux;
    buffer->unit[i] = measurement.fluxUnit;
    buffer->frequency[i] = measurement.frequency;
    buffer->sigma[i] = measurement.sigma;
    buffer->uniformity[i] = measurement.uniformity;
    buffer->timestamp[i] = measurement.timestamp;
    if (peripheral) {
      CRecursiveLockGuard topology(g_TopologyLock);
      buffer->channel[i] = peripheral->GetChannel();
      if (peripheral->IsMeasuring())
        static_cast<CTorvexPwMeasuringPeripheral*>(peripheral.Get())->SetLastFrequency(frequency);
    } else {
      buffer->channel[i] = CTorvexChannel();
    }
    buffer->count = i + 1;
    CScpiStatus::SetDeviceBitRow(kStatusRowMeasurementStored, true, true);
    if (frequency == 0.0) {
      success = false;
      break;
    }
  }
  if (!success) buffer->count = 0;
  g_ResultsStore.PublishAndTake(buffer, CResultsStore::kWriterSlot);

  if (success) {
    g_Logger.Printf("CTorvexHostAcquisition::AcquisitionSequenceFlow: Measurements succeeded\n");
    CScpiStatus::SetDeviceBitRow(kStatusRowMeasurementFailed, false, true);
    CScpiStatus::SetDeviceBitRow(kStatusRowSequenceSucceeded, true, true);
    return 0;
  }
  g_Logger.Printf("CTorvexHostAcquisition::AcquisitionSequenceFlow: Measurements failed\n");
  CScpiStatus::SetDeviceBitRow(kStatusRowMeasurementFailed, true, true);
  return 1;
}

double CTorvexHostAcquisition::TriggerWaitingFlow(PwMeasurement* measurement) {
  g_Logger.Printf("CTorvexHostAcquisition::TriggerWaitingFlow, Entering\n");
  const eTriggerSource source = ReadTriggerSource();
  switch (source) {
    case eTriggerSource::Timer:
      SetOperationState(kOperationWaitingForTrigger);
      acqflow::WaitTimerPeriod(acqflow::ReadFloat64(g_node_trigger_parms_trigger_in_timer));
      break;
    case eTriggerSource::Bus:
      SetOperationState(kOperationWaitingForTrigger);
      WaitForBusTrigger();
      break;
    case eTriggerSource::Immediate:
    case eTriggerSource::External: break;
  }
  g_Logger.Printf("CTorvexHostAcquisition::TriggerWaitingFlow: Trigger!\n");
  if (source == eTriggerSource::External) {
    SetOperationState(kOperationWaitingForTrigger);
    ExchangeExternalTrigger(measurement);
  } else {
    SetOperationState(kOperationMeasuring);
    TriggerExchange(measurement, TORVEX_LOCATION);
  }
  FollowMatchingAndTuning(*measurement);
  g_Logger.Printf("CTorvexHostAcquisition::TriggerWaitingFlow, Measured: %g\n", measurement->flux);
  SetOperationState(kOperationMeasuring);
  return measurement->frequency;
}

void CTorvexHostAcquisition::WaitForBusTrigger() {
  CEventRegister::WaitForEvent(kAcqSourceCommand, -1, true);
  PipeMsg message{};
  if (!g_CommandMailBox.Receive(&message)) throw CAcqError(kAcqUnforeseen);
  ReleaseRequester(message.replySemaphore, 0);
  if (message.code != kPipeMsgBusTrigger) throw CAcqError(kAcqUnforeseen);
}

void CTorvexHostAcquisition::ExchangeExternalTrigger(PwMeasurement* measurement) {
  TriggerExchange(measurement, TORVEX_LOCATION);
}

}  // namespace Torvex
