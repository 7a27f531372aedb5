// The DSP program model (see sim/dsp_program.h).
#include "sim/dsp_program.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <iterator>

#include "platform/kernel.h"

namespace sim {
namespace {

// The frame table: one row per message, the request's and the reply's fixed lengths in bytes.
struct MessageRow {
  std::uint32_t request;  // 0: DSP_BOOTED, which answers no request
  const char* request_name;
  std::uint32_t request_bytes;
  std::uint32_t reply;
  const char* reply_name;
  std::uint32_t reply_bytes;
};

constexpr MessageRow kMessages[] = {
    {0x0000, "", 0, 0x10001, "DSP_BOOTED", 36},
    {0x0010, "PW_DEFAULT_CONFIGURATION", 44, 0x10010, "PW_DEFAULT_CONFIGURATION_ACK", 20},
    {0x0020, "PW_PROBE_CONNECT", 2632, 0x10020, "PW_PROBE_CONNECT_ACK", 20},
    {0x0030, "PW_MEASURE_PARMS", 120, 0x10030, "PW_MEASURE_PARMS_ACK", 20},
    {0x0040, "INITIATE_SEARCH", 36, 0x10040, "RETURN_SEARCH_RESULT", 32},
    {0x0050, "INITIATE_TRACKING", 24, 0x10050, "INITIATE_TRACKING_ACK", 20},
    {0x0060, "INITIATE_MANUAL_MEASUREMENT", 48, 0x10060, "INITIATE_MANUAL_MEASUREMENT_ACK", 20},
    {0x0070, "TRIGGER", 32, 0x10070, "RETURN_PW_MEASUREMENT", 64},
    {0x0080, "ABORT", 12, 0x10080, "ABORT_ACK", 20},
    {0x0090, "REQUEST_NMR_SIGNAL", 12, 0x10090, "RETURN_NMR_SIGNAL", 104},
    {0x00A0, "RELEASE_NMR_SIGNAL", 12, 0x100A0, "RELEASE_NMR_SIGNAL_ACK", 20},
    {0x00B0, "EXTERNAL_REFERENCE", 16, 0x100B0, "EXTERNAL_REFERENCE_ACK", 20},
    {0x00C0, "TRIGGER_OUT", 48, 0x100C0, "RETURN_TRIGGER_OUT", 24},
    {0x00D0, "QUIT", 12, 0x100D0, "QUIT_ACK", 20},
    {0x8010, "LL_SET_FREQUENCY", 20, 0x18010, "LL_SET_FREQUENCY_ACK", 20},
    {0x8020, "LL_SET_VOLTAGES", 20, 0x18020, "LL_SET_VOLTAGES_ACK", 20},
    {0x8030, "LL_SET_FIELD_MODULATION", 28, 0x18030, "RETURN_LL_SET_FIELD_MODULATION", 28},
};
static_assert(std::size(kMessages) == 17);

const MessageRow* FindRequest(std::uint32_t id) {
  for (const MessageRow& r : kMessages)
    if (r.request != 0 && r.request == id) return &r;
  return nullptr;
}

const MessageRow* FindReply(std::uint32_t id) {
  for (const MessageRow& r : kMessages)
    if (r.reply == id) return &r;
  return nullptr;
}

constexpr std::uint32_t kLengthlessReplyWords = 5;  // error reply to an id of no length
constexpr double kDefaultSampleRate = 1.0e6;
constexpr double kDefaultSampleLength = 2.0e-3;
constexpr double kNominalIf = 0.25;    // of the sample rate: the LO sits this far below the frequency
constexpr double kSearchIfLow = 0.05;  // the part of the receiver band a search step covers
constexpr double kSearchIfHigh = 0.40;
constexpr unsigned kMaxSearchSteps = 10000;
constexpr std::size_t kMaxQueuedFrames = 64;
constexpr std::uint32_t kWrongMailboxMask = 0x0F00;

std::uint32_t XorOf(const std::vector<std::uint32_t>& w, std::size_t n) {
  std::uint32_t x = 0;
  for (std::size_t i = 0; i < n && i < w.size(); ++i) x ^= w[i];
  return x;
}

void Seal(std::vector<std::uint32_t>& w) { w.back() = XorOf(w, w.size() - 1); }

double DoubleAt(const std::vector<std::uint32_t>& w, std::size_t i) {
  if (i + 1 >= w.size()) return 0.0;
  return std::bit_cast<double>((std::uint64_t{w[i]} << 32) | w[i + 1]);
}

void PutDouble(std::vector<std::uint32_t>& w, std::size_t i, double v) {
  const auto bits = std::bit_cast<std::uint64_t>(v);
  w[i] = static_cast<std::uint32_t>(bits >> 32);
  w[i + 1] = static_cast<std::uint32_t>(bits);
}

float FloatAt(const std::vector<std::uint32_t>& w, std::size_t i) {
  return i < w.size() ? std::bit_cast<float>(w[i]) : 0.0f;
}

std::uint32_t FloatWord(double v) { return std::bit_cast<std::uint32_t>(static_cast<float>(v)); }

const char* StateName(int state) {
  static const char* const kNames[] = {"held", "waiting", "running", "dead"};
  return kNames[state];
}

}  // namespace

struct DspProgram::Job {
  std::uint64_t generation = 0;
  std::uint32_t request_id = 0;  // kBootedId for the boot notice
  Frame frame;
  std::chrono::steady_clock::time_point due;   // earliest time of the reply (fault delay)
  std::chrono::steady_clock::time_point next;  // when the job runs next
  // A search in steps.
  bool search = false;
  bool confirm = false;
  double low = 0.0;
  double high = 0.0;
  double fs = kDefaultSampleRate;
  unsigned step = 0;
  unsigned steps = 1;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::duration step_time{};
  double found = 0.0;
  bool done = false;
};

DspProgram::DspProgram(Dsp& dsp, WorldSource world) : dsp_(dsp), world_(std::move(world)) {
  analyser_ = std::make_unique<NmrAnalyser>();
  dsp_.SetLiveWord(kStatusBlock, [this] { return ActivityCounter(); });
  dsp_.SetResetHook([this](bool released) { OnReset(released); });
  dsp_.SetDspInterruptHook([this] { OnDspInterrupt(); });
  hooked_ = true;
  // A DSP whose reset line is already released waits for its start.
  if (!dsp_.InReset()) state_ = State::kWaitingStart;
  thread_ = std::thread([this] { Run(); });
}

DspProgram::~DspProgram() { Stop(); }

void DspProgram::Stop() {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!hooked_) return;
    hooked_ = false;
    stop_ = true;
    ++generation_;
  }
  dsp_.SetDspInterruptHook(nullptr);
  dsp_.SetResetHook(nullptr);
  dsp_.SetLiveWord(kStatusBlock, nullptr);
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::uint32_t DspProgram::RequestBytes(std::uint32_t id) {
  const MessageRow* r = FindRequest(id);
  return r ? r->request_bytes : 0;
}

std::uint32_t DspProgram::ReplyBytes(std::uint32_t id) {
  const MessageRow* r = FindReply(id);
  return r ? r->reply_bytes : 0;
}

const char* DspProgram::MessageName(std::uint32_t id) {
  if (const MessageRow* r = FindRequest(id)) return r->request_name;
  if (const MessageRow* r = FindReply(id)) return r->reply_name;
  return "";
}

// --- host side: hooks ------------------------------------------------------------------------------

void DspProgram::OnDspInterrupt() {
  Frame frame;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (state_ != State::kWaitingStart && state_ != State::kRunning) return;
    frame.generation = generation_;
  }
  // The frame is taken now, as the host left it: the host may write the next one before it is served.
  frame.mailbox = dsp_.ReadWord(kRequestMailbox);
  const std::uint32_t bytes = RequestBytes(frame.mailbox);
  const std::uint32_t n = bytes ? bytes / 4 : 3;
  frame.words.resize(n);
  for (std::uint32_t i = 0; i < n; ++i) frame.words[i] = dsp_.ReadWord(kRequestBuffer + 4 * i);
  {
    std::lock_guard<std::mutex> g(lock_);
    if (frame.generation != generation_) return;
    if (frames_.size() >= kMaxQueuedFrames) frames_.pop_front();  // a host that never waits loses the oldest
    frames_.push_back(std::move(frame));
  }
  wake_.notify_all();
}

void DspProgram::OnReset(bool released) {
  {
    std::lock_guard<std::mutex> g(lock_);
    ++generation_;
    frames_.clear();
    counter_live_.store(false);
    counter_frozen_.store(0);  // the status block is cleared with the memory
    state_ = released ? State::kWaitingStart : State::kHeld;
  }
  wake_.notify_all();
}

std::uint32_t DspProgram::ActivityCounter() {
  if (!counter_live_.load()) return counter_frozen_.load();
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - epoch_);
  return static_cast<std::uint32_t>(us.count());
}

// --- settings, faults, observations ----------------------------------------------------------------

void DspProgram::SetCpldVersion(DspVersion version) {
  std::lock_guard<std::mutex> g(lock_);
  cpld_ = version;
}

void DspProgram::SetNoiseSeed(std::uint32_t seed) {
  std::lock_guard<std::mutex> g(lock_);
  noise_seed_ = seed;
  reseed_ = true;
}

void DspProgram::SetBootEnabled(bool enabled) {
  std::lock_guard<std::mutex> g(lock_);
  faults_.boot = enabled;
}

void DspProgram::SetReportedVersions(DspVersion dsp, DspVersion cpld) {
  std::lock_guard<std::mutex> g(lock_);
  faults_.versions = std::make_pair(dsp, cpld);
}

void DspProgram::SetReplyDelay(std::uint32_t request_id, std::uint32_t board_milliseconds) {
  std::lock_guard<std::mutex> g(lock_);
  if (board_milliseconds == 0) {
    faults_.delay_ms.erase(request_id);
  } else {
    faults_.delay_ms[request_id] = board_milliseconds;
  }
}

void DspProgram::DropReplies(std::uint32_t request_id, unsigned count) {
  std::lock_guard<std::mutex> g(lock_);
  if (count == 0) {
    faults_.drop.erase(request_id);
  } else {
    faults_.drop[request_id] = count;
  }
}

void DspProgram::CorruptMailbox(unsigned replies) {
  std::lock_guard<std::mutex> g(lock_);
  faults_.bad_mailbox = replies;
}

void DspProgram::CorruptCheckWord(unsigned replies) {
  std::lock_guard<std::mutex> g(lock_);
  faults_.bad_check = replies;
}

void DspProgram::SetErrorFlag(unsigned replies) {
  std::lock_guard<std::mutex> g(lock_);
  faults_.error_flag = replies;
}

void DspProgram::StallCounter(bool stalled) {
  std::lock_guard<std::mutex> g(lock_);
  faults_.stall = stalled;
  if (state_ != State::kRunning) return;
  if (stalled) {
    counter_frozen_.store(ActivityCounter());
    counter_live_.store(false);
  } else {
    counter_live_.store(true);
  }
}

void DspProgram::ClearFaults() {
  std::lock_guard<std::mutex> g(lock_);
  const bool was_stalled = faults_.stall;
  faults_ = Faults{};
  if (was_stalled && state_ == State::kRunning) counter_live_.store(true);
}

bool DspProgram::Running() {
  std::lock_guard<std::mutex> g(lock_);
  return state_ == State::kRunning;
}

std::uint64_t DspProgram::Boots() {
  std::lock_guard<std::mutex> g(lock_);
  return boots_;
}

std::uint64_t DspProgram::RequestsTaken() {
  std::lock_guard<std::mutex> g(lock_);
  return requests_;
}

std::uint64_t DspProgram::BadFrames() {
  std::lock_guard<std::mutex> g(lock_);
  return bad_frames_;
}

std::uint64_t DspProgram::RepliesSent() {
  std::lock_guard<std::mutex> g(lock_);
  return replies_;
}

std::uint64_t DspProgram::RepliesCancelled() {
  std::lock_guard<std::mutex> g(lock_);
  return cancelled_;
}

std::string DspProgram::Describe() {
  std::lock_guard<std::mutex> g(lock_);
  char line[256];
  char version[16] = "none";  // no program has run yet
  if (boots_ != 0) std::snprintf(version, sizeof version, "%u.%u", unsigned{version_.major}, unsigned{version_.minor});
  std::snprintf(line, sizeof line, "state %s version %s cpld %u.%u requests %llu bad %llu replies %llu cancelled %llu",
                StateName(static_cast<int>(state_)), version, unsigned{cpld_.major}, unsigned{cpld_.minor},
                static_cast<unsigned long long>(requests_), static_cast<unsigned long long>(bad_frames_),
                static_cast<unsigned long long>(replies_), static_cast<unsigned long long>(cancelled_));
  std::string out = line;
  if (!faults_.boot) out += " no-boot";
  if (faults_.versions) {
    std::snprintf(line, sizeof line, " versions %u.%u/%u.%u", unsigned{faults_.versions->first.major},
                  unsigned{faults_.versions->first.minor}, unsigned{faults_.versions->second.major},
                  unsigned{faults_.versions->second.minor});
    out += line;
  }
  auto selector = [](std::uint32_t id) {
    char text[16] = "all";
    if (id != kAllRequests) std::snprintf(text, sizeof text, "0x%X", unsigned{id});
    return std::string(text);
  };
  for (const auto& [id, ms] : faults_.delay_ms) out += " delay " + selector(id) + " " + std::to_string(ms);
  for (const auto& [id, n] : faults_.drop) out += " drop " + selector(id) + " " + std::to_string(n);
  if (faults_.bad_mailbox) out += " mailbox " + std::to_string(faults_.bad_mailbox);
  if (faults_.bad_check) out += " check " + std::to_string(faults_.bad_check);
  if (faults_.error_flag) out += " error " + std::to_string(faults_.error_flag);
  if (faults_.stall) out += " stall";
  return out;
}

std::chrono::steady_clock::duration DspProgram::BoardTime(std::uint32_t board_milliseconds) const {
  // One tick stands for 10 ms of board time.
  const auto us = std::uint64_t{board_milliseconds} * platform::kernel::TickMicroseconds() / 10;
  return std::chrono::microseconds(us);
}

// --- the program's thread --------------------------------------------------------------------------

void DspProgram::Run() {
  std::unique_lock<std::mutex> lk(lock_);
  while (!stop_) {
    if (!frames_.empty()) {
      Frame frame = std::move(frames_.front());
      frames_.pop_front();
      lk.unlock();
      Handle(frame);
      lk.lock();
      continue;
    }
    if (job_) {
      if (job_->generation != generation_) {
        job_.reset();
        continue;
      }
      const auto when = job_->next;
      if (std::chrono::steady_clock::now() >= when) {
        lk.unlock();
        StepJob();
        lk.lock();
      } else {
        wake_.wait_until(lk, when);
      }
      continue;
    }
    wake_.wait(lk);
  }
}

void DspProgram::Handle(const Frame& frame) {
  State state;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (frame.generation != generation_) return;
    state = state_;
  }
  if (state == State::kWaitingStart) {
    Boot(frame.generation);
  } else if (state == State::kRunning) {
    TakeRequest(frame);
  }
}

void DspProgram::Boot(std::uint64_t generation) {
  DspVersion version;
  const bool whole = VerifyDspIdentity([this](std::uint32_t a) { return dsp_.ReadWord(a); }, version);
  {
    std::lock_guard<std::mutex> g(lock_);
    if (generation != generation_) return;
    if (!whole || !faults_.boot) {
      state_ = State::kDead;  // the start jumped into no program: nothing runs until the next reset
      return;
    }
    state_ = State::kRunning;
    version_ = version;
    if (!faults_.stall) counter_live_.store(true);
  }
  // A fresh start: nothing of the last run survives.
  job_.reset();
  last_.reset();
  default_configuration_.clear();
  probe_connect_.clear();
  measure_parms_.clear();
  tracking_ = 0.0;
  status_ = 0;
  WriteStatus(generation, 0, 0);

  auto job = std::make_unique<Job>();
  job->generation = generation;
  job->request_id = kBootedId;
  {
    std::lock_guard<std::mutex> g(lock_);
    auto it = faults_.delay_ms.find(kBootedId);
    job->due = std::chrono::steady_clock::now() + BoardTime(it == faults_.delay_ms.end() ? 0 : it->second);
  }
  job->next = job->due;
  job_ = std::move(job);
}

void DspProgram::TakeRequest(const Frame& frame) {
  const std::uint32_t id = frame.mailbox;
  const std::uint32_t n = RequestBytes(id) / 4;
  const bool bad = n == 0 || frame.words.size() < n || frame.words[0] != id || XorOf(frame.words, n) != 0;
  std::chrono::steady_clock::duration delay{};
  {
    std::lock_guard<std::mutex> g(lock_);
    ++requests_;
    ++requests_taken_word_;
    if (bad) ++bad_frames_;
    // One request at a time: whatever was pending is given up, its reply never sent.
    if (job_) ++cancelled_;
    auto it = faults_.delay_ms.find(id);
    if (it == faults_.delay_ms.end()) it = faults_.delay_ms.find(kAllRequests);
    if (it != faults_.delay_ms.end()) delay = BoardTime(it->second);
  }
  job_.reset();
  if (status_ & kStatusSearchBusy) status_ &= ~kStatusSearchBusy;
  WriteStatus(frame.generation, dsp_.ReadWord(kStatusBlock + 4), status_);

  if (bad) {
    // Answered at once, with the error flag: the frame is not acted on.
    const std::uint32_t reply_id = id | kReplyBit;
    const std::uint32_t words = ReplyBytes(reply_id) ? ReplyBytes(reply_id) / 4 : kLengthlessReplyWords;
    std::vector<std::uint32_t> reply(words, 0);
    reply[0] = reply_id;
    reply[1] = frame.words.size() > 1 ? frame.words[1] : 0;
    reply[2] = status_ | kStatusError;
    Seal(reply);
    Deliver(frame.generation, id, std::move(reply), true);
    return;
  }

  auto job = std::make_unique<Job>();
  job->generation = frame.generation;
  job->request_id = id;
  job->frame = frame;
  const auto now = std::chrono::steady_clock::now();
  job->due = now + delay;
  job->next = job->due;
  if (id == kInitiateSearch) {
    job->search = true;
    job->low = FloatAt(frame.words, 2);
    job->high = FloatAt(frame.words, 3);
    job->confirm = frame.words[4] != 0;
    if (!(job->low <= job->high)) std::swap(job->low, job->high);
    job->fs = AcquisitionAt(0.0).sample_rate;
    const double span = (kSearchIfHigh - kSearchIfLow) * job->fs;
    double steps = 1.0;
    if (!job->confirm && std::isfinite(job->high - job->low)) steps = std::ceil((job->high - job->low) / span);
    job->steps = static_cast<unsigned>(std::clamp(steps, 1.0, static_cast<double>(kMaxSearchSteps)));
    job->start = now;
    job->step_time = BoardTime(kSearchTicks * 10) / job->steps;
    job->next = now;
    status_ |= kStatusSearchBusy;
    WriteStatus(frame.generation, 0, status_);
  }
  job_ = std::move(job);
}

void DspProgram::StepJob() {
  Job& j = *job_;
  if (j.search && !j.done) {
    const NmrWorld world = world_();
    if (reseed_) {
      std::lock_guard<std::mutex> g(lock_);
      rng_.seed(noise_seed_);
      reseed_ = false;
    }
    // The receiver's LO for this step: a confirmation looks at its frequency at the nominal IF; a
    // search step covers frequencies from LO + kSearchIfLow to LO + kSearchIfHigh of the sample rate.
    const double lo = j.confirm ? j.low - kNominalIf * j.fs
                                : j.low - kSearchIfLow * j.fs + (kSearchIfHigh - kSearchIfLow) * j.fs * j.step;
    NmrAcquisition acq = AcquisitionAt(0.0);
    acq.lo_frequency = lo;
    const auto signal = SynthesizeNmrSignal(world, acq, rng_);
    NmrAnalysis quick = analyser_->Analyse(signal, acq.sample_rate, lo, false);
    if (quick.found) {
      NmrAnalysis full = analyser_->Analyse(signal, acq.sample_rate, lo, true);
      const double tolerance = j.confirm ? (kSearchIfHigh - kNominalIf) * j.fs : full.fft_resolution;
      if (full.found && full.rf_frequency >= j.low - tolerance && full.rf_frequency <= j.high + tolerance) {
        j.found = full.rf_frequency;
        tracking_ = j.found;
        last_ = std::move(full);
        j.done = true;
      }
    }
    ++j.step;
    if (j.step >= j.steps) j.done = true;
    const std::uint32_t progress = j.done ? 100 : 100 * j.step / j.steps;
    if (j.done) status_ &= ~kStatusSearchBusy;
    WriteStatus(j.generation, progress, status_);
    const auto now = std::chrono::steady_clock::now();
    j.next = j.done ? std::max(now, j.due) : std::max(now, j.start + j.step_time * j.step);
    return;
  }

  std::vector<std::uint32_t> reply;
  if (j.request_id == kBootedId) {
    reply.assign(ReplyBytes(kBootedId) / 4, 0);
    reply[0] = kBootedId;
    reply[2] = status_;
    std::lock_guard<std::mutex> g(lock_);
    const DspVersion dsp = faults_.versions ? faults_.versions->first : version_;
    const DspVersion cpld = faults_.versions ? faults_.versions->second : cpld_;
    reply[4] = dsp.major;
    reply[5] = dsp.minor;
    reply[6] = cpld.major;
    reply[7] = cpld.minor;
    Seal(reply);
  } else if (j.search) {
    reply.assign(ReplyBytes(kInitiateSearch | kReplyBit) / 4, 0);
    reply[0] = kInitiateSearch | kReplyBit;
    reply[1] = j.frame.words[1];
    reply[2] = status_;
    PutDouble(reply, 4, j.found);
    Seal(reply);
  } else {
    reply = Serve(j.frame, j.request_id);
  }
  const std::uint64_t generation = j.generation;
  const std::uint32_t id = j.request_id;
  job_.reset();
  const bool sent = Deliver(generation, id, std::move(reply), true);
  if (id == kBootedId && sent) {
    std::lock_guard<std::mutex> g(lock_);
    ++boots_;
  }
}

std::vector<std::uint32_t> DspProgram::Serve(const Frame& frame, std::uint32_t id) {
  const std::vector<std::uint32_t>& w = frame.words;
  const std::uint32_t reply_id = id | kReplyBit;
  std::vector<std::uint32_t> reply(ReplyBytes(reply_id) / 4, 0);
  reply[0] = reply_id;
  reply[1] = w[1];
  switch (id) {
    case kDefaultConfiguration: default_configuration_ = w; break;
    case kProbeConnect: probe_connect_ = w; break;
    case kMeasureParms: measure_parms_ = w; break;
    case kInitiateTracking:
    case kInitiateManual: tracking_ = DoubleAt(w, 2); break;
    case kTrigger: reply = Measure(w); break;
    case kRequestNmrSignal: reply = NmrSignalReply(w); break;
    case kTriggerOut: reply[4] = w[4] != 0 ? 1 : 0; break;
    default: break;  // ABORT, RELEASE_NMR_SIGNAL, EXTERNAL_REFERENCE, QUIT, low-level: acknowledged
  }
  reply[2] = status_;
  Seal(reply);
  return reply;
}

NmrAcquisition DspProgram::AcquisitionAt(double rf_frequency) const {
  NmrAcquisition acq;
  double rate = 0.0;
  if (measure_parms_.size() > 12) rate = FloatAt(measure_parms_, 12);
  if (!(rate >= 1.0e4 && rate <= 1.0e7) && default_configuration_.size() > 4) rate = FloatAt(default_configuration_, 4);
  if (!(rate >= 1.0e4 && rate <= 1.0e7)) rate = kDefaultSampleRate;
  double length = measure_parms_.size() > 11 ? FloatAt(measure_parms_, 11) : 0.0;
  if (!(length > 0.0 && length <= 1.0)) length = kDefaultSampleLength;
  acq.sample_rate = rate;
  acq.samples = static_cast<std::size_t>(
      std::clamp(std::round(rate * length), 64.0, static_cast<double>(NmrAnalyser::kMaxSamples)));
  acq.lo_frequency = rf_frequency - kNominalIf * rate;
  return acq;
}

std::vector<std::uint32_t> DspProgram::Measure(const std::vector<std::uint32_t>& request) {
  const double factor = DoubleAt(request, 2);
  const double offset = DoubleAt(request, 4);
  double frequency = 0.0;
  double sigma = 0.0;
  double uniformity = 0.0;
  if (tracking_ > 0.0) {
    if (reseed_) {
      std::lock_guard<std::mutex> g(lock_);
      rng_.seed(noise_seed_);
      reseed_ = false;
    }
    const NmrAcquisition acq = AcquisitionAt(tracking_);
    const auto signal = SynthesizeNmrSignal(world_(), acq, rng_);
    NmrAnalysis a = analyser_->Analyse(signal, acq.sample_rate, acq.lo_frequency, true);
    if (a.found) {
      frequency = a.rf_frequency;
      sigma = a.sigma;
      uniformity = a.linewidth / frequency * 1.0e6;  // ppm
      tracking_ = frequency;                         // the tracking follows the resonance
    }
    last_ = std::move(a);
  }
  std::vector<std::uint32_t> reply(ReplyBytes(kTrigger | kReplyBit) / 4, 0);
  reply[0] = kTrigger | kReplyBit;
  reply[1] = request[1];
  PutDouble(reply, 4, frequency > 0.0 ? factor * frequency + offset : 0.0);
  PutDouble(reply, 6, frequency);
  const auto stamp = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - epoch_).count());
  reply[8] = static_cast<std::uint32_t>(stamp);
  reply[9] = static_cast<std::uint32_t>(stamp >> 32);
  reply[10] = FloatWord(std::fabs(factor) * sigma);  // in the unit of the flux
  reply[11] = 1;                                     // acquisitions in this measurement
  reply[12] = FloatWord(uniformity);
  reply[13] = measure_parms_.size() > 6 ? measure_parms_[5] : 0;  // matching and tuning in use
  reply[14] = measure_parms_.size() > 6 ? measure_parms_[6] : 0;
  return reply;
}

std::vector<std::uint32_t> DspProgram::NmrSignalReply(const std::vector<std::uint32_t>& request) {
  std::vector<std::uint32_t> reply(ReplyBytes(kRequestNmrSignal | kReplyBit) / 4, 0);
  reply[0] = kRequestNmrSignal | kReplyBit;
  reply[1] = request[1];
  if (!last_) return reply;
  const NmrAnalysis& a = *last_;
  auto block = [&](std::uint32_t address, const std::vector<float>& data) {
    std::lock_guard<std::mutex> g(lock_);
    if (state_ != State::kRunning) return;
    for (std::size_t i = 0; i < data.size(); ++i)
      dsp_.WriteWord(address + static_cast<std::uint32_t>(4 * i), std::bit_cast<std::uint32_t>(data[i]));
  };
  block(kSignalBlock, a.signal);
  block(kFftBlock, a.fft);
  block(kPeakBlock, a.peak_spectrum);
  block(kFitBlock, a.fit);
  const double fs = a.fft_resolution * NmrAnalyser::kFftSize;
  PutDouble(reply, 4, a.if_frequency);
  PutDouble(reply, 6, a.rf_frequency);
  reply[8] = FloatWord(a.t2_star);
  reply[10] = kSignalBlock;
  reply[11] = static_cast<std::uint32_t>(a.signal.size());
  reply[12] = FloatWord(fs);
  reply[13] = kFftBlock;
  reply[14] = static_cast<std::uint32_t>(a.fft.size());
  reply[15] = FloatWord(a.fft_resolution);
  reply[16] = FloatWord(a.noise_floor);
  reply[17] = kPeakBlock;
  reply[18] = static_cast<std::uint32_t>(a.peak_spectrum.size());
  reply[19] = FloatWord(a.peak_resolution);
  reply[20] = FloatWord(a.peak_center);
  reply[21] = kFitBlock;
  reply[22] = static_cast<std::uint32_t>(a.fit.size());
  reply[23] = FloatWord(a.residue);
  return reply;
}

bool DspProgram::Deliver(std::uint64_t generation, std::uint32_t request_id, std::vector<std::uint32_t> reply,
                         bool faults) {
  std::lock_guard<std::mutex> g(lock_);
  if (generation != generation_ || state_ != State::kRunning) return false;
  std::uint32_t mailbox = reply[0];
  if (faults) {
    for (std::uint32_t key : {request_id, kAllRequests}) {
      auto it = faults_.drop.find(key);
      if (it == faults_.drop.end()) continue;
      if (--it->second == 0) faults_.drop.erase(it);
      ++cancelled_;
      if (request_id == kQuit) StopAfterQuitLocked();
      return false;
    }
    if (faults_.error_flag) {
      --faults_.error_flag;
      reply[2] |= kStatusError;
      Seal(reply);
    }
    if (faults_.bad_check) {
      --faults_.bad_check;
      reply.back() ^= 0xA5A5A5A5u;
    }
    if (faults_.bad_mailbox) {
      --faults_.bad_mailbox;
      mailbox ^= kWrongMailboxMask;
    }
  }
  for (std::size_t i = 0; i < reply.size(); ++i)
    dsp_.WriteWord(kReplyBuffer + static_cast<std::uint32_t>(4 * i), reply[i]);
  dsp_.WriteWord(kReplyMailbox, mailbox);
  ++replies_;
  // The program has stopped by the time the host sees QUIT_ACK: a frame sent after it is never served.
  if (request_id == kQuit) StopAfterQuitLocked();
  dsp_.RaiseHostInterrupt();
  return true;
}

void DspProgram::StopAfterQuitLocked() {
  state_ = State::kDead;
  counter_frozen_.store(ActivityCounter());
  counter_live_.store(false);
}

void DspProgram::WriteStatus(std::uint64_t generation, std::uint32_t progress, std::uint32_t status) {
  std::lock_guard<std::mutex> g(lock_);
  if (generation != generation_ || state_ != State::kRunning) return;
  dsp_.WriteWord(kStatusBlock + 4, progress & 0xFFFF);
  dsp_.WriteWord(kStatusBlock + 8, status);
  dsp_.WriteWord(kStatusBlock + 12, requests_taken_word_);
}

}  // namespace sim
