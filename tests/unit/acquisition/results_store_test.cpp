// The results store: the buffer cycle between one writer and one reader, clears, and the waits.
#include "acquisition/CResultsStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "support/wait_for.h"

namespace {

using Torvex::CResultsStore;
using Torvex::ResultBuffer;
using torvex_test::WaitFor;

constexpr int kWriter = CResultsStore::kWriterSlot;
constexpr int kReader = CResultsStore::kReaderSlot;

// Takes a writer buffer, stores `count` fluxes of value `value` and publishes it; returns it.
ResultBuffer* Publish(CResultsStore& store, std::uint32_t count, double value) {
  ResultBuffer* buffer = store.GetSlotBuffer(kWriter);
  if (buffer == nullptr) buffer = store.TryTake(kWriter);
  EXPECT_NE(buffer, nullptr);
  if (buffer == nullptr) return nullptr;
  for (std::uint32_t i = 0; i < count; ++i) buffer->flux[i] = value + i;
  buffer->count = count;
  store.PublishAndTake(buffer, kWriter);
  return buffer;
}

TEST(ResultsStore, NewStoreQueuesEveryBufferFreeInCreationOrder) {
  CResultsStore store(3);
  ASSERT_EQ(store.Buffers().size(), 3u);
  EXPECT_EQ(store.FreeQueueSnapshot(), store.Buffers());
  for (ResultBuffer* b : store.Buffers()) {
    EXPECT_EQ(b->state, Torvex::eResultBufferState::Free);
    EXPECT_EQ(b->flux, nullptr);
    EXPECT_EQ(b->count, 0u);
  }
  EXPECT_EQ(store.GetSlotBuffer(kWriter), nullptr);
  EXPECT_EQ(store.GetSlotBuffer(kReader), nullptr);
}

TEST(ResultsStore, AllocateKeepsTheFirstCapacityAndStartsChannelsEmpty) {
  CResultsStore store(3);
  store.AllocateArrays(8);
  std::vector<double*> first;
  for (ResultBuffer* b : store.Buffers()) {
    ASSERT_NE(b->flux, nullptr);
    ASSERT_NE(b->frequency, nullptr);
    ASSERT_NE(b->sigma, nullptr);
    ASSERT_NE(b->uniformity, nullptr);
    ASSERT_NE(b->timestamp, nullptr);
    ASSERT_NE(b->unit, nullptr);
    ASSERT_NE(b->channel, nullptr);
    EXPECT_EQ(b->capacity, 8u);
    for (std::uint32_t i = 0; i < 8; ++i) EXPECT_EQ(b->channel[i].Length(), 0);
    first.push_back(b->flux);
  }
  store.AllocateArrays(100);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(store.Buffers()[i]->capacity, 8u);
    EXPECT_EQ(store.Buffers()[i]->flux, first[i]);
  }
}

TEST(ResultsStore, BufferCyclesThroughWritingReadyReadingAndBack) {
  CResultsStore store(3);
  store.AllocateArrays(4);
  EXPECT_EQ(store.TryTake(kReader), nullptr) << "nothing published yet";

  ResultBuffer* w = store.TryTake(kWriter);
  ASSERT_EQ(w, store.Buffers()[0]);
  EXPECT_EQ(w->state, Torvex::eResultBufferState::Writing);
  EXPECT_EQ(store.GetSlotBuffer(kWriter), w);
  w->flux[0] = 1.25;
  w->count = 1;

  ResultBuffer* next = store.PublishAndTake(w, kWriter);
  EXPECT_EQ(w->state, Torvex::eResultBufferState::Ready);
  EXPECT_EQ(store.ReadySlotBuffer(), w);
  ASSERT_EQ(next, store.Buffers()[1]);
  EXPECT_EQ(next->state, Torvex::eResultBufferState::Writing);

  ResultBuffer* r = store.TryTake(kReader);
  ASSERT_EQ(r, w);
  EXPECT_EQ(r->state, Torvex::eResultBufferState::Reading);
  EXPECT_EQ(store.GetSlotBuffer(kReader), r);
  EXPECT_EQ(store.ReadySlotBuffer(), nullptr);

  // Given back with nothing newer: ready again, same values on the next take.
  store.Release(r);
  EXPECT_EQ(r->state, Torvex::eResultBufferState::Ready);
  EXPECT_EQ(store.GetSlotBuffer(kReader), nullptr);
  ResultBuffer* again = store.TryTake(kReader);
  ASSERT_EQ(again, w);
  EXPECT_EQ(again->count, 1u);
  EXPECT_EQ(again->flux[0], 1.25);
}

TEST(ResultsStore, UnreadResultIsRecycledByANewerPublish) {
  CResultsStore store(3);
  store.AllocateArrays(4);
  ResultBuffer* first = Publish(store, 1, 10.0);
  ResultBuffer* second = Publish(store, 2, 20.0);
  ASSERT_NE(first, second);
  EXPECT_EQ(first->state, Torvex::eResultBufferState::Free);
  const auto queue = store.FreeQueueSnapshot();
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue[0], first);
  ResultBuffer* r = store.TryTake(kReader);
  ASSERT_EQ(r, second);
  EXPECT_EQ(r->count, 2u);
  EXPECT_EQ(r->flux[1], 21.0);
}

TEST(ResultsStore, ReaderReleasingAfterANewerPublishGetsTheNewerNext) {
  CResultsStore store(3);
  store.AllocateArrays(4);
  Publish(store, 1, 1.0);
  ResultBuffer* held = store.TryTake(kReader);
  ASSERT_NE(held, nullptr);
  ResultBuffer* newer = Publish(store, 1, 2.0);
  // While held, the reader's buffer is untouched by the publish.
  EXPECT_EQ(held->state, Torvex::eResultBufferState::Reading);
  EXPECT_EQ(held->flux[0], 1.0);

  store.Release(held);
  EXPECT_EQ(held->state, Torvex::eResultBufferState::Free);
  const auto queue = store.FreeQueueSnapshot();
  EXPECT_NE(std::find(queue.begin(), queue.end(), held), queue.end());
  EXPECT_EQ(store.TryTake(kReader), newer);
}

TEST(ResultsStore, NullReleaseAndUnknownSlotsDoNothing) {
  CResultsStore store(3);
  store.Release(nullptr);
  EXPECT_EQ(store.FreeQueueSnapshot().size(), 3u);
  for (int slot : {-1, 2, 7}) {
    EXPECT_EQ(store.GetSlotBuffer(slot), nullptr);
    EXPECT_EQ(store.TryTake(slot), nullptr);
    EXPECT_EQ(store.WaitTake(slot), nullptr) << "an unknown slot never waits";
    EXPECT_EQ(store.PublishAndTake(nullptr, slot), nullptr);
  }
  EXPECT_EQ(store.FreeQueueSnapshot().size(), 3u);
}

TEST(ResultsStore, ClearFreesEveryBufferInCreationOrderAndKeepsCounts) {
  CResultsStore store(3);
  store.AllocateArrays(4);
  Publish(store, 3, 5.0);
  ResultBuffer* read = store.TryTake(kReader);
  ASSERT_NE(read, nullptr);
  Publish(store, 2, 6.0);
  ResultBuffer* writing = store.GetSlotBuffer(kWriter);
  ASSERT_NE(writing, nullptr);

  store.Clear();
  EXPECT_EQ(store.FreeQueueSnapshot(), store.Buffers());
  for (ResultBuffer* b : store.Buffers()) EXPECT_EQ(b->state, Torvex::eResultBufferState::Free);
  EXPECT_EQ(read->count, 3u);
  EXPECT_EQ(store.GetSlotBuffer(kReader), nullptr);
  EXPECT_EQ(store.GetSlotBuffer(kWriter), nullptr);
  EXPECT_EQ(store.ReadySlotBuffer(), nullptr);
  EXPECT_EQ(store.TryTake(kReader), nullptr) << "nothing readable until the next publish";
  // The reader's end-of-message release of the buffer it no longer holds changes nothing.
  store.ReleaseSlot(kReader);
  EXPECT_EQ(store.FreeQueueSnapshot(), store.Buffers());
}

// The reader found its buffer before a clear, and the writer took that buffer after the clear: the
// reader's end-of-message release must not publish the writer's half-filled buffer.
TEST(ResultsStore, ReleaseOfTheReaderSlotNeverTouchesABufferTheWriterTookAfterAClear) {
  CResultsStore store(1);
  store.AllocateArrays(4);
  Publish(store, 1, 1.0);
  ResultBuffer* held = store.TryTake(kReader);
  ASSERT_NE(held, nullptr);
  store.Clear();
  ResultBuffer* writing = store.TryTake(kWriter);
  ASSERT_EQ(writing, held);
  store.ReleaseSlot(kReader);
  EXPECT_EQ(writing->state, Torvex::eResultBufferState::Writing);
  EXPECT_EQ(store.GetSlotBuffer(kWriter), writing);
  EXPECT_EQ(store.TryTake(kReader), nullptr) << "the unfinished buffer was not published";
}

TEST(ResultsStore, PublishOfABufferClearedWhileWrittenIsDropped) {
  CResultsStore store(3);
  store.AllocateArrays(4);
  ResultBuffer* w = store.TryTake(kWriter);
  ASSERT_NE(w, nullptr);
  w->count = 1;
  store.Clear();
  ResultBuffer* next = store.PublishAndTake(w, kWriter);
  EXPECT_EQ(store.ReadySlotBuffer(), nullptr);
  EXPECT_EQ(store.TryTake(kReader), nullptr);
  ASSERT_EQ(next, store.Buffers()[0]) << "the first queued buffer, which is the one just written";
  EXPECT_EQ(next->state, Torvex::eResultBufferState::Writing);
  EXPECT_EQ(store.FreeQueueSnapshot().size(), 2u);
}

TEST(ResultsStore, CountZeroIsPublishedLikeAnyOther) {
  CResultsStore store(3);
  store.AllocateArrays(4);
  ResultBuffer* p = Publish(store, 0, 0.0);
  ResultBuffer* r = store.TryTake(kReader);
  ASSERT_EQ(r, p);
  EXPECT_EQ(r->count, 0u);
}

// Runs WaitTake on its own thread and keeps its answer.
class Waiter {
 public:
  Waiter(CResultsStore& store, int slot)
      : thread_([this, &store, slot] {
          handle_ = cyg_thread_self();
          result_ = store.WaitTake(slot);
          done_ = true;
        }) {}
  ~Waiter() {
    if (thread_.joinable()) thread_.join();
  }
  bool Done() const { return done_.load(); }
  ResultBuffer* Result() {
    thread_.join();
    return result_;
  }
  cyg_handle_t Handle() const { return handle_.load(); }

 private:
  std::atomic<cyg_handle_t> handle_{0};
  std::atomic<bool> done_{false};
  ResultBuffer* result_ = nullptr;
  std::thread thread_;
};

TEST(ResultsStore, WaitingReaderReceivesTheNextPublish) {
  CResultsStore store(3);
  store.AllocateArrays(4);
  Waiter reader(store, kReader);
  ASSERT_TRUE(WaitFor([&] { return store.Waiting(kReader); }));
  EXPECT_FALSE(reader.Done());
  ResultBuffer* published = Publish(store, 1, 3.0);
  EXPECT_EQ(reader.Result(), published);
  EXPECT_EQ(published->state, Torvex::eResultBufferState::Reading);
  EXPECT_FALSE(store.Waiting(kReader));
}

TEST(ResultsStore, ClearReleasesAWaitingReaderWithNothing) {
  CResultsStore store(3);
  Waiter reader(store, kReader);
  ASSERT_TRUE(WaitFor([&] { return store.Waiting(kReader); }));
  store.Clear();
  EXPECT_EQ(reader.Result(), nullptr);
  EXPECT_FALSE(store.Waiting(kReader));
}

// A sequence that ends without a result wakes the waiting reader with nothing, and discards nothing:
// a reader holding a buffer keeps it, and the next wait is a wait again.
TEST(ResultsStore, WakeReaderReleasesAWaitingReaderWithNothingAndKeepsEveryBuffer) {
  CResultsStore store(3);
  store.AllocateArrays(4);
  store.WakeReader();  // nobody waits: no wake-up is left behind for the next wait
  {
    Waiter reader(store, kReader);
    ASSERT_TRUE(WaitFor([&] { return store.Waiting(kReader); }));
    store.WakeReader();
    EXPECT_EQ(reader.Result(), nullptr);
    EXPECT_FALSE(store.Waiting(kReader));
  }
  ResultBuffer* published = Publish(store, 2, 5.0);
  ResultBuffer* held = store.TryTake(kReader);
  ASSERT_EQ(held, published);
  store.WakeReader();
  EXPECT_EQ(store.GetSlotBuffer(kReader), held);
  EXPECT_EQ(held->state, Torvex::eResultBufferState::Reading);
  EXPECT_EQ(held->count, 2u);
  store.ReleaseSlot(kReader);
  EXPECT_EQ(store.ReadySlotBuffer(), held);
}

// With three buffers the writer always finds one after publishing; with two, a reader holding one and
// a result ready leave the writer nothing, and it waits until the reader gives its buffer back.
TEST(ResultsStore, WaitingWriterIsWokenWhenTheReaderGivesABufferBack) {
  CResultsStore store(2);
  store.AllocateArrays(4);
  Publish(store, 1, 1.0);
  ResultBuffer* held = store.TryTake(kReader);
  ASSERT_NE(held, nullptr);
  ResultBuffer* writing = store.GetSlotBuffer(kWriter);
  ASSERT_NE(writing, nullptr);
  writing->count = 1;
  EXPECT_EQ(store.PublishAndTake(writing, kWriter), nullptr) << "no free buffer left";
  ASSERT_TRUE(store.FreeQueueSnapshot().empty());

  Waiter writer(store, kWriter);
  ASSERT_TRUE(WaitFor([&] { return store.Waiting(kWriter); }));
  EXPECT_FALSE(writer.Done());
  store.ReleaseSlot(kReader);  // a newer result is ready: the held buffer goes free and wakes the writer
  EXPECT_EQ(writer.Result(), held);
  EXPECT_EQ(held->state, Torvex::eResultBufferState::Writing);
  EXPECT_EQ(store.TryTake(kReader), writing);
}

TEST(ResultsStore, ClearReleasesAWaitingWriter) {
  CResultsStore store(1);
  ASSERT_NE(store.TryTake(kWriter), nullptr);
  Waiter writer(store, kWriter);
  ASSERT_TRUE(WaitFor([&] { return store.Waiting(kWriter); }));
  store.Clear();
  // The clear queued the buffer again, so the writer's second take finds it.
  EXPECT_EQ(writer.Result(), store.Buffers()[0]);
}

TEST(ResultsStore, BrokenWaitLeavesNoWakeUpBehind) {
  CResultsStore store(3);
  store.AllocateArrays(4);
  {
    Waiter reader(store, kReader);
    ASSERT_TRUE(WaitFor([&] { return store.Waiting(kReader); }));
    cyg_thread_release(reader.Handle());
    EXPECT_EQ(reader.Result(), nullptr);
  }
  EXPECT_FALSE(store.Waiting(kReader));
  // A publish with nobody waiting posts nothing, so the next wait really waits for the next result.
  ResultBuffer* first = Publish(store, 1, 1.0);
  ASSERT_EQ(store.TryTake(kReader), first);
  store.Release(first);
  ASSERT_EQ(store.TryTake(kReader), first);  // hold it, so the ready slot is empty
  Waiter reader(store, kReader);
  ASSERT_TRUE(WaitFor([&] { return store.Waiting(kReader) || reader.Done(); }));
  ResultBuffer* second = Publish(store, 1, 2.0);
  EXPECT_EQ(reader.Result(), second);
}

// One writer publishing numbered sequences (and now and then clearing) while one reader takes, checks
// and releases: every buffer the reader holds is whole (all its elements from one sequence) and the
// sequences it sees never go back.
TEST(ResultsStore, ConcurrentWriterAndReaderSeeWholeResults) {
  CResultsStore store(3);
  constexpr std::uint32_t kCapacity = 16;
  constexpr int kSequences = 20000;
  store.AllocateArrays(kCapacity);
  std::atomic<bool> writerDone{false};
  std::thread writer([&] {
    ResultBuffer* buffer = store.TryTake(kWriter);
    for (int seq = 1; seq <= kSequences; ++seq) {
      if (buffer == nullptr) {
        ADD_FAILURE() << "no buffer for the writer at sequence " << seq;
        break;
      }
      const std::uint32_t count = 1 + static_cast<std::uint32_t>(seq) % kCapacity;
      for (std::uint32_t i = 0; i < count; ++i) {
        buffer->flux[i] = seq;
        buffer->timestamp[i] = static_cast<std::uint64_t>(seq);
      }
      buffer->count = count;
      buffer = store.PublishAndTake(buffer, kWriter);
      if (seq % 997 == 0) store.Clear();
    }
    writerDone = true;
  });
  double last = 0;
  int reads = 0;
  int inconsistent = 0;
  for (;;) {
    // One more pass once the writer is done: the last sequence is then ready and must be read.
    const bool done = writerDone.load();
    if (store.GetSlotBuffer(kReader) == nullptr && store.TryTake(kReader) == nullptr) {
      ASSERT_FALSE(done) << "the last result was not readable";
      continue;
    }
    // Read under the store's mutex: a clear from the writer's side may free the held buffer at any
    // moment, and then the writer may be filling it.
    const double seq = store.ReadHeld([&](const ResultBuffer* r) {
      if (r == nullptr) return -1.0;
      const double s = r->flux[0];
      bool whole = r->count == 1 + static_cast<std::uint32_t>(s) % kCapacity;
      for (std::uint32_t i = 0; whole && i < r->count; ++i) {
        whole = r->flux[i] == s && r->timestamp[i] == static_cast<std::uint64_t>(s);
      }
      if (!whole) ++inconsistent;
      return s;
    });
    if (seq >= 0) {
      ++reads;
      EXPECT_GE(seq, last);
      last = seq;
    }
    store.ReleaseSlot(kReader);
    if (done) break;
  }
  writer.join();
  EXPECT_EQ(inconsistent, 0);
  EXPECT_GT(reads, 0);
  EXPECT_EQ(last, kSequences);
}

}  // namespace
