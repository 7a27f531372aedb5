// Device table and select(): devices, files and sockets in one wait; each event reported once.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <thread>

#include "platform/devtab.h"
#include "platform/io.h"
#include "support/temp_dir.h"
#include "support/wait_for.h"

namespace {

// A device that becomes readable once per Fire(); a select that finds it readable consumes one.
struct CountingDevice {
  std::mutex lock;
  int events = 0;
  cyg_selinfo sel;
  cyg_devtab_entry entry;

  static cyg_bool_t Select(cyg_io_handle_t h, cyg_uint32 which, cyg_addrword_t info) {
    auto* d = static_cast<CountingDevice*>(cyg_io_entry(h)->priv);
    if (which != CYG_FREAD) return false;
    std::lock_guard<std::mutex> g(d->lock);
    if (d->events > 0) {
      --d->events;
      return true;
    }
    cyg_selrecord(info, &d->sel);
    return false;
  }
  static Cyg_ErrNo Read(cyg_io_handle_t h, void* buf, cyg_uint32* len) {
    auto* d = static_cast<CountingDevice*>(cyg_io_entry(h)->priv);
    std::lock_guard<std::mutex> g(d->lock);
    if (*len < 1) return -EINVAL;
    static_cast<char*>(buf)[0] = static_cast<char>('0' + d->events);
    *len = 1;
    return 0;
  }
  static cyg_bool_t Init(cyg_devtab_entry* e) {
    cyg_selinit(&static_cast<CountingDevice*>(e->priv)->sel);
    return true;
  }
  inline static const cyg_devio_table_t kHandlers{nullptr, &Read, &Select, nullptr, nullptr};

  explicit CountingDevice(const char* name) : entry{name, &kHandlers, &Init, nullptr, this, false} {
    platform::devtab::Register(&entry);
  }
  ~CountingDevice() { platform::devtab::Unregister(&entry); }

  void Fire() {
    std::lock_guard<std::mutex> g(lock);
    ++events;
    cyg_selwakeup(&sel);
  }
};

class SelectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = torvex_test::MakeTempDir("select");
    std::filesystem::create_directories(root_ / "yaffs");
    platform::SetBoardRoot(root_.string());
    ASSERT_EQ(platform::mount("", "/dev", "devfs"), 0);
    platform::devtab::InitAll();
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sock_), 0);
  }
  void TearDown() override {
    ::close(sock_[0]);
    ::close(sock_[1]);
    platform::umount("/dev");
    std::filesystem::remove_all(root_);
  }

  std::filesystem::path root_;
  int sock_[2] = {-1, -1};
};

TEST_F(SelectTest, TwoDevicesAndASocketEachReportedOncePerEvent) {
  CountingDevice a("/dev/test-a");
  CountingDevice b("/dev/test-b");
  platform::devtab::InitAll();
  const int fa = platform::open("/dev/test-a", O_RDONLY);
  const int fb = platform::open("/dev/test-b", O_RDONLY);
  ASSERT_GE(fa, 0);
  ASSERT_GE(fb, 0);
  const int fs = sock_[0];
  const int nfds = std::max({fa, fb, fs}) + 1;

  auto wait = [&](int timeout_ms, bool& ra, bool& rb, bool& rs) {
    fd_set r;
    FD_ZERO(&r);
    FD_SET(fa, &r);
    FD_SET(fb, &r);
    FD_SET(fs, &r);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int n = platform::select(nfds, &r, nullptr, nullptr, &tv);
    ra = FD_ISSET(fa, &r);
    rb = FD_ISSET(fb, &r);
    rs = FD_ISSET(fs, &r);
    return n;
  };

  bool ra, rb, rs;
  EXPECT_EQ(wait(20, ra, rb, rs), 0) << "nothing happened yet";

  // An event that arrives while nobody waits is counted; the next select sees it at once.
  a.Fire();
  EXPECT_EQ(wait(0, ra, rb, rs), 1);
  EXPECT_TRUE(ra);
  EXPECT_FALSE(rb);
  EXPECT_EQ(wait(20, ra, rb, rs), 0) << "the event was consumed";

  // An event while a select waits wakes it.
  std::thread firer([&] {
    std::this_thread::yield();
    b.Fire();
  });
  EXPECT_EQ(wait(5000, ra, rb, rs), 1);
  EXPECT_TRUE(rb);
  firer.join();

  // Socket and both devices together.
  a.Fire();
  b.Fire();
  ASSERT_EQ(::write(sock_[1], "x", 1), 1);
  EXPECT_EQ(wait(1000, ra, rb, rs), 3);
  EXPECT_TRUE(ra && rb && rs);
  char c;
  ASSERT_EQ(::read(fs, &c, 1), 1);
  EXPECT_EQ(wait(20, ra, rb, rs), 0);

  // Two events are two readable results.
  a.Fire();
  a.Fire();
  EXPECT_EQ(wait(0, ra, rb, rs), 1);
  EXPECT_EQ(wait(0, ra, rb, rs), 1);
  EXPECT_EQ(wait(0, ra, rb, rs), 0);

  char buf[4];
  EXPECT_EQ(platform::read(fa, buf, sizeof buf), 1);
  EXPECT_EQ(platform::write(fa, "x", 1), -1) << "the device has no write handler";
  EXPECT_EQ(platform::close(fa), 0);
  EXPECT_EQ(platform::close(fb), 0);
}

TEST_F(SelectTest, ManyEventsFromManyThreadsAreEachReportedOnce) {
  CountingDevice a("/dev/test-stress");
  platform::devtab::InitAll();
  const int fd = platform::open("/dev/test-stress", O_RDONLY);
  ASSERT_GE(fd, 0);
  constexpr int kFirers = 4, kEach = 300;
  std::vector<std::thread> firers;
  for (int i = 0; i < kFirers; ++i) {
    firers.emplace_back([&] {
      for (int k = 0; k < kEach; ++k) a.Fire();
    });
  }
  int seen = 0;
  while (seen < kFirers * kEach) {
    fd_set r;
    FD_ZERO(&r);
    FD_SET(fd, &r);
    timeval tv{5, 0};
    const int n = platform::select(fd + 1, &r, nullptr, nullptr, &tv);
    ASSERT_EQ(n, 1) << "lost a wake-up after " << seen << " events";
    ++seen;
  }
  for (auto& t : firers) t.join();
  fd_set r;
  FD_ZERO(&r);
  FD_SET(fd, &r);
  timeval tv{0, 0};
  EXPECT_EQ(platform::select(fd + 1, &r, nullptr, nullptr, &tv), 0);
  platform::close(fd);
}

bool HasRecordedSelector(CountingDevice& d) {
  std::lock_guard<std::mutex> g(d.lock);
  for (const auto w : d.sel.waiters) {
    if (w != 0) return true;
  }
  return false;
}

// Time-outs too long for the clock wait for the event; negative ones are refused.
TEST_F(SelectTest, TimeOutsBeyondTheClockWaitAndNegativeOnesAreRefused) {
  CountingDevice a("/dev/test-timeout");
  platform::devtab::InitAll();
  const int fd = platform::open("/dev/test-timeout", O_RDONLY);
  ASSERT_GE(fd, 0);
  struct Case {
    timeval tv;
    int expect;  // select's result; -1 with EINVAL
  } table[] = {
      {{std::numeric_limits<time_t>::max(), 0}, 1},
      {{std::numeric_limits<time_t>::max(), 999999}, 1},
      {{std::numeric_limits<time_t>::max() / 1000, 0}, 1},
      {{0, std::numeric_limits<suseconds_t>::max()}, 1},
      {{-1, 0}, -1},
      {{0, -1}, -1},
  };
  for (Case& c : table) {
    std::thread firer;
    if (c.expect == 1) {
      // Fire only once the select is waiting, so a time-out that ended it at once is seen.
      firer = std::thread([&] {
        ASSERT_TRUE(torvex_test::WaitFor([&] { return HasRecordedSelector(a); }));
        a.Fire();
      });
    }
    fd_set r;
    FD_ZERO(&r);
    FD_SET(fd, &r);
    errno = 0;
    const int n = platform::select(fd + 1, &r, nullptr, nullptr, &c.tv);
    if (firer.joinable()) firer.join();
    EXPECT_EQ(n, c.expect) << c.tv.tv_sec << "." << c.tv.tv_usec;
    if (c.expect < 0) {
      EXPECT_EQ(errno, EINVAL);
    }
  }
  platform::close(fd);
}

// A descriptor that is not open makes select fail with EBADF, and the devices asked in the same
// call keep their events.
TEST_F(SelectTest, ClosedDescriptorFailsWithoutConsumingDeviceEvents) {
  CountingDevice a("/dev/test-badf");
  platform::devtab::InitAll();
  const int fd = platform::open("/dev/test-badf", O_RDONLY);
  ASSERT_GE(fd, 0);
  // A high number, so that no descriptor opened meanwhile (select's own) takes it.
  const int closed = FD_SETSIZE - 7;
  ASSERT_EQ(::dup2(fd, closed), closed);
  ::close(closed);
  a.Fire();

  fd_set r;
  FD_ZERO(&r);
  FD_SET(fd, &r);
  FD_SET(closed, &r);
  timeval tv{0, 0};
  EXPECT_EQ(platform::select(std::max(fd, closed) + 1, &r, nullptr, nullptr, &tv), -1);
  EXPECT_EQ(errno, EBADF);

  FD_ZERO(&r);
  FD_SET(fd, &r);
  tv = timeval{0, 0};
  EXPECT_EQ(platform::select(fd + 1, &r, nullptr, nullptr, &tv), 1) << "the device's event was lost";
  platform::close(fd);
}

TEST_F(SelectTest, UnknownDevicesAndPathsOutsideTheMountsAreRefused) {
  EXPECT_EQ(platform::open("/dev/no-such-device", O_RDONLY), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(platform::open("/etc/passwd", O_RDONLY), -1);
  EXPECT_EQ(platform::open("/dev/../../etc/passwd", O_RDONLY), -1);
  EXPECT_EQ(platform::open("relative", O_RDONLY), -1);
}

}  // namespace
