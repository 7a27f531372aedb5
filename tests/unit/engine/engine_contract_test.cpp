// Contract checks of the engine's suspension depth: a misuse stops the process with a message that
// names the call and the calling thread; correct use right beside each misuse goes on.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/CEngineSuspension.h"
#include "engine/DoVovuriStatus.h"
#include "support/kernel_thread.h"
#include "test_transport.h"

namespace torvex_test {
namespace {

class EngineContractTest : public ::testing::Test {
 protected:
  // The test transport runs delivery threads: the death-test child starts afresh.
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::uint32_t status = kStatusSuccess;
    transport_ = std::make_unique<CTestTransport>(TestTransportConfig{}, kPluginIdVxi11, &status);
    ASSERT_EQ(status, kStatusSuccess);
  }

  // One suspension made and given back through `suspension`.
  void SuspendAndResume(CEngineSuspension& suspension) {
    std::uint32_t status = kStatusNotReported;
    ASSERT_TRUE(suspension.Suspend(transport_.get(), "test", &status));
    status = kStatusNotReported;
    suspension.Resume(transport_.get(), "test", &status);
    EXPECT_EQ(status, kStatusSuccess);
  }

  std::unique_ptr<CTestTransport> transport_;
};

TEST_F(EngineContractTest, AResumeWithoutASuspension) {
  CEngineSuspension suspension;
  SuspendAndResume(suspension);  // fine
  EXPECT_EQ(suspension.Depth(), 0);
  EXPECT_DEATH(RunOnKernelThread("DO-Vovuri",
                                 [&] {
                                   std::uint32_t status = kStatusNotReported;
                                   suspension.Resume(transport_.get(), "CEngineDevice::ResumeTransport", &status);
                                 }),
               "CEngineDevice::ResumeTransport: a resume without a suspension " + ByThread("DO-Vovuri"));
  EXPECT_EQ(transport_->Violations(), 0);  // the transport never saw the stray resume
}

TEST_F(EngineContractTest, ASuspensionThatIsNeverGivenBack) {
  CEngineSuspension suspension;
  std::uint32_t status = kStatusNotReported;
  // An operation and the flow-control hold: the most the engine holds.
  ASSERT_TRUE(suspension.Suspend(transport_.get(), "test", &status));
  ASSERT_TRUE(suspension.Suspend(transport_.get(), "test", &status));
  EXPECT_EQ(suspension.Depth(), CEngineSuspension::kMostHeld);
  EXPECT_DEATH(RunOnKernelThread("operation",
                                 [&] {
                                   std::uint32_t more = kStatusNotReported;
                                   suspension.Suspend(transport_.get(), "CEngineDevice::SuspendTransport", &more);
                                 }),
               "CEngineDevice::SuspendTransport: more suspensions than the engine holds: one was not given back " +
                   ByThread("operation"));
}

TEST_F(EngineContractTest, AnEnableWhileSuspensionsAreHeld) {
  CEngineSuspension suspension;
  suspension.AdoptEnableSuspension("test");  // from depth 0: fine
  EXPECT_EQ(suspension.Depth(), 1);
  EXPECT_DEATH(RunOnKernelThread("enabler", [&] { suspension.AdoptEnableSuspension("CEngineDevice::Enable"); }),
               "CEngineDevice::Enable: an enable while the engine still holds suspensions " + ByThread("enabler"));
}

TEST_F(EngineContractTest, ADisableThatLeavesASuspensionBehind) {
  CEngineSuspension suspension;
  std::uint32_t status = kStatusNotReported;
  ASSERT_TRUE(suspension.Suspend(transport_.get(), "test", &status));
  suspension.ExpectHeld(1, "test");  // the disable's own: fine
  ASSERT_TRUE(suspension.Suspend(transport_.get(), "test", &status));
  EXPECT_DEATH(RunOnKernelThread("disabler", [&] { suspension.ExpectHeld(1, "CEngineDevice::Disable"); }),
               "CEngineDevice::Disable: the engine holds 2 suspensions where it should hold 1 " + ByThread("disabler"));
}

// A transport that refuses a suspension is an outcome, not a misuse: a status, and nothing counted.
TEST_F(EngineContractTest, ARefusedSuspensionIsAStatus) {
  class Refusing : public CTestTransport {
   public:
    using CTestTransport::CTestTransport;
    void SuspendEvents(std::uint32_t* status) override { *status = kOsStatusNotStarted; }
  };
  std::uint32_t status = kStatusSuccess;
  Refusing refusing(TestTransportConfig{}, kPluginIdVxi11, &status);
  CEngineSuspension suspension;
  EXPECT_FALSE(suspension.Suspend(&refusing, "test", &status));
  EXPECT_EQ(status, kOsStatusNotStarted);
  EXPECT_EQ(suspension.Depth(), 0);
}

}  // namespace
}  // namespace torvex_test
