// Two links query the device at once while a third thread aborts their operations: every operation
// ends with success, a time-out, an abort or a lock refusal, nothing hangs, and the device rests afterwards (gate at
// depth 0, queue empty, no lock owner) and still answers.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "vxi11_device_fixture.h"

namespace torvex_test {
namespace {

using LinkStressTest = Vxi11EngineTest;

// Success, an abort, a time-out, or a refusal because the other link holds the device lock.
bool Expected(std::uint32_t status) {
  return status == 0 || status == kVxi11StatusAborted || status == kVxi11StatusTimedOut ||
         status == kVxi11StatusLockRefused;
}

TEST_F(LinkStressTest, TwoLinksQueryWhileAbortsComeIn) {
  IdnInstrument device;
  ASSERT_EQ(device.Start(), 0u);
  FakeConnection connections[2];
  std::uint32_t lids[2] = {Link(&connections[0]), Link(&connections[1])};
  constexpr int kRounds = 60;
  std::atomic<int> running{2};
  std::atomic<int> answered{0};
  std::atomic<int> unexpected{0};

  auto worker = [&](int which) {
    FakeConnection* connection = &connections[which];
    const std::uint32_t lid = lids[which];
    for (int round = 0; round < kRounds; ++round) {
      std::uint32_t status = 0;
      // Every other round under the device lock, so the other link's lock check waits.
      const bool locked = round % 2 == 0;
      if (locked) {
        Vxi11DeviceLockHandler(connection, {lid, true, 300, 0}, &status);
        if (!Expected(status)) ++unexpected;
      }
      const bool holds = locked && status == 0;
      Write(connection, lid, "*IDN?\n", 300, &status);
      if (!Expected(status)) ++unexpected;
      std::uint32_t reason = 0;
      const std::string reply = Read(connection, lid, 1000, &reason, &status, 300);
      if (!Expected(status)) ++unexpected;
      if (status == 0 && reply == kIdnReply) ++answered;
      if (holds) {
        Vxi11DeviceUnlockHandler(connection, lid, &status);
        if (status != 0) ++unexpected;
      }
    }
    --running;
  };
  std::thread a(worker, 0);
  std::thread b(worker, 1);
  std::thread aborter([&] {
    std::mt19937 random(18);
    while (running.load() > 0) {
      const int which = static_cast<int>(random() % 2);
      std::uint32_t status = 0;
      Vxi11DeviceAbortHandler(&connections[which], lids[which], &status);
      if (status != 0) ++unexpected;
      for (unsigned spin = random() % 2000; spin > 0; --spin) std::this_thread::yield();
    }
  });
  a.join();
  b.join();
  aborter.join();

  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_GT(answered.load(), 0);
  std::printf("answered %d of %d queries under aborts\n", answered.load(), 2 * kRounds);

  CVxi11PhysicalInterface* p = Vxi11InterfaceManager()->FindInterface("inst0");
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(WaitFor([&] { return p->Gate()->Depth() == 0 && !p->Gate()->IsBusy(); }));
  EXPECT_EQ(p->Locks()->Owner(), 0u);
  std::uint32_t queued[4];
  EXPECT_EQ(p->Queue()->Snapshot(queued, 4), 0);
  EXPECT_EQ(p->Gate()->Violations(), 0);

  // A device clear brings the message exchange back to rest; then a query is answered.
  std::uint32_t status = 0;
  Vxi11DeviceClearHandler(&connections[0], {lids[0], false, 0, 2000}, &status);
  EXPECT_EQ(status, 0u);
  Write(&connections[0], lids[0], "*IDN?\n");
  std::uint32_t reason = 0;
  EXPECT_EQ(Read(&connections[0], lids[0], 1000, &reason, &status), kIdnReply);
  EXPECT_EQ(status, 0u);
}

}  // namespace
}  // namespace torvex_test
