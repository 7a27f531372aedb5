// Power control: the power-down monitor's button and temperature rules on the simulated board with a
// fast tick, the shut-down hand-over to main and the final power actions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "platform/bootloader.h"
#include "platform/hw_registers.h"
#include "platform/regbus.h"
#include "settings_support.h"

namespace {

using namespace Torvex;
using namespace torvex_test;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::uint32_t kGpgDat = hw::gpio::GPGDAT;

bool PowerLineHigh() { return TestBoard().gpio().Level(sim::Port::G, 0); }
void RestorePowerLine() { platform::regbus::Write32(kGpgDat, platform::regbus::Read32(kGpgDat) | 1u); }

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class PowerMonitorTest : public SettingsTest {
 protected:
  void SetUp() override {
    TestBoard();
    SettingsTest::SetUp();
    ASSERT_EQ(platform::mount("", "/dev", "devfs"), 0);
    TestBoard().ReleaseButton();
    TestBoard().SetTemperature(25);
    RestorePowerLine();
    platform::bootloader::ClearServiceCalls();
  }

  void TearDown() override {
    TestBoard().ReleaseButton();
    TestBoard().SetTemperature(25);
    RestorePowerLine();
    SettingsTest::TearDown();
  }

  // Starts a monitor; `log_` marks where its log begins.
  void StartMonitor() {
    log_ = MarkLog();
    monitor_ = std::make_unique<CTorvexPower>();
    monitor_->Start();
  }

  bool Logged(const std::string& what) {
    return WaitFor([&] { return LogSince(log_).find(what) != std::string::npos; });
  }

  // A short push that ends the monitor; main reads the standard reason.
  void ShortPush() {
    TestBoard().PressButton();
    ASSERT_TRUE(Logged("PowerDownMonitorThreadMain: Power-down\n"));
    TestBoard().ReleaseButton();
    EXPECT_EQ(CTorvexPower::WaitForShutdownRequest(), eShutdownStandard);
    monitor_.reset();  // joins the ended thread
  }

  std::string log_;
  std::unique_ptr<CTorvexPower> monitor_;
};

// The one monitor of the firmware, as main starts it (once per process).
TEST_F(PowerMonitorTest, MainStartsTheStaticMonitorWhichEndsAfterItsHandOver) {
  // Its thread ends after the hand-over and cannot be started again: a repeated run skips this.
  static bool started = false;
  if (started) GTEST_SKIP() << "the static monitor runs once per process";
  started = true;
  log_ = MarkLog();
  _StartPowerDownMonitor();
  EXPECT_THAT(LogSince(log_), HasSubstr("Entering _StartPowerDownMonitor\n"));
  TestBoard().PressButton();
  ASSERT_TRUE(Logged("PowerDownMonitorThreadMain: Power-down\n"));
  TestBoard().ReleaseButton();
  EXPECT_EQ(CTorvexPower::WaitForShutdownRequest(), eShutdownStandard);
}

TEST_F(PowerMonitorTest, PushAndReleaseHandsOverAStandardShutDownAtTheRelease) {
  StartMonitor();
  TestBoard().PressButton();
  ASSERT_TRUE(Logged("PowerDownMonitorThreadMain: Power-down\n"));
  TestBoard().ReleaseButton();
  EXPECT_EQ(CTorvexPower::WaitForShutdownRequest(), eShutdownStandard);
  EXPECT_THAT(LogSince(log_), HasSubstr("PowerDownMonitorThreadMain: Power-down\n"
                                        "PowerDownMonitorThreadMain: Standard shut-down\n"));
  monitor_.reset();
}

TEST_F(PowerMonitorTest, HoldingTheButtonFiveSecondsHandsOverALongPush) {
  StartMonitor();
  const cyg_tick_count_t pressed = cyg_current_time();
  TestBoard().PressButton();
  EXPECT_EQ(CTorvexPower::WaitForShutdownRequest(), eShutdownLongPush);
  EXPECT_GE(cyg_current_time() - pressed, 500u);  // the 5-second wait ran out
  EXPECT_THAT(LogSince(log_), HasSubstr("PowerDownMonitorThreadMain: Power-down\n"
                                        "PowerDownMonitorThreadMain: Long Push shut-down\n"));
  monitor_.reset();
}

TEST_F(PowerMonitorTest, APushThatEndedBeforeTheMonitorLookedIsIgnored) {
  // Both edges arrive while nobody watches the button: they merge into one event, which the monitor
  // finds with the button released.
  g_node_system_temperature_update_interval->SetInt32Attribute(eAttrValue, 1);
  TestBoard().PressButton();
  TestBoard().ReleaseButton();
  StartMonitor();
  ASSERT_TRUE(Logged("Current temperature"));  // a whole round has passed
  EXPECT_THAT(LogSince(log_), Not(HasSubstr("Power-down")));
  ShortPush();
}

TEST_F(PowerMonitorTest, OverTemperatureCutsThePowerWithoutAShutDownRequest) {
  StartMonitor();
  ASSERT_TRUE(WaitFor([] { return TestBoard().temperature_sensor().RegisterValue(3) == 70 * 256; }));
  TestBoard().SetTemperature(90);
  ASSERT_TRUE(WaitFor([] { return !PowerLineHigh(); }));
  EXPECT_THAT(LogSince(log_), HasSubstr("PowerDownMonitorThreadMain: Over-temperature shut-down!!!\n"
                                        "Switching Power Off...\n"));

  // Resumed (the board never does this), the monitor watches again.
  TestBoard().SetTemperature(25);
  RestorePowerLine();
  TestBoard().PressButton();
  ASSERT_TRUE(WaitFor([&] {
    cyg_thread_resume(monitor_->Handle());
    return LogSince(log_).find("PowerDownMonitorThreadMain: Power-down\n") != std::string::npos;
  }));
  TestBoard().ReleaseButton();
  // The only request main ever sees is the push's.
  EXPECT_EQ(CTorvexPower::WaitForShutdownRequest(), eShutdownStandard);
  monitor_.reset();
}

TEST_F(PowerMonitorTest, TheLimitFollowsTheSettingAndTheTemperatureIsPublished) {
  g_node_system_temperature_update_interval->SetInt32Attribute(eAttrValue, 1);
  g_node_system_temperature_shutdown_limit->SetInt32Attribute(eAttrValue, 60);
  TestBoard().SetTemperature(31);
  StartMonitor();
  // The limit goes to the over-temperature register and then to the hysteresis register.
  ASSERT_TRUE(WaitFor([] {
    return TestBoard().temperature_sensor().RegisterValue(3) == 60 * 256 &&
           TestBoard().temperature_sensor().RegisterValue(2) == 60 * 256;
  }));
  ASSERT_TRUE(Logged("PowerDownMonitorThreadMain: Current temperature: 31\n"));
  EXPECT_EQ(g_node_system_temperature_current_value->GetInt32Attribute(eAttrValue), 31);

  // A new limit reaches the sensor at the next wake-up.
  g_node_system_temperature_shutdown_limit->SetInt32Attribute(eAttrValue, 75);
  ASSERT_TRUE(WaitFor([] { return TestBoard().temperature_sensor().RegisterValue(3) == 75 * 256; }));
  TestBoard().SetTemperature(-20);
  ASSERT_TRUE(WaitFor([] { return g_node_system_temperature_current_value->GetInt32Attribute(eAttrValue) == -20; }));
  ShortPush();
}

TEST_F(PowerMonitorTest, AnIntervalOfZeroOrLessCountsAsOneSecond) {
  for (const std::int32_t interval : {0, -5}) {
    g_node_system_temperature_update_interval->SetInt32Attribute(eAttrValue, interval);
    StartMonitor();
    // Over 300 ticks at most three or four temperature rounds fit; a monitor that spins would log
    // thousands.
    const cyg_tick_count_t start = cyg_current_time();
    ASSERT_TRUE(Logged("Current temperature"));
    ASSERT_TRUE(WaitFor([&] { return cyg_current_time() - start >= 300; }));
    EXPECT_LE(Count(LogSince(log_), "Current temperature"), 4u) << interval;
    ShortPush();
  }
}

// --- the hand-over ---------------------------------------------------------------------------------

TEST(ShutdownHandOver, RequestsMapToReasonsAndTheLaterRequestWins) {
  struct Case {
    std::int32_t request;
    std::int32_t reason;
  };
  const Case cases[] = {{eRequestPowerDown, eShutdownStandard},
                        {eRequestReset, eShutdownReset},
                        {eRequestFirmwareUpdate, eShutdownFirmwareUpdate}};
  for (const Case& c : cases) {
    CTorvexPower::RequestShutdown(c.request);
    EXPECT_EQ(CTorvexPower::WaitForShutdownRequest(), c.reason) << c.request;
  }
  CTorvexPower::RequestRestart();
  EXPECT_EQ(CTorvexPower::WaitForShutdownRequest(), eShutdownReset);
  EXPECT_FALSE(CTorvexPower::TakeKeepSavedSettings());

  // Two requests before main wakes: it reads the later one (the count of the first stays unread).
  CTorvexPower::RequestShutdown(eRequestFirmwareUpdate);
  CTorvexPower::RequestShutdown(eRequestReset);
  EXPECT_EQ(CTorvexPower::WaitForShutdownRequest(), eShutdownReset);
  EXPECT_EQ(CTorvexPower::WaitForShutdownRequest(), eShutdownReset);

  CTorvexPower::RequestRestartKeepingSettings();
  EXPECT_EQ(CTorvexPower::WaitForShutdownRequest(), eShutdownReset);
  EXPECT_TRUE(CTorvexPower::TakeKeepSavedSettings());
  EXPECT_FALSE(CTorvexPower::TakeKeepSavedSettings());
}

TEST(ShutdownHandOver, AnUnknownRequestPanicsInTheCallersThread) {
  platform::bootloader::ClearServiceCalls();
  const std::string before = MarkLog();
  KernelCall call([] { CTorvexPower::RequestShutdown(3); });
  ASSERT_TRUE(
      WaitFor([] { return platform::bootloader::ServiceCalls(platform::bootloader::kServiceFirmwareUpdate) == 1; }));
  EXPECT_THAT(LogSince(before), HasSubstr("CTorvexPower::Panic !!!\nEntering DFU mode...\n"));
  EXPECT_TRUE(call.ResumeUntilDone());
}

// Threads that request at once while main waits: main wakes once per request and reads a reason
// that one of them gave.
TEST(ShutdownHandOver, ConcurrentRequestsAreAllHandedOver) {
  constexpr int kThreads = 4;
  constexpr int kRequests = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRequests; ++i) {
        if (t == 0) {
          CTorvexPower::RequestRestartKeepingSettings();
        } else {
          CTorvexPower::RequestShutdown(t % 3);
        }
      }
    });
  }
  for (int i = 0; i < kThreads * kRequests; ++i) {
    const std::int32_t reason = CTorvexPower::WaitForShutdownRequest();
    EXPECT_TRUE(reason == eShutdownStandard || reason == eShutdownReset || reason == eShutdownFirmwareUpdate);
  }
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(CTorvexPower::TakeKeepSavedSettings());
}

// --- power actions ---------------------------------------------------------------------------------

TEST(PowerActions, EachActionReachesTheBoardAndSuspendsTheCaller) {
  TestBoard();
  struct Case {
    std::int32_t action;
    const char* log;
    std::uint32_t service;  // boot-loader service called, or kServiceCount for none
    bool power_cut;
  };
  const Case cases[] = {
      {ePowerActionOff, "Switching Power Off...\n", platform::bootloader::kServiceCount, true},
      {ePowerActionReset, "Resetting...\n", platform::bootloader::kServiceReset, false},
      {ePowerActionFirmwareUpdate, "Entering DFU mode...\n", platform::bootloader::kServiceFirmwareUpdate, false},
      {7, "CTorvexPower::Panic !!!\nEntering DFU mode...\n", platform::bootloader::kServiceFirmwareUpdate, false},
  };
  for (const Case& c : cases) {
    RestorePowerLine();
    platform::bootloader::ClearServiceCalls();
    const std::string before = MarkLog();
    KernelCall call([&] { CTorvexPower::PowerAction(c.action); });
    if (c.power_cut) {
      ASSERT_TRUE(WaitFor([] { return !PowerLineHigh(); })) << c.action;
    } else {
      ASSERT_TRUE(WaitFor([&] { return platform::bootloader::ServiceCalls(c.service) == 1; })) << c.action;
      EXPECT_TRUE(PowerLineHigh()) << c.action;
    }
    EXPECT_FALSE(call.Done()) << c.action;  // the caller is suspended
    EXPECT_THAT(LogSince(before), HasSubstr(c.log)) << c.action;
    EXPECT_TRUE(call.ResumeUntilDone()) << c.action;
  }
  RestorePowerLine();
}

}  // namespace
