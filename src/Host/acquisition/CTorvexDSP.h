// CTorvexDSP: the host side of the DSP link (module-wide state, no instances).
//
// It builds request frames in the transmit buffer, moves them to the DSP through the host port, reads
// and checks replies into the receive buffer, and orders requests and replies with a three-state
// machine (FSMDspIf: NotBooted, Ready, AwaitingReply). The setters put values into later requests; the
// getters take values out of the last reply read.
//
// A complete exchange: SendRequest (takes the DSP-interface lock for the calling thread and writes the
// request), wait for the DSP interrupt on GetDeviceName(), ReadMessage with the reply id, the getters,
// ReleaseInterface. Exchange does all of that but the getters and the release for callers that wait on
// their own descriptor with a time-out; when the time-out passes, the unanswered request is abandoned so
// the machine accepts the next request at once.
//
// Locking: the DSP-interface lock (a kernel mutex and its owner thread, no nesting count) serialises the
// threads that talk to the DSP. Every operation that touches the host port (ReadMessage,
// ReadStatusBlock, CopyIntermediateResults, ResetToNotBooted) holds it for its own duration when the
// calling thread does not already hold it, so no two host-port sequences ever interleave. The machine
// state, sequence counter, buffers and module settings are guarded by that lock alone. Lock order: the
// DSP-interface lock, then g_TopologyLock, then g_ParameterTreeLock (the builders read the probe and the
// tree while the interface is held).
//
// Result codes: 0 success; 39 wrong reply id (or an id without length); 40 wrong check word; 41 error
// flag set in the reply; 43 DSP not booted; 47 an event the machine does not allow, an unknown request
// id or any other failure inside the machine; 38 (Exchange only) no DSP interrupt within the time-out;
// otherwise the code of a failed unit conversion while TRIGGER is built. Nothing here throws to its
// caller.
#pragma once

#include <cstdint>

#include "platform/kernel.h"

namespace Torvex {

class CTorvexPeripheral;

enum eDspIfState : int {
  NotBooted = 0,
  Ready = 1,
  AwaitingReply = 2,
};

enum eDspIfEvent : int {
  Write = 0,
  Read = 1,
};

// Result codes of the DSP interface.
enum eDspIfResult : int {
  kDspIfNoReply = 38,
  kDspIfBadReplyId = 39,
  kDspIfBadCheckWord = 40,
  kDspIfErrorFlag = 41,
  kDspIfNotBooted = 43,
  kDspIfNoProbe = 46,
  kDspIfRefused = 47,
};

// DSP memory that the link uses.
inline constexpr cyg_uint32 kDspRequestMailbox = 0xFFE0;
inline constexpr cyg_uint32 kDspReplyMailbox = 0xFFE4;
inline constexpr cyg_uint32 kDspStatusBlockAddress = 0xFFE8;
inline constexpr cyg_uint32 kDspRequestBuffer = 0x90FF0000;
inline constexpr cyg_uint32 kDspReplyBuffer = 0x90FF8000;

// The DSP's status block: activity counter, search progress (low 16 bits), status word, unused.
struct DspStatusBlock {
  std::uint32_t words[4];
};

struct DspInterfaceLock {
  cyg_mutex_t mutex;
  cyg_handle_t owner;  // 0: none; read and written with the scheduler locked
};

// One destination array of CopyIntermediateResults: the words are copied as they come (the record
// reads them as single-precision floats); `count` receives the number delivered.
struct IntermediateBlock {
  float* data;
  std::uint32_t capacity;
  std::uint32_t* count;
};

// The scalars of RETURN_NMR_SIGNAL.
struct IntermediateScalars {
  double ifFrequency;
  double rfFrequency;
  float relaxationTime;
  float samplePeriod;
  float fftResolution;
  float fftNoiseFloor;
  float peakResolution;
  float peakCenterFrequency;
  float fitResidue;
};

// The four blocks of RETURN_NMR_SIGNAL, in reply order.
enum eIntermediateBlock : int {
  kBlockNmrSignal = 0,
  kBlockFft = 1,
  kBlockPeakSpectrum = 2,
  kBlockFitCoefficients = 3,
  kIntermediateBlockCount = 4,
};

class CTorvexDSP {
 public:
  CTorvexDSP() = delete;

  // Exchange.
  static int SendRequest(std::uint32_t requestId);
  static int ReadMessage(std::uint32_t expectedReplyId, std::uint32_t* status);
  static void ReleaseInterface();
  // SendRequest, a wait of at most `timeoutMs` (board milliseconds, ten to a kernel tick) on `eventFd`
  // (the DSP-interrupt device) and ReadMessage of the request's reply. The caller holds the lock
  // afterwards whatever the result and releases it after its getters. On a time-out the request is
  // abandoned (the machine returns to Ready) and the result is 38.
  static int Exchange(std::uint32_t requestId, int eventFd, std::uint32_t timeoutMs, std::uint32_t* status);
  static DspStatusBlock* ReadStatusBlock(DspStatusBlock* out);
  static const char* GetDeviceName() { return "/dev/dsp-int"; }

  // Takes the DSP-interface lock for the calling thread (nothing when it already holds it). The
  // program loader holds it across a load; ReleaseInterface frees it.
  static void TakeInterface();

  // Loads the DSP program (defined by the program loader). It first calls ResetToNotBooted, so the
  // reloaded program's DSP_BOOTED is accepted exactly as at power-up.
  static int LoadDSPCode();
  // Under the DSP-interface lock: the machine state becomes NotBooted. The sequence counter is kept.
  static void ResetToNotBooted();

  // Setters of the module settings carried by later requests.
  static void SetSearchWindow(const double& first, const double& second);
  static void SetSearchConfirm(std::uint8_t flag);
  static void SetTrackingFrequency(double frequency);
  static void SetTriggerOutRequest(std::uint8_t request);

  // Getters of the receive buffer, valid after ReadMessage returned 0 for the reply named.
  static void GetVersions(std::uint16_t* dspMajor, std::uint16_t* dspMinor, std::uint16_t* cpldMajor,
                          std::uint16_t* cpldMinor);  // DSP_BOOTED
  static double GetSearchResult();                    // RETURN_SEARCH_RESULT
  static void GetPwMeasurement(double* flux, int* unit, double* frequency, float* sigma, std::uint32_t* word11,
                               float* uniformity, float* matching, float* tuning,
                               std::uint64_t* timeStamp);  // RETURN_PW_MEASUREMENT
  static void GetTriggerOutState(bool* state);             // RETURN_TRIGGER_OUT
  // RETURN_NMR_SIGNAL: copies each block (at most its destination's capacity) through the host port
  // and fills the scalars.
  static void CopyIntermediateResults(const IntermediateBlock blocks[kIntermediateBlockCount],
                                      IntermediateScalars* scalars);

  // The SampleLength of the peripheral's physical information (0 for one that cannot measure).
  static double GetProbeSampleLength(CTorvexPeripheral* peripheral);
  // measure_parms/sample/length.
  static double GetSampleLengthSetting();

  // Observations (tests and diagnostics).
  static eDspIfState GetState();
  static std::uint32_t GetSequenceCounter();
  static bool HeldByCaller();

  // Frame lengths in bytes, 0 for an unknown id.
  static std::uint32_t RequestLength(std::uint32_t id);
  static std::uint32_t ReplyLength(std::uint32_t id);

 private:
  static int FSMDspIf(eDspIfEvent event, std::uint32_t requestId, std::uint32_t expectedReplyId);
  static int BuildAndWriteMessage(std::uint32_t requestId);
  static int WriteMessage();
  static int DSPRead(std::uint32_t expectedReplyId);
  static void AbandonRequest();

  static int BuildDefaultConfiguration();
  static int BuildProbeConnect();
  static int BuildMeasureParms();
  static int BuildManualMeasurement();
  static int BuildTriggerOut();
  static int BuildTrigger();
  static void BuildSearch();
  static void BuildTracking();
  static void BuildExternalReference();
};

}  // namespace Torvex
