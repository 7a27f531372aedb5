// The set-up of an acquisition: measurement parameters to the DSP, the choice of the channel to
// measure on, and, where a frequency is known, the DSP's confirmation of it and tracking; plus the
// preparation of one channel of the acquisition channel list as the measuring one.
#include <sys/select.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "acquisition/AcqFlowSupport.h"
#include "acquisition/CEventRegister.h"
#include "acquisition/CTorvexDSP.h"
#include "acquisition/CTorvexException.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "acquisition/DspProtocol.h"
#include "core/CLogger.h"
#include "drivers/dsp_hpi.h"
#include "peripherals/CTorvexPeripheral.h"
#include "peripherals/CTorvexPwMeasuringPeripheral.h"
#include "peripherals/PwPhysicalInformation.h"
#include "peripherals/UnitConversion.h"
#include "platform/io.h"
#include "tree/BoundParameterNodes.h"
#include "tree/TopologyLock.h"

namespace Torvex {
namespace {

constexpr std::uint16_t kModelWithTimingPair = 1226;
// The DSP's status-word bit: it still works on an INITIATE_SEARCH.
constexpr std::uint32_t kDspStatusSearchBusy = 0x10;

// A duration in seconds as the unsigned 32-bit count the probe controller takes: value x 1e6 x 1.1,
// truncated. Values outside the count's range are held at its ends (NaN counts as 0).
std::uint32_t TimingCount(double seconds) {
  const double count = seconds * 1000000.0 * 1.1;
  if (!(count > 0.0)) return 0;
  if (count >= 4294967295.0) return std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(count);
}

}  // namespace

void acqflow::WindowInHertz(CTorvexPeripheral* peripheral, double lowTesla, double highTesla, double* lowHz,
                            double* highHz) {
  double ratio = 0.0;
  {
    CRecursiveLockGuard topology(g_TopologyLock);
    if (peripheral != nullptr && peripheral->IsMeasuring()) {
      ratio = static_cast<CTorvexPwMeasuringPeripheral*>(peripheral)->GetGyromagneticRatio();
    }
  }
  // A ratio of 0 would make the conversion ask for the current probe, which need not be this one.
  if (!IsUsableGyromagneticRatio(ratio)) throw CAcqError(kUnitZeroQuantity);
  double low = lowTesla;
  double high = highTesla;
  int result = ConvertUnits(low, kUnitTesla, kUnitHertz, ratio);
  if (result == kUnitOk) result = ConvertUnits(high, kUnitTesla, kUnitHertz, ratio);
  if (result != kUnitOk) throw CAcqError(result);
  *lowHz = low;
  *highHz = high;
}

CPeripheralReference CTorvexHostAcquisition::AcquisitionSetupFlow(double expectedHz, double* frequency) {
  g_Logger.Printf("CTorvexHostAcquisition::AcquisitionSetupFlow, Entering\n");
  *frequency = 0.0;
  SendDspCommand(kDspPwMeasureParms, DspReplyId(kDspPwMeasureParms), 500);

  // Manual search: the sequence asks the DSP for a manual measurement; no frequency is given.
  if (acqflow::ManualSearchMode()) return PrepareChannel(0);

  if (expectedHz != 0.0) {
    CPeripheralReference peripheral = PrepareChannel(0);
    CTorvexDSP::SetTrackingFrequency(expectedHz);
    *frequency = expectedHz;
    SendDspCommand(kDspInitiateTracking, DspReplyId(kDspInitiateTracking), 500);
    return peripheral;
  }

  const double lowTesla = acqflow::ReadFloat64(g_node_measure_parms_search_low);
  const double highTesla = acqflow::ReadFloat64(g_node_measure_parms_search_high);
  double found = 0.0;
  std::uint16_t index = 0;
  const CPeripheralReference candidate = FindChannelInWindow(lowTesla, highTesla, &found, &index);
  if (!(found > 0.0) || !candidate) return {};

  CPeripheralReference peripheral = PrepareChannel(index);
  const double confirmed = ConfirmFrequency(found);
  if (!(confirmed > 0.0)) {
    // Refused: forget the candidate's frequency so the next acquisition does not pick it again.
    CRecursiveLockGuard topology(g_TopologyLock);
    static_cast<CTorvexPwMeasuringPeripheral*>(candidate.Get())->SetLastFrequency(0.0);
    return peripheral;
  }
  CTorvexDSP::SetTrackingFrequency(confirmed);
  *frequency = confirmed;
  SendDspCommand(kDspInitiateTracking, DspReplyId(kDspInitiateTracking), 500);
  return peripheral;
}

CPeripheralReference CTorvexHostAcquisition::FindChannelInWindow(double lowTesla, double highTesla, double* frequency,
                                                                 std::uint16_t* index) {
  const std::size_t count = g_AcqChannelList.size();
  if (count == 0) throw CAcqError(kAcqNoChannel);
  for (std::size_t i = 0; i < count && i <= 0xFFFF; ++i) {
    CPeripheralReference peripheral;
    double last = 0.0;
    {
      CRecursiveLockGuard topology(g_TopologyLock);
      peripheral = CPeripheralReference(CTorvexPeripheral::FindPeripheralByChannel(g_AcqChannelList[i]));
      if (!peripheral || !peripheral->IsMeasuring()) throw CAcqError(kAcqInvalidChannel);
      last = static_cast<CTorvexPwMeasuringPeripheral*>(peripheral.Get())->GetLastFrequency();
    }
    *frequency = last;
    *index = static_cast<std::uint16_t>(i);
    if (!(last > 0.0)) continue;
    // The window in hertz of this channel's own probe.
    double low = 0.0;
    double high = 0.0;
    acqflow::WindowInHertz(peripheral.Get(), lowTesla, highTesla, &low, &high);
    if (low <= last && last <= high) return peripheral;
  }
  *frequency = 0.0;
  return {};
}

CPeripheralReference CTorvexHostAcquisition::PrepareChannel(std::uint16_t index) {
  if (index >= g_AcqChannelList.size()) throw CAcqError(kAcqInvalidChannel);
  const std::string path = CTorvexPeripheral::PathOf(g_AcqChannelList[index]);
  CPeripheralReference peripheral;
  int selected = 0;
  {
    // The reference is taken before the topology can change again.
    CRecursiveLockGuard topology(g_TopologyLock);
    CTorvexPeripheral* object = nullptr;
    selected = CTorvexPeripheral::SelectChannel(path, &object);
    peripheral = CPeripheralReference(object);
  }
  if (selected != 0) throw CAcqError(selected);
  if (!peripheral || !peripheral->IsMeasuring()) throw CAcqError(kAcqInvalidChannel);

  if (peripheral->GetModel() == kModelWithTimingPair) {
    const double shortDuration = acqflow::ReadFloat64(g_node_system_acquisition_short_duration);
    const double offset = acqflow::ReadFloat64(g_node_measure_parms_sample_offset);
    const double length = acqflow::ReadString(g_node_measure_parms_sample_mode) == "AUTO"
                              ? CTorvexDSP::GetProbeSampleLength(peripheral.Get())
                              : CTorvexDSP::GetSampleLengthSetting();
    const std::uint32_t first = TimingCount(shortDuration + offset);
    const std::uint32_t second = TimingCount(length + offset);
    const int written = static_cast<CTorvexPwMeasuringPeripheral*>(peripheral.Get())->WriteParameterPair(first, second);
    if (written != 0) throw CAcqError(written);
  }

  SendDspCommand(kDspPwProbeConnect, DspReplyId(kDspPwProbeConnect), 500);
  return peripheral;
}

double CTorvexHostAcquisition::ConfirmFrequency(double frequency) {
  g_Logger.Printf("CTorvexHostAcquisition::ConfirmFrequency: %f\n", frequency);
  CTorvexDSP::SetSearchWindow(frequency, frequency);
  CTorvexDSP::SetSearchConfirm(1);
  try {
    acqflow::BeginDspExchange();
    const int sent = CTorvexDSP::SendRequest(kDspInitiateSearch);
    if (sent != 0) throw CAcqError(sent);
    bool replied = false;
    for (;;) {
      if (CEventRegister::WaitForEvent(kAcqSourceDsp, 500, true) == kAcqEventDsp) {
        replied = true;
        break;
      }
      DspStatusBlock block{};
      CTorvexDSP::ReadStatusBlock(&block);
      if ((block.words[2] & kDspStatusSearchBusy) == 0) break;
    }
    if (!replied && CEventRegister::WaitForEvent(kAcqSourceDsp, 500, true) != kAcqEventDsp) {
      throw CAcqError(TORVEX_LOCATION, kAcqTimeout);
    }
    std::uint32_t status = 0;
    const int read = CTorvexDSP::ReadMessage(DspReplyId(kDspInitiateSearch), &status);
    if (read != 0) throw CAcqError(read);
    ProcessDspStatus(status);
    const double result = CTorvexDSP::GetSearchResult();
    CTorvexDSP::ReleaseInterface();
    return result;
  } catch (...) {
    CTorvexDSP::ReleaseInterface();
    throw;
  }
}

}  // namespace Torvex
