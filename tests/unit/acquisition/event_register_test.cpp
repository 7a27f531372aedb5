// The event register's wait (sources, priorities, time-outs, aborts, select failures) and the DSP
// command exchanges built on it (SendDspCommand, AbortDSP).
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "acq_module_support.h"
#include "acquisition/CTorvexException.h"
#include "platform/interrupt.h"
#include "support/wait_for.h"

namespace torvex_test {
namespace {

using Torvex::CEventRegister;
using Torvex::CTorvexHostAcquisition;

using AbortMsg = CTorvexHostAcquisition::AbortMsg;
using PipeMsg = CTorvexHostAcquisition::PipeMsg;

std::atomic<int> g_SelectCalls{0};
std::atomic<int> g_Interruptions{0};

// Fails with EINTR the first g_Interruptions calls, then selects for real.
int InterruptedSelect(int nfds, fd_set* rd, fd_set* wr, fd_set* ex, timeval* timeout) {
  ++g_SelectCalls;
  if (g_Interruptions.fetch_sub(1) > 0) {
    errno = EINTR;
    return -1;
  }
  return platform::select(nfds, rd, wr, ex, timeout);
}

int FailingSelect(int, fd_set*, fd_set*, fd_set*, timeval*) {
  ++g_SelectCalls;
  errno = EBADF;
  return -1;
}

// Reports one ready descriptor but marks none of those registered.
int StraySelect(int, fd_set* rd, fd_set*, fd_set*, timeval*) {
  ++g_SelectCalls;
  FD_ZERO(rd);
  return 1;
}

class EventRegisterTest : public AcqModuleTest {
 protected:
  // Raises the DSP's interrupt and returns once the board has delivered it to the device.
  void RaiseDspInterrupt() {
    const auto delivered = platform::interrupts::DeliveredCount(0);
    board_->dsp().RaiseHostInterrupt();
    ASSERT_TRUE(WaitFor([&] { return platform::interrupts::DeliveredCount(0) > delivered; }));
  }
  void SetUp() override {
    AcqModuleTest::SetUp();
    g_SelectCalls = 0;
    g_Interruptions = 0;
  }
};

TEST_F(EventRegisterTest, ACommandMessageIsReportedAndLeftInThePipe) {
  ASSERT_TRUE(Torvex::g_CommandMailBox.Send(PipeMsg{Torvex::kPipeMsgBusTrigger, nullptr, 0, 0}));
  EXPECT_EQ(CEventRegister::WaitForEvent(Torvex::kAcqSourceCommand, 1000, true), Torvex::kAcqEventMessage);
  PipeMsg message{};
  ASSERT_TRUE(Torvex::g_CommandMailBox.TryReceive(&message));
  EXPECT_EQ(message.code, Torvex::kPipeMsgBusTrigger);
  EXPECT_FALSE(Torvex::g_CommandMailBox.TryReceive(&message));
}

TEST_F(EventRegisterTest, TimeOutsPollOnceOrWaitTheirTime) {
  EXPECT_EQ(CEventRegister::WaitForEvent(Torvex::kAcqSourceCommand | Torvex::kAcqSourceDsp, 0, true),
            Torvex::kAcqEventTimeout);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CEventRegister::WaitForEvent(Torvex::kAcqSourceCommand, 50, false), Torvex::kAcqEventTimeout);
  const auto waited = std::chrono::steady_clock::now() - start;
  // 50 board milliseconds are five kernel ticks.
  EXPECT_GE(waited, std::chrono::microseconds(5 * platform::kernel::TickMicroseconds() - 1000));
}

TEST_F(EventRegisterTest, AbortMessagesBecomeTheirExceptions) {
  cyg_sem_t reply;
  cyg_semaphore_init(&reply, 0);

  ASSERT_TRUE(Torvex::g_AbortMailBox.Send(AbortMsg{Torvex::kAbortMsgAbort, &reply}));
  try {
    CEventRegister::WaitForEvent(Torvex::kAcqSourceCommand, 1000, true);
    ADD_FAILURE() << "no exception";
  } catch (const Torvex::CAbortException& abort) {
    EXPECT_TRUE(abort.IsAbort());
    EXPECT_FALSE(abort.IsError());
    EXPECT_EQ(abort.m_ReplySemaphore, &reply);
    EXPECT_STREQ(abort.what(), "HostAcq was asked to abort.\n");
  }

  ASSERT_TRUE(Torvex::g_AbortMailBox.Send(AbortMsg{Torvex::kAcqNmrPathBroken, nullptr}));
  try {
    CEventRegister::WaitForEvent(Torvex::kAcqSourceDsp, 1000, true);
    ADD_FAILURE() << "no exception";
  } catch (const Torvex::CAcqError& error) {
    EXPECT_EQ(error.m_Code, Torvex::kAcqNmrPathBroken);
    EXPECT_STREQ(error.what(), "HostAcq encountered an error.\n");
  }
  // Neither wait posted the semaphore: that is the trigger flow's part.
  EXPECT_FALSE(cyg_semaphore_trywait(&reply));
  cyg_semaphore_destroy(&reply);
}

TEST_F(EventRegisterTest, AnAbortIsSeenOnlyByAbortableWaits) {
  ASSERT_TRUE(Torvex::g_AbortMailBox.Send(AbortMsg{Torvex::kAbortMsgAbort, nullptr}));
  // The boot wait and AbortDSP's wait are not abortable: the message stays.
  EXPECT_EQ(CEventRegister::WaitForEvent(Torvex::kAcqSourceDsp, 20, false), Torvex::kAcqEventTimeout);
  // Sources 4 name neither source: only the abort (or the time-out) ends the wait.
  EXPECT_THROW(CEventRegister::WaitForEvent(4, 1000, true), Torvex::CAbortException);
  EXPECT_EQ(CEventRegister::WaitForEvent(4, 20, true), Torvex::kAcqEventTimeout);
}

TEST_F(EventRegisterTest, PriorityIsAbortThenDspThenCommand) {
  // DSP interrupt and command message at once: the DSP; the message stays for later.
  RaiseDspInterrupt();
  ASSERT_TRUE(Torvex::g_CommandMailBox.Send(PipeMsg{Torvex::kPipeMsgInitiate, nullptr, 0, 0}));
  EXPECT_EQ(CEventRegister::WaitForEvent(Torvex::kAcqSourceCommand | Torvex::kAcqSourceDsp, 1000, true),
            Torvex::kAcqEventDsp);
  PipeMsg message{};
  EXPECT_TRUE(Torvex::g_CommandMailBox.TryReceive(&message));

  // The abort mailbox and the DSP interrupt at once: the abort.
  DrainDspEvents();
  RaiseDspInterrupt();
  ASSERT_TRUE(Torvex::g_AbortMailBox.Send(AbortMsg{Torvex::kAbortMsgAbort, nullptr}));
  EXPECT_THROW(CEventRegister::WaitForEvent(Torvex::kAcqSourceDsp, 1000, true), Torvex::CAbortException);
  DrainDspEvents();
}

TEST_F(EventRegisterTest, AnInterruptedSelectIsRetriedNotFatal) {
  ASSERT_TRUE(Torvex::g_CommandMailBox.Send(PipeMsg{Torvex::kPipeMsgInitiate, nullptr, 0, 0}));
  g_Interruptions = 2;
  CEventRegister::SetSelectFunction(&InterruptedSelect);
  EXPECT_EQ(CEventRegister::WaitForEvent(Torvex::kAcqSourceCommand, 1000, true), Torvex::kAcqEventMessage);
  EXPECT_EQ(g_SelectCalls.load(), 3);
}

TEST_F(EventRegisterTest, AFailedOrStraySelectIsFatal) {
  struct Case {
    const char* name;
    CEventRegister::SelectFunction select;
  };
  for (const Case& c : {Case{"failed", &FailingSelect}, Case{"stray", &StraySelect}}) {
    SCOPED_TRACE(c.name);
    CEventRegister::SetSelectFunction(c.select);
    try {
      CEventRegister::WaitForEvent(Torvex::kAcqSourceDsp, 100, true);
      ADD_FAILURE() << "no exception";
    } catch (const Torvex::CFatalAcqException& fatal) {
      const std::string text = fatal.what();
      EXPECT_EQ(text.rfind("HostAcq fatal exception at: ", 0), 0u) << text;
      EXPECT_EQ(text.substr(text.size() - 2), ".\n");
    }
  }
}

// --- DSP command exchanges ---------------------------------------------------------------------------

class DspCommandTest : public EventRegisterTest {
 protected:
  void SetUp() override {
    EventRegisterTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(Boot());
    DrainDspEvents();
  }
};

TEST_F(DspCommandTest, AnsweredCommandPassesTheStatusOnAndReleasesTheInterface) {
  script_->SetPayload(Torvex::DspReplyId(Torvex::kDspPwDefaultConfiguration), {0x1});
  Torvex::SendDspCommand(Torvex::kDspPwDefaultConfiguration, Torvex::DspReplyId(Torvex::kDspPwDefaultConfiguration),
                         500);
  EXPECT_FALSE(Torvex::CTorvexDSP::HeldByCaller());
  ASSERT_NE(Torvex::g_node_ref_clock_external_detected, nullptr);
  EXPECT_TRUE(Torvex::g_node_ref_clock_external_detected->GetBooleanAttribute(Torvex::eAttrValue));
  EXPECT_FALSE(Torvex::g_node_ref_clock_external_locked->GetBooleanAttribute(Torvex::eAttrValue));
}

TEST_F(DspCommandTest, NoReplyInTimeIsTheLocatedTimeOutError) {
  script_->SetSilent(true);
  try {
    Torvex::SendDspCommand(Torvex::kDspPwMeasureParms, Torvex::DspReplyId(Torvex::kDspPwMeasureParms), 100);
    ADD_FAILURE() << "no exception";
  } catch (const Torvex::CAcqError& error) {
    EXPECT_EQ(error.m_Code, Torvex::kAcqTimeout);
    EXPECT_EQ(std::string(error.what()).rfind("HostAcq encountered an error at: ", 0), 0u) << error.what();
  }
  EXPECT_FALSE(Torvex::CTorvexDSP::HeldByCaller());
}

TEST_F(DspCommandTest, AnAbortDuringTheWaitPassesAndReleasesTheInterface) {
  script_->SetSilent(true);
  ASSERT_TRUE(Torvex::g_AbortMailBox.Send(AbortMsg{Torvex::kAbortMsgAbort, nullptr}));
  EXPECT_THROW(Torvex::SendDspCommand(Torvex::kDspPwMeasureParms, Torvex::DspReplyId(Torvex::kDspPwMeasureParms), 500),
               Torvex::CAbortException);
  EXPECT_FALSE(Torvex::CTorvexDSP::HeldByCaller());
}

TEST_F(DspCommandTest, AFatalFailureStaysFatal) {
  CEventRegister::SetSelectFunction(&FailingSelect);
  EXPECT_THROW(Torvex::SendDspCommand(Torvex::kDspPwMeasureParms, Torvex::DspReplyId(Torvex::kDspPwMeasureParms), 500),
               Torvex::CFatalAcqException);
  EXPECT_FALSE(Torvex::CTorvexDSP::HeldByCaller());
}

TEST_F(DspCommandTest, ARefusedRequestIsAnErrorWithTheInterfaceCode) {
  Torvex::CTorvexDSP::ResetToNotBooted();
  try {
    Torvex::SendDspCommand(Torvex::kDspPwMeasureParms, Torvex::DspReplyId(Torvex::kDspPwMeasureParms), 500);
    ADD_FAILURE() << "no exception";
  } catch (const Torvex::CAcqError& error) {
    EXPECT_EQ(error.m_Code, Torvex::kDspIfNotBooted);
  }
  EXPECT_FALSE(Torvex::CTorvexDSP::HeldByCaller());
}

TEST_F(DspCommandTest, AbortDspAfterAnUnansweredRequestIsAcknowledged) {
  script_->SetSilent(true);
  EXPECT_THROW(Torvex::SendDspCommand(Torvex::kDspPwMeasureParms, Torvex::DspReplyId(Torvex::kDspPwMeasureParms), 50),
               Torvex::CAcqError);
  script_->SetSilent(false);
  const std::size_t before = script_->RequestCount();
  CTorvexHostAcquisition::AbortDSP();
  EXPECT_EQ(script_->RequestCount(), before + 1);
  EXPECT_EQ(script_->LastRequest().at(0), Torvex::kDspAbort);
  EXPECT_FALSE(Torvex::CTorvexDSP::HeldByCaller());
}

TEST_F(DspCommandTest, AbortDspTriesTwiceThenRestartsTheSystem) {
  script_->SetSilent(true);
  const std::size_t before = script_->RequestCount();
  EXPECT_THROW(CTorvexHostAcquisition::AbortDSP(), Torvex::CFatalAcqException);
  EXPECT_EQ(script_->RequestCount(), before + 2);
  EXPECT_FALSE(Torvex::CTorvexDSP::HeldByCaller());
}

}  // namespace
}  // namespace torvex_test
