// CTorvexHostAcquisition: the "Host Acquisition Thread" and the acquisition module's public face.
//
// The thread boots the DSP, checks its versions, then serves measurements until something fails
// fatally, after which it starts again from the program load (SystemFlow, TriggerFlow). Other threads
// reach it only through two pipes, the command mailbox (initiate, bus trigger) and the abort mailbox
// (abort, NMR path broken), and a few shared words, all atomics. The flows are class-level operations
// that run on the acquisition thread; the public operations run on their caller's thread.
//
// Files: CTorvexHostAcquisition.cpp (thread body, system flow, DSP exchanges, public operations, the
// unit's static objects), CEventRegister.cpp, and one file per flow family for the trigger, set-up,
// search and sequence flows, the results store, the intermediate results and the result getters.
//
// Answers of the requests that wait (InitiateTrigger, AbortTrigger): the acquisition thread stores the
// answer for the request's semaphore and posts it (ReleaseRequester). A request taken while the
// acquisition restarts is answered 43 (acquisition not started), so no requester waits for ever.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "acquisition/CEventRegister.h"
#include "core/CThread.h"
#include "core/CTorvexChannel.h"
#include "peripherals/CPeripheralReference.h"
#include "platform/kernel.h"

namespace Torvex {

class CParameterNode;
class CScpiStatus;
class CResultsStore;
class CIntermediateResults;

// One measurement as RETURN_PW_MEASUREMENT delivers it (CTorvexDSP::GetPwMeasurement).
struct PwMeasurement {
  double flux = 0.0;          // in the unit of the last TRIGGER
  std::int32_t fluxUnit = 0;  // unit row of the flux
  double frequency = 0.0;     // Hz; 0.0: no resonance measured
  float sigma = 0.0f;
  float uniformity = 0.0f;
  float matching = 0.0f;
  float tuning = 0.0f;
  std::uint64_t timestamp = 0;
};

// Codes of the module (eError values).
enum eAcqCode : std::int32_t {
  kAcqInvalidChannel = 29,
  kAcqNoProbe = 30,
  kAcqTimeout = 38,
  kAcqNotStarted = 43,
  kAcqNoChannel = 46,
  kAcqUnforeseen = 47,
  kAcqNoData = 48,
  kAcqSettingsConflict = 49,
  kAcqNmrPathBroken = 50,
  kAcqTriggerConflict = 51,
};

// Command mailbox message codes.
inline constexpr std::int32_t kPipeMsgInitiate = 1;
inline constexpr std::int32_t kPipeMsgBusTrigger = 2;
// Abort mailbox message codes: 0 abort, any other an acquisition error code.
inline constexpr std::int32_t kAbortMsgAbort = 0;

// Operation states (SetOperationState).
enum eOperationState : int {
  kOperationIdle = 0,
  kOperationSearching = 1,
  kOperationWaitingForTrigger = 2,
  kOperationMeasuring = 3,
};

class CTorvexHostAcquisition : public CThread {
 public:
  // The command message: code, reply semaphore (null for none), two zero words.
  struct PipeMsg {
    std::int32_t code;
    cyg_sem_t* replySemaphore;
    std::uint32_t reserved0;
    std::uint32_t reserved1;
  };
  // The abort message: code, reply semaphore (null for none).
  struct AbortMsg {
    std::int32_t code;
    cyg_sem_t* replySemaphore;
  };

  CTorvexHostAcquisition();
  ~CTorvexHostAcquisition() override = default;

  // --- flows (acquisition thread) ------------------------------------------------------------------
  // One life of the DSP program: load, boot notice, versions, start-up requests, trigger flow. Leaves
  // only by an exception.
  static void SystemFlow();
  // The server loop once the DSP runs; never returns normally.
  static void TriggerFlow();
  // One acquisition: set-up, then sequences; 0.
  static int AcquisitionFlow();
  // The flows hold the peripherals they measure with by CPeripheralReference: a teardown of the
  // topology meanwhile (a rescan) takes them out of the topology but destroys them only when the
  // acquisition lets them go.
  static CPeripheralReference AcquisitionSetupFlow(double expectedHz, double* frequency);
  // The search window is given in tesla: each channel's last frequency is compared with the window
  // converted with that channel's own probe (a failed conversion is a CAcqError).
  static CPeripheralReference FindChannelInWindow(double lowTesla, double highTesla, double* frequency,
                                                  std::uint16_t* index);
  static CPeripheralReference PrepareChannel(std::uint16_t index);
  static double ConfirmFrequency(double frequency);
  static double SearchFlow(CPeripheralReference& peripheral, double lowTesla, double highTesla);
  static double RunDspSearch(double lowHz, double highHz);
  // 0 success, 1 failure.
  static int AcquisitionSequenceFlow(CPeripheralReference& peripheral, bool expectedGiven, double& frequency);
  static double TriggerWaitingFlow(PwMeasurement* measurement);
  static void WaitForBusTrigger();
  static void ExchangeExternalTrigger(PwMeasurement* measurement);
  // Stops whatever the DSP does; two attempts, then CFatalAcqException.
  static void AbortDSP();

  // Stores `answer` as what the requester waiting on `semaphore` returns, then posts it. Null does
  // nothing. The trigger flow calls it with 0 for a taken initiate and for a handled abort; a request
  // drained while the acquisition restarts gets 43.
  static void ReleaseRequester(cyg_sem_t* semaphore, std::int32_t answer);
  // Empties both mailboxes, answering every waiting requester 43 (system flow, each pass).
  static void DrainMailboxes();

  // --- public operations (caller's thread) ---------------------------------------------------------
  static int InitiateTrigger(CScpiStatus* client, const std::vector<CTorvexChannel>* channels, double expected);
  static int AbortTrigger(bool fromUser);
  static int SendBusTrigger();
  static int TriggerOut(bool immediate);
  static int ConfigureExtRef(const std::string& mode);
  static int Reset();
  static int Clear();
  // Forgets `client` as the initiating client when it is the one kept, so a later measurement error is
  // never pushed to a client that no longer exists. The host code calls it when a client goes away.
  static void ForgetClient(CScpiStatus* client);
  // Pushes an error row on the initiating client's status object, if a client is kept.
  static void PushErrorToInitiatingClient(std::uint32_t row);
  static void SetOperationState(int state);

  // Subscribers (parameter-tree callbacks).
  static void NMRPathIsBroken(CParameterNode* node, int kind, void* context);
  static void OnSearchOrReferenceChanged(CParameterNode* node, int kind, void* context);

  // --- results (caller's thread) -------------------------------------------------------------------
  static int GetFlux(std::uint32_t index, double* flux);
  static int GetSigma(std::uint32_t index, float* sigma);
  static int GetUniformity(std::uint32_t index, float* uniformity);
  static int GetTimestamp(std::uint32_t index, std::uint64_t* timestamp);
  static int GetChannel(std::uint32_t index, CTorvexChannel* channel);
  static int GetFluxUnit(std::uint32_t index, std::int32_t* unit);
  static int GetSearchProgress(std::uint16_t* percent);
  static void ReleaseResults();

  static int RetrieveIntermediateResults();
  static int GetNmrSignal(float** data, std::uint16_t count);
  static int GetNmrSignalSamplePeriod(float* period);
  static int GetFftBuffer(float** data, std::uint16_t count);
  static int GetFftBufferResolution(float* resolution);
  static int GetPeakSpectrum(float** data, std::uint16_t count);
  static int GetPeakSpectrumCenterFrequency(float* frequency);
  static int GetPeakSpectrumResolution(float* resolution);
  static int GetFitCoefficients(float** data, std::uint16_t count);
  static int GetFitResidue(float* residue);
  static int GetIfFrequency(double* frequency);
  static int GetRelaxationTime(float* time);
  static int GetRfFrequency(double* frequency);

 protected:
  void ThreadMain() override;
};

// On the host build a pointer is 8 bytes, so the records are wider than the board's 16 and 8 bytes;
// every transfer moves exactly these sizes (whole records, checked at each read and write).
static_assert(sizeof(CTorvexHostAcquisition::PipeMsg) == 8 + sizeof(void*) + (sizeof(void*) == 8 ? 8 : 0));
static_assert(sizeof(CTorvexHostAcquisition::AbortMsg) == 2 * sizeof(void*));

// --- DSP exchanges (acquisition thread; also the parser thread's exchanges) --------------------------
// Request, wait for the DSP interrupt within `timeoutMs` (abortable), read the reply, pass its status
// word on, release the interface. Throws CAcqError (located 38 for no reply in time), the abort or
// NMR-path exception of the wait, and lets CFatalAcqException pass unchanged; any other exception
// becomes CAcqError 47. The DSP interface lock is released on every way out.
void SendDspCommand(std::int32_t request, std::int32_t reply, std::uint16_t timeoutMs);
// Copies the DSP's status word into status rows 44, 45, 46, 65 and the two reference-clock nodes.
void ProcessDspStatus(std::uint32_t status);

// --- module start (main) ---------------------------------------------------------------------------
// Opens the devices of the module that are not open yet (see CRegistrableObject); StartAcquisitionModule
// calls it before the thread runs.
void OpenAcquisitionDevices();
void StartAcquisitionModule();
// Ends a started acquisition thread at its next wait (program exit; the unit's own teardown calls it).
// Returns once the thread has left, or after about two seconds.
void StopAcquisitionModule();
// Thrown by the acquisition thread's waits once StopAcquisitionModule was called; only the thread body
// catches it.
struct CAcquisitionStopped {};
// True on the acquisition thread once StopAcquisitionModule was called.
bool AcquisitionStopRequested();
bool WaitForDspStarted(std::uint16_t timeoutMs, bool* dspVersionAccepted, bool* startupChecksPassed);
bool WaitForAcqStarted(std::uint16_t timeoutMs);
void ResetMeasurementDefaults();

// --- the unit's static objects, in construction order ------------------------------------------------
extern cyg_sem_t g_DspStartedSemaphore;
extern cyg_sem_t g_AcqStartedSemaphore;
extern CTorvexHostAcquisition g_HostAcquisition;
extern CMailBox<CTorvexHostAcquisition::AbortMsg> g_AbortMailBox;   // "/dev/pipeHostAcqAbort"
extern CMailBox<CTorvexHostAcquisition::PipeMsg> g_CommandMailBox;  // "/dev/pipeHostAcqMsg"
extern CDspIntr g_DspIntr;                                          // CTorvexDSP::GetDeviceName()
extern std::vector<CTorvexChannel> g_AcqChannelList;                // written only while no measurement is active
extern cyg_mutex_t g_SearchProgressMutex;
extern std::uint16_t g_SearchProgress;  // under g_SearchProgressMutex
extern CIntermediateResults g_IntermediateResults;
extern CResultsStore g_ResultsStore;  // 3 buffers

// Shared words.
extern std::atomic<bool> g_AcqStarted;              // set once the versions are accepted; never cleared
extern std::atomic<bool> g_AcqStartupChecksPassed;  // with g_AcqStarted
extern std::atomic<bool> g_DspVersionAccepted;      // the DSP version passed (before the CPLD check)
// True while the trigger flow serves requests; false from the start of each system-flow pass until
// the trigger flow is entered again. Requests made while it is false answer 43.
extern std::atomic<bool> g_AcqServing;
extern std::atomic<bool> g_TriggerActive;         // a measurement (maybe waiting for triggers) runs
extern std::atomic<std::int32_t> g_LastAcqError;  // code of the error that ended the last measurement
extern std::atomic<CScpiStatus*> g_InitiatingClientStatus;
extern std::atomic<double> g_ExpectedFrequencyHz;  // 0.0: no expected value

}  // namespace Torvex
