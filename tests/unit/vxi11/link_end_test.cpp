// The end of a link or of its client: an operation of a link that goes (destroy_link, the end of its
// connection) or whose client closed the connection ends at once, and what the link held (the device
// lock, the message exchange, an incomplete message in the device) is released.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "vxi11_device_fixture.h"

namespace torvex_test {
namespace {

using LinkEndTest = Vxi11EngineTest;
using namespace std::chrono_literals;

CVxi11PhysicalInterface* Inst0() { return Vxi11InterfaceManager()->FindInterface("inst0"); }

// A read waiting without limit (nothing is owed to its link) while the link goes or its client leaves.
TEST_F(LinkEndTest, AReadWaitingWithoutLimitEndsWhenItsLinkOrItsClientGoes) {
  enum class Ends { kDestroyLink, kConnectionEnds, kClientClosed };
  for (Ends how : {Ends::kDestroyLink, Ends::kConnectionEnds, Ends::kClientClosed}) {
    SCOPED_TRACE(static_cast<int>(how));
    IdnInstrument device;
    ASSERT_EQ(device.Start(), 0u);
    FakeConnection leaving;
    FakeConnection other;
    const std::uint32_t lid = Link(&leaving);
    std::uint32_t status = 0xFFFFFFFF;
    Vxi11DeviceLockHandler(&leaving, {lid, false, 0, 0}, &status);
    ASSERT_EQ(status, 0u);
    std::atomic<std::uint32_t> read_status{0xFFFFFFFF};
    std::thread reader([&] {
      std::uint32_t reason = 0;
      std::uint32_t s = 0;
      Read(&leaving, lid, 100, &reason, &s, kVxi11WaitForever);
      read_status = s;
    });
    ASSERT_TRUE(WaitFor([&] { return Inst0()->Exchange()->Waiting() == 1; }));
    switch (how) {
      case Ends::kDestroyLink:
        Vxi11DestroyLinkHandler(&leaving, lid, &status);
        EXPECT_EQ(status, 0u);
        break;
      case Ends::kConnectionEnds: Vxi11DropConnectionLinks(&leaving); break;
      case Ends::kClientClosed: leaving.gone = true; break;
    }
    // The read had no time limit: that it ends at all is the point.
    ASSERT_TRUE(WaitFor([&] { return read_status.load() != 0xFFFFFFFFu; }, 5s));
    reader.join();
    EXPECT_EQ(read_status.load(), kVxi11StatusAborted);
    if (how == Ends::kClientClosed) Vxi11DropConnectionLinks(&leaving);  // as the connection's thread does
    // The lock went with the link: the other client's query and lock work at once.
    EXPECT_EQ(table_->LinkCount(), 0u);
    const std::uint32_t other_lid = Link(&other);
    Write(&other, other_lid, "*IDN?\n", 1000);
    std::uint32_t reason = 0;
    EXPECT_EQ(Read(&other, other_lid, 1000, &reason, &status, 1000), kIdnReply);
    EXPECT_EQ(status, 0u);
    Vxi11DeviceLockHandler(&other, {other_lid, false, 0, 0}, &status);
    EXPECT_EQ(status, 0u);
    Vxi11DestroyLinkHandler(&other, other_lid, &status);
  }
}

// A device_lock waiting for another link's lock ends when its client leaves.
TEST_F(LinkEndTest, ALockWaitEndsWhenItsClientLeaves) {
  IdnInstrument device;
  ASSERT_EQ(device.Start(), 0u);
  FakeConnection holder;
  FakeConnection waiting;
  const std::uint32_t held = Link(&holder);
  const std::uint32_t lid = Link(&waiting);
  std::uint32_t status = 0xFFFFFFFF;
  Vxi11DeviceLockHandler(&holder, {held, false, 0, 0}, &status);
  ASSERT_EQ(status, 0u);
  std::atomic<std::uint32_t> lock_status{0xFFFFFFFF};
  std::thread locker([&] {
    std::uint32_t s = 0;
    Vxi11DeviceLockHandler(&waiting, {lid, true, kVxi11WaitForever, 0}, &s);
    lock_status = s;
  });
  ASSERT_TRUE(WaitFor([&] { return Inst0()->Locks()->Waiters() == 1; }));
  waiting.gone = true;
  ASSERT_TRUE(WaitFor([&] { return lock_status.load() != 0xFFFFFFFFu; }, 5s));
  locker.join();
  EXPECT_EQ(lock_status.load(), kVxi11StatusAborted);
  EXPECT_EQ(Inst0()->Locks()->Owner(), held);
  EXPECT_EQ(Inst0()->Locks()->Waiters(), 0);
}

// A link that goes with part of its message in the device (no END yet): the part is cleared away, so
// that the next link's message starts afresh.
TEST_F(LinkEndTest, AnIncompleteMessageOfALinkThatGoesIsNotContinuedByTheNext) {
  IdnInstrument device;
  ASSERT_EQ(device.Start(), 0u);
  FakeConnection leaving;
  FakeConnection next;
  const std::uint32_t lid = Link(&leaving);
  std::uint32_t status = 0xFFFFFFFF;
  const std::string part = "SYST:ERR";
  EXPECT_EQ(Vxi11DeviceWriteHandler(&leaving, {lid, false, 0, 1000}, false, static_cast<std::uint32_t>(part.size()),
                                    reinterpret_cast<const std::uint8_t*>(part.data()), &status),
            part.size());
  ASSERT_EQ(status, 0u);
  EXPECT_TRUE(Inst0()->Exchange()->OwnerHasPartialMessage());
  Vxi11DestroyLinkHandler(&leaving, lid, &status);
  EXPECT_EQ(Inst0()->Exchange()->Owner(), 0u);
  const std::uint32_t next_lid = Link(&next);
  Write(&next, next_lid, "*IDN?\n", 2000);
  std::uint32_t reason = 0;
  EXPECT_EQ(Read(&next, next_lid, 1000, &reason, &status, 2000), kIdnReply);
  EXPECT_EQ(status, 0u);
  ASSERT_FALSE(device.Inputs().empty());
  EXPECT_EQ(device.Inputs().back(), "*IDN?\n");
  EXPECT_EQ(device.Clears(), 1);
}

}  // namespace
}  // namespace torvex_test
