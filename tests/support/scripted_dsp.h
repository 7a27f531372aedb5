// ScriptedDsp: a DSP program stand-in on the board's DSP model for tests and benchmarks of the DSP link.
//
// It answers each request the host sends (on the host's own thread, inside its DSP interrupt) with the
// reply the script says: by default the request's reply with status 0 and an all-zero payload; a test
// may set the payload of a reply id or make the DSP stay silent. Every request frame is recorded as the
// DSP found it in its memory. The board's own DSP program model must be stopped first (it owns the same
// hooks).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "acquisition/CTorvexDSP.h"
#include "acquisition/DspProtocol.h"
#include "sim/dsp.h"

namespace torvex_test {

// A frame as the DSP would send it: id, sequence number, payload (word 2 the status word) and the
// check word, the whole `bytes` long.
inline std::vector<std::uint32_t> MakeReply(std::uint32_t id, std::uint32_t sequence,
                                            const std::vector<std::uint32_t>& payload) {
  const std::uint32_t n = Torvex::DspReplyLength(id) / 4;
  std::vector<std::uint32_t> frame(n < 3 ? 3 : n, 0);
  frame[0] = id;
  frame[1] = sequence;
  for (std::size_t i = 0; i < payload.size() && i + 3 < frame.size(); ++i) frame[2 + i] = payload[i];
  std::uint32_t x = 0;
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) x ^= frame[i];
  frame.back() = x;
  return frame;
}

class ScriptedDsp {
 public:
  explicit ScriptedDsp(sim::Dsp& dsp) : dsp_(dsp) {
    dsp_.SetDspInterruptHook([this] { OnRequest(); });
  }
  ~ScriptedDsp() { dsp_.SetDspInterruptHook(nullptr); }

  // Payload of a reply from word 2 (status word) on; the rest of the frame is 0.
  void SetPayload(std::uint32_t replyId, std::vector<std::uint32_t> payload) {
    std::lock_guard<std::mutex> g(m_);
    payloads_[replyId] = std::move(payload);
  }
  // Payloads for the next replies of an id, one per reply, used before the payload SetPayload gave.
  void QueuePayload(std::uint32_t replyId, std::vector<std::uint32_t> payload) {
    std::lock_guard<std::mutex> g(m_);
    queued_[replyId].push_back(std::move(payload));
  }
  // A silent DSP takes requests and never answers.
  void SetSilent(bool silent) {
    std::lock_guard<std::mutex> g(m_);
    silent_ = silent;
  }

  // Places a frame in the reply buffer, its id in the reply mailbox, and interrupts the host.
  void Send(const std::vector<std::uint32_t>& frame) {
    for (std::size_t i = 0; i < frame.size(); ++i) {
      dsp_.WriteWord(Torvex::kDspReplyBuffer + 4 * static_cast<std::uint32_t>(i), frame[i]);
    }
    dsp_.WriteWord(Torvex::kDspReplyMailbox, frame[0]);
    dsp_.RaiseHostInterrupt();
  }
  void SendBooted(std::uint32_t dspMajor, std::uint32_t dspMinor, std::uint32_t cpldMajor, std::uint32_t cpldMinor,
                  std::uint32_t status = 0) {
    Send(MakeReply(Torvex::kDspBooted, 0, {status, 0, dspMajor, dspMinor, cpldMajor, cpldMinor}));
  }

  std::vector<std::vector<std::uint32_t>> Requests() {
    std::lock_guard<std::mutex> g(m_);
    return requests_;
  }
  std::vector<std::uint32_t> LastRequest() {
    std::lock_guard<std::mutex> g(m_);
    return requests_.empty() ? std::vector<std::uint32_t>{} : requests_.back();
  }
  std::size_t RequestCount() {
    std::lock_guard<std::mutex> g(m_);
    return requests_.size();
  }

 private:
  void OnRequest() {
    const std::uint32_t id = dsp_.ReadWord(Torvex::kDspRequestMailbox);
    const std::uint32_t n = Torvex::DspRequestLength(id) / 4;
    std::vector<std::uint32_t> frame(n);
    for (std::uint32_t i = 0; i < n; ++i) frame[i] = dsp_.ReadWord(Torvex::kDspRequestBuffer + 4 * i);
    std::vector<std::uint32_t> reply;
    {
      std::lock_guard<std::mutex> g(m_);
      requests_.push_back(frame);
      if (silent_ || n == 0) return;
      const std::uint32_t replyId = Torvex::DspReplyId(id);
      auto queued = queued_.find(replyId);
      auto it = payloads_.find(replyId);
      if (queued != queued_.end() && !queued->second.empty()) {
        reply = MakeReply(replyId, frame[1] + 1, queued->second.front());
        queued->second.erase(queued->second.begin());
      } else {
        reply = MakeReply(replyId, frame[1] + 1, it != payloads_.end() ? it->second : std::vector<std::uint32_t>{0});
      }
    }
    Send(reply);
  }

  sim::Dsp& dsp_;
  std::mutex m_;
  std::map<std::uint32_t, std::vector<std::uint32_t>> payloads_;
  std::map<std::uint32_t, std::vector<std::vector<std::uint32_t>>> queued_;
  std::vector<std::vector<std::uint32_t>> requests_;
  bool silent_ = false;
};

}  // namespace torvex_test
