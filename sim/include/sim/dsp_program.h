// The program the DSP runs, modelled on the DSP side of the host port (sim/dsp.h): it boots from the
// image the firmware loads, then answers the firmware's request frames with reply frames, keeps its
// status block and measures the NMR signal of the world (sim/nmr_signal.h).
//
// Memory map (DSP byte addresses): request mailbox 0xFFE0 (the id of the request just written),
// reply mailbox 0xFFE4, status block 0xFFE8 (word 0 an activity counter that runs while the program
// runs, word 1 the search progress in percent, word 2 the status word, word 3 the number of requests
// taken), request buffer 0x90FF0000, reply buffer 0x90FF8000. The intermediate data of the last
// measurement are written at kSignalBlock, kFftBlock, kPeakBlock and kFitBlock when REQUEST_NMR_SIGNAL
// asks for them and stay there until RELEASE_NMR_SIGNAL (later measurements do not overwrite them).
//
// Frames: 32-bit words {id, sequence number, payload..., check word = XOR of the words before it},
// every id with its fixed length (one row table in dsp_program.cpp). Replies carry the request's id
// OR 0x10000, its sequence number and the status word in word 2 (bit 31 the error flag, bit 4 busy
// with a search). A reply is written to the reply buffer, its id to the reply mailbox, then the host
// interrupt is raised.
//
// Life: held while the reset line is low (the memory is cleared); after reset the first DSPINT starts
// the program, which boots only when the identity block and the code it names are whole in memory
// (sim/dsp_image.h) and the no-boot fault is off; it then sends DSP_BOOTED with its version and the
// board's CPLD version. A DSPINT that finds no image leaves the DSP dead until the next reset. Every
// later DSPINT hands over one request: its frame is taken from memory at once (on the host's thread)
// and served on the program's own thread. A frame with an unknown id, a first word that is not the
// mailbox id or a wrong check word is answered at once with the error flag set. One request is
// served at a time: a new one replaces a pending one, whose reply is then never sent; ABORT cancels the
// pending one and is answered with ABORT_ACK. QUIT is acknowledged and stops the program.
//
// Measuring: the receiver samples at the rate of PW_MEASURE_PARMS word 12 (else PW_DEFAULT_CONFIGURATION
// word 4, else 1 MHz) for the sample length of PW_MEASURE_PARMS word 11 (else 2 ms), 64 to 4096
// samples, with its LO a quarter of the sample rate below the frequency it works at: the tracking
// frequency, set by INITIATE_TRACKING, INITIATE_MANUAL_MEASUREMENT or a search's find, and moved to
// each measured frequency. TRIGGER measures at once whatever the trigger source (the trigger inputs
// are not modelled). Replies:
//   RETURN_SEARCH_RESULT     words 4-5 the frequency found (0 when none); a confirmation (word 4 of
//                            the request set) looks only at its first frequency
//   RETURN_PW_MEASUREMENT    flux = factor x frequency + offset (0 without resonance), the frequency
//                            (0 without resonance), a time stamp in microseconds, sigma in the unit
//                            of the flux, word 11 the acquisitions averaged (1), uniformity (the
//                            line width over the frequency, ppm), matching and tuning as
//                            PW_MEASURE_PARMS gave them
//   RETURN_NMR_SIGNAL        the last measurement's IF and RF frequency, relaxation time (from the
//                            line width), sample rate, blocks (signal, FFT magnitudes, peak spectrum,
//                            fit: a, b, c of the log-magnitude parabola, IF, line width) and their
//                            scalars; all lengths 0 before any measurement
//   RETURN_TRIGGER_OUT       word 4: 1 when the request's state word is set
//
// Timing: replies follow at once, except a search, which sweeps its window in steps spread over
// kSearchTicks ticks with the busy bit set and the progress in status word 1. Fault delays are given
// in milliseconds of the board's time (10 ms per tick, scaled with the tick like the firmware's
// time-outs).
//
// Faults (until cleared): no boot; versions reported in DSP_BOOTED; per-request (or all-request) reply
// delay; dropping the next N replies of a request (or of all); wrong reply-mailbox id, bad check word
// or error flag on the next N replies; a stalled activity counter.
//
// Thread safety: any thread. The program thread is started by the constructor and joined by Stop (and
// the destructor). The Dsp's hooks call into this object, which must outlive them: Stop unhooks.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/dsp.h"
#include "sim/dsp_image.h"
#include "sim/nmr_signal.h"

namespace sim {

class DspProgram {
 public:
  static constexpr std::uint32_t kRequestMailbox = 0xFFE0;
  static constexpr std::uint32_t kReplyMailbox = 0xFFE4;
  static constexpr std::uint32_t kStatusBlock = 0xFFE8;
  static constexpr std::uint32_t kRequestBuffer = 0x90FF0000;
  static constexpr std::uint32_t kReplyBuffer = 0x90FF8000;
  static constexpr std::uint32_t kSignalBlock = 0x80000000;
  static constexpr std::uint32_t kFftBlock = 0x80010000;
  static constexpr std::uint32_t kPeakBlock = 0x80018000;
  static constexpr std::uint32_t kFitBlock = 0x80019000;

  static constexpr std::uint32_t kReplyBit = 0x10000;
  static constexpr std::uint32_t kBootedId = 0x10001;
  static constexpr std::uint32_t kStatusError = 0x80000000u;
  static constexpr std::uint32_t kStatusSearchBusy = 0x10;
  static constexpr std::uint32_t kAllRequests = 0;  // fault selector: every request
  static constexpr unsigned kSearchTicks = 20;
  static constexpr std::uint32_t kMaxFrameWords = 658;

  // Request ids.
  static constexpr std::uint32_t kDefaultConfiguration = 0x10;
  static constexpr std::uint32_t kProbeConnect = 0x20;
  static constexpr std::uint32_t kMeasureParms = 0x30;
  static constexpr std::uint32_t kInitiateSearch = 0x40;
  static constexpr std::uint32_t kInitiateTracking = 0x50;
  static constexpr std::uint32_t kInitiateManual = 0x60;
  static constexpr std::uint32_t kTrigger = 0x70;
  static constexpr std::uint32_t kAbort = 0x80;
  static constexpr std::uint32_t kRequestNmrSignal = 0x90;
  static constexpr std::uint32_t kReleaseNmrSignal = 0xA0;
  static constexpr std::uint32_t kExternalReference = 0xB0;
  static constexpr std::uint32_t kTriggerOut = 0xC0;
  static constexpr std::uint32_t kQuit = 0xD0;

  // The world the receiver meets, asked for at every acquisition (on the program's thread).
  using WorldSource = std::function<NmrWorld()>;

  DspProgram(Dsp& dsp, WorldSource world);
  ~DspProgram();
  DspProgram(const DspProgram&) = delete;
  DspProgram& operator=(const DspProgram&) = delete;

  // Unhooks from the Dsp and joins the program's thread. Idempotent.
  void Stop();

  // The board's CPLD version, reported in DSP_BOOTED (1.8 unless the board says otherwise).
  void SetCpldVersion(DspVersion version);
  // The seed of the receiver's noise (tests that compare runs).
  void SetNoiseSeed(std::uint32_t seed);

  // Frame table: the fixed length in bytes of a request id and of a reply id (0 for any other id),
  // and the message's name ("" for an unknown id).
  static std::uint32_t RequestBytes(std::uint32_t id);
  static std::uint32_t ReplyBytes(std::uint32_t id);
  static const char* MessageName(std::uint32_t id);

  // --- faults ---------------------------------------------------------------------------------------
  void SetBootEnabled(bool enabled);
  void SetReportedVersions(DspVersion dsp, DspVersion cpld);  // in place of the real ones
  void SetReplyDelay(std::uint32_t request_id, std::uint32_t board_milliseconds);
  void DropReplies(std::uint32_t request_id, unsigned count);
  void CorruptMailbox(unsigned replies);
  void CorruptCheckWord(unsigned replies);
  void SetErrorFlag(unsigned replies);
  void StallCounter(bool stalled);
  void ClearFaults();

  // --- observations ---------------------------------------------------------------------------------
  bool Running();                 // booted and not stopped
  std::uint64_t Boots();          // DSP_BOOTED notices sent
  std::uint64_t RequestsTaken();  // frames handed over while running
  std::uint64_t BadFrames();      // of which refused
  std::uint64_t RepliesSent();    // replies written, DSP_BOOTED included
  std::uint64_t
  RepliesCancelled();  // replies never sent: given up for ABORT or a newer request, or dropped by the fault
  // One line of state and faults, for the board's `dsp` command.
  std::string Describe();

 private:
  enum class State { kHeld, kWaitingStart, kRunning, kDead };
  struct Frame {
    std::uint64_t generation = 0;
    std::uint32_t mailbox = 0;
    std::vector<std::uint32_t> words;
  };
  struct Job;
  struct Faults {
    bool boot = true;
    std::optional<std::pair<DspVersion, DspVersion>> versions;
    std::map<std::uint32_t, std::uint32_t> delay_ms;  // request id (0 all) -> board ms
    std::map<std::uint32_t, unsigned> drop;           // request id (0 all) -> replies to drop
    unsigned bad_mailbox = 0;
    unsigned bad_check = 0;
    unsigned error_flag = 0;
    bool stall = false;
  };

  void OnDspInterrupt();
  void OnReset(bool released);
  std::uint32_t ActivityCounter();
  void Run();
  void Handle(const Frame& frame);
  void Boot(std::uint64_t generation);
  void TakeRequest(const Frame& frame);
  void StepJob();
  bool Deliver(std::uint64_t generation, std::uint32_t request_id, std::vector<std::uint32_t> reply, bool faults);
  void StopAfterQuitLocked();  // lock_ held: QUIT ends the program (its ACK sent or dropped)
  void WriteStatus(std::uint64_t generation, std::uint32_t progress, std::uint32_t status);
  std::vector<std::uint32_t> Serve(const Frame& frame, std::uint32_t id);
  std::vector<std::uint32_t> Measure(const std::vector<std::uint32_t>& request);
  std::vector<std::uint32_t> NmrSignalReply(const std::vector<std::uint32_t>& request);
  NmrAcquisition AcquisitionAt(double rf_frequency) const;
  std::chrono::steady_clock::duration BoardTime(std::uint32_t board_milliseconds) const;

  Dsp& dsp_;
  WorldSource world_;
  std::chrono::steady_clock::time_point epoch_ = std::chrono::steady_clock::now();

  std::mutex lock_;  // guards everything below up to the worker's own state
  std::condition_variable wake_;
  bool stop_ = false;
  bool hooked_ = false;
  State state_ = State::kHeld;
  std::uint64_t generation_ = 0;  // advances at every reset and stop
  std::deque<Frame> frames_;
  Faults faults_;
  DspVersion cpld_{1, 8};
  DspVersion version_{};
  std::uint32_t noise_seed_ = 0x5eed;
  bool reseed_ = true;
  std::uint64_t boots_ = 0;
  std::uint64_t requests_ = 0;
  std::uint64_t bad_frames_ = 0;
  std::uint64_t replies_ = 0;
  std::uint64_t cancelled_ = 0;
  std::uint32_t requests_taken_word_ = 0;
  // Read by the activity counter under the Dsp's lock: atomics, never this object's lock.
  std::atomic<bool> counter_live_{false};
  std::atomic<std::uint32_t> counter_frozen_{0};

  // The program thread's own state.
  std::unique_ptr<Job> job_;
  std::unique_ptr<NmrAnalyser> analyser_;
  std::mt19937 rng_;
  std::optional<NmrAnalysis> last_;  // the last measurement's data
  std::vector<std::uint32_t> default_configuration_;
  std::vector<std::uint32_t> probe_connect_;
  std::vector<std::uint32_t> measure_parms_;
  double tracking_ = 0.0;
  std::uint32_t status_ = 0;

  std::thread thread_;
};

}  // namespace sim
