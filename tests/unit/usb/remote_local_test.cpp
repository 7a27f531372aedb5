// The IEEE 488.1 remote/local machine: its transition table row by row, and what the observer sees.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "usb/usbtmc/CRemoteLocalStateMachine.h"

namespace torvex_test {
namespace {

class RecordingObserver : public CRemoteLocalStateMachineObserver {
 public:
  void OnRemoteLocalStateChanged(std::uint32_t id) override { reports.push_back(id); }
  std::vector<std::uint32_t> reports;
};

enum Event { kRen, kRenOff, kAddressed, kReturnToLocal, kLlo, kGtl };
const char* const kEventNames[] = {"REN", "REN off", "addressed", "return to local", "LLO", "GTL"};

void Raise(CRemoteLocalStateMachine& m, Event e) {
  switch (e) {
    case kRen: m.RenAsserted(); break;
    case kRenOff: m.RenDeasserted(); break;
    case kAddressed: m.Addressed(); break;
    case kReturnToLocal: m.ReturnToLocal(); break;
    case kLlo: m.LocalLockout(); break;
    case kGtl: m.GoToLocal(); break;
  }
}

using M = CRemoteLocalStateMachine;
constexpr int kNoReport = -1;
constexpr std::uint32_t kSame = 99;

struct Transition {
  std::uint32_t from;
  Event event;
  std::uint32_t to;  // kSame: unchanged
  int report;        // the engine's value (1 LOCS .. 4 RWLS) as the observer's id + 1, or none
};

// Every cell of the table: five states by six events.
const Transition kTable[] = {
    {M::kLocalState, kRen, M::kLocalWithRenState, kNoReport},
    {M::kLocalState, kRenOff, kSame, kNoReport},
    {M::kLocalState, kAddressed, kSame, kNoReport},
    {M::kLocalState, kReturnToLocal, kSame, kNoReport},
    {M::kLocalState, kLlo, kSame, kNoReport},
    {M::kLocalState, kGtl, kSame, kNoReport},
    {M::kLocalWithRenState, kRen, kSame, kNoReport},
    {M::kLocalWithRenState, kRenOff, M::kLocalState, kNoReport},
    {M::kLocalWithRenState, kAddressed, M::kRemoteState, 2},
    {M::kLocalWithRenState, kReturnToLocal, kSame, kNoReport},
    {M::kLocalWithRenState, kLlo, M::kLocalWithLockoutState, 3},
    {M::kLocalWithRenState, kGtl, kSame, kNoReport},
    {M::kLocalWithLockoutState, kRen, kSame, kNoReport},
    {M::kLocalWithLockoutState, kRenOff, M::kLocalState, 1},
    {M::kLocalWithLockoutState, kAddressed, M::kRemoteWithLockoutState, 4},
    {M::kLocalWithLockoutState, kReturnToLocal, kSame, kNoReport},
    {M::kLocalWithLockoutState, kLlo, kSame, kNoReport},
    {M::kLocalWithLockoutState, kGtl, kSame, kNoReport},
    {M::kRemoteState, kRen, kSame, kNoReport},
    {M::kRemoteState, kRenOff, M::kLocalState, 1},
    {M::kRemoteState, kAddressed, kSame, kNoReport},
    {M::kRemoteState, kReturnToLocal, M::kLocalWithRenState, 1},
    {M::kRemoteState, kLlo, M::kRemoteWithLockoutState, 4},
    {M::kRemoteState, kGtl, M::kLocalWithRenState, 1},
    {M::kRemoteWithLockoutState, kRen, kSame, kNoReport},
    {M::kRemoteWithLockoutState, kRenOff, M::kLocalState, 1},
    {M::kRemoteWithLockoutState, kAddressed, kSame, kNoReport},
    {M::kRemoteWithLockoutState, kReturnToLocal, kSame, kNoReport},
    {M::kRemoteWithLockoutState, kLlo, kSame, kNoReport},
    {M::kRemoteWithLockoutState, kGtl, M::kLocalWithLockoutState, 3},
};

TEST(RemoteLocalMachine, EveryCellOfTheTransitionTable) {
  for (const Transition& t : kTable) {
    RecordingObserver observer;
    std::uint32_t status = 0;
    CRemoteLocalStateMachine m(&observer, &status);
    ASSERT_EQ(status, 0u);
    m.SetState(t.from);
    m.SetNotifications(true);
    Raise(m, t.event);
    const std::string where = "state " + std::to_string(t.from) + ", " + kEventNames[t.event];
    EXPECT_EQ(m.GetStateIndex(), t.to == kSame ? t.from : t.to) << where;
    if (t.report == kNoReport) {
      EXPECT_TRUE(observer.reports.empty()) << where;
    } else {
      ASSERT_EQ(observer.reports.size(), 1u) << where;
      EXPECT_EQ(observer.reports[0] + 1, static_cast<std::uint32_t>(t.report)) << where;
    }
  }
}

TEST(RemoteLocalMachine, StateIdsAsTheObserverSeesThem) {
  RecordingObserver observer;
  std::uint32_t status = 0;
  CRemoteLocalStateMachine m(&observer, &status);
  EXPECT_EQ(m.GetStateIndex(), M::kLocalState);
  const std::uint32_t ids[] = {M::kIdLocs, M::kIdLocs, M::kIdLwls, M::kIdRems, M::kIdRwls};
  for (std::uint32_t i = 0; i < M::kStateCount; ++i) {
    m.SetState(i);
    EXPECT_EQ(m.GetStateId(), ids[i]) << i;
  }
}

TEST(RemoteLocalMachine, WithNotificationsOffTransitionsHappenSilently) {
  RecordingObserver observer;
  std::uint32_t status = 0;
  CRemoteLocalStateMachine m(&observer, &status);
  m.RenAsserted();
  m.Addressed();
  m.LocalLockout();
  EXPECT_TRUE(observer.reports.empty());
  EXPECT_EQ(m.GetStateIndex(), M::kRemoteWithLockoutState);
  m.SetNotifications(true);
  m.NotifyObserver();
  EXPECT_EQ(observer.reports, std::vector<std::uint32_t>{M::kIdRwls});
}

}  // namespace
}  // namespace torvex_test
