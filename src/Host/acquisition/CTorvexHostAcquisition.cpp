// The acquisition thread's body and system flow, the DSP command exchanges, the module's public
// operations and the unit's static objects (see CTorvexHostAcquisition.h).
#include "acquisition/CTorvexHostAcquisition.h"

#include <sys/select.h>

#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>

#include "acquisition/AcqFlowSupport.h"
#include "acquisition/CEventRegister.h"
#include "acquisition/CIntermediateResults.h"
#include "acquisition/CResultsStore.h"
#include "acquisition/CTorvexDSP.h"
#include "acquisition/CTorvexException.h"
#include "acquisition/DspProtocol.h"
#include "core/CLogger.h"
#include "core/CRecursiveMutex.h"
#include "drivers/dsp_hpi.h"
#include "peripherals/UnitConversion.h"
#include "platform/io.h"
#include "status/CScpiStatus.h"
#include "status/ScpiStatusBitRows.h"
#include "system/CTorvexPower.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {

// --- the unit's static objects, in construction order ---------------------------------------------------

namespace {

// The reply semaphores of the two requests that wait, and the answer each requester returns.
cyg_sem_t s_InitiateSemaphore;
cyg_sem_t s_AbortSemaphore;
std::atomic<std::int32_t> s_InitiateAnswer{0};
std::atomic<std::int32_t> s_AbortAnswer{0};

// Stop of the thread (program exit) and its end.
std::atomic<bool> s_Stopping{false};
std::atomic<bool> s_ThreadStarted{false};
cyg_sem_t s_ThreadEnded;

// Seen flags of the two start-up waits.
std::atomic<bool> s_DspStartedSeen{false};
std::atomic<bool> s_AcqStartedSeen{false};

struct UnitSemaphores {
  UnitSemaphores() {
    cyg_semaphore_init(&g_DspStartedSemaphore, 0);
    cyg_semaphore_init(&g_AcqStartedSemaphore, 0);
    cyg_semaphore_init(&s_InitiateSemaphore, 0);
    cyg_semaphore_init(&s_AbortSemaphore, 0);
    cyg_semaphore_init(&s_ThreadEnded, 0);
    cyg_mutex_init(&g_SearchProgressMutex);
  }
  // The semaphores and the mutex are not destroyed: a requester may still wait on one while the
  // program exits.
};

}  // namespace

cyg_sem_t g_DspStartedSemaphore;
cyg_sem_t g_AcqStartedSemaphore;
cyg_mutex_t g_SearchProgressMutex;
namespace {
UnitSemaphores s_UnitSemaphores;
}  // namespace

CTorvexHostAcquisition g_HostAcquisition;
CMailBox<CTorvexHostAcquisition::AbortMsg> g_AbortMailBox("/dev/pipeHostAcqAbort");
CMailBox<CTorvexHostAcquisition::PipeMsg> g_CommandMailBox("/dev/pipeHostAcqMsg");
CDspIntr g_DspIntr(CTorvexDSP::GetDeviceName());
std::vector<CTorvexChannel> g_AcqChannelList;
std::uint16_t g_SearchProgress = 0;
CIntermediateResults g_IntermediateResults;
CResultsStore g_ResultsStore(3);

std::atomic<bool> g_AcqStarted{false};
std::atomic<bool> g_AcqStartupChecksPassed{false};
std::atomic<bool> g_DspVersionAccepted{false};
std::atomic<bool> g_AcqServing{false};
std::atomic<bool> g_TriggerActive{false};
std::atomic<std::int32_t> g_LastAcqError{0};
std::atomic<CScpiStatus*> g_InitiatingClientStatus{nullptr};
// Held while the initiating client is replaced, forgotten or given an error, so that a client being
// destroyed is never reached after ForgetClient returns.
static std::mutex g_InitiatingClientLock;
std::atomic<double> g_ExpectedFrequencyHz{0.0};

namespace {

// Built last, torn down first: a started thread is stopped while the mailboxes it waits on are open.
struct UnitTeardown {
  ~UnitTeardown() { StopAcquisitionModule(); }
};
UnitTeardown s_UnitTeardown;

// Accepted versions, lowest and highest (major, minor).
struct Version {
  std::uint16_t major;
  std::uint16_t minor;
};
constexpr Version kDspLowest{2, 4};
constexpr Version kDspHighest{2, 4};
constexpr Version kCpldLowest{1, 8};
constexpr Version kCpldHighest{1, 8};

bool Below(std::uint16_t major, std::uint16_t minor, Version limit) {
  return major < limit.major || (major == limit.major && minor < limit.minor);
}
bool Above(std::uint16_t major, std::uint16_t minor, Version limit) {
  return major > limit.major || (major == limit.major && minor > limit.minor);
}
bool Accepted(std::uint16_t major, std::uint16_t minor, Version lowest, Version highest) {
  return !Below(major, minor, lowest) && !Above(major, minor, highest);
}

void SetVersionNode(CParameterNode* node, std::uint16_t major, std::uint16_t minor) {
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d", static_cast<int>(major), static_cast<int>(minor));
  if (node != nullptr) node->SetStringAttribute(eAttrValue, text);
}

// The wait functions take a signed 16-bit time-out; longer unsigned ones are waited as the longest.
std::int16_t WaitMs(std::uint16_t timeoutMs) {
  return static_cast<std::int16_t>(timeoutMs > 32767 ? 32767 : timeoutMs);
}

}  // namespace

void acqflow::BeginDspExchange() {
  CTorvexDSP::TakeInterface();
  dsp_hpi_ack_host_interrupt();
  const int fd = g_DspIntr.Descriptor();
  if (fd < 0) return;
  // Each select that finds the device readable consumes one counted event; a bounded number of
  // polls, so a device that stays readable cannot hold the thread here.
  for (int k = 0; k < 16; ++k) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval none{0, 0};
    if (platform::select(fd + 1, &readable, nullptr, nullptr, &none) != 1) break;
  }
}

namespace {

using acqflow::ReadBooleanNode;
using acqflow::ReadStringNode;

// Requests that talk to the acquisition thread or the DSP: refused while the acquisition has not
// started, and while it restarts (its mailboxes are drained then and the DSP is being reloaded).
bool Serving() { return g_AcqStarted.load() && g_AcqServing.load(); }

// One exchange of the parser thread (trigger output, external reference): request, 500 ms wait,
// reply. The caller holds the interface afterwards; a failure is thrown as its eError.
std::uint32_t ParserExchange(std::uint32_t request) {
  acqflow::BeginDspExchange();
  if (CTorvexDSP::SendRequest(request) != 0) throw eError(kAcqTimeout);
  if (CEventRegister::WaitForEvent(kAcqSourceDsp, 500, false) != kAcqEventDsp) throw eError(kAcqTimeout);
  std::uint32_t status = 0;
  if (CTorvexDSP::ReadMessage(DspReplyId(request), &status) != 0) throw eError(kAcqTimeout);
  ProcessDspStatus(status);
  return status;
}

// Runs a parser-thread operation that talks to the DSP: the interface is released on every way out,
// and a refusal becomes its code.
template <typename Body>
int WithParserExchange(Body body) {
  try {
    body();
    CTorvexDSP::ReleaseInterface();
    return 0;
  } catch (const eError& code) {
    CTorvexDSP::ReleaseInterface();
    return code;
  } catch (...) {
    g_Logger.Printf("%s", ("Unforeseen exception at: " + TORVEX_LOCATION + "\n").c_str());
    CTorvexDSP::ReleaseInterface();
    return kAcqUnforeseen;
  }
}

}  // namespace

// --- thread ------------------------------------------------------------------------------------------------

CTorvexHostAcquisition::CTorvexHostAcquisition() : CThread(kHostAcquisitionThread) {}

void CTorvexHostAcquisition::ThreadMain() {
  struct EndSignal {
    ~EndSignal() { cyg_semaphore_post(&s_ThreadEnded); }
  } end_signal;

  try {
    g_IntermediateResults.AllocateArrays();
    std::int32_t capacity = 0;
    if (g_node_results_flux_size != nullptr) {
      CRecursiveLockGuard tree(g_ParameterTreeLock);
      capacity = g_node_results_flux_size->GetInt32Attribute(eAttrMaximum);
    }
    // A tree whose maximum is not positive still gives room for one result.
    g_ResultsStore.AllocateArrays(capacity > 0 ? static_cast<std::uint32_t>(capacity) : 1u);
    if (!g_AbortMailBox.IsOpened()) throw CFatalAcqException(TORVEX_LOCATION);
    if (!g_CommandMailBox.IsOpened()) throw CFatalAcqException(TORVEX_LOCATION);
    if (!g_DspIntr.IsOpened()) throw CFatalAcqException(TORVEX_LOCATION);
    if (g_node_current_probe_nmr_path_broken != nullptr)
      g_node_current_probe_nmr_path_broken->Subscribe(&NMRPathIsBroken, nullptr);
    for (CParameterNode* node :
         {g_node_measure_parms_search_mode, g_node_ref_clock_external_detected, g_node_ref_clock_external_locked}) {
      if (node != nullptr) node->Subscribe(&OnSearchOrReferenceChanged, nullptr);
    }
  } catch (const CFatalAcqException& fatal) {
    g_Logger.Printf("CTorvexHostAcquisition::ThreadMain: %s =>Fatal exception, Leaving Acquisition...\n", fatal.what());
    CTorvexPower::RequestShutdown(eRequestReset);
    return;
  } catch (...) {
    const std::string text = "Unforeseen exception at: " + TORVEX_LOCATION + "\n";
    g_Logger.Printf("CTorvexHostAcquisition::ThreadMain: %s =>Leaving Acquisition...\n", text.c_str());
    CTorvexPower::RequestShutdown(eRequestReset);
    return;
  }

  while (!s_Stopping.load()) {
    try {
      SystemFlow();
    } catch (const CFatalAcqException& fatal) {
      if (s_Stopping.load()) break;
      g_Logger.Printf("CTorvexHostAcquisition::ThreadMain: %s =>Fatal exception, Restarting Acquisition System...\n",
                      fatal.what());
    } catch (const CAcquisitionStopped&) {
      break;
    } catch (...) {
      const std::string text = "Unforeseen exception at: " + TORVEX_LOCATION + "\n";
      g_Logger.Printf("CTorvexHostAcquisition::ThreadMain: %s =>Leaving Acquisition...\n", text.c_str());
      CTorvexPower::RequestShutdown(eRequestReset);
      break;
    }
  }
  g_AcqServing = false;
}

void CTorvexHostAcquisition::SystemFlow() {
  g_Logger.Printf("CTorvexHostAcquisition::SystemFlow, Entering\n");
  // A new life of the DSP program: nothing of the last one may keep anybody waiting. Readers of the
  // results are woken, and requests still in the mailboxes are answered "not started".
  g_AcqServing = false;
  g_TriggerActive = false;
  g_ResultsStore.Clear();
  DrainMailboxes();

  if (CTorvexDSP::LoadDSPCode() != 0) throw CFatalAcqException(TORVEX_LOCATION);
  if (CEventRegister::WaitForEvent(kAcqSourceDsp, 1000, false) != kAcqEventDsp)
    throw CFatalAcqException(TORVEX_LOCATION);
  std::uint32_t status = 0;
  if (CTorvexDSP::ReadMessage(kDspBooted, &status) != 0) throw CFatalAcqException(TORVEX_LOCATION);
  ProcessDspStatus(status);

  std::uint16_t dspMajor = 0, dspMinor = 0, cpldMajor = 0, cpldMinor = 0;
  CTorvexDSP::GetVersions(&dspMajor, &dspMinor, &cpldMajor, &cpldMinor);
  SetVersionNode(g_node_system_versions_dsp_firmware, dspMajor, dspMinor);
  if (!Accepted(dspMajor, dspMinor, kDspLowest, kDspHighest)) throw CFatalAcqException(TORVEX_LOCATION);
  g_DspVersionAccepted = true;
  SetVersionNode(g_node_system_versions_cpld, cpldMajor, cpldMinor);
  if (!Accepted(cpldMajor, cpldMinor, kCpldLowest, kCpldHighest)) throw CFatalAcqException(TORVEX_LOCATION);
  g_AcqStarted = true;
  g_AcqStartupChecksPassed = true;
  cyg_semaphore_post(&g_DspStartedSemaphore);

  try {
    SendDspCommand(kDspPwDefaultConfiguration, DspReplyId(kDspPwDefaultConfiguration), 500);
    SendDspCommand(kDspExternalReference, DspReplyId(kDspExternalReference), 800);
    SendDspCommand(kDspTriggerOut, DspReplyId(kDspTriggerOut), 500);
  } catch (const CAcqException& exception) {
    g_Logger.Printf("CTorvexHostAcquisition::SystemFlow:Acq exception: %s\n", exception.what());
    if (exception.IsError()) g_Logger.Printf("Error %d\n", static_cast<const CAcqError&>(exception).m_Code);
    // An abort that arrives here is taken by the restart: its requester is answered, not left waiting.
    if (exception.IsAbort())
      ReleaseRequester(static_cast<const CAbortException&>(exception).m_ReplySemaphore, kAcqNotStarted);
    throw CFatalAcqException(TORVEX_LOCATION);
  }

  TriggerFlow();
}

void CTorvexHostAcquisition::ReleaseRequester(cyg_sem_t* semaphore, std::int32_t answer) {
  if (semaphore == nullptr) return;
  if (semaphore == &s_InitiateSemaphore) s_InitiateAnswer = answer;
  if (semaphore == &s_AbortSemaphore) s_AbortAnswer = answer;
  cyg_semaphore_post(semaphore);
}

void CTorvexHostAcquisition::DrainMailboxes() {
  PipeMsg command{};
  while (g_CommandMailBox.TryReceive(&command)) ReleaseRequester(command.replySemaphore, kAcqNotStarted);
  AbortMsg abort{};
  while (g_AbortMailBox.TryReceive(&abort)) ReleaseRequester(abort.replySemaphore, kAcqNotStarted);
}

// --- DSP exchanges -----------------------------------------------------------------------------------------

void SendDspCommand(std::int32_t request, std::int32_t reply, std::uint16_t timeoutMs) {
  try {
    acqflow::BeginDspExchange();
    const int sent = CTorvexDSP::SendRequest(static_cast<std::uint32_t>(request));
    if (sent != 0) throw CAcqError(sent);
    if (CEventRegister::WaitForEvent(kAcqSourceDsp, WaitMs(timeoutMs), true) != kAcqEventDsp)
      throw CAcqError(TORVEX_LOCATION, kAcqTimeout);
    std::uint32_t status = 0;
    const int read = CTorvexDSP::ReadMessage(static_cast<std::uint32_t>(reply), &status);
    if (read != 0) throw CAcqError(read);
    ProcessDspStatus(status);
    CTorvexDSP::ReleaseInterface();
  } catch (const CAcqException&) {
    CTorvexDSP::ReleaseInterface();
    throw;
  } catch (const CFatalAcqException&) {
    // A fatal failure stays fatal: the whole system restarts, not only the measurement.
    CTorvexDSP::ReleaseInterface();
    throw;
  } catch (const CAcquisitionStopped&) {
    CTorvexDSP::ReleaseInterface();
    throw;
  } catch (...) {
    g_Logger.Printf("%s", ("Unforeseen exception at: " + TORVEX_LOCATION + "\n").c_str());
    CTorvexDSP::ReleaseInterface();
    throw CAcqError(kAcqUnforeseen);
  }
}

void CTorvexHostAcquisition::AbortDSP() {
  g_Logger.Printf("CTorvexHostAcquisition::AbortDSP: Aborting ...\n");
  int attemptsLeft = 1;
  for (;;) {
    try {
      acqflow::BeginDspExchange();
      if (CTorvexDSP::SendRequest(kDspAbort) != 0) throw CFatalAcqException(TORVEX_LOCATION);
      if (CEventRegister::WaitForEvent(kAcqSourceDsp, 1000, false) != kAcqEventDsp)
        throw CFatalAcqException(TORVEX_LOCATION);
      std::uint32_t status = 0;
      if (CTorvexDSP::ReadMessage(DspReplyId(kDspAbort), &status) != 0) throw CFatalAcqException(TORVEX_LOCATION);
      ProcessDspStatus(status);
      CTorvexDSP::ReleaseInterface();
      return;
    } catch (const CFatalAcqException&) {
      CTorvexDSP::ReleaseInterface();
      if (attemptsLeft-- > 0) continue;
      throw;
    } catch (...) {
      CTorvexDSP::ReleaseInterface();
      throw;
    }
  }
}

void ProcessDspStatus(std::uint32_t status) {
  CScpiStatus::SetDeviceBitRow(kStatusRowExternalClockDetected, (status & 0x1u) != 0, true);
  CScpiStatus::SetDeviceBitRow(kStatusRowExternalClockLocked, (status & 0x2u) != 0, true);
  CScpiStatus::SetDeviceBitRow(kStatusRowDspStatusBit19, (status & 0x80000u) != 0, true);
  CScpiStatus::SetDeviceBitRow(kStatusRowDspStatusBit20Or21, (status & 0x300000u) != 0, false);
  // Each set notifies the node's subscribers only when the value changes, after the tree lock is
  // released.
  if (g_node_ref_clock_external_detected != nullptr)
    g_node_ref_clock_external_detected->SetBooleanAttribute(eAttrValue, (status & 0x1u) != 0);
  if (g_node_ref_clock_external_locked != nullptr)
    g_node_ref_clock_external_locked->SetBooleanAttribute(eAttrValue, (status & 0x2u) != 0);
}

// --- module start ------------------------------------------------------------------------------------------

void OpenAcquisitionDevices() {
  g_AbortMailBox.Open();
  g_CommandMailBox.Open();
  g_DspIntr.Open();
}

void StartAcquisitionModule() {
  OpenAcquisitionDevices();
  bool expected = false;
  if (!s_ThreadStarted.compare_exchange_strong(expected, true)) return;  // started once only
  g_HostAcquisition.Start();
}

bool AcquisitionStopRequested() { return s_Stopping.load() && cyg_thread_self() == g_HostAcquisition.Handle(); }

void StopAcquisitionModule() {
  if (!s_ThreadStarted.load()) return;
  if (s_Stopping.exchange(true)) return;
  // Wakes an abortable wait at once; the other waits end within their time-outs.
  g_AbortMailBox.Send(CTorvexHostAcquisition::AbortMsg{kAbortMsgAbort, nullptr});
  cyg_semaphore_timed_wait(&s_ThreadEnded, cyg_current_time() + platform::kernel::MillisecondsToTicks(2000));
}

bool WaitForDspStarted(std::uint16_t timeoutMs, bool* dspVersionAccepted, bool* startupChecksPassed) {
  if (!s_DspStartedSeen.load()) {
    if (!cyg_semaphore_timed_wait(&g_DspStartedSemaphore, cyg_current_time() + timeoutMs / 10)) return false;
    g_Logger.Printf("WaitForDspStarted: Started!\n");
    s_DspStartedSeen = true;
  }
  if (dspVersionAccepted != nullptr) *dspVersionAccepted = g_DspVersionAccepted.load();
  if (startupChecksPassed != nullptr) *startupChecksPassed = g_AcqStartupChecksPassed.load();
  return true;
}

bool WaitForAcqStarted(std::uint16_t timeoutMs) {
  if (!s_AcqStartedSeen.load()) {
    if (!cyg_semaphore_timed_wait(&g_AcqStartedSemaphore, cyg_current_time() + timeoutMs / 10)) return false;
    g_Logger.Printf("WaitForAcqStarted: Started!\n");
    s_AcqStartedSeen = true;
  }
  return true;
}

// --- public operations -------------------------------------------------------------------------------------

int CTorvexHostAcquisition::InitiateTrigger(CScpiStatus* client, const std::vector<CTorvexChannel>* channels,
                                            double expected) {
  g_Logger.Printf("CTorvexHostAcquisition::InitiateTrigger()\n");
  if (!Serving()) return kAcqNotStarted;
  {
    std::lock_guard<std::mutex> g(g_InitiatingClientLock);
    g_InitiatingClientStatus = client;
  }
  if (g_TriggerActive.load()) {
    g_Logger.Printf("CTorvexHostAcquisition::Error:Trigger already activated.\n");
    return kAcqSettingsConflict;
  }
  if (ReadBooleanNode(g_node_current_probe_nmr_path_broken)) {
    g_Logger.Printf("CTorvexHostAcquisition::Error:NMR path is broken.\n");
    throw eError(kAcqNmrPathBroken);
  }
  if (channels == nullptr || channels->empty()) {
    g_Logger.Printf("CTorvexHostAcquisition::Error:no probe selected.\n");
    throw eError(kAcqNoChannel);
  }
  g_ResultsStore.Clear();
  g_IntermediateResults.Invalidate();
  cyg_mutex_lock(&g_SearchProgressMutex);
  g_SearchProgress = 0;
  cyg_mutex_unlock(&g_SearchProgressMutex);
  CScpiStatus::SetDeviceBitRow(kStatusRowMeasurementFailed, false, false);
  SetOperationState(kOperationIdle);
  g_AcqChannelList = *channels;
  g_LastAcqError = 0;

  // No expected value stays none: converting 0 from a unit with an offset, or without a probe to
  // give the ratio, would turn "none" into a value or a refusal.
  double hz = 0.0;
  if (expected != 0.0) {
    const eUnit unit = FindUnit(ReadStringNode(g_node_units_parms_selected));
    hz = expected;
    if (unit == kUnitInvalid || ConvertUnits(hz, unit, 14, 0.0) != kUnitOk || !std::isfinite(hz))
      return kAcqSettingsConflict;
  }
  g_ExpectedFrequencyHz = hz;

  while (cyg_semaphore_trywait(&s_InitiateSemaphore)) {
  }
  s_InitiateAnswer = kAcqNotStarted;
  if (!g_CommandMailBox.Send(PipeMsg{kPipeMsgInitiate, &s_InitiateSemaphore, 0, 0})) return kAcqNotStarted;
  cyg_semaphore_wait(&s_InitiateSemaphore);
  // The trigger flow set the trigger-active flag before it released this thread.
  return s_InitiateAnswer.load();
}

int CTorvexHostAcquisition::AbortTrigger(bool fromUser) {
  g_Logger.Printf("CTorvexHostAcquisition::AbortTrigger()\n");
  if (!Serving()) return kAcqNotStarted;
  if (fromUser && ReadBooleanNode(g_node_trigger_parms_trigger_in_continuous))
    g_node_trigger_parms_trigger_in_continuous->SetBooleanAttribute(eAttrValue, false);
  while (cyg_semaphore_trywait(&s_AbortSemaphore)) {
  }
  s_AbortAnswer = kAcqNotStarted;
  if (!g_AbortMailBox.Send(AbortMsg{kAbortMsgAbort, &s_AbortSemaphore})) return kAcqNotStarted;
  cyg_semaphore_wait(&s_AbortSemaphore);
  return s_AbortAnswer.load();
}

int CTorvexHostAcquisition::SendBusTrigger() {
  g_Logger.Printf("CTorvexHostAcquisition::SendBusTrigger()\n");
  if (!Serving()) return kAcqNotStarted;
  if (!g_TriggerActive.load()) return kAcqTriggerConflict;
  if (ReadStringNode(g_node_trigger_parms_trigger_in_source) != "BUS") return kAcqTriggerConflict;
  if (!g_CommandMailBox.Send(PipeMsg{kPipeMsgBusTrigger, nullptr, 0, 0})) return kAcqNotStarted;
  return 0;
}

int CTorvexHostAcquisition::TriggerOut(bool immediate) {
  g_Logger.Printf("CTorvexHostAcquisition::TriggerOut()\n");
  if (!Serving()) return kAcqNotStarted;
  if (g_TriggerActive.load()) return kAcqTriggerConflict;
  return WithParserExchange([immediate] {
    CTorvexDSP::SetTriggerOutRequest(immediate ? 1 : 0);
    ParserExchange(kDspTriggerOut);
    bool state = false;
    CTorvexDSP::GetTriggerOutState(&state);
    if (state != ReadBooleanNode(g_node_trigger_parms_trigger_out_state)) throw eError(kAcqTriggerConflict);
  });
}

int CTorvexHostAcquisition::ConfigureExtRef(const std::string& mode) {
  g_Logger.Printf("CTorvexHostAcquisition::ConfigureExtRef()\n");
  if (!Serving()) return kAcqNotStarted;
  if (g_TriggerActive.load()) return kAcqTriggerConflict;
  return WithParserExchange([&mode] {
    if (g_node_ref_clock_parms_mode != nullptr) g_node_ref_clock_parms_mode->SetStringAttribute(eAttrValue, mode);
    ParserExchange(kDspExternalReference);
  });
}

int CTorvexHostAcquisition::Reset() {
  g_Logger.Printf("CTorvexHostAcquisition::Reset()\n");
  if (!g_AcqStarted.load()) return kAcqNotStarted;
  (void)AbortTrigger(true);
  ResetMeasurementDefaults();
  g_ResultsStore.Clear();
  g_IntermediateResults.Invalidate();
  g_LastAcqError = 0;
  return 0;
}

int CTorvexHostAcquisition::Clear() {
  g_Logger.Printf("CTorvexHostAcquisition::Clear()\n");
  if (!g_AcqStarted.load()) return kAcqNotStarted;
  g_ResultsStore.Clear();
  return 0;
}

void CTorvexHostAcquisition::ForgetClient(CScpiStatus* client) {
  if (client == nullptr) return;
  std::lock_guard<std::mutex> g(g_InitiatingClientLock);
  if (g_InitiatingClientStatus.load() == client) g_InitiatingClientStatus = nullptr;
}

void CTorvexHostAcquisition::PushErrorToInitiatingClient(std::uint32_t row) {
  std::lock_guard<std::mutex> g(g_InitiatingClientLock);
  if (CScpiStatus* client = g_InitiatingClientStatus.load()) client->PushError(row, false);
}

void CTorvexHostAcquisition::SetOperationState(int state) {
  bool searching = false, measuring = false, waiting = false;
  switch (state) {
    case kOperationIdle: break;
    case kOperationSearching: searching = true; break;
    case kOperationWaitingForTrigger:
      measuring = true;
      waiting = true;
      break;
    case kOperationMeasuring: measuring = true; break;
    default: return;
  }
  CScpiStatus::SetDeviceBitRow(kStatusRowSearching, searching, true);
  CScpiStatus::SetDeviceBitRow(kStatusRowMeasuring, measuring, true);
  CScpiStatus::SetDeviceBitRow(kStatusRowWaitingForTrigger, waiting, false);
}

void CTorvexHostAcquisition::NMRPathIsBroken(CParameterNode* node, int kind, void* /*context*/) {
  if (kind != eAttrValue || node == nullptr) return;
  if (!ReadBooleanNode(node)) return;
  g_Logger.Printf("CTorvexHostAcquisition::NMRPathIsBroken()\n");
  g_AbortMailBox.Send(AbortMsg{kAcqNmrPathBroken, nullptr});
}

void ResetMeasurementDefaults() {
  CParameterNode* const nodes[] = {
      g_node_measure_parms_sample_mode,
      g_node_measure_parms_sample_length,
      g_node_measure_parms_sample_offset,
      g_node_measure_parms_sample_rate,
      g_node_measure_parms_measurement_reject,
      g_node_measure_parms_measurement_level,
      g_node_measure_parms_measurement_points,
      g_node_measure_parms_measurement_bandwidth,
      g_node_measure_parms_pulse_mode,
      g_node_measure_parms_pulse_width,
      g_node_measure_parms_averaging_signal_active,
      g_node_measure_parms_averaging_signal_count,
      g_node_measure_parms_averaging_signal_type,
      g_node_measure_parms_averaging_measurement_active,
      g_node_measure_parms_averaging_measurement_count,
      g_node_measure_parms_averaging_measurement_type,
      g_node_measure_parms_tracking_min_freq,
      g_node_measure_parms_tracking_max_freq,
      g_node_measure_parms_tracking_hysteresis,
      g_node_measure_parms_search_mode,
      g_node_measure_parms_search_low,
      g_node_measure_parms_search_high,
      g_node_measure_parms_search_fstep,
      g_node_trigger_parms_trigger_in_timer,
      g_node_trigger_parms_trigger_in_slope,
      g_node_trigger_parms_trigger_in_source,
      g_node_measure_parms_probe_matching_tuning_mode,
      g_node_trigger_parms_trigger_in_continuous,
  };
  for (CParameterNode* node : nodes) {
    if (node == nullptr) continue;
    switch (node->Type()) {
      case eNodeType::Boolean: node->SetBooleanAttribute(eAttrValue, node->GetBooleanAttribute(eAttrDefault)); break;
      case eNodeType::String: node->SetStringAttribute(eAttrValue, node->GetStringAttribute(eAttrDefault)); break;
      case eNodeType::Int32: node->SetInt32Attribute(eAttrValue, node->GetInt32Attribute(eAttrDefault)); break;
      case eNodeType::Float64: node->SetFloat64Attribute(eAttrValue, node->GetFloat64Attribute(eAttrDefault)); break;
      default: break;
    }
  }
}

}  // namespace Torvex
