// The result getters: what a program message reads from the results store, and when it waits.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "acquisition/CResultsStore.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "core/CTorvexChannel.h"
#include "support/wait_for.h"

namespace torvex_test {
namespace {

using Torvex::CResultsStore;
using Torvex::CTorvexHostAcquisition;
using Torvex::g_ResultsStore;
using Torvex::ResultBuffer;

// Every result getter, reading element `index` into a value the test compares as a double.
struct Getter {
  const char* name;
  std::function<int(std::uint32_t, double*)> get;
};

const Getter kGetters[] = {
    {"flux", [](std::uint32_t i, double* v) { return CTorvexHostAcquisition::GetFlux(i, v); }},
    {"sigma",
     [](std::uint32_t i, double* v) {
       float f = -1.0f;
       const int r = CTorvexHostAcquisition::GetSigma(i, &f);
       *v = f;
       return r;
     }},
    {"uniformity",
     [](std::uint32_t i, double* v) {
       float f = -1.0f;
       const int r = CTorvexHostAcquisition::GetUniformity(i, &f);
       *v = f;
       return r;
     }},
    {"timestamp",
     [](std::uint32_t i, double* v) {
       std::uint64_t t = 999;
       const int r = CTorvexHostAcquisition::GetTimestamp(i, &t);
       *v = static_cast<double>(t);
       return r;
     }},
    {"channel",
     [](std::uint32_t i, double* v) {
       Torvex::CTorvexChannel c;
       c.AppendLevel(9);
       const int r = CTorvexHostAcquisition::GetChannel(i, &c);
       *v = c.Length() == 2 ? c.Level(0) * 10 + c.Level(1) : -c.Length();
       return r;
     }},
    {"unit",
     [](std::uint32_t i, double* v) {
       std::int32_t u = -7;
       const int r = CTorvexHostAcquisition::GetFluxUnit(i, &u);
       *v = u;
       return r;
     }},
};

// What each getter reads from a buffer that Fill(base) wrote, at index i.
double Expected(const std::string& name, double base, std::uint32_t i) {
  if (name == "flux") return base + i;
  if (name == "sigma") return static_cast<float>(base / 10 + i);
  if (name == "uniformity") return static_cast<float>(base / 100 + i);
  if (name == "timestamp") return base * 1000 + i;
  if (name == "channel") return 10 + i;                                   // channel {1, i}
  return static_cast<std::int32_t>(base) + static_cast<std::int32_t>(i);  // unit
}

// What the getters leave in their outputs when they answer 48 (the outputs are untouched).
double Untouched(const std::string& name) {
  if (name == "flux") return -3.0;
  if (name == "sigma" || name == "uniformity") return -1.0;
  if (name == "timestamp") return 999;
  if (name == "channel") return -1;  // the one level the getter's channel started with
  return -7;
}

class ResultGettersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_ResultsStore.AllocateArrays(4);
    g_ResultsStore.Clear();
    capacity_ = g_ResultsStore.Buffers().front()->capacity;
    ASSERT_GE(capacity_, 2u);
    Torvex::g_TriggerActive = false;
  }
  void TearDown() override {
    Torvex::g_TriggerActive = false;
    CTorvexHostAcquisition::ReleaseResults();
    g_ResultsStore.Clear();
  }

  // The sequence flow's part: fills a writer buffer with `count` measurements derived from `base` and
  // publishes it.
  void Publish(std::uint32_t count, double base) {
    ResultBuffer* b = g_ResultsStore.GetSlotBuffer(CResultsStore::kWriterSlot);
    if (b == nullptr) b = g_ResultsStore.TryTake(CResultsStore::kWriterSlot);
    ASSERT_NE(b, nullptr);
    for (std::uint32_t i = 0; i < count; ++i) {
      b->flux[i] = base + i;
      b->sigma[i] = static_cast<float>(base / 10 + i);
      b->uniformity[i] = static_cast<float>(base / 100 + i);
      b->timestamp[i] = static_cast<std::uint64_t>(base * 1000) + i;
      b->channel[i] = Torvex::CTorvexChannel();
      b->channel[i].AppendLevel(1);
      b->channel[i].AppendLevel(static_cast<std::uint8_t>(i));
      b->unit[i] = static_cast<std::int32_t>(base) + static_cast<std::int32_t>(i);
    }
    b->count = count;
    g_ResultsStore.PublishAndTake(b, CResultsStore::kWriterSlot);
  }

  static double Flux(std::uint32_t index, int* code = nullptr) {
    double v = -3.0;
    const int r = CTorvexHostAcquisition::GetFlux(index, &v);
    if (code != nullptr) *code = r;
    return v;
  }

  std::uint32_t capacity_ = 0;
};

TEST_F(ResultGettersTest, WithoutAnyMeasurementEveryGetterAnswersNoDataAtOnce) {
  for (const Getter& g : kGetters) {
    double v = g.name == std::string("flux") ? -3.0 : 0.0;
    EXPECT_EQ(g.get(0, &v), Torvex::kAcqNoData) << g.name;
    EXPECT_EQ(v, Untouched(g.name)) << g.name;
  }
}

TEST_F(ResultGettersTest, EveryGetterReadsItsElementOfThePublishedResult) {
  Publish(2, 5.0);
  for (const Getter& g : kGetters) {
    for (std::uint32_t i = 0; i < 2; ++i) {
      double v = 0;
      ASSERT_EQ(g.get(i, &v), 0) << g.name << " " << i;
      EXPECT_EQ(v, Expected(g.name, 5.0, i)) << g.name << " " << i;
    }
    // Index equal to the count: no data, output untouched.
    double v = g.name == std::string("flux") ? -3.0 : 0.0;
    EXPECT_EQ(g.get(2, &v), Torvex::kAcqNoData) << g.name;
    EXPECT_EQ(v, Untouched(g.name)) << g.name;
  }
}

TEST_F(ResultGettersTest, AResultOfCountZeroAnswersNoDataForEveryIndex) {
  Publish(0, 1.0);
  for (std::uint32_t index : {0u, 1u, capacity_, 0xFFFFFFFFu}) {
    int code = 0;
    Flux(index, &code);
    EXPECT_EQ(code, Torvex::kAcqNoData) << index;
  }
}

TEST_F(ResultGettersTest, OneMessageReadsOneResultAndTheNextMessageTheNewer) {
  Publish(1, 1.0);
  EXPECT_EQ(Flux(0), 1.0);
  Publish(1, 2.0);
  EXPECT_EQ(Flux(0), 1.0) << "the same program message keeps its buffer";
  CTorvexHostAcquisition::ReleaseResults();
  EXPECT_EQ(Flux(0), 2.0);
  CTorvexHostAcquisition::ReleaseResults();
  // No new measurement: the next message reads the same values again.
  EXPECT_EQ(Flux(0), 2.0);
  CTorvexHostAcquisition::ReleaseResults();
  EXPECT_EQ(Flux(0), 2.0);
}

TEST_F(ResultGettersTest, ReleaseWithNothingHeldChangesNothing) {
  CTorvexHostAcquisition::ReleaseResults();
  Publish(1, 4.0);
  CTorvexHostAcquisition::ReleaseResults();
  EXPECT_EQ(Flux(0), 4.0);
}

// A getter on its own thread (the parser thread of a message).
class PendingFlux {
 public:
  explicit PendingFlux(std::uint32_t index)
      : thread_([this, index] {
          double v = -3.0;
          code_ = CTorvexHostAcquisition::GetFlux(index, &v);
          value_ = v;
          done_ = true;
        }) {}
  ~PendingFlux() {
    if (thread_.joinable()) thread_.join();
  }
  bool Done() const { return done_.load(); }
  int Code() {
    thread_.join();
    return code_;
  }
  double Value() const { return value_; }

 private:
  std::atomic<bool> done_{false};
  int code_ = -1;
  double value_ = 0;
  std::thread thread_;
};

TEST_F(ResultGettersTest, WhileATriggerIsActiveAGetterWaitsForTheResult) {
  Torvex::g_TriggerActive = true;
  PendingFlux fetch(0);
  ASSERT_TRUE(WaitFor([] { return g_ResultsStore.Waiting(CResultsStore::kReaderSlot); }));
  EXPECT_FALSE(fetch.Done());
  Publish(1, 8.0);
  EXPECT_EQ(fetch.Code(), 0);
  EXPECT_EQ(fetch.Value(), 8.0);
}

TEST_F(ResultGettersTest, ADeviceClearReleasesAWaitingGetterWithNoData) {
  Torvex::g_TriggerActive = true;
  PendingFlux fetch(0);
  ASSERT_TRUE(WaitFor([] { return g_ResultsStore.Waiting(CResultsStore::kReaderSlot); }));
  g_ResultsStore.Clear();
  EXPECT_EQ(fetch.Code(), Torvex::kAcqNoData);
  EXPECT_EQ(fetch.Value(), -3.0);
}

// The measurement ends without a result after the getter saw the trigger active: the getter must not
// wait for a result that will never come.
TEST_F(ResultGettersTest, AGetterStopsWaitingWhenTheMeasurementEndsWithoutAResult) {
  Torvex::g_TriggerActive = true;
  PendingFlux fetch(0);
  ASSERT_TRUE(WaitFor([] { return g_ResultsStore.Waiting(CResultsStore::kReaderSlot); }));
  Torvex::g_TriggerActive = false;
  ASSERT_TRUE(WaitFor([&] { return fetch.Done(); }));
  EXPECT_EQ(fetch.Code(), Torvex::kAcqNoData);
  EXPECT_FALSE(g_ResultsStore.Waiting(CResultsStore::kReaderSlot));
}

TEST_F(ResultGettersTest, AClearInsideAMessageMakesTheNextGetterTakeAgain) {
  Publish(1, 1.0);
  EXPECT_EQ(Flux(0), 1.0);
  g_ResultsStore.Clear();
  int code = 0;
  Flux(0, &code);
  EXPECT_EQ(code, Torvex::kAcqNoData);
  Publish(1, 3.0);
  EXPECT_EQ(Flux(0), 3.0);
}

TEST_F(ResultGettersTest, SearchProgressIsReadUnderItsMutex) {
  for (std::uint16_t percent : {std::uint16_t{0}, std::uint16_t{37}, std::uint16_t{100}}) {
    cyg_mutex_lock(&Torvex::g_SearchProgressMutex);
    Torvex::g_SearchProgress = percent;
    cyg_mutex_unlock(&Torvex::g_SearchProgressMutex);
    std::uint16_t out = 0xFFFF;
    EXPECT_EQ(CTorvexHostAcquisition::GetSearchProgress(&out), 0);
    EXPECT_EQ(out, percent);
  }
}

}  // namespace
}  // namespace torvex_test
