// The search for the NMR resonance over the channels of the acquisition channel list, the DSP's
// search of one window with its published progress, and the subscriber that keeps the QUEStionable
// condition "search manual or external reference not locked" in step with its nodes.
#include <cstdint>
#include <string>

#include "acquisition/AcqFlowSupport.h"
#include "acquisition/CEventRegister.h"
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

void SetSearchProgress(std::uint16_t percent) {
  cyg_mutex_lock(&g_SearchProgressMutex);
  g_SearchProgress = percent;
  cyg_mutex_unlock(&g_SearchProgressMutex);
}

}  // namespace

double CTorvexHostAcquisition::SearchFlow(CPeripheralReference& peripheral, double lowTesla, double highTesla) {
  g_Logger.Printf("CTorvexHostAcquisition::SearchFlow, Entering\n");
  const std::size_t count = g_AcqChannelList.size();
  for (std::size_t i = 0; i < count && i <= 0xFFFF; ++i) {
    const auto index = static_cast<std::uint16_t>(i);
    if (!peripheral ||
        CTorvexPeripheral::PathOf(peripheral->GetChannel()) != CTorvexPeripheral::PathOf(g_AcqChannelList[i])) {
      peripheral = PrepareChannel(index);
    }
    // The window in hertz of this channel's probe, narrowed to the probe's frequency range.
    double low = 0.0;
    double high = 0.0;
    acqflow::WindowInHertz(peripheral.Get(), lowTesla, highTesla, &low, &high);
    double probeMin = 0.0;
    double probeMax = 0.0;
    {
      CRecursiveLockGuard topology(g_TopologyLock);
      auto* probe = static_cast<CTorvexPwMeasuringPeripheral*>(peripheral.Get());
      probeMin = probe->GetMinFrequency();
      probeMax = probe->GetMaxFrequency();
    }
    double lo = probeMin > low ? probeMin : low;
    double hi = probeMax < high ? probeMax : high;
    if (hi < lo) lo = hi = 0.0;

    double found = 0.0;
    if (hi != 0.0 && hi >= lo) found = RunDspSearch(lo, hi);
    g_Logger.Printf("CTorvexHostAcquisition::SearchFlow: Found f = %f\n", found);
    if (found != 0.0) return found;
  }
  return 0.0;
}

double CTorvexHostAcquisition::RunDspSearch(double lowHz, double highHz) {
  CTorvexDSP::SetSearchWindow(lowHz, highHz);
  CTorvexDSP::SetSearchConfirm(0);
  double result = 0.0;
  try {
    acqflow::BeginDspExchange();
    const int sent = CTorvexDSP::SendRequest(kDspInitiateSearch);
    if (sent != 0) throw CAcqError(sent);
    DspStatusBlock previous{};
    DspStatusBlock latest{};
    int readings = 0;
    for (;;) {
      const eAcqEvent event = CEventRegister::WaitForEvent(kAcqSourceDsp, 100, true);
      if (readings >= 2 && previous.words[0] == latest.words[0]) throw CAcqError(TORVEX_LOCATION, kAcqTimeout);
      if (readings >= 1) SetSearchProgress(static_cast<std::uint16_t>(latest.words[1] & 0xFFFF));
      previous = latest;
      CTorvexDSP::ReadStatusBlock(&latest);
      ++readings;
      if (event == kAcqEventDsp) break;
    }
    std::uint32_t status = 0;
    const int read = CTorvexDSP::ReadMessage(DspReplyId(kDspInitiateSearch), &status);
    if (read != 0) throw CAcqError(read);
    ProcessDspStatus(status);
    result = CTorvexDSP::GetSearchResult();
    CTorvexDSP::ReleaseInterface();
  } catch (...) {
    CTorvexDSP::ReleaseInterface();
    throw;
  }
  SetSearchProgress(100);
  return result;
}

void CTorvexHostAcquisition::OnSearchOrReferenceChanged(CParameterNode* /*node*/, int kind, void* /*context*/) {
  if (kind != eAttrValue) return;
  // Runs on whatever thread changed the node; a node the tree lacks counts as false.
  bool condition = false;
  if (acqflow::ReadStringNode(g_node_measure_parms_search_mode) == "MANual") {
    condition = true;
  } else if (acqflow::ReadBooleanNode(g_node_ref_clock_external_detected)) {
    condition = !acqflow::ReadBooleanNode(g_node_ref_clock_external_locked);
  }
  CScpiStatus::SetDeviceBitRow(kStatusRowSearchManualOrUnlocked, condition, false);
}

}  // namespace Torvex
