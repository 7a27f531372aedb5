// The status-byte machine and the service-request machine, driven through a fake physical interface
// that records what goes on the wire and can serve a status read synchronously.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/CServiceRequestStateMachine.h"
#include "engine/CStatusByteStateMachine.h"
#include "engine/DoVovuriStatus.h"

namespace {

using Srq = CServiceRequestStateMachine;

class CFakeInterface : public CStatusByteStateMachineEventObserver, public CServiceRequestStateMachineEventObserver {
 public:
  void OnStatusByteNeeded(std::uint32_t*) override { wire.push_back("needed"); }
  void AssertServiceRequest(std::uint32_t*) override {
    wire.push_back("assert");
    if (on_assert) on_assert();
  }
  void WithdrawServiceRequest(std::uint32_t*) override { wire.push_back("withdraw"); }
  void ReportStatusByte(std::uint8_t status_byte, std::uint32_t*) override {
    wire.push_back("report");
    reported.push_back(status_byte);
    if (on_report) on_report();
  }

  std::vector<std::string> wire;
  std::vector<std::uint8_t> reported;
  std::function<void()> on_assert;
  std::function<void()> on_report;
};

class ServiceRequest : public ::testing::Test {
 protected:
  ServiceRequest() : status_byte_(&fake_), srq_(&fake_, &status_byte_, &construct_status_) {}

  void Do(void (Srq::*event)(std::uint32_t*)) {
    std::uint32_t status = 0;
    (srq_.*event)(&status);
    EXPECT_EQ(status, 0u);
  }
  void SetByte(std::uint8_t b) {
    std::uint32_t status = 0;
    status_byte_.SetStatusByte(b, &status);
  }
  // One serial poll: begin, end.
  void Poll() {
    Do(&Srq::StatusReadBegin);
    Do(&Srq::StatusReadEnd);
  }

  CFakeInterface fake_;
  std::uint32_t construct_status_ = kStatusNotReported;
  CStatusByteStateMachine status_byte_;
  Srq srq_;
};

TEST_F(ServiceRequest, StartsIdleWithoutRqs) {
  EXPECT_EQ(construct_status_, 0u);
  EXPECT_EQ(srq_.GetStateId(), Srq::kIdle);
  EXPECT_FALSE(srq_.IsRqs());
  EXPECT_FALSE(status_byte_.IsRequestEnabled());
  EXPECT_EQ(status_byte_.StoredStatusByte(), 0);
}

TEST_F(ServiceRequest, BitSixComesOnlyFromRqs) {
  SetByte(0xFF);
  EXPECT_EQ(status_byte_.StoredStatusByte(), 0xBF);
  Poll();
  Do(&Srq::Assert);
  Poll();
  EXPECT_EQ(fake_.reported, (std::vector<std::uint8_t>{0xBF, 0xFF}));
}

TEST_F(ServiceRequest, AssertRaisesTheRequestOnce) {
  Do(&Srq::Assert);
  Do(&Srq::Assert);
  EXPECT_EQ(fake_.wire, (std::vector<std::string>{"assert"}));
  EXPECT_EQ(srq_.GetStateId(), Srq::kActive);
  EXPECT_TRUE(srq_.IsRqs());
  Do(&Srq::Withdraw);
  EXPECT_EQ(srq_.GetStateId(), Srq::kIdle);
  EXPECT_FALSE(srq_.IsRqs());
  EXPECT_EQ(fake_.wire, (std::vector<std::string>{"assert", "withdraw"}));
}

TEST_F(ServiceRequest, SerialPollClearsAnActiveRequest) {
  SetByte(0x10);
  Do(&Srq::Assert);
  Do(&Srq::StatusReadBegin);
  EXPECT_EQ(srq_.GetStateId(), Srq::kSerialPollActive);
  EXPECT_EQ(fake_.wire, (std::vector<std::string>{"assert", "withdraw", "report"}));
  EXPECT_EQ(fake_.reported, (std::vector<std::uint8_t>{0x50}));
  Do(&Srq::StatusReadEnd);
  EXPECT_EQ(srq_.GetStateId(), Srq::kIdle);
  EXPECT_FALSE(srq_.IsRqs());
}

TEST_F(ServiceRequest, AssertDuringAPollIsRaisedAfterIt) {
  Do(&Srq::StatusReadBegin);
  Do(&Srq::Assert);
  EXPECT_EQ(srq_.GetStateId(), Srq::kWait);
  EXPECT_EQ(fake_.wire, (std::vector<std::string>{"report"}));
  Do(&Srq::StatusReadEnd);
  EXPECT_EQ(srq_.GetStateId(), Srq::kActive);
  EXPECT_TRUE(srq_.IsRqs());
  EXPECT_EQ(fake_.wire, (std::vector<std::string>{"report", "assert"}));
}

TEST_F(ServiceRequest, WithdrawDuringAPollCancelsTheRememberedRequest) {
  Do(&Srq::StatusReadBegin);
  Do(&Srq::Assert);
  Do(&Srq::Withdraw);
  EXPECT_EQ(srq_.GetStateId(), Srq::kSerialPollActive);
  Do(&Srq::StatusReadEnd);
  EXPECT_EQ(srq_.GetStateId(), Srq::kIdle);
  EXPECT_EQ(fake_.wire, (std::vector<std::string>{"report"}));
}

TEST_F(ServiceRequest, ResetFromEveryState) {
  struct Case {
    const char* name;
    std::vector<void (Srq::*)(std::uint32_t*)> to_state;
    std::vector<std::string> wire_after_reset;
  };
  const Case cases[] = {
      {"Idle", {}, {}},
      {"Active", {&Srq::Assert}, {"assert", "withdraw"}},
      {"SerialPollActive", {&Srq::StatusReadBegin}, {"report"}},
      {"Wait", {&Srq::StatusReadBegin, &Srq::Assert}, {"report"}},
  };
  for (const Case& c : cases) {
    CFakeInterface fake;
    CStatusByteStateMachine sb(&fake);
    std::uint32_t status = kStatusNotReported;
    Srq srq(&fake, &sb, &status);
    for (auto event : c.to_state) {
      status = 0;
      (srq.*event)(&status);
    }
    status = 0;
    srq.Reset(&status);
    EXPECT_EQ(srq.GetStateId(), Srq::kIdle) << c.name;
    EXPECT_FALSE(srq.IsRqs()) << c.name;
    EXPECT_EQ(fake.wire, c.wire_after_reset) << c.name;
  }
}

TEST_F(ServiceRequest, ApplicationSuppliesTheByteWhenRequestsAreEnabled) {
  std::uint32_t status = 0;
  status_byte_.EnableRequest(&status);
  SetByte(0x04);
  Do(&Srq::Assert);
  Do(&Srq::StatusReadBegin);
  EXPECT_EQ(fake_.wire, (std::vector<std::string>{"assert", "withdraw", "needed"}));
  EXPECT_TRUE(status_byte_.HasRequester());
  SetByte(0x21);
  EXPECT_FALSE(status_byte_.HasRequester());
  EXPECT_EQ(fake_.reported, (std::vector<std::uint8_t>{0x61}));
  Do(&Srq::StatusReadEnd);
  EXPECT_EQ(srq_.GetStateId(), Srq::kIdle);
}

TEST_F(ServiceRequest, DisablingRequestsAnswersAWaitingRead) {
  std::uint32_t status = 0;
  status_byte_.EnableRequest(&status);
  SetByte(0x08);
  Do(&Srq::StatusReadBegin);
  EXPECT_TRUE(fake_.reported.empty());
  status_byte_.DisableRequest(&status);
  EXPECT_EQ(fake_.reported, (std::vector<std::uint8_t>{0x08}));
  EXPECT_FALSE(status_byte_.HasRequester());
}

TEST_F(ServiceRequest, StatusByteOperationsDoNothingOnAFailedStatus) {
  std::uint32_t failed = kStatusOutOfMemory;
  status_byte_.EnableRequest(&failed);
  EXPECT_FALSE(status_byte_.IsRequestEnabled());
  status_byte_.SetStatusByte(0x12, &failed);
  EXPECT_EQ(status_byte_.StoredStatusByte(), 0);
  status_byte_.RequestStatusByte(&srq_, &failed);
  EXPECT_TRUE(fake_.reported.empty());
  EXPECT_EQ(failed, kStatusOutOfMemory);
}

TEST_F(ServiceRequest, PollServedFromInsideTheAssertLeavesTheMachineIdle) {
  // A transport whose host polls at once when the request goes up: the whole read happens inside the
  // assert call. The machine must already be Active when it asserts, so the read finds it there and
  // clears it.
  fake_.on_assert = [this] {
    fake_.on_assert = nullptr;
    Poll();
  };
  SetByte(0x01);
  Do(&Srq::Assert);
  EXPECT_EQ(fake_.reported, (std::vector<std::uint8_t>{0x41}));
  EXPECT_EQ(srq_.GetStateId(), Srq::kIdle);
  EXPECT_FALSE(srq_.IsRqs());
  // A new request goes up again.
  Do(&Srq::Assert);
  EXPECT_EQ(srq_.GetStateId(), Srq::kActive);
  EXPECT_EQ(fake_.wire.back(), "assert");
}

TEST_F(ServiceRequest, ReadEndedFromInsideTheReportLeavesTheMachineIdle) {
  // A transport that ends the read as soon as it has the byte.
  fake_.on_report = [this] { Do(&Srq::StatusReadEnd); };
  Do(&Srq::Assert);
  Do(&Srq::StatusReadBegin);
  EXPECT_EQ(fake_.reported, (std::vector<std::uint8_t>{0x40}));
  EXPECT_EQ(srq_.GetStateId(), Srq::kIdle);
  EXPECT_FALSE(srq_.IsRqs());
}

TEST_F(ServiceRequest, RequestReassertedAfterAPollThatAnsweredFromInside) {
  // Service asserted during the read, and the assert after the read itself triggers the next poll.
  Do(&Srq::StatusReadBegin);
  Do(&Srq::Assert);
  fake_.on_assert = [this] {
    fake_.on_assert = nullptr;
    Poll();
  };
  Do(&Srq::StatusReadEnd);
  EXPECT_EQ(fake_.reported, (std::vector<std::uint8_t>{0x00, 0x40}));
  EXPECT_EQ(srq_.GetStateId(), Srq::kIdle);
  EXPECT_FALSE(srq_.IsRqs());
}

}  // namespace
