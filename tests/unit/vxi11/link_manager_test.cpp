// The link table and device names: "inst%lu" and the alias, unknown names and links, links of another
// connection, device_lock / device_unlock refusals, the end of a connection, and the service request
// fan-out (sent outside the table's mutex; remembered for a link whose SRQ is off and sent once when it
// is enabled).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "engine/C4882Device.h"
#include "support/wait_for.h"
#include "vxi11/CVxi11LinkManager.h"

namespace torvex_test {
namespace {

constexpr std::uint32_t kPending = 0xFFFFFFFFu;

class RecordingConnection : public CVxi11Connection {
 public:
  void SendSrq(std::uint32_t handle_length, const std::uint8_t* handle, std::uint32_t* status) override {
    if (hold) {
      std::unique_lock<std::mutex> lock(mutex_);
      ++held_;
      changed_.notify_all();
      changed_.wait(lock, [this] { return released_; });
    }
    std::lock_guard<std::mutex> lock(mutex_);
    srqs_.emplace_back(reinterpret_cast<const char*>(handle), handle_length);
    *status = 0;
  }
  void SendReadStbReply(std::uint32_t, std::uint8_t, std::uint32_t, std::uint32_t* status) override { *status = 0; }

  std::vector<std::string> Srqs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return srqs_;
  }
  int Held() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

  bool hold = false;  // SendSrq blocks until Release (a slow interrupt channel)

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> srqs_;
  int held_ = 0;
  bool released_ = false;
};

DoVovuriVxi11Settings AliasSettings(const char* alias) {
  DoVovuriVxi11Settings settings{};
  settings.size = sizeof settings;
  settings.valid = 1;
  settings.version = 1;
  if (alias != nullptr) {
    std::memcpy(settings.device_name, alias, std::min(std::strlen(alias), sizeof settings.device_name - 1));
    settings.name_given = 1;
  }
  return settings;
}

class LinkManagerTest : public ::testing::Test {
 protected:
  CVxi11PhysicalInterface* Make(std::uint32_t index, const char* alias, std::uint32_t* enable_status = nullptr) {
    DoVovuriDeviceDescriptor descriptor{};
    descriptor.size = kDeviceDescriptorSize;
    descriptor.interface_version = kDeviceInterfaceVersion;
    descriptor.plugin_id = kPluginIdVxi11;
    std::uint32_t status = kPending;
    auto* made = static_cast<CVxi11PhysicalInterface*>(manager_.CreateInterface(&descriptor, index, &status));
    EXPECT_EQ(status, 0u);
    if (made == nullptr) return nullptr;
    const DoVovuriVxi11Settings settings = AliasSettings(alias);
    made->Enable(&settings, &status);
    if (enable_status != nullptr) {
      *enable_status = status;
    } else {
      EXPECT_EQ(status, 0u);
    }
    made->ResumeEvents(&status);
    return made;
  }
  std::uint32_t Create(CVxi11Connection* connection, const char* name, std::uint32_t* status, bool lock = false,
                       std::uint32_t lock_timeout = 0) {
    return Vxi11CreateLinkHandler(connection, lock, lock_timeout, name, status);
  }
  static std::uint32_t Owner(CVxi11PhysicalInterface* p) { return p->Locks()->Owner(); }

  CVxi11LinkManager table_;
  CVxi11PhysicalInterfaceManager manager_;
};

TEST_F(LinkManagerTest, NamesResolveExactlyAndTheAliasToo) {
  Make(0, "probe");
  RecordingConnection connection;
  struct Case {
    const char* name;
    std::uint32_t status;
  };
  const Case cases[] = {
      {"inst0", 0},
      {"probe", 0},
      {"INST0", kStatusDeviceNotFound},
      {"inst00", kStatusDeviceNotFound},
      {"inst", kStatusDeviceNotFound},
      {"", kStatusDeviceNotFound},
      {"Probe", kStatusDeviceNotFound},
      {"inst1", kStatusDeviceNotFound},
  };
  for (const Case& c : cases) {
    std::uint32_t status = kPending;
    const std::uint32_t lid = Create(&connection, c.name, &status);
    EXPECT_EQ(status, c.status) << c.name;
    EXPECT_EQ(lid != 0, c.status == 0) << c.name;
  }
  EXPECT_EQ(table_.LinkCount(), 2u);
  EXPECT_EQ(manager_.GetInterfaceCount(), 1);
}

TEST_F(LinkManagerTest, AliasRulesAtEnable) {
  CVxi11PhysicalInterface* first = Make(0, "probe");
  std::uint32_t status = kPending;
  // The own name, or a name another interface holds, is refused; the interface stays disabled.
  Make(1, "inst1", &status);
  EXPECT_EQ(status, kVxi11StatusNameInvalid);
  CVxi11PhysicalInterface* third = Make(2, "probe", &status);
  EXPECT_EQ(status, kVxi11StatusNameInvalid);
  EXPECT_FALSE(third->IsEnabled());
  // Re-enabling with the alias it already holds works.
  first->Disable(&status);
  const DoVovuriVxi11Settings settings = AliasSettings("probe");
  first->Enable(&settings, &status);
  EXPECT_EQ(status, 0u);
  first->ResumeEvents(&status);
  RecordingConnection connection;
  EXPECT_NE(Create(&connection, "probe", &status), 0u);
  EXPECT_EQ(status, 0u);
  // A disabled interface is found by name but refused.
  first->Disable(&status);
  EXPECT_EQ(Create(&connection, "inst0", &status), 0u);
  EXPECT_EQ(status, kStatusDeviceNotFound);
}

TEST_F(LinkManagerTest, LinksAreKnownOnlyToTheirConnection) {
  Make(0, nullptr);
  RecordingConnection a;
  RecordingConnection b;
  std::uint32_t status = kPending;
  const std::uint32_t la = Create(&a, "inst0", &status);
  const std::uint32_t lb = Create(&b, "inst0", &status);
  ASSERT_NE(la, 0u);
  ASSERT_NE(lb, 0u);
  EXPECT_NE(la, lb);
  Vxi11DestroyLinkHandler(&b, la, &status);
  EXPECT_EQ(status, kVxi11StatusNoSuchLink);
  Vxi11DeviceTriggerHandler(&a, {la ^ 0x40000u, false, 0, 0}, &status);
  EXPECT_EQ(status, kVxi11StatusNoSuchLink);
  Vxi11DeviceAbortHandler(&b, la, &status);
  EXPECT_EQ(status, kVxi11StatusNoSuchLink);
  Vxi11DestroyLinkHandler(&a, la, &status);
  EXPECT_EQ(status, 0u);
  Vxi11DestroyLinkHandler(&a, la, &status);
  EXPECT_EQ(status, kVxi11StatusNoSuchLink);
  EXPECT_EQ(table_.LinkCount(), 1u);
}

TEST_F(LinkManagerTest, LockRefusalsAndLockedCreateLink) {
  CVxi11PhysicalInterface* p = Make(0, nullptr);
  RecordingConnection a;
  RecordingConnection b;
  std::uint32_t status = kPending;
  const std::uint32_t la = Create(&a, "inst0", &status, true, 0);
  ASSERT_EQ(status, 0u);
  EXPECT_EQ(Owner(p), la);
  Vxi11DeviceLockHandler(&a, {la, false, 0, 0}, &status);
  EXPECT_EQ(status, kVxi11StatusLockRefused);
  // create_link with lockDevice while another link holds the lock: "device locked by another link"
  // once its lock_timeout is up, and no link left behind.
  EXPECT_EQ(Create(&b, "inst0", &status, true, 30), 0u);
  EXPECT_EQ(status, kVxi11StatusLockRefused);
  EXPECT_EQ(table_.LinkCount(), 1u);
  const std::uint32_t lb = Create(&b, "inst0", &status);
  Vxi11DeviceUnlockHandler(&b, lb, &status);
  EXPECT_EQ(status, kVxi11StatusNotLocked);
  Vxi11DeviceUnlockHandler(&a, la, &status);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(Owner(p), 0u);
  Vxi11DeviceLockHandler(&b, {lb, false, 0, 0}, &status);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(Owner(p), lb);
}

TEST_F(LinkManagerTest, EndOfAConnectionLeavesTheDeviceUnlocked) {
  CVxi11PhysicalInterface* p = Make(0, nullptr);
  RecordingConnection a;
  RecordingConnection b;
  std::uint32_t status = kPending;
  const std::uint32_t la = Create(&a, "inst0", &status, true, 0);
  Create(&a, "inst0", &status);
  const std::uint32_t lb = Create(&b, "inst0", &status);
  EXPECT_EQ(Owner(p), la);
  Vxi11DropConnectionLinks(&a);
  EXPECT_EQ(table_.LinkCount(), 1u);
  EXPECT_TRUE(table_.HasLink(lb));
  EXPECT_EQ(Owner(p), 0u);
  // destroy_link of a link that holds the lock unlocks too.
  Vxi11DeviceLockHandler(&b, {lb, false, 0, 0}, &status);
  EXPECT_EQ(Owner(p), lb);
  Vxi11DestroyLinkHandler(&b, lb, &status);
  EXPECT_EQ(Owner(p), 0u);
}

TEST_F(LinkManagerTest, DisablingTheDeviceDropsItsLinks) {
  CVxi11PhysicalInterface* p = Make(0, nullptr);
  RecordingConnection a;
  std::uint32_t status = kPending;
  const std::uint32_t la = Create(&a, "inst0", &status);
  p->Disable(&status);
  EXPECT_EQ(table_.LinkCount(), 0u);
  Vxi11DeviceLockHandler(&a, {la, false, 0, 0}, &status);
  EXPECT_EQ(status, kVxi11StatusNoSuchLink);
}

TEST_F(LinkManagerTest, ServiceRequestReachesEnabledLinksAndIsDeliveredOnceOnEnable) {
  CVxi11PhysicalInterface* p = Make(0, nullptr);
  RecordingConnection a;
  RecordingConnection b;
  std::uint32_t status = kPending;
  const std::uint32_t la = Create(&a, "inst0", &status);
  const std::uint32_t lb = Create(&b, "inst0", &status);
  const std::string handle_a = "handle-a";
  const std::string handle_b = "handle-of-b";
  Vxi11EnableSrqHandler(&a, la, true, static_cast<std::uint32_t>(handle_a.size()),
                        reinterpret_cast<const std::uint8_t*>(handle_a.data()), &status);
  ASSERT_EQ(status, 0u);
  std::string too_long(41, 'h');
  Vxi11EnableSrqHandler(&b, lb, true, 41, reinterpret_cast<const std::uint8_t*>(too_long.data()), &status);
  EXPECT_EQ(status, kVxi11StatusBadParameter);

  p->AssertServiceRequest(&status);
  EXPECT_EQ(a.Srqs(), std::vector<std::string>{handle_a});
  EXPECT_TRUE(b.Srqs().empty());
  EXPECT_TRUE(table_.IsSrqPending(lb));
  Vxi11EnableSrqHandler(&b, lb, true, static_cast<std::uint32_t>(handle_b.size()),
                        reinterpret_cast<const std::uint8_t*>(handle_b.data()), &status);
  EXPECT_EQ(b.Srqs(), std::vector<std::string>{handle_b});
  Vxi11EnableSrqHandler(&b, lb, true, static_cast<std::uint32_t>(handle_b.size()),
                        reinterpret_cast<const std::uint8_t*>(handle_b.data()), &status);
  EXPECT_EQ(b.Srqs().size(), 1u) << "delivered once";

  // A withdrawn request is forgotten.
  Vxi11EnableSrqHandler(&b, lb, false, 0, nullptr, &status);
  p->AssertServiceRequest(&status);
  p->WithdrawServiceRequest(&status);
  Vxi11EnableSrqHandler(&b, lb, true, static_cast<std::uint32_t>(handle_b.size()),
                        reinterpret_cast<const std::uint8_t*>(handle_b.data()), &status);
  EXPECT_EQ(b.Srqs().size(), 1u);
  EXPECT_EQ(a.Srqs().size(), 2u);
}

TEST_F(LinkManagerTest, SlowServiceRequestHoldsNeitherTheTableNorAnEndingConnection) {
  CVxi11PhysicalInterface* p = Make(0, nullptr);
  RecordingConnection slow;
  slow.hold = true;
  RecordingConnection other;
  std::uint32_t status = kPending;
  const std::uint32_t ls = Create(&slow, "inst0", &status);
  const std::string handle = "h";
  Vxi11EnableSrqHandler(&slow, ls, true, 1, reinterpret_cast<const std::uint8_t*>(handle.data()), &status);
  std::thread engine([&] {
    std::uint32_t s = kPending;
    p->AssertServiceRequest(&s);
  });
  ASSERT_TRUE(WaitFor([&] { return slow.Held() == 1; }));
  // The table serves other connections while the send blocks.
  const std::uint32_t lo = Create(&other, "inst0", &status);
  EXPECT_EQ(status, 0u);
  Vxi11DestroyLinkHandler(&other, lo, &status);
  EXPECT_EQ(status, 0u);
  // The slow connection ends: its links go at once, but it is not released while the send runs.
  std::atomic<bool> dropped{false};
  std::thread ending([&] {
    Vxi11DropConnectionLinks(&slow);
    dropped = true;
  });
  ASSERT_TRUE(WaitFor([&] { return !table_.HasLink(ls); }));
  EXPECT_FALSE(WaitFor([&] { return dropped.load(); }, std::chrono::milliseconds(30)));
  slow.Release();
  engine.join();
  ending.join();
  EXPECT_TRUE(dropped.load());
  EXPECT_EQ(slow.Srqs().size(), 1u);
}

}  // namespace
}  // namespace torvex_test
