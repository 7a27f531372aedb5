// The acquisition pipes.
#include <fcntl.h>

#include <atomic>
#include <numeric>
#include <vector>

#include "board_fixture.h"
#include "drivers/acq_pipes.h"

namespace torvex_test {
namespace {

std::vector<std::uint8_t> Sequence(std::size_t n, std::uint8_t first) {
  std::vector<std::uint8_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

class PipeTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    fd_ = platform::open("/dev/pipeHostAcqMsg", O_RDWR);
    ASSERT_GE(fd_, 0);
    handle_ = platform::DeviceHandle(fd_);
    Flush(259);
  }
  void TearDown() override {
    Flush(259);
    platform::close(fd_);
    BoardTest::TearDown();
  }
  Cyg_ErrNo Flush(cyg_uint32 key) {
    cyg_uint32 len = 0;
    return cyg_io_get_config(handle_, key, nullptr, &len);
  }
  void Fill(std::size_t n) {
    const auto bytes = Sequence(n, 0);
    ASSERT_EQ(platform::write(fd_, bytes.data(), n), static_cast<ssize_t>(n));
  }

  int fd_ = -1;
  cyg_io_handle_t handle_ = 0;
};

TEST_F(PipeTest, BothPipesExist) {
  for (const char* name : {"/dev/pipeHostAcqMsg", "/dev/pipeHostAcqAbort"}) {
    const int fd = platform::open(name, O_RDWR);
    EXPECT_GE(fd, 0) << name;
    platform::close(fd);
  }
}

TEST_F(PipeTest, WriteLongerThanTheRingBlocksAfter256BytesUntilTheReaderDrains) {
  const auto data = Sequence(300, 0);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    EXPECT_EQ(platform::write(fd_, data.data(), data.size()), 300);
    done = true;
  });
  ASSERT_TRUE(WaitFor([&] { return !Writable(fd_, 0); }));  // the ring is full
  EXPECT_FALSE(done.load());
  std::vector<std::uint8_t> got(100);
  ASSERT_EQ(platform::read(fd_, got.data(), 100), 100);
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  writer.join();
  std::vector<std::uint8_t> rest(256);
  ASSERT_EQ(platform::read(fd_, rest.data(), 256), 200);
  got.insert(got.end(), rest.begin(), rest.begin() + 200);
  EXPECT_EQ(got, data);
}

TEST_F(PipeTest, ReadReturnsWhatIsThereWithoutWaitingForMore) {
  Fill(8);
  std::uint8_t buf[16];
  EXPECT_EQ(platform::read(fd_, buf, 16), 8);
}

TEST_F(PipeTest, ReadFromAnEmptyPipeBlocksUntilAWriterStoresSomething) {
  std::atomic<ssize_t> got{-2};
  std::thread reader([&] {
    std::uint8_t buf[16];
    got = platform::read(fd_, buf, 16);
  });
  std::uint8_t three[3] = {1, 2, 3};
  ASSERT_EQ(platform::write(fd_, three, 3), 3);
  reader.join();
  EXPECT_EQ(got.load(), 3);
}

TEST_F(PipeTest, RecordIsStoredWholeOrNotAtAll) {
  Fill(250);
  const auto record = Sequence(16, 0xA0);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    EXPECT_EQ(platform::write(fd_, record.data(), record.size()), 16);
    done = true;
  });
  std::vector<std::uint8_t> buf(256);
  ASSERT_EQ(platform::read(fd_, buf.data(), 5), 5);  // 11 bytes free: still not room for the record
  // Everything now in the pipe is the old content: none of the record was stored in part.
  ASSERT_EQ(platform::read(fd_, buf.data(), 256), 245);
  EXPECT_EQ(std::vector<std::uint8_t>(buf.begin(), buf.begin() + 245), Sequence(245, 5));
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  writer.join();
  ASSERT_EQ(platform::read(fd_, buf.data(), 256), 16);
  EXPECT_EQ(std::vector<std::uint8_t>(buf.begin(), buf.begin() + 16), record);
}

TEST_F(PipeTest, RecordsWrapAroundTheRingIntact) {
  Fill(250);
  std::vector<std::uint8_t> buf(256);
  ASSERT_EQ(platform::read(fd_, buf.data(), 250), 250);
  const auto record = Sequence(16, 0x30);  // from index 250 over the end of the ring
  ASSERT_EQ(platform::write(fd_, record.data(), 16), 16);
  ASSERT_EQ(platform::read(fd_, buf.data(), 16), 16);
  EXPECT_EQ(std::vector<std::uint8_t>(buf.begin(), buf.begin() + 16), record);
}

TEST_F(PipeTest, FlushKeysEmptyThePipeAndUnblockAWaitingWriter) {
  for (cyg_uint32 key : {258u, 259u, 260u}) {
    SCOPED_TRACE(key);
    Fill(256);
    const auto record = Sequence(16, 0xC0);
    std::atomic<bool> done{false};
    std::thread writer([&] {
      EXPECT_EQ(platform::write(fd_, record.data(), 16), 16);
      done = true;
    });
    EXPECT_EQ(Flush(key), 0);
    ASSERT_TRUE(WaitFor([&] { return done.load(); }));
    writer.join();
    std::vector<std::uint8_t> buf(256);
    ASSERT_EQ(platform::read(fd_, buf.data(), 256), 16);
    EXPECT_EQ(std::vector<std::uint8_t>(buf.begin(), buf.begin() + 16), record);
  }
}

TEST_F(PipeTest, OtherConfigurationKeysAreRefusedAndKeepTheContent) {
  Fill(10);
  for (cyg_uint32 key : {0u, 257u, 261u}) EXPECT_EQ(Flush(key), -EINVAL) << key;
  cyg_uint32 len = 0;
  EXPECT_EQ(cyg_io_set_config(handle_, 259, nullptr, &len), -EINVAL);
  std::uint8_t buf[16];
  EXPECT_EQ(platform::read(fd_, buf, 16), 10);
}

TEST_F(PipeTest, SelectReportsContentForReadingAndRoomForWriting) {
  EXPECT_FALSE(Readable(fd_, 0));
  EXPECT_TRUE(Writable(fd_, 0));
  Fill(1);
  EXPECT_TRUE(Readable(fd_, 0));
  Fill(255);
  EXPECT_TRUE(Readable(fd_, 0));
  EXPECT_FALSE(Writable(fd_, 0));
  EXPECT_FALSE(cyg_io_select(handle_, 0, 0));  // exceptions: never
  std::atomic<bool> writable{false};
  std::thread selector([&] { writable = Writable(fd_, 5000); });
  std::uint8_t buf[1];
  ASSERT_EQ(platform::read(fd_, buf, 1), 1);
  selector.join();
  EXPECT_TRUE(writable.load());
}

TEST_F(PipeTest, SelectorIsWokenByTheNextWrite) {
  std::atomic<bool> readable{false};
  std::thread selector([&] { readable = Readable(fd_, 5000); });
  Fill(4);
  selector.join();
  EXPECT_TRUE(readable.load());
}

// A kernel thread that reads or writes the pipe and records the result.
struct BlockedCall {
  static void Entry(cyg_addrword_t data) {
    auto* self = reinterpret_cast<BlockedCall*>(data);
    cyg_uint32 len = self->length;
    if (self->write) {
      std::vector<std::uint8_t> bytes(self->length, 0x5A);
      self->result = cyg_io_write(self->handle, bytes.data(), &len);
    } else {
      std::vector<std::uint8_t> bytes(self->length);
      self->result = cyg_io_read(self->handle, bytes.data(), &len);
    }
    self->moved = len;
    self->finished = true;
  }

  cyg_io_handle_t handle;
  bool write;
  cyg_uint32 length;
  std::atomic<Cyg_ErrNo> result{1};
  std::atomic<cyg_uint32> moved{0};
  std::atomic<bool> finished{false};
  cyg_thread thread;
  cyg_handle_t thread_handle = 0;
};

struct BrokenWaitCase {
  std::size_t filled;
  bool write;
  cyg_uint32 length;
  cyg_uint32 moved;
};

TEST_F(PipeTest, BrokenWaitReturnsMinusEintrWithTheBytesMovedSoFar) {
  const BrokenWaitCase cases[] = {{0, false, 16, 0}, {256, true, 16, 0}, {0, true, 300, 256}, {250, true, 8, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.write ? "write " : "read ") << c.length << " after " << c.filled);
    Flush(259);
    if (c.filled) Fill(c.filled);
    BlockedCall call{handle_, c.write, c.length};
    cyg_thread_create(10, BlockedCall::Entry, reinterpret_cast<cyg_addrword_t>(&call), "pipe caller", nullptr, 0,
                      &call.thread_handle, &call.thread);
    cyg_thread_resume(call.thread_handle);
    if (c.moved > 0) {
      ASSERT_TRUE(WaitFor([&] { return !Writable(fd_, 0); }));
    }
    cyg_thread_release(call.thread_handle);
    ASSERT_TRUE(WaitFor([&] { return call.finished.load(); }));
    EXPECT_EQ(call.result.load(), -EINTR);
    EXPECT_EQ(call.moved.load(), c.moved);
    EXPECT_TRUE(cyg_thread_delete(call.thread_handle));
  }
}

}  // namespace
}  // namespace torvex_test
