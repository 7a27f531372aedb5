// The boot loader's words and services, the application's interface to them, the watchdog writes,
// the boot condition, the panic and the keep-alive thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/bootloader.h"
#include "platform/kernel.h"
#include "platform/regbus.h"
#include "platform/watchdog.h"
#include "system/CKeepAliveThread.h"
#include "system/CTorvexPower.h"
#include "system/bootloader_if.h"
#include "system_support.h"

namespace {

using namespace Torvex;
namespace bl = platform::bootloader;
namespace wd = platform::watchdog;

// 3000 ticks are 60 ms.
const bool kFastTick = (platform::kernel::SetTickMicroseconds(20), true);

// Records the board actions asked for.
struct Recorder {
  std::mutex lock;
  std::vector<std::string> actions;

  void Install() {
    bl::SetHooks(bl::Hooks{[this] { Add("reset"); }, [this] { Add("firmware-update"); }, [this] { Add("power-off"); }});
  }
  void Add(const char* what) {
    std::lock_guard<std::mutex> g(lock);
    actions.push_back(what);
  }
  std::vector<std::string> Actions() {
    std::lock_guard<std::mutex> g(lock);
    return actions;
  }
};

class BootLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bl::PublishEntry();
    bl::ClearServiceCalls();
    recorder_.Install();
    bootloader_if_init();
  }
  void TearDown() override {
    platform::regbus::SetTrace(false);
    bl::ResetHooks();
    bl::PublishEntry();
    bl::SetBootCondition(bl::kColdBoot);
    bootloader_if_init();
  }
  Recorder recorder_;
};

std::vector<std::pair<std::uint32_t, std::uint32_t>> Writes(const std::vector<platform::regbus::Access>& trace) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> writes;
  for (const auto& a : trace) {
    if (a.write) writes.emplace_back(a.address, a.value);
  }
  return writes;
}

TEST_F(BootLoaderTest, StaticInitialisationAnnouncedTheApplication) {
  // The power unit's static initialiser ran before main: the magic is in its word.
  EXPECT_EQ(bl::Words().magic.load(), 0x00444655u);
  EXPECT_EQ(bl::kMagicWordAddress, 0x30000140u);
  EXPECT_EQ(bl::kEntryWordAddress, 0x30000144u);
}

TEST_F(BootLoaderTest, InitKicksAndStartsTheWatchdog) {
  bl::Words().magic.store(0);
  platform::regbus::SetTrace(true);
  platform::regbus::TakeTrace();
  bootloader_if_init();
  const auto writes = Writes(platform::regbus::TakeTrace());
  using W = std::pair<std::uint32_t, std::uint32_t>;
  EXPECT_EQ(writes,
            (std::vector<W>{{0x53000008, 60000}, {0x53000004, 60000}, {0x53000008, 60000}, {0x53000000, 0xFF39}}));
  EXPECT_EQ(bl::Words().magic.load(), bl::kApplicationMagic);
  EXPECT_EQ(wd::PeriodNanoseconds(), 39'344'000'000ULL);
}

TEST_F(BootLoaderTest, ServicesWithAnEntry) {
  struct Case {
    const char* what;
    int (*call)();
    std::uint32_t code;
    const char* action;  // nullptr: none
  };
  const Case cases[] = {
      {"keep-alive", &bootloader_keep_alive, bl::kServiceKeepAlive, nullptr},
      {"reset", &bootloader_reset, bl::kServiceReset, "reset"},
      {"firmware update", &bootloader_enter_dfu, bl::kServiceFirmwareUpdate, "firmware-update"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    recorder_.actions.clear();
    const std::uint64_t before = bl::ServiceCalls(c.code);
    EXPECT_EQ(c.call(), 1);
    EXPECT_EQ(bl::ServiceCalls(c.code), before + 1);
    if (c.action != nullptr) {
      EXPECT_EQ(recorder_.Actions(), std::vector<std::string>{c.action});
    } else {
      EXPECT_TRUE(recorder_.Actions().empty());
    }
  }
  // Only the keep-alive kicks the watchdog.
  platform::regbus::SetTrace(true);
  platform::regbus::TakeTrace();
  bootloader_keep_alive();
  bootloader_reset();
  using W = std::pair<std::uint32_t, std::uint32_t>;
  EXPECT_EQ(Writes(platform::regbus::TakeTrace()), (std::vector<W>{{0x53000008, 60000}}));
}

TEST_F(BootLoaderTest, BootConditionComesFromTheQueryService) {
  for (std::uint32_t condition : {0u, 2u, 3u, 5u, 1u, 4u}) {
    bl::SetBootCondition(condition);
    EXPECT_EQ(CTorvexPower::GetBootCondition(), condition);
  }
  std::uint32_t word = 12345;
  bl::SetBootCondition(bl::kWarmBoot);
  EXPECT_EQ(bootloader_query(&word), 1);
  EXPECT_EQ(word, 2u);
}

TEST_F(BootLoaderTest, WithoutAnEntryNothingHappens) {
  bl::WithdrawEntry();
  bootloader_if_init();
  bl::ClearServiceCalls();
  platform::regbus::SetTrace(true);
  platform::regbus::TakeTrace();

  EXPECT_EQ(bootloader_keep_alive(), 0);
  EXPECT_EQ(bootloader_reset(), 0);
  EXPECT_EQ(bootloader_enter_dfu(), 0);
  std::uint32_t word = 0xABCD;
  EXPECT_EQ(bootloader_query(&word), 0);
  EXPECT_EQ(word, 0xABCDu);  // untouched
  // The boot condition then reads as unknown, never as a stale word.
  bl::SetBootCondition(bl::kWarmBoot);
  EXPECT_EQ(CTorvexPower::GetBootCondition(), kBootConditionUnknown);
  CTorvexPower::KickKeepAlive();

  EXPECT_TRUE(Writes(platform::regbus::TakeTrace()).empty());  // the watchdog is not kicked
  EXPECT_TRUE(recorder_.Actions().empty());
  for (std::uint32_t code = 0; code < bl::kServiceCount; ++code) EXPECT_EQ(bl::ServiceCalls(code), 0u);
}

TEST_F(BootLoaderTest, WatchdogExpiryAndPowerDropReachTheBoard) {
  bl::WatchdogExpired();
  bl::PowerOff();
  EXPECT_EQ(recorder_.Actions(), (std::vector<std::string>{"reset", "power-off"}));
}

TEST_F(BootLoaderTest, ItemQueryDescribesTheRomfsImage) {
  bl::Item item{};
  ASSERT_EQ(bl::QueryItem(bl::kItemRomfsImage, &item), 0);
  EXPECT_NE(item.valid, 0u);
  EXPECT_EQ(item.address, bl::RomfsImageAddress());
  EXPECT_NE(item.address, 0u);
  EXPECT_EQ(bl::QueryItem(7, &item), -1);
}

TEST(BootLoaderExitTest, ProgramExitEntersFirmwareUpdateMode) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        bl::SetHooks(bl::Hooks{nullptr,
                               [] {
                                 std::fputs("firmware-update requested\n", stderr);
                                 std::_Exit(3);
                               },
                               nullptr});
        bootloader_if_init();
        std::exit(0);
      },
      ::testing::ExitedWithCode(3), "firmware-update requested");
}

TEST(BootLoaderExitTest, HandlerThatExitsDoesNotRecurse) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A firmware-update handler that calls exit() runs the at-exit hook, which asks again: the second
  // request is not handed to the handler.
  EXPECT_EXIT(
      {
        bl::SetHooks(bl::Hooks{nullptr,
                               [] {
                                 std::fputs("handler\n", stderr);
                                 std::exit(3);
                               },
                               nullptr});
        bootloader_if_init();
        bootloader_enter_dfu();
      },
      ::testing::ExitedWithCode(3), "^handler\n$");
}

// --- panic -----------------------------------------------------------------------------------------

struct PanicThread {
  static void Entry(cyg_addrword_t data) {
    auto* self = reinterpret_cast<PanicThread*>(data);
    self->panic();
    self->returned.store(true);
  }
  void (*panic)();
  std::atomic<bool> returned{false};
  cyg_handle_t handle = 0;
  cyg_thread thread;
  std::vector<char> stack = std::vector<char>(16384);
};

TEST_F(BootLoaderTest, PanicLogsEntersFirmwareUpdateAndSuspends) {
  for (void (*panic)() : {&CTorvexPower::Panic, &TorvexPanic}) {
    recorder_.actions.clear();
    const std::string before = torvex_test::MarkLog();
    PanicThread t;
    t.panic = panic;
    cyg_thread_create(10, &PanicThread::Entry, reinterpret_cast<cyg_addrword_t>(&t), "panicker", t.stack.data(),
                      t.stack.size(), &t.handle, &t.thread);
    cyg_thread_resume(t.handle);
    ASSERT_TRUE(torvex_test::WaitFor([&] { return !recorder_.Actions().empty(); }));
    // The hook runs before the thread suspends itself: a resume counts only once it has.
    ASSERT_TRUE(torvex_test::WaitFor([&] { return platform::kernel::IsSuspended(t.handle); }));
    EXPECT_EQ(recorder_.Actions(), std::vector<std::string>{"firmware-update"});
    EXPECT_EQ(torvex_test::LogSince(before), "CTorvexPower::Panic !!!\nEntering DFU mode...\n");
    // The thread stays suspended until someone resumes it.
    EXPECT_TRUE(cyg_thread_is_running(t.handle));
    EXPECT_FALSE(t.returned.load());
    cyg_thread_resume(t.handle);
    ASSERT_TRUE(torvex_test::WaitFor([&] { return t.returned.load(); }));
    cyg_thread_delete(t.handle);
  }
}

// --- keep-alive thread -----------------------------------------------------------------------------

TEST_F(BootLoaderTest, KeepAliveThreadKicksAtOnceAndThenPeriodically) {
  platform::regbus::SetTrace(true);
  platform::regbus::TakeTrace();
  const std::uint64_t before = bl::ServiceCalls(bl::kServiceKeepAlive);
  {
    CKeepAliveThread keep_alive;
    const auto info = platform::kernel::GetThreadInfo(keep_alive.Handle());
    EXPECT_STREQ(info.name, "KeepAlive Thread");
    EXPECT_EQ(info.priority, 5);
    EXPECT_EQ(info.stack_size, 8192u);
    EXPECT_EQ(bl::ServiceCalls(bl::kServiceKeepAlive), before);  // created suspended

    const cyg_tick_count_t started = cyg_current_time();
    keep_alive.Start();
    ASSERT_TRUE(torvex_test::WaitFor([&] { return bl::ServiceCalls(bl::kServiceKeepAlive) >= before + 3; }));
    // Three rounds take at least two whole periods.
    EXPECT_GE(cyg_current_time() - started, 2 * kKeepAlivePeriodTicks);
  }  // the destructor stops and joins the thread
  const std::uint64_t after = bl::ServiceCalls(bl::kServiceKeepAlive);
  std::size_t kicks = 0;
  for (const auto& w : Writes(platform::regbus::TakeTrace())) {
    EXPECT_EQ(w, (std::pair<std::uint32_t, std::uint32_t>{wd::kWtcnt, 60000}));
    ++kicks;
  }
  EXPECT_EQ(kicks, after - before);  // one watchdog kick per keep-alive call
}

}  // namespace
