// Mounting of /romfs and /yaffs, the flash tree check with erase and remount, and unmounting.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/bootloader.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "platform/nand.h"
#include "system/CTorvexPower.h"
#include "system/TorvexFileSystems.h"
#include "system_support.h"

namespace {

using namespace Torvex;
namespace bl = platform::bootloader;
namespace fs = std::filesystem;
using torvex_test::HostNames;
using torvex_test::LogSince;
using torvex_test::LogText;
using torvex_test::MarkLog;
using torvex_test::ReadHostFile;
using torvex_test::WriteHostFile;

class FileSystemsTest : public torvex_test::BoardRootTest {
 protected:
  void SetUp() override {
    BoardRootTest::SetUp();
    Nand(sim::NandFlash::Geometry{512, 4, 16});
  }

  std::string Cwd() {
    char buf[256];
    return platform::getcwd(buf, sizeof buf) != nullptr ? buf : "?";
  }
};

TEST_F(FileSystemsTest, MountsBothAndKeepsAGoodFlash) {
  WriteHostFile(Romfs("factory.xml"), "<factory/>");
  WriteHostFile(Yaffs("settings/LastPowerOff.xml"), "<saved/>");
  WriteHostFile(Yaffs("user/deep/er/file"), "x");
  fs::create_directories(Yaffs("empty"));
  const std::string before = MarkLog();

  TorvexMountFileSystems();

  EXPECT_TRUE(platform::IsMounted("/romfs"));
  EXPECT_TRUE(platform::IsMounted("/yaffs"));
  EXPECT_EQ(LogSince(before), "Mounting ROMFS...\nMounting YAFFS...\n");
  EXPECT_EQ(nand_->TotalErases(), 0u);
  EXPECT_EQ(ReadHostFile(Yaffs("settings/LastPowerOff.xml")), "<saved/>");
  EXPECT_EQ(ReadHostFile(Yaffs("user/deep/er/file")), "x");
  EXPECT_EQ(Cwd(), "/");  // the tree check ends at the parent of /yaffs
  struct stat st {};
  EXPECT_EQ(platform::stat("/romfs/factory.xml", &st), 0);
}

TEST_F(FileSystemsTest, FlashWhoseTreeCannotBeExaminedIsErasedAndMountedEmpty) {
  WriteHostFile(Yaffs("settings/LastPowerOff.xml"), "<saved/>");
  WriteHostFile(Yaffs("user/a/b.txt"), "b");
  // An entry deep in the tree that cannot be examined.
  fs::create_symlink("/etc", Yaffs("user/a/broken"));
  nand_->MarkBad(5);
  const std::string before = MarkLog();

  TorvexMountFileSystems();

  EXPECT_TRUE(platform::IsMounted("/yaffs"));
  EXPECT_EQ(LogSince(before), "Mounting ROMFS...\nMounting YAFFS...\n");  // the erase logs nothing
  EXPECT_TRUE(fs::is_empty(Yaffs()));
  EXPECT_TRUE(fs::exists("/etc/passwd"));  // a link is removed, never what it points to
  for (std::uint32_t block = 0; block < 16; ++block) {
    EXPECT_EQ(nand_->EraseCount(block), block == 5 ? 0u : 1u) << block;
  }
  EXPECT_EQ(Cwd(), "/");
  // The mounted flash is usable.
  struct stat st {};
  EXPECT_EQ(platform::mkdir("/yaffs/settings", 0777), 0);
  EXPECT_EQ(platform::stat("/yaffs/settings", &st), 0);
}

// The bus hooks the drivers install (platform/nand.h), counted: the erases that re-create the flash at
// its mount each hand the bus over and back, with interrupts disabled.
std::atomic<int> g_acquired{0};
std::atomic<int> g_released{0};
std::atomic<bool> g_interrupts_were_on{false};
void CountAcquire() {
  ++g_acquired;
  if (cyg_scheduler_read_lock() == 0) g_interrupts_were_on = true;
}
void CountRelease() { ++g_released; }

TEST_F(FileSystemsTest, TheEraseThatRecreatesTheFlashHoldsTheBusForEveryBlock) {
  fs::create_symlink("/etc", Yaffs("broken"));
  platform::nand::SetBusHooks(CountAcquire, CountRelease);
  g_acquired = 0;
  g_released = 0;
  TorvexMountFileSystems();
  platform::nand::SetBusHooks(nullptr, nullptr);
  EXPECT_EQ(nand_->TotalErases(), 16u);
  EXPECT_GE(g_acquired.load(), 16);
  EXPECT_EQ(g_acquired.load(), g_released.load());
  EXPECT_FALSE(g_interrupts_were_on.load());
}

TEST_F(FileSystemsTest, TreeCheckResults) {
  WriteHostFile(Yaffs("a/b/c/file"), "1");
  fs::create_directories(Yaffs("e"));
  ASSERT_EQ(platform::mount("onboard/0", "/yaffs", "yaffs"), 0);
  EXPECT_EQ(TorvexCheckDirectoryTree("/yaffs"), 0);
  EXPECT_EQ(Cwd(), "/");
  EXPECT_EQ(TorvexCheckDirectoryTree("/yaffs/a"), 0);
  EXPECT_EQ(Cwd(), "/yaffs");
  EXPECT_EQ(TorvexCheckDirectoryTree("/yaffs/missing"), 9);
  EXPECT_EQ(Cwd(), "/yaffs");  // a path it cannot enter leaves the directory as it was

  fs::create_symlink("../../../..", Yaffs("a/b/loop"));
  platform::chdir("/");
  EXPECT_EQ(TorvexCheckDirectoryTree("/yaffs"), 9);
  EXPECT_EQ(Cwd(), "/");  // also after a failure deep down
}

// Runs the mounting on its own kernel thread, which the panic suspends.
struct MountThread {
  static void Entry(cyg_addrword_t data) {
    TorvexMountFileSystems();
    reinterpret_cast<MountThread*>(data)->returned.store(true);
  }
  std::atomic<bool> returned{false};
  cyg_handle_t handle = 0;
  cyg_thread thread;
  std::vector<char> stack = std::vector<char>(65536);
};

// Temporary files that a power cut left beside their destinations go when the flash is mounted;
// files a user named alike stay.
TEST_F(FileSystemsTest, MountingRemovesUnfinishedWrites) {
  WriteHostFile(Yaffs("settings/LastPowerOff.xml"), "<saved/>");
  WriteHostFile(Yaffs("settings/LastPowerOff.xml~tmp0"), "<Bra");
  WriteHostFile(Yaffs("settings/LastPowerOff.xml~tmp1~tmp0"), "<Bra");
  WriteHostFile(Yaffs("user/deep/a.txt~tmp42"), "half");
  for (const char* kept : {"user/a.tmp", "user/a.txt.tmp0", "user/b~tmp", "user/c~tmpx", "user/~tmp1x"}) {
    WriteHostFile(Yaffs(kept), "user data");
  }
  const std::string before = MarkLog();
  TorvexMountFileSystems();
  const std::string log = LogSince(before);
  EXPECT_NE(log.find("Removing unfinished write /yaffs/settings/LastPowerOff.xml~tmp0\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Removing unfinished write /yaffs/user/deep/a.txt~tmp42\n"), std::string::npos) << log;
  EXPECT_EQ(HostNames(Yaffs("settings")), std::vector<std::string>{"LastPowerOff.xml"});
  EXPECT_FALSE(fs::exists(Yaffs("user/deep/a.txt~tmp42")));
  for (const char* kept : {"user/a.tmp", "user/a.txt.tmp0", "user/b~tmp", "user/c~tmpx", "user/~tmp1x"}) {
    EXPECT_EQ(ReadHostFile(Yaffs(kept)), "user data") << kept;
  }
}

TEST_F(FileSystemsTest, MountingPanicsWhenAFileSystemCannotBeMounted) {
  const bl::Item no_address{1, 100, 0};
  const bl::Item invalid{0, 100, bl::RomfsImageAddress()};
  const bl::Item elsewhere{1, 100, bl::RomfsImageAddress() + 64};
  struct Case {
    const char* what;
    std::function<void()> arrange;
    bool romfs_mounted;
  };
  const Case cases[] = {
      {"item query fails", [] { bl::SetItem(bl::kItemRomfsImage, std::nullopt); }, false},
      {"item not valid", [&] { bl::SetItem(bl::kItemRomfsImage, invalid); }, false},
      {"address zero", [&] { bl::SetItem(bl::kItemRomfsImage, no_address); }, false},
      {"no image at the address", [&] { bl::SetItem(bl::kItemRomfsImage, elsewhere); }, false},
      {"flash folder missing", [&] { fs::remove_all(Yaffs()); }, true},
      {"no such NAND partition",
       [&] {
         nand_ = std::make_unique<sim::NandFlash>("onboard", sim::NandFlash::Geometry{512, 4, 4},
                                                  std::vector<platform::nand::Partition>{});
         nand_->Register();
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> actions;
    std::mutex lock;
    bl::SetHooks(bl::Hooks{nullptr,
                           [&] {
                             std::lock_guard<std::mutex> g(lock);
                             actions.push_back("firmware-update");
                           },
                           nullptr});
    c.arrange();
    const std::string before = MarkLog();
    MountThread t;
    cyg_thread_create(10, &MountThread::Entry, reinterpret_cast<cyg_addrword_t>(&t), "mounter", t.stack.data(),
                      t.stack.size(), &t.handle, &t.thread);
    cyg_thread_resume(t.handle);
    ASSERT_TRUE(torvex_test::WaitFor([&] {
      std::lock_guard<std::mutex> g(lock);
      return !actions.empty();
    }));
    // The hook runs before the thread suspends itself: a resume counts only once it has.
    ASSERT_TRUE(torvex_test::WaitFor([&] { return platform::kernel::IsSuspended(t.handle); }));
    EXPECT_FALSE(t.returned.load());
    EXPECT_EQ(platform::IsMounted("/romfs"), c.romfs_mounted);
    EXPECT_FALSE(platform::IsMounted("/yaffs"));
    EXPECT_NE(LogSince(before).find("CTorvexPower::Panic !!!\nEntering DFU mode...\n"), std::string::npos);
    // Resumed, the mounting gives up rather than going on.
    cyg_thread_resume(t.handle);
    ASSERT_TRUE(torvex_test::WaitFor([&] { return t.returned.load(); }));
    cyg_thread_delete(t.handle);
    EXPECT_EQ(actions.size(), 1u);

    // Back to a board that mounts.
    if (platform::IsMounted("/romfs")) platform::umount("/romfs");
    bl::RestoreItems();
    fs::create_directories(Yaffs());
    Nand(sim::NandFlash::Geometry{512, 4, 16});
  }
}

TEST_F(FileSystemsTest, UnmountLogsAndReportsTheFlashResult) {
  TorvexMountFileSystems();
  platform::chdir("/yaffs");
  const std::string before = MarkLog();
  EXPECT_EQ(TorvexUnmountFileSystems(), 0);
  EXPECT_EQ(LogSince(before), "Unmounting ROMFS...\nUnmounting YAFFS...\n");
  EXPECT_FALSE(platform::IsMounted("/romfs"));
  EXPECT_FALSE(platform::IsMounted("/yaffs"));
  EXPECT_EQ(Cwd(), "/");
  EXPECT_EQ(TorvexUnmountFileSystems(), -1);  // nothing left to unmount
}

}  // namespace
