// Bounded multi-writer stress of the pipes and the event devices (run under the tsan preset too).
#include <fcntl.h>

#include <atomic>
#include <cstring>
#include <map>
#include <vector>

#include "board_fixture.h"
#include "drivers/dsp_hpi.h"
#include "drivers/tempsensor.h"

namespace torvex_test {
namespace {

// A 16-byte record: writer, sequence number, and a check word over both.
struct Record {
  std::uint32_t writer;
  std::uint32_t sequence;
  std::uint32_t filler;
  std::uint32_t check;
};
static_assert(sizeof(Record) == 16);

std::uint32_t Check(const Record& r) { return (r.writer * 2654435761u) ^ (r.sequence * 40503u) ^ r.filler ^ 0x5EEDu; }

class StressTest : public BoardTest {};

TEST_F(StressTest, ManyWritersNeverInterleaveRecordsInThePipe) {
  const int fd = platform::open("/dev/pipeHostAcqMsg", O_RDWR);
  ASSERT_GE(fd, 0);
  cyg_uint32 len = 0;
  ASSERT_EQ(cyg_io_get_config(platform::DeviceHandle(fd), 259, nullptr, &len), 0);
  constexpr std::uint32_t kWriters = 4;
  constexpr std::uint32_t kRecords = 2000;
  std::vector<std::thread> writers;
  for (std::uint32_t w = 0; w < kWriters; ++w) {
    writers.emplace_back([fd, w] {
      for (std::uint32_t s = 0; s < kRecords; ++s) {
        Record r{w, s, ~s, 0};
        r.check = Check(r);
        ASSERT_EQ(platform::write(fd, &r, sizeof r), static_cast<ssize_t>(sizeof r));
      }
    });
  }
  std::map<std::uint32_t, std::uint32_t> next;
  for (std::uint32_t k = 0; k < kWriters * kRecords; ++k) {
    Record r{};
    ASSERT_EQ(platform::read(fd, &r, sizeof r), static_cast<ssize_t>(sizeof r)) << "record " << k;
    ASSERT_EQ(r.check, Check(r)) << "record " << k;
    ASSERT_LT(r.writer, kWriters);
    ASSERT_EQ(r.sequence, next[r.writer]++) << "writer " << r.writer;
  }
  for (auto& t : writers) t.join();
  platform::close(fd);
}

TEST_F(StressTest, LongWritesOfSeveralWritersArriveEachInOnePiece) {
  const int fd = platform::open("/dev/pipeHostAcqAbort", O_RDWR);
  ASSERT_GE(fd, 0);
  cyg_uint32 len = 0;
  ASSERT_EQ(cyg_io_get_config(platform::DeviceHandle(fd), 258, nullptr, &len), 0);
  constexpr int kWriters = 3;
  constexpr int kMessages = 60;
  constexpr std::size_t kLength = 600;  // more than two rings
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([fd, w] {
      for (int m = 0; m < kMessages; ++m) {
        std::vector<std::uint8_t> msg(kLength, static_cast<std::uint8_t>(w * 64 + m % 64));
        ASSERT_EQ(platform::write(fd, msg.data(), msg.size()), static_cast<ssize_t>(kLength));
      }
    });
  }
  for (int k = 0; k < kWriters * kMessages; ++k) {
    std::vector<std::uint8_t> msg;
    while (msg.size() < kLength) {
      std::uint8_t buf[97];
      const ssize_t n = platform::read(fd, buf, std::min(sizeof buf, kLength - msg.size()));
      ASSERT_GT(n, 0);
      msg.insert(msg.end(), buf, buf + n);
    }
    ASSERT_TRUE(std::all_of(msg.begin(), msg.end(), [&](std::uint8_t b) { return b == msg[0]; })) << "message " << k;
  }
  for (auto& t : writers) t.join();
  platform::close(fd);
}

TEST_F(StressTest, RecordsNeverLandInsideALongWriteOfAnotherWriter) {
  // Short records and long messages from several writers at once: a record that was already waiting
  // for room when a long write began must wait for that long write to end.
  static constexpr int kRecordWriters = 3;
  static constexpr int kRecords = 300;
  static constexpr int kMessages = 40;
  static constexpr std::size_t kRecordLength = 16;
  static constexpr std::size_t kLongLength = 600;
  static constexpr std::uint8_t kLongByte = 0xEE;
  const int fd = platform::open("/dev/pipeHostAcqAbort", O_RDWR);
  ASSERT_GE(fd, 0);
  const cyg_io_handle_t handle = platform::DeviceHandle(fd);
  cyg_uint32 len = 0;
  ASSERT_EQ(cyg_io_get_config(handle, 258, nullptr, &len), 0);
  std::atomic<int> finished{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < kRecordWriters; ++w) {
    writers.emplace_back([fd, w, &finished] {
      const std::vector<std::uint8_t> record(kRecordLength, static_cast<std::uint8_t>(w + 1));
      for (int k = 0; k < kRecords; ++k) EXPECT_EQ(platform::write(fd, record.data(), record.size()), 16);
      ++finished;
    });
  }
  writers.emplace_back([fd, &finished] {
    const std::vector<std::uint8_t> msg(kLongLength, kLongByte);
    for (int m = 0; m < kMessages; ++m) EXPECT_EQ(platform::write(fd, msg.data(), msg.size()), 600);
    ++finished;
  });
  // Reads unit by unit (the first byte tells a long message from a record); false at a mixed unit.
  auto read_unit = [fd](int unit) {
    std::uint8_t first = 0;
    if (platform::read(fd, &first, 1) != 1) return false;
    const std::size_t length = first == kLongByte ? kLongLength : kRecordLength;
    std::vector<std::uint8_t> rest;
    while (rest.size() < length - 1) {
      std::uint8_t buf[61];
      const ssize_t n = platform::read(fd, buf, std::min(sizeof buf, length - 1 - rest.size()));
      if (n <= 0) return false;
      rest.insert(rest.end(), buf, buf + n);
    }
    const bool whole = std::all_of(rest.begin(), rest.end(), [&](std::uint8_t b) { return b == first; });
    EXPECT_TRUE(whole) << "unit " << unit << " starting with " << static_cast<int>(first);
    return whole;
  };
  bool intact = true;
  for (int unit = 0; intact && unit < kRecordWriters * kRecords + kMessages; ++unit) intact = read_unit(unit);
  // After a failure, empty the pipe until every writer is through, so that the test ends.
  while (finished.load() < kRecordWriters + 1) {
    ASSERT_EQ(cyg_io_get_config(handle, 258, nullptr, &len), 0);
    std::this_thread::yield();
  }
  for (auto& t : writers) t.join();
  platform::close(fd);
}

// One event source driven by a producer, watched by several selecting threads.
struct EventSource {
  const char* device;
  std::function<void(int k)> produce;  // makes event k
  std::function<void()> quiesce;       // returns the source to rest
  bool exact;                          // one event per production (edges); levels may fire again
};

TEST_F(StressTest, EventDevicesCountEveryInterruptOnceAcrossSelectingThreads) {
  dsp_reset(false);
  dsp_hpi_ack_host_interrupt();
  ASSERT_EQ(SetTemperatureLimit(40), 0);
  board_->SetTemperature(30.0);
  sim::Board* board = board_;
  std::vector<EventSource> sources = {
      {"/dev/on-off_rd", [board](int k) { k % 2 == 0 ? board->PressButton() : board->ReleaseButton(); },
       [board] { board->ReleaseButton(); }, true},
      {"/dev/dsp-int", [board](int) { board->dsp().RaiseHostInterrupt(); }, [] { dsp_hpi_ack_host_interrupt(); },
       false},
      {"/dev/temp-al", [board](int) { board->SetTemperature(50.0); }, [board] { board->SetTemperature(30.0); }, false},
  };
  constexpr int kEvents = 150;  // even: the button ends released
  constexpr int kSelectors = 3;
  std::vector<std::thread> threads;
  std::vector<std::atomic<int>> consumed(sources.size());
  std::vector<std::atomic<bool>> failed(sources.size());
  std::atomic<bool> stop{false};
  std::vector<int> fds;
  for (const auto& s : sources) {
    fds.push_back(platform::open(s.device, O_RDONLY));
    ASSERT_GE(fds.back(), 0);
    for (int k = 0; k < 64 && Readable(fds.back(), 10); ++k) {
    }
  }
  for (std::size_t d = 0; d < sources.size(); ++d) {
    for (int k = 0; k < kSelectors; ++k) {
      threads.emplace_back([&, d] {
        while (!stop) {
          if (Readable(fds[d], 10)) ++consumed[d];
        }
      });
    }
  }
  for (std::size_t d = 0; d < sources.size(); ++d) {
    threads.emplace_back([&, d] {
      const EventSource& s = sources[d];
      for (int k = 0; k < kEvents; ++k) {
        const int before = consumed[d].load();
        s.produce(k);
        if (!WaitFor([&] { return consumed[d].load() > before; })) {
          failed[d] = true;
          return;
        }
        if (s.exact && consumed[d].load() != k + 1) {
          failed[d] = true;
          return;
        }
        if (!s.exact) s.quiesce();
      }
      s.quiesce();
    });
  }
  for (std::size_t k = kSelectors * sources.size(); k < threads.size(); ++k) threads[k].join();
  // At rest every source goes quiet: once the selectors have drained it, nothing more arrives.
  for (std::size_t d = 0; d < sources.size(); ++d) {
    SCOPED_TRACE(sources[d].device);
    EXPECT_FALSE(failed[d].load());
    int last = -1;
    EXPECT_TRUE(WaitFor([&] {
      const int now = consumed[d].load();
      const bool settled = now == last;
      last = now;
      if (settled) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return false;
    }));
    if (sources[d].exact) {
      EXPECT_EQ(consumed[d].load(), kEvents);  // an even number of edges ends released: no more
    } else {
      EXPECT_GE(consumed[d].load(), kEvents);
    }
  }
  stop = true;
  for (std::size_t k = 0; k < kSelectors * sources.size(); ++k) threads[k].join();
  for (int fd : fds) platform::close(fd);
}

}  // namespace
}  // namespace torvex_test
