#include "acquisition/CTorvexDSP.h"

#include <sys/select.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>

#include "acquisition/CTorvexException.h"
#include "acquisition/DspProtocol.h"
#include "core/CLogger.h"
#include "core/CRecursiveMutex.h"
#include "drivers/dsp_hpi.h"
#include "peripherals/CTorvexPwMeasuringPeripheral.h"
#include "peripherals/UnitConversion.h"
#include "platform/io.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/TopologyLock.h"

namespace Torvex {
namespace {

// The two frame buffers, zeroed from the start so that a getter called before any reply (or a padding
// word the host leaves unset) never carries stale memory.
std::uint32_t s_Transmit[kDspMaxFrameWords] = {};
std::uint32_t s_Receive[kDspMaxFrameWords] = {};

std::uint32_t s_Sequence = 0;
eDspIfState s_State = NotBooted;
DspStatusBlock s_LastStatus = {};

// The lock's mutex is made before main runs. It is never destroyed: a thread may still reach the DSP
// interface while the program exits.
struct InterfaceLockHolder {
  InterfaceLockHolder() {
    cyg_mutex_init(&lock.mutex);
    lock.owner = 0;
  }
  DspInterfaceLock lock;
};
InterfaceLockHolder s_Interface;

// Module settings. The parser thread may store one while the acquisition thread builds a request, so
// they are atomics; each is read once per frame.
std::atomic<double> s_SearchFirst{0.0};
std::atomic<double> s_SearchSecond{0.0};
std::atomic<std::uint8_t> s_SearchConfirm{0};
std::atomic<double> s_TrackingFrequency{0.0};
std::atomic<std::uint8_t> s_TriggerOutRequest{0};
int s_TriggerUnit = 0;  // under the interface lock

const CDSPIFException kUnforeseenEvent("The DSP Interface has received an unforeseen event.\n");
const CDSPNotBootedException kNotBooted("The DSP Interface has been asked to perform an operation while not booted.\n");

bool CallerOwnsInterface() {
  const cyg_handle_t self = cyg_thread_self();
  cyg_scheduler_lock();
  const bool owns = s_Interface.lock.owner == self;
  cyg_scheduler_unlock();
  return owns;
}

// Frees the lock when the calling thread holds it; no yield.
void FreeInterface() {
  const cyg_handle_t self = cyg_thread_self();
  cyg_scheduler_lock();
  const bool owns = s_Interface.lock.owner == self;
  if (owns) s_Interface.lock.owner = 0;
  cyg_scheduler_unlock();
  if (owns) cyg_mutex_unlock(&s_Interface.lock.mutex);
}

// Takes the lock unless the caller holds it; false when the wait was broken.
bool TakeForCaller() {
  if (CallerOwnsInterface()) return true;
  if (!cyg_mutex_lock(&s_Interface.lock.mutex)) return false;
  const cyg_handle_t self = cyg_thread_self();
  cyg_scheduler_lock();
  s_Interface.lock.owner = self;
  cyg_scheduler_unlock();
  return true;
}

// Holds the interface for one host-port sequence of an operation that does not take the lock for
// its caller: takes it when the caller does not hold it already and gives back only what it took.
class InterfaceHold {
 public:
  InterfaceHold() : m_Took(!CallerOwnsInterface() && TakeForCaller()) {}
  ~InterfaceHold() {
    if (m_Took) FreeInterface();
  }
  InterfaceHold(const InterfaceHold&) = delete;
  InterfaceHold& operator=(const InterfaceHold&) = delete;

 private:
  bool m_Took;
};

// A bound node, or an exception (the machine turns it into 47).
CParameterNode& Node(CParameterNode* node, const char* path) {
  if (node == nullptr) throw CTorvexException(std::string("node not bound: ") + path);
  return *node;
}
#define TORVEX_NODE(name) Node(g_node_##name, #name)

double F64(CParameterNode& node, int attribute = eAttrValue) { return node.GetFloat64Attribute(attribute); }
std::uint32_t I32(CParameterNode& node, int attribute = eAttrValue) {
  return static_cast<std::uint32_t>(node.GetInt32Attribute(attribute));
}
std::uint32_t Flag(CParameterNode& node, int attribute = eAttrValue) {
  return node.GetBooleanAttribute(attribute) ? 1u : 0u;
}
std::uint32_t Equals(CParameterNode& node, const char* text) {
  return node.GetStringAttribute(eAttrValue) == text ? 1u : 0u;
}
std::uint32_t Choice(CParameterNode& node, std::initializer_list<std::pair<const char*, std::uint32_t>> map) {
  const std::string value = node.GetStringAttribute(eAttrValue);
  for (const auto& [text, code] : map) {
    if (value == text) return code;
  }
  return 0;
}

// A field in tesla as the current probe's resonance frequency in hertz. A conversion that fails (no
// probe selected, unusable ratio) gives 0 Hz, never the field itself taken as a frequency.
double TeslaToHertz(double tesla, const char* what) {
  double value = tesla;
  const int result = ConvertUnits(value, kUnitTesla, kUnitHertz, 0.0);
  if (result != kUnitOk) {
    g_Logger.Printf("CTorvexDSP::%s:Field conversion failed (%d), sending 0 Hz\n", what, result);
    return 0.0;
  }
  return value;
}

// Words of a u16 array: `count` values, two per word, the first in the low half.
void PutU16Array(std::uint32_t* words, const std::uint16_t* values, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t shift = (i % 2) * 16;
    words[i / 2] = (words[i / 2] & ~(0xFFFFu << shift)) | (static_cast<std::uint32_t>(values[i]) << shift);
  }
}

// Word 2 of the reply is negative: the DSP's error flag.
bool ErrorFlagSet(const std::uint32_t* frame) { return (frame[2] & kDspStatusErrorFlag) != 0; }

typedef std::uint32_t __attribute__((may_alias)) AliasWord;

}  // namespace

std::uint32_t CTorvexDSP::RequestLength(std::uint32_t id) { return DspRequestLength(id); }
std::uint32_t CTorvexDSP::ReplyLength(std::uint32_t id) { return DspReplyLength(id); }

// --- lock -------------------------------------------------------------------------------------------

void CTorvexDSP::TakeInterface() {
  if (!TakeForCaller()) g_Logger.Printf("CTorvexDSP::TakeInterface:Wait for the interface broken\n");
}

void CTorvexDSP::ReleaseInterface() {
  FreeInterface();
  cyg_thread_yield();
}

bool CTorvexDSP::HeldByCaller() { return CallerOwnsInterface(); }

// --- exchange ---------------------------------------------------------------------------------------

int CTorvexDSP::SendRequest(std::uint32_t requestId) {
  if (!TakeForCaller()) {
    g_Logger.Printf("CTorvexDSP::SendRequest:Wait for the interface broken\n");
    return kDspIfRefused;
  }
  return FSMDspIf(Write, requestId, 0);
}

int CTorvexDSP::ReadMessage(std::uint32_t expectedReplyId, std::uint32_t* status) {
  InterfaceHold hold;
  const int result = FSMDspIf(Read, 0, expectedReplyId);
  if (status != nullptr) *status = result == 0 ? s_Receive[2] : 0;
  return result;
}

int CTorvexDSP::Exchange(std::uint32_t requestId, int eventFd, std::uint32_t timeoutMs, std::uint32_t* status) {
  if (status != nullptr) *status = 0;
  if (!TakeForCaller()) {
    g_Logger.Printf("CTorvexDSP::Exchange:Wait for the interface broken\n");
    return kDspIfRefused;
  }
  // Interrupts counted before this request (a reply read earlier, one left unread) must not pass for
  // its answer: clear the DSP's interrupt and consume what the device still counts.
  dsp_hpi_ack_host_interrupt();
  for (int k = 0; k < 16; ++k) {
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(eventFd, &rd);
    timeval none{0, 0};
    if (platform::select(eventFd + 1, &rd, nullptr, nullptr, &none) != 1) break;
  }
  const int sent = SendRequest(requestId);
  if (sent != 0) return sent;

  // Board milliseconds: ten to a kernel tick, so the wait follows the tick as the board's time does.
  const auto wait =
      std::chrono::microseconds(static_cast<std::uint64_t>(timeoutMs) * platform::kernel::TickMicroseconds() / 10);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  bool answered = false;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) break;
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(eventFd, &rd);
    timeval tv{static_cast<time_t>(left.count() / 1000000), static_cast<suseconds_t>(left.count() % 1000000)};
    const int ready = platform::select(eventFd + 1, &rd, nullptr, nullptr, &tv);
    if (ready == 1 && FD_ISSET(eventFd, &rd)) {
      answered = true;
      break;
    }
    if (ready < 0) break;
  }
  if (!answered) {
    g_Logger.Printf("CTorvexDSP::Exchange:No reply to %s within %u ms\n", DspRequestName(requestId),
                    static_cast<unsigned>(timeoutMs));
    AbandonRequest();
    return kDspIfNoReply;
  }
  return ReadMessage(DspReplyId(requestId), status);
}

void CTorvexDSP::AbandonRequest() {
  // Called with the lock held. A reply that still comes finds the next request's write acknowledging
  // its interrupt; the machine accepts that next request at once.
  if (s_State == AwaitingReply) s_State = Ready;
}

void CTorvexDSP::ResetToNotBooted() {
  InterfaceHold hold;
  s_State = NotBooted;
}

eDspIfState CTorvexDSP::GetState() {
  InterfaceHold hold;
  return s_State;
}

std::uint32_t CTorvexDSP::GetSequenceCounter() {
  InterfaceHold hold;
  return s_Sequence;
}

DspStatusBlock* CTorvexDSP::ReadStatusBlock(DspStatusBlock* out) {
  InterfaceHold hold;
  dsp_hpi_read_block(kDspStatusBlockAddress, s_LastStatus.words, 4);
  if (out != nullptr) *out = s_LastStatus;
  return out;
}

// --- machine ----------------------------------------------------------------------------------------

int CTorvexDSP::FSMDspIf(eDspIfEvent event, std::uint32_t requestId, std::uint32_t expectedReplyId) {
  int result = 0;
  try {
    switch (s_State) {
      case NotBooted:
        if (event == Read && expectedReplyId == kDspBooted) {
          result = DSPRead(expectedReplyId);
          if (result == 0) s_State = Ready;
        } else {
          throw kNotBooted;
        }
        break;
      case Ready:
        if (event == Write) {
          s_State = AwaitingReply;
          result = BuildAndWriteMessage(requestId);
        } else {
          throw kUnforeseenEvent;
        }
        break;
      case AwaitingReply:
        if (event == Read) {
          s_State = Ready;
          result = DSPRead(expectedReplyId);
        } else if (requestId == kDspAbort) {
          result = BuildAndWriteMessage(requestId);
        } else {
          throw kUnforeseenEvent;
        }
        break;
    }
  } catch (const CDSPNotBootedException& e) {
    g_Logger.Printf("CTorvexDSP::FSMDspIf: %s\n", e.what());
    s_State = NotBooted;
    result = kDspIfNotBooted;
  } catch (const CDSPIFException& e) {
    g_Logger.Printf("CTorvexDSP::FSMDspIf: %s\n", e.what());
    s_State = Ready;
    result = kDspIfRefused;
  } catch (...) {
    g_Logger.Printf("CTorvexDSP::FSMDspIf: Unforeseen exception\n");
    s_State = Ready;
    result = kDspIfRefused;
  }
  return result;
}

int CTorvexDSP::DSPRead(std::uint32_t expectedReplyId) {
  const std::uint32_t id = dsp_hpi_read_word(kDspReplyMailbox);
  if (id != expectedReplyId) {
    g_Logger.Printf("CTorvexDSP::DSPRead:Invalid Message ID, Expected 0x%05X Read 0x%05X\n",
                    static_cast<unsigned>(expectedReplyId), static_cast<unsigned>(id));
    return kDspIfBadReplyId;
  }
  const std::uint32_t n = ReplyLength(id) / 4;
  if (n == 0) return kDspIfBadReplyId;
  dsp_hpi_read_block(kDspReplyBuffer, s_Receive, n);
  dsp_hpi_ack_host_interrupt();
  if (ErrorFlagSet(s_Receive)) {
    g_Logger.Printf("CTorvexDSP::DSPRead:Message error flag set\n");
    return kDspIfErrorFlag;
  }
  if (!XorCheck(n, s_Receive)) {
    g_Logger.Printf("CTorvexDSP::DSPRead:Invalid CRC\n");
    return kDspIfBadCheckWord;
  }
  ++s_Sequence;
  g_Logger.Printf("Received %s message from DSP\n", DspReplyName(id));
  return 0;
}

int CTorvexDSP::WriteMessage() {
  const std::uint32_t n = RequestLength(s_Transmit[0]) / 4;
  s_Transmit[1] = s_Sequence++;
  s_Transmit[n - 1] = XorWords(n, s_Transmit);
  dsp_hpi_ack_host_interrupt();
  dsp_hpi_write_word(kDspRequestMailbox, s_Transmit[0]);
  dsp_hpi_write_block(kDspRequestBuffer, s_Transmit, n);
  dsp_hpi_interrupt_dsp();
  return 0;
}

int CTorvexDSP::BuildAndWriteMessage(std::uint32_t requestId) {
  const char* name = DspRequestName(requestId);
  if (name == nullptr) return kDspIfRefused;
  g_Logger.Printf("CTorvexDSP::BuildAndWriteMessage:Message %s\n", name);
  // Padding and words nobody sets go out as 0.
  std::fill_n(s_Transmit, RequestLength(requestId) / 4, 0u);
  s_Transmit[0] = requestId;
  switch (requestId) {
    case kDspPwDefaultConfiguration: return BuildDefaultConfiguration();
    case kDspPwProbeConnect: return BuildProbeConnect();
    case kDspPwMeasureParms: return BuildMeasureParms();
    case kDspInitiateManualMeasurement: return BuildManualMeasurement();
    case kDspTriggerOut: return BuildTriggerOut();
    case kDspTrigger: {
      const int result = BuildTrigger();
      if (result != 0) return result;
      break;
    }
    case kDspInitiateSearch: BuildSearch(); break;
    case kDspInitiateTracking: BuildTracking(); break;
    case kDspExternalReference: BuildExternalReference(); break;
    default:  // no payload, or the low-level values, which nothing sets (all 0)
      break;
  }
  return WriteMessage();
}

// --- request payloads -------------------------------------------------------------------------------

int CTorvexDSP::BuildDefaultConfiguration() {
  {
    CRecursiveLockGuard tree(g_ParameterTreeLock);
    const std::string hardware = TORVEX_NODE(system_versions_hardware).GetStringAttribute(eAttrValue);
    if (hardware.size() < 4) {
      g_Logger.Printf("CTorvexDSP::BuildDefaultConfiguration:Short hardware version \"%s\"\n", hardware.c_str());
    }
    // Characters beyond the end read as the padding that gives revision 0 ('@' and '0').
    const unsigned char letter = hardware.size() > 2 ? static_cast<unsigned char>(hardware[2]) : 0x40;
    const unsigned char number = hardware.size() > 3 ? static_cast<unsigned char>(hardware[3]) : 0x30;
    s_Transmit[2] = static_cast<std::uint32_t>(static_cast<std::int32_t>(letter) - 0x40);
    s_Transmit[3] = static_cast<std::uint32_t>(static_cast<std::int32_t>(number) - 0x30);
    s_Transmit[4] = FloatWord(F64(TORVEX_NODE(measure_parms_sample_rate), eAttrDefault));
    s_Transmit[5] = Flag(TORVEX_NODE(measure_parms_measurement_reject), eAttrDefault);
    s_Transmit[6] = FloatWord(F64(TORVEX_NODE(measure_parms_measurement_bandwidth), eAttrDefault));
    s_Transmit[7] = I32(TORVEX_NODE(measure_parms_measurement_points), eAttrDefault);
    s_Transmit[8] = I32(TORVEX_NODE(measure_parms_tracking_hysteresis), eAttrDefault);
    s_Transmit[9] = I32(TORVEX_NODE(measure_parms_measurement_hysteresis), eAttrDefault);
  }
  return WriteMessage();
}

int CTorvexDSP::BuildProbeConnect() {
  {
    // The probe cannot be destroyed while its description is copied.
    CRecursiveLockGuard topology(g_TopologyLock);
    auto* peripheral =
        static_cast<CTorvexPeripheral*>(TORVEX_NODE(current_probe_object).GetPointerAttribute(eAttrValue));
    if (!topology.Locked() || peripheral == nullptr || !peripheral->IsMeasuring()) {
      g_Logger.Printf("CTorvexDSP::BuildProbeConnect:No measuring probe selected\n");
      return kDspIfNoProbe;
    }
    const PwPhysicalInformation* info =
        static_cast<CTorvexPwMeasuringPeripheral*>(peripheral)->GetPhysicalInformation();
    s_Transmit[2] = FloatWord(info->MinFreq);
    s_Transmit[3] = FloatWord(info->MaxFreq);
    s_Transmit[4] = FloatWord(info->FreqMultiplier);
    s_Transmit[5] = FloatWord(info->T2);
    s_Transmit[6] = FloatWord(info->MinIF);
    s_Transmit[7] = FloatWord(info->MaxIF);
    s_Transmit[8] = FloatWord(info->PulsePeriod);
    s_Transmit[9] = FloatWord(info->SampleLength);
    s_Transmit[10] = FloatWord(F64(TORVEX_NODE(system_acquisition_short_duration)));
    s_Transmit[11] = FloatWord(info->DeadTime * 1e-6);
    // Five areas of a count word and room for 256 values (128 words); a longer curve is cut to 256.
    const PwCurve* curves[] = {&info->PulseWidth, &info->Matching, &info->Tuning, &info->FreqStep, &info->NoiseLevel};
    std::uint32_t word = 12;
    for (const PwCurve* curve : curves) {
      const std::uint32_t count = curve->points ? std::min<std::uint32_t>(curve->count, kDspCurveValues) : 0u;
      s_Transmit[word] = count;
      PutU16Array(&s_Transmit[word + 1], curve->points.get(), count);
      word += 1 + kDspCurveValues / 2;
    }
  }
  return WriteMessage();
}

int CTorvexDSP::BuildMeasureParms() {
  {
    CRecursiveLockGuard tree(g_ParameterTreeLock);
    std::uint32_t* w = s_Transmit;
    w[2] = Choice(TORVEX_NODE(trigger_parms_trigger_in_source),
                  {{"IMMediate", 0}, {"TIMer", 1}, {"BUS", 1}, {"EXTernal", 2}});
    w[3] = Choice(TORVEX_NODE(trigger_parms_trigger_in_slope), {{"POSitive", 0}, {"NEGative", 1}, {"EITHer", 2}});
    w[4] = Equals(TORVEX_NODE(measure_parms_probe_matching_tuning_mode), "AUTO");
    w[5] = FloatWord(F64(TORVEX_NODE(measure_parms_probe_matching)));
    w[6] = FloatWord(F64(TORVEX_NODE(measure_parms_probe_tuning)));
    w[7] = Equals(TORVEX_NODE(measure_parms_pulse_mode), "AUTO");
    w[8] = FloatWord(F64(TORVEX_NODE(measure_parms_pulse_width)));
    w[9] = FloatWord(F64(TORVEX_NODE(measure_parms_pulse_period)));
    w[10] = Equals(TORVEX_NODE(measure_parms_sample_mode), "AUTO");
    w[11] = FloatWord(F64(TORVEX_NODE(measure_parms_sample_length)));
    w[12] = FloatWord(F64(TORVEX_NODE(measure_parms_sample_rate)));
    w[13] = FloatWord(F64(TORVEX_NODE(measure_parms_sample_offset)));
    w[14] = Flag(TORVEX_NODE(measure_parms_averaging_signal_active));
    w[15] = Choice(TORVEX_NODE(measure_parms_averaging_signal_type), {{"EXPonential", 0}, {"REPeat", 1}});
    w[16] = I32(TORVEX_NODE(measure_parms_averaging_signal_count));
    w[17] = Flag(TORVEX_NODE(measure_parms_averaging_measurement_active));
    w[18] = Choice(TORVEX_NODE(measure_parms_averaging_measurement_type),
                   {{"EXPonential", 0}, {"REPeat", 1}, {"MOVing", 2}});
    w[19] = I32(TORVEX_NODE(measure_parms_averaging_measurement_count));
    w[20] = Equals(TORVEX_NODE(measure_parms_measurement_mode), "AUTO");
    w[21] = FloatWord(F64(TORVEX_NODE(measure_parms_measurement_level)));
    w[22] = I32(TORVEX_NODE(measure_parms_measurement_hysteresis));
    w[23] = Flag(TORVEX_NODE(measure_parms_measurement_reject));
    w[24] = FloatWord(F64(TORVEX_NODE(measure_parms_measurement_bandwidth)));
    w[25] = I32(TORVEX_NODE(measure_parms_measurement_points));
    w[26] = FloatWord(F64(TORVEX_NODE(measure_parms_tracking_min_freq)));
    w[27] = FloatWord(F64(TORVEX_NODE(measure_parms_tracking_max_freq)));
    w[28] = I32(TORVEX_NODE(measure_parms_tracking_hysteresis));
  }
  return WriteMessage();
}

int CTorvexDSP::BuildManualMeasurement() {
  // The conversion takes the topology lock, which comes before the tree lock: it runs first.
  const double hertz = TeslaToHertz(F64(TORVEX_NODE(measure_parms_search_value)), "BuildManualMeasurement");
  {
    CRecursiveLockGuard tree(g_ParameterTreeLock);
    PutDouble(&s_Transmit[2], hertz);
    s_Transmit[4] = Equals(TORVEX_NODE(measure_parms_probe_matching_tuning_mode), "AUTO");
    s_Transmit[5] = FloatWord(F64(TORVEX_NODE(measure_parms_probe_matching)));
    s_Transmit[6] = FloatWord(F64(TORVEX_NODE(measure_parms_probe_tuning)));
    s_Transmit[7] = Equals(TORVEX_NODE(measure_parms_pulse_mode), "AUTO");
    s_Transmit[8] = FloatWord(F64(TORVEX_NODE(measure_parms_pulse_width)));
    s_Transmit[9] = FloatWord(F64(TORVEX_NODE(measure_parms_pulse_period)));
  }
  return WriteMessage();
}

int CTorvexDSP::BuildTriggerOut() {
  const double hertz = TeslaToHertz(F64(TORVEX_NODE(trigger_parms_trigger_out_level)), "BuildTriggerOut");
  {
    CRecursiveLockGuard tree(g_ParameterTreeLock);
    PutDouble(&s_Transmit[2], hertz);
    s_Transmit[4] = Flag(TORVEX_NODE(trigger_parms_trigger_out_state));
    s_Transmit[5] =
        Choice(TORVEX_NODE(trigger_parms_trigger_out_slope), {{"POSitive", 0}, {"NEGative", 1}, {"EITHer", 2}});
    s_Transmit[6] = Choice(TORVEX_NODE(trigger_parms_trigger_out_shape), {{"DC", 0}, {"PULSe", 1}});
    s_Transmit[7] = Choice(TORVEX_NODE(trigger_parms_trigger_out_polarity), {{"NORMal", 0}, {"INVerted", 1}});
    s_Transmit[8] = FloatWord(F64(TORVEX_NODE(trigger_parms_trigger_out_delay)));
    s_Transmit[9] = FloatWord(F64(TORVEX_NODE(trigger_parms_trigger_out_width)));
  }
  s_Transmit[10] = s_TriggerOutRequest.load(std::memory_order_relaxed);
  return WriteMessage();
}

int CTorvexDSP::BuildTrigger() {
  const std::string selected = TORVEX_NODE(units_parms_selected).GetStringAttribute(eAttrValue);
  s_TriggerUnit = static_cast<int>(FindUnit(selected));
  double factor = 0.0;
  double offset = 0.0;
  const int result = ConvertFieldFrequency(static_cast<std::uint32_t>(s_TriggerUnit), factor, offset);
  if (result != kUnitOk) return result;
  PutDouble(&s_Transmit[2], factor);
  PutDouble(&s_Transmit[4], offset);
  return 0;
}

void CTorvexDSP::BuildSearch() {
  CRecursiveLockGuard tree(g_ParameterTreeLock);
  s_Transmit[2] = FloatWord(s_SearchFirst.load(std::memory_order_relaxed));
  s_Transmit[3] = FloatWord(s_SearchSecond.load(std::memory_order_relaxed));
  s_Transmit[4] = s_SearchConfirm.load(std::memory_order_relaxed) != 0 ? 1u : 0u;
  s_Transmit[5] = Equals(TORVEX_NODE(measure_parms_search_mode), "AUTO");
  s_Transmit[6] = FloatWord(F64(TORVEX_NODE(measure_parms_search_fstep)));
  s_Transmit[7] = FloatWord(F64(TORVEX_NODE(measure_parms_search_level)));
}

void CTorvexDSP::BuildTracking() { PutDouble(&s_Transmit[2], s_TrackingFrequency.load(std::memory_order_relaxed)); }

void CTorvexDSP::BuildExternalReference() { s_Transmit[2] = Equals(TORVEX_NODE(ref_clock_parms_mode), "EXTernal"); }

// --- setters ----------------------------------------------------------------------------------------

void CTorvexDSP::SetSearchWindow(const double& first, const double& second) {
  s_SearchFirst.store(first, std::memory_order_relaxed);
  s_SearchSecond.store(second, std::memory_order_relaxed);
}
void CTorvexDSP::SetSearchConfirm(std::uint8_t flag) { s_SearchConfirm.store(flag, std::memory_order_relaxed); }
void CTorvexDSP::SetTrackingFrequency(double frequency) {
  s_TrackingFrequency.store(frequency, std::memory_order_relaxed);
}
void CTorvexDSP::SetTriggerOutRequest(std::uint8_t request) {
  s_TriggerOutRequest.store(request, std::memory_order_relaxed);
}

// --- getters ----------------------------------------------------------------------------------------

void CTorvexDSP::GetVersions(std::uint16_t* dspMajor, std::uint16_t* dspMinor, std::uint16_t* cpldMajor,
                             std::uint16_t* cpldMinor) {
  *dspMajor = static_cast<std::uint16_t>(s_Receive[4]);
  *dspMinor = static_cast<std::uint16_t>(s_Receive[5]);
  *cpldMajor = static_cast<std::uint16_t>(s_Receive[6]);
  *cpldMinor = static_cast<std::uint16_t>(s_Receive[7]);
}

double CTorvexDSP::GetSearchResult() { return GetDouble(&s_Receive[4]); }

void CTorvexDSP::GetPwMeasurement(double* flux, int* unit, double* frequency, float* sigma, std::uint32_t* word11,
                                  float* uniformity, float* matching, float* tuning, std::uint64_t* timeStamp) {
  *flux = GetDouble(&s_Receive[4]);
  *unit = s_TriggerUnit;
  *frequency = GetDouble(&s_Receive[6]);
  *sigma = WordFloat(s_Receive[10]);
  *word11 = s_Receive[11];
  *uniformity = WordFloat(s_Receive[12]);
  *matching = WordFloat(s_Receive[13]);
  *tuning = WordFloat(s_Receive[14]);
  *timeStamp = GetUint64(&s_Receive[8]);
}

void CTorvexDSP::GetTriggerOutState(bool* state) { *state = s_Receive[4] != 0; }

void CTorvexDSP::CopyIntermediateResults(const IntermediateBlock blocks[kIntermediateBlockCount],
                                         IntermediateScalars* scalars) {
  static_assert(sizeof(float) == sizeof(std::uint32_t));
  // Address and length words of the four blocks in the reply.
  constexpr std::uint32_t kBlockWords[kIntermediateBlockCount][2] = {{10, 11}, {13, 14}, {17, 18}, {21, 22}};
  InterfaceHold hold;
  for (int b = 0; b < kIntermediateBlockCount; ++b) {
    const IntermediateBlock& block = blocks[b];
    const std::uint32_t address = s_Receive[kBlockWords[b][0]];
    const std::uint32_t length = s_Receive[kBlockWords[b][1]];
    const std::uint32_t count = block.data != nullptr ? std::min(block.capacity, length) : 0u;
    // A transfer of 0 words is never issued: the driver takes at least one.
    if (count > 0) dsp_hpi_read_block(address, reinterpret_cast<AliasWord*>(block.data), count);
    if (block.count != nullptr) *block.count = count;
  }
  if (scalars != nullptr) {
    scalars->samplePeriod = 1.0f / WordFloat(s_Receive[12]);
    scalars->fftResolution = WordFloat(s_Receive[15]);
    scalars->fftNoiseFloor = WordFloat(s_Receive[16]);
    scalars->peakResolution = WordFloat(s_Receive[19]);
    scalars->peakCenterFrequency = WordFloat(s_Receive[20]);
    scalars->fitResidue = WordFloat(s_Receive[23]);
    scalars->ifFrequency = GetDouble(&s_Receive[4]);
    scalars->rfFrequency = GetDouble(&s_Receive[6]);
    scalars->relaxationTime = WordFloat(s_Receive[8]);
  }
}

double CTorvexDSP::GetProbeSampleLength(CTorvexPeripheral* peripheral) {
  CRecursiveLockGuard topology(g_TopologyLock);
  if (peripheral == nullptr || !peripheral->IsMeasuring()) return 0.0;
  return static_cast<CTorvexPwMeasuringPeripheral*>(peripheral)->GetPhysicalInformation()->SampleLength;
}

double CTorvexDSP::GetSampleLengthSetting() {
  return g_node_measure_parms_sample_length != nullptr
             ? g_node_measure_parms_sample_length->GetFloat64Attribute(eAttrValue)
             : 0.0;
}

}  // namespace Torvex
