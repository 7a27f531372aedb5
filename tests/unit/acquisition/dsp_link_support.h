// What the DSP-link tests share: the process's simulated board with the DSP out of reset, the
// factory parameter tree loaded and bound, and a scripted DSP on the board's DSP model.
//
// ScriptedDsp answers each request the host sends (on the host's own thread, inside its DSP interrupt)
// with the reply the script says: by default the request's reply with status 0 and an all-zero payload;
// a test may set the payload of a reply id, make the DSP stay silent, or corrupt a reply. Every request
// frame is recorded as the DSP found it in its memory.
#pragma once

#include <gtest/gtest.h>
#include <sys/select.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/CTorvexDSP.h"
#include "acquisition/DspProtocol.h"
#include "core/CLogger.h"
#include "drivers/dsp_hpi.h"
#include "platform/io.h"
#include "sim/board.h"
#include "support/process_board.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"

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
  // A silent DSP takes requests and never answers.
  void SetSilent(bool silent) {
    std::lock_guard<std::mutex> g(m_);
    silent_ = silent;
  }
  // The next reply gets its check word flipped in bit 0.
  void CorruptNextCheckWord() {
    std::lock_guard<std::mutex> g(m_);
    corrupt_ = true;
  }

  // Places a frame in the reply buffer, its id in the reply mailbox, and interrupts the host.
  void Send(const std::vector<std::uint32_t>& frame) {
    for (std::size_t i = 0; i < frame.size(); ++i) {
      dsp_.WriteWord(Torvex::kDspReplyBuffer + 4 * static_cast<std::uint32_t>(i), frame[i]);
    }
    dsp_.WriteWord(Torvex::kDspReplyMailbox, frame[0]);
    dsp_.RaiseHostInterrupt();
  }
  void SendBooted(std::uint32_t dspMajor, std::uint32_t dspMinor, std::uint32_t cpldMajor,
                  std::uint32_t cpldMinor, std::uint32_t status = 0) {
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
      auto it = payloads_.find(replyId);
      reply = MakeReply(replyId, frame[1] + 1, it != payloads_.end() ? it->second : std::vector<std::uint32_t>{0});
      if (corrupt_) reply.back() ^= 1u;
      corrupt_ = false;
    }
    Send(reply);
  }

  sim::Dsp& dsp_;
  std::mutex m_;
  std::map<std::uint32_t, std::vector<std::uint32_t>> payloads_;
  std::vector<std::vector<std::uint32_t>> requests_;
  bool silent_ = false;
  bool corrupt_ = false;
};

// The board of this test program with the factory tree loaded and bound (once per process).
inline sim::Board& LinkBoard() {
  static sim::Board* board = [] {
    sim::Board& b = ProcessBoard("dsplink");
    std::filesystem::create_directories(std::filesystem::path(b.Root()) / "romfs");
    std::filesystem::copy_file(std::filesystem::path(TORVEX_ROMFS_DIR) / "factory.xml",
                               std::filesystem::path(b.Root()) / "romfs" / "factory.xml",
                               std::filesystem::copy_options::overwrite_existing);
    if (!platform::IsMounted("/romfs")) platform::mount("", "/romfs", "romfs");
    return &b;
  }();
  return *board;
}

// The whole log as one string.
inline std::string LogText() {
  char* copy = Torvex::g_Logger.CopyBuffer();
  std::string text = copy != nullptr ? copy : "";
  delete[] copy;
  return text;
}

// Base fixture: a freshly loaded factory tree, the DSP out of reset, a scripted DSP, and the
// interface brought back to NotBooted and free.
class DspLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = &LinkBoard();
    delete Torvex::g_ParameterTreeRoot;
    Torvex::g_ParameterTreeRoot = nullptr;
    ASSERT_EQ(Torvex::LoadTreeFromXml("/romfs/factory.xml", &Torvex::g_ParameterTreeRoot, nullptr), 0);
    ASSERT_EQ(Torvex::BindParameterNodes(Torvex::g_ParameterTreeRoot), 0);
    dsp_reset(false);
    dsp_hpi_ack_host_interrupt();
    script_ = std::make_unique<ScriptedDsp>(board_->dsp());
    Torvex::CTorvexDSP::ResetToNotBooted();
    Torvex::CTorvexDSP::ReleaseInterface();
  }
  void TearDown() override {
    Torvex::CTorvexDSP::ReleaseInterface();
    script_.reset();
    dsp_hpi_ack_host_interrupt();
  }

  // Brings the interface to Ready with a DSP_BOOTED of versions 2.4 and 1.8.
  void Boot() {
    script_->SendBooted(2, 4, 1, 8);
    std::uint32_t status = 1;
    ASSERT_EQ(Torvex::CTorvexDSP::ReadMessage(Torvex::kDspBooted, &status), 0);
    ASSERT_EQ(status, 0u);
    ASSERT_EQ(Torvex::CTorvexDSP::GetState(), Torvex::Ready);
  }

  // One complete exchange answered by the script; returns the code of the send or of the read.
  int RoundTrip(std::uint32_t request, std::uint32_t* status = nullptr) {
    int result = Torvex::CTorvexDSP::SendRequest(request);
    if (result == 0) result = Torvex::CTorvexDSP::ReadMessage(Torvex::DspReplyId(request), status);
    Torvex::CTorvexDSP::ReleaseInterface();
    return result;
  }

  sim::Board* board_ = nullptr;
  std::unique_ptr<ScriptedDsp> script_;
};

}  // namespace torvex_test
