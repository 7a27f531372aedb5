// The trigger flow: the acquisition thread's server loop once the DSP runs (initiates, idle watch of
// the DSP, continuous re-initiation) with the single recovery of failed and aborted measurements, and
// one acquisition (set-up, then measurement sequences).
#include <cstdint>

#include "acquisition/AcqFlowSupport.h"
#include "acquisition/CEventRegister.h"
#include "acquisition/CResultsStore.h"
#include "acquisition/CTorvexDSP.h"
#include "acquisition/CTorvexException.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "core/CLogger.h"
#include "status/CScpiStatus.h"
#include "status/ScpiErrorTable.h"
#include "status/ScpiStatusBitRows.h"
#include "tree/BoundParameterNodes.h"

namespace Torvex {
namespace {

// The SCPI error a measurement error becomes.
std::uint32_t ErrorRowOf(std::int32_t code) {
  switch (code) {
    case kAcqInvalidChannel: return kScpiErrorInvalidChannelList;
    case kAcqNoProbe: return kScpiErrorNoProbe;
    case kAcqNoChannel: return kScpiErrorNoSelectedChannel;
    case kAcqSettingsConflict:
    case kAcqTriggerConflict: return kScpiErrorSettingsConflict;
    case kAcqNmrPathBroken: return kScpiErrorTopologyChanged;
    case kAcqTimeout: return kScpiErrorTimeOutError;
    default: return kScpiErrorFirmwareError;
  }
}

bool ContinuousInitiation() { return acqflow::ReadBoolean(g_node_trigger_parms_trigger_in_continuous); }

}  // namespace

void CTorvexHostAcquisition::TriggerFlow() {
  g_Logger.Printf("CTorvexHostAcquisition::TriggerFlow, Entering\n");
  bool runRequested = false;
  g_TriggerActive = false;
  bool counterKnown = false;
  std::uint32_t lastCounter = 0;
  SetOperationState(kOperationIdle);
  g_AcqServing = true;
  cyg_semaphore_post(&g_AcqStartedSemaphore);

  for (;;) {
    try {
      while (!runRequested) {
        const eAcqEvent event = CEventRegister::WaitForEvent(kAcqSourceCommand, 500, true);
        if (event == kAcqEventMessage) {
          PipeMsg message{};
          if (!g_CommandMailBox.Receive(&message)) throw CAcqError(kAcqUnforeseen);
          // The flag is set before the initiator is released: once InitiateTrigger returns, the
          // measurement is active, and only the end of that measurement clears it again.
          if (message.code == kPipeMsgInitiate) g_TriggerActive = true;
          ReleaseRequester(message.replySemaphore, 0);
          if (message.code != kPipeMsgInitiate) throw CAcqError(kAcqUnforeseen);
          g_Logger.Printf("CTorvexHostAcquisition::TriggerFlow, Initiate\n");
          runRequested = true;
        } else if (event == kAcqEventTimeout) {
          DspStatusBlock block{};
          CTorvexDSP::ReadStatusBlock(&block);
          if (counterKnown && block.words[0] == lastCounter) throw CFatalAcqException(TORVEX_LOCATION);
          lastCounter = block.words[0];
          counterKnown = true;
          ProcessDspStatus(block.words[2]);
        } else {
          throw CFatalAcqException(TORVEX_LOCATION);
        }
      }
      g_TriggerActive = true;
      AcquisitionFlow();
    } catch (const CAcqException& exception) {
      g_Logger.Printf("CTorvexHostAcquisition::TriggerFlow: %s", exception.what());
      if (exception.IsError()) {
        const std::int32_t code = static_cast<const CAcqError&>(exception).m_Code;
        CScpiStatus::SetDeviceBitRow(kStatusRowMeasurementFailed, true, false);
        g_LastAcqError = code;
        PushErrorToInitiatingClient(ErrorRowOf(code));
      }
      cyg_sem_t* abortReply =
          exception.IsAbort() ? static_cast<const CAbortException&>(exception).m_ReplySemaphore : nullptr;
      try {
        AbortDSP();
      } catch (const CFatalAcqException&) {
        // The DSP does not stop: the system restarts, but nobody is left waiting for this
        // measurement (readers find the store empty, the aborting thread gets its answer).
        g_TriggerActive = false;
        g_ResultsStore.Clear();
        ReleaseRequester(abortReply, 0);
        throw;
      }
      g_ResultsStore.Clear();
      ReleaseRequester(abortReply, 0);
    }

    // End of a run. A failure while idle (an abort or a stray message) leaves the flow idle: only a
    // run that was under way may continue.
    if (runRequested && g_LastAcqError == 0 && ContinuousInitiation()) continue;
    runRequested = false;
    g_TriggerActive = false;
    SetOperationState(kOperationIdle);
  }
}

int CTorvexHostAcquisition::AcquisitionFlow() {
  g_Logger.Printf("CTorvexHostAcquisition::AcquisitionFlow, Entering\n");
  double frequency = 0.0;
  const double expected = g_ExpectedFrequencyHz;
  // Held until the acquisition ends, whatever happens to the topology meanwhile.
  CPeripheralReference peripheral = AcquisitionSetupFlow(expected, &frequency);
  int result = 0;
  do {
    result = AcquisitionSequenceFlow(peripheral, expected != 0.0, frequency);
    // A sequence without a result (no resonance found) publishes nothing. A reader waiting for a
    // result is answered now that there is none: in continuous mode the next sequence may search as
    // long again, and the reader must not wait through pass after pass while every other client
    // waits behind it.
    if (result == 1) g_ResultsStore.WakeReader();
  } while (ContinuousInitiation());
  if (result == 1) g_ResultsStore.Clear();
  return 0;
}

}  // namespace Torvex
