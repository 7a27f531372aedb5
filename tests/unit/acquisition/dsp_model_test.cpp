// The DSP link against the board's DSP program model: the program loaded and booted, every request
// the system sends accepted by the model's own frame checks, and each refusal of the interface raised
// by a fault of the model. Each test needs the model running, so it runs in a process where no scripted
// DSP has stopped it (CTest runs every test in a process of its own).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/select.h>

#include <chrono>
#include <vector>

#include "dsp_link_support.h"
#include "support/fake_probe.h"
#include "support/wait_for.h"

namespace torvex_test {
namespace {

using namespace Torvex;
using namespace std::chrono_literals;

class DspModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = &LinkBoard();
    if (ProgramModelStopped()) GTEST_SKIP() << "the DSP program model was stopped earlier in this process";
    LoadFactoryTree();
    g_node_current_probe_object->SetPointerAttribute(eAttrValue, &probe_);
    probe_.information.MinFreq = 1.0e6;
    probe_.information.MaxFreq = 1.0e8;
    probe_.information.SampleLength = 0.01;
    fd_ = platform::open(CTorvexDSP::GetDeviceName(), O_RDONLY);
    ASSERT_GE(fd_, 0);
    CTorvexDSP::ReleaseInterface();
  }
  void TearDown() override {
    if (fd_ >= 0) platform::close(fd_);
    CTorvexDSP::ReleaseInterface();
    if (!ProgramModelStopped()) board_->dsp_program().ClearFaults();
    if (g_node_current_probe_object != nullptr) g_node_current_probe_object->SetPointerAttribute(eAttrValue, nullptr);
  }

  // Waits until the DSP interrupts the host, at most `limit`.
  bool WaitForDspInterrupt(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (board_->dsp().HostInterruptAsserted()) return true;
      const auto left =
          std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      fd_set rd;
      FD_ZERO(&rd);
      FD_SET(fd_, &rd);
      timeval tv{static_cast<time_t>(left.count() / 1000000), static_cast<suseconds_t>(left.count() % 1000000)};
      platform::select(fd_ + 1, &rd, nullptr, nullptr, &tv);
    }
  }

  // Loads the program and reads its DSP_BOOTED.
  void LoadAndBoot() {
    ASSERT_EQ(CTorvexDSP::LoadDSPCode(), 0);
    ASSERT_TRUE(WaitForDspInterrupt(2s));
    ASSERT_EQ(CTorvexDSP::ReadMessage(kDspBooted, nullptr), 0);
    ASSERT_EQ(CTorvexDSP::GetState(), Ready);
  }

  int Exchange(std::uint32_t request, std::uint32_t* status = nullptr, std::uint32_t timeoutMs = 2000) {
    const int result = CTorvexDSP::Exchange(request, fd_, timeoutMs, status);
    CTorvexDSP::ReleaseInterface();
    return result;
  }

  sim::Board* board_ = nullptr;
  FakeProbe probe_{42.577e6};
  int fd_ = -1;
};

TEST_F(DspModelTest, LoadedProgramBootsWithItsVersions) {
  LoadAndBoot();
  std::uint16_t v[4] = {};
  CTorvexDSP::GetVersions(&v[0], &v[1], &v[2], &v[3]);
  EXPECT_EQ(v[0], 2);
  EXPECT_EQ(v[1], 4);
  EXPECT_EQ(v[2], 1);
  EXPECT_EQ(v[3], 8);
  EXPECT_TRUE(board_->dsp_program().Running());
}

TEST_F(DspModelTest, ReportedVersionsReachTheGetter) {
  board_->dsp_program().SetReportedVersions(sim::DspVersion{3, 1}, sim::DspVersion{1, 9});
  LoadAndBoot();
  std::uint16_t v[4] = {};
  CTorvexDSP::GetVersions(&v[0], &v[1], &v[2], &v[3]);
  EXPECT_EQ((std::vector<int>{v[0], v[1], v[2], v[3]}), (std::vector<int>{3, 1, 1, 9}));
}

// The model checks every frame it takes (id, length, check word) and answers a bad one with the error
// flag, so an accepted reply means the frame was whole.
TEST_F(DspModelTest, ModelAcceptsEveryRequestTheSystemSends) {
  LoadAndBoot();
  const std::uint64_t bad = board_->dsp_program().BadFrames();
  CTorvexDSP::SetTrackingFrequency(63.8e6);
  CTorvexDSP::SetSearchWindow(60.0e6, 70.0e6);
  CTorvexDSP::SetSearchConfirm(0);
  for (std::uint32_t request :
       {kDspPwDefaultConfiguration, kDspPwProbeConnect, kDspPwMeasureParms, kDspExternalReference, kDspTriggerOut,
        kDspInitiateTracking, kDspInitiateManualMeasurement, kDspAbort, kDspRequestNmrSignal, kDspReleaseNmrSignal,
        kDspLlSetFrequency, kDspLlSetVoltages, kDspLlSetFieldModulation, kDspInitiateSearch, kDspTrigger, kDspQuit}) {
    SCOPED_TRACE(DspRequestName(request));
    std::uint32_t status = 0xFFFFFFFF;
    EXPECT_EQ(Exchange(request, &status), 0);
    EXPECT_EQ(status & kDspStatusErrorFlag, 0u);
  }
  EXPECT_EQ(board_->dsp_program().BadFrames(), bad);
  // QUIT stops the program once it has acknowledged it.
  EXPECT_TRUE(WaitFor([this] { return !board_->dsp_program().Running(); }, 2s));
}

TEST_F(DspModelTest, ReloadedProgramIsAcceptedAgain) {
  LoadAndBoot();
  ASSERT_EQ(Exchange(kDspExternalReference), 0);
  // Restart from Ready, then from a request left without its reply.
  LoadAndBoot();
  board_->dsp_program().DropReplies(kDspExternalReference, 1);
  ASSERT_EQ(CTorvexDSP::SendRequest(kDspExternalReference), 0);
  CTorvexDSP::ReleaseInterface();
  ASSERT_EQ(CTorvexDSP::GetState(), AwaitingReply);
  // The reset may come before the program took the request: the drop is not carried over.
  board_->dsp_program().ClearFaults();
  LoadAndBoot();
  EXPECT_EQ(Exchange(kDspExternalReference), 0);
}

struct FaultCase {
  const char* what;
  void (*inject)(sim::DspProgram&);
  int result;
};

TEST_F(DspModelTest, ModelFaultsGiveTheInterfaceCodes) {
  const std::vector<FaultCase> cases = {
      {"wrong reply mailbox", [](sim::DspProgram& p) { p.CorruptMailbox(1); }, 39},
      {"bad check word", [](sim::DspProgram& p) { p.CorruptCheckWord(1); }, 40},
      {"error flag", [](sim::DspProgram& p) { p.SetErrorFlag(1); }, 41},
      {"reply dropped", [](sim::DspProgram& p) { p.DropReplies(kDspExternalReference, 1); }, 38},
  };
  LoadAndBoot();
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.what);
    c.inject(board_->dsp_program());
    const std::uint32_t sequence = CTorvexDSP::GetSequenceCounter();
    EXPECT_EQ(Exchange(kDspExternalReference, nullptr, c.result == 38 ? 300 : 2000), c.result);
    EXPECT_EQ(CTorvexDSP::GetSequenceCounter(), sequence + 1);  // the request only
    EXPECT_EQ(CTorvexDSP::GetState(), Ready);
    // The link carries on at once.
    EXPECT_EQ(Exchange(kDspExternalReference), 0);
  }
}

TEST_F(DspModelTest, ProgramThatDoesNotBootRefusesRequests) {
  board_->dsp_program().SetBootEnabled(false);
  ASSERT_EQ(CTorvexDSP::LoadDSPCode(), 0);
  EXPECT_FALSE(WaitForDspInterrupt(300ms));
  EXPECT_EQ(CTorvexDSP::GetState(), NotBooted);
  EXPECT_EQ(Exchange(kDspExternalReference), 43);
  EXPECT_EQ(CTorvexDSP::ReadMessage(kDspBooted, nullptr), 39);  // nothing in the mailbox
  board_->dsp_program().SetBootEnabled(true);
  LoadAndBoot();
}

// Without the time-out handling of Exchange, a request whose reply never came leaves the machine
// awaiting it: the next request other than ABORT is refused with 47 and frees the machine.
TEST_F(DspModelTest, RequestAfterAnUnansweredOneIsRefused) {
  LoadAndBoot();
  board_->dsp_program().DropReplies(kDspExternalReference, 1);
  ASSERT_EQ(CTorvexDSP::SendRequest(kDspExternalReference), 0);
  EXPECT_FALSE(WaitForDspInterrupt(200ms));
  EXPECT_EQ(CTorvexDSP::SendRequest(kDspTriggerOut), 47);
  EXPECT_EQ(CTorvexDSP::GetState(), Ready);
  CTorvexDSP::ReleaseInterface();
  // ABORT is what recovers a pending request without a refusal.
  board_->dsp_program().DropReplies(kDspExternalReference, 1);
  ASSERT_EQ(CTorvexDSP::SendRequest(kDspExternalReference), 0);
  EXPECT_EQ(CTorvexDSP::SendRequest(kDspAbort), 0);
  ASSERT_TRUE(WaitForDspInterrupt(2s));
  EXPECT_EQ(CTorvexDSP::ReadMessage(DspReplyId(kDspAbort), nullptr), 0);
  CTorvexDSP::ReleaseInterface();
}

}  // namespace
}  // namespace torvex_test
