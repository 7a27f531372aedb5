// Data buffers (owned or borrowed storage, window, termination-character search) and message buffers
// (choice of internal or application buffer, copy on completion, counts held to the window).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/CDataBuffer.h"
#include "engine/CMessageBuffer.h"
#include "engine/DoVovuriStatus.h"

namespace {

TEST(DataBuffer, OwningAndBorrowing) {
  CDataBuffer owning(16);
  ASSERT_FALSE(owning.IsFailed());
  EXPECT_TRUE(owning.IsOwning());
  EXPECT_EQ(owning.Size(), 16);
  EXPECT_EQ(owning.Length(), 16u);
  EXPECT_EQ(owning.WindowStart(), 0u);
  EXPECT_EQ(owning.WindowEnd(), 16u);

  CDataBuffer borrowing;
  ASSERT_FALSE(borrowing.IsFailed());
  EXPECT_EQ(borrowing.Data(), nullptr);
  EXPECT_EQ(borrowing.Length(), 0u);
  std::uint8_t storage[8] = {};
  std::uint32_t status = kStatusNotReported;
  borrowing.Attach(storage, sizeof storage, &status);
  EXPECT_EQ(status, 0u);
  EXPECT_TRUE(borrowing.IsBorrowed());
  EXPECT_EQ(borrowing.Data(), storage);
  EXPECT_EQ(borrowing.Size(), 8);
  EXPECT_EQ(borrowing.WindowEnd(), 0u);
  borrowing.Detach();
  EXPECT_FALSE(borrowing.IsBorrowed());
  EXPECT_EQ(borrowing.Data(), nullptr);
  EXPECT_EQ(borrowing.Size(), 0);
}

struct FindCase {
  const char* name;
  std::uint32_t offset;
  std::uint32_t count;
  bool found;
  std::uint32_t position;
};

TEST(DataBuffer, FindByteSearchesOnlyItsRange) {
  // '\n' at offsets 5 and 9.
  char text[] = "abcde\nfgh\nij";
  CDataBuffer buffer;
  std::uint32_t status = kStatusNotReported;
  buffer.Attach(text, 12, &status);
  const FindCase cases[] = {
      {"FromStart", 0, 12, true, 5},
      {"AtTheLastPositionOfTheRange", 0, 6, true, 5},
      {"JustAfterTheRange", 0, 5, false, 0},
      {"RelativeToOffset", 6, 6, true, 3},
      {"CountZero", 5, 0, false, 0},
      {"RangePastTheStorageIsClipped", 10, 100, false, 0},
      {"OffsetPastTheStorage", 40, 4, false, 0},
      {"HugeCountDoesNotWrap", 9, 0xFFFFFFFFu, true, 0},
  };
  for (const FindCase& c : cases) {
    std::uint32_t position = 777;
    EXPECT_EQ(buffer.FindByte('\n', c.offset, c.count, &position), c.found) << c.name;
    if (c.found) {
      EXPECT_EQ(position, c.position) << c.name;
    }
  }
}

TEST(DataBuffer, WindowStaysInsideTheStorage) {
  CDataBuffer buffer(10);
  buffer.SetWindow(4, 20);
  EXPECT_EQ(buffer.WindowStart(), 4u);
  EXPECT_EQ(buffer.WindowEnd(), 10u);
  buffer.SetWindow(12, 11);
  EXPECT_EQ(buffer.WindowStart(), 10u);
  EXPECT_EQ(buffer.WindowEnd(), 10u);
}

struct BindCase {
  const char* name;
  std::uint32_t internal_size;  // 0: no internal buffer
  std::uint32_t length;
  bool internal_used;
};

TEST(MessageBuffer, InternalBufferOnlyForMessagesThatFit) {
  const BindCase cases[] = {
      {"UsbSizedInputFits", 4096, 4096, true},
      {"LongerInputGoesDirect", 4096, 4100, false},
      {"NoInternalBuffer", 0, 10, false},
      {"EmptyMessageWithInternal", 4096, 0, true},
  };
  for (const BindCase& c : cases) {
    CMessageBuffer message(CMessageBuffer::kInput);
    ASSERT_FALSE(message.IsFailed());
    std::uint32_t status = kStatusNotReported;
    if (c.internal_size != 0) {
      message.CreateInternal(c.internal_size, &status);
      ASSERT_EQ(status, 0u);
    }
    std::vector<std::uint8_t> app(c.length + 1);
    status = kStatusNotReported;
    message.Bind(app.data(), c.length, false, &status);
    EXPECT_EQ(status, 0u) << c.name;
    ASSERT_TRUE(message.IsBound()) << c.name;
    EXPECT_EQ(message.Current() == message.Internal(), c.internal_used) << c.name;
    if (!c.internal_used) {
      EXPECT_EQ(message.Current()->Data(), app.data()) << c.name;
      EXPECT_EQ(message.Current()->Length(), c.length) << c.name;
    }
    message.Complete();
    EXPECT_FALSE(message.IsBound());
    EXPECT_EQ(message.Length(), 0u);
  }
}

TEST(MessageBuffer, OutputThatFitsIsCopiedAtOnce) {
  CMessageBuffer message(CMessageBuffer::kOutput);
  std::uint32_t status = kStatusNotReported;
  message.CreateInternal(4096, &status);
  char response[] = "0123456789";
  message.Bind(response, 10, true, &status);
  ASSERT_EQ(status, 0u);
  ASSERT_EQ(message.Current(), message.Internal());
  EXPECT_EQ(message.Internal()->WindowStart(), 0u);
  EXPECT_EQ(message.Internal()->WindowEnd(), 10u);
  EXPECT_EQ(std::memcmp(message.Internal()->Data(), response, 10), 0);
  EXPECT_TRUE(message.End());
  message.Cancel();
  EXPECT_FALSE(message.End());
}

TEST(MessageBuffer, InputReachesTheApplicationOnCompletion) {
  CMessageBuffer message(CMessageBuffer::kInput);
  std::uint32_t status = kStatusNotReported;
  message.CreateInternal(64, &status);
  char app[16];
  std::memset(app, '.', sizeof app);
  message.Bind(app, 16, false, &status);
  std::memcpy(message.Internal()->Data(), "*IDN?\n", 6);
  message.AddCount(6);
  EXPECT_EQ(app[0], '.');  // nothing before completion
  message.Complete();
  EXPECT_EQ(std::memcmp(app, "*IDN?\n", 6), 0);
  EXPECT_EQ(app[6], '.');
  EXPECT_EQ(message.Internal()->WindowEnd(), 6u);
}

TEST(MessageBuffer, CompletionWithNothingReceivedCopiesNothing) {
  CMessageBuffer message(CMessageBuffer::kInput);
  std::uint32_t status = kStatusNotReported;
  message.CreateInternal(64, &status);
  std::memset(message.Internal()->Data(), 'x', 64);
  char app[8];
  std::memset(app, '.', sizeof app);
  message.Bind(app, 8, false, &status);
  message.Complete();
  EXPECT_EQ(std::memcmp(app, "........", 8), 0);
}

TEST(MessageBuffer, CountIsHeldToThePostedWindow) {
  // A transport that reports more bytes than the application's buffer can hold must not make the
  // completion write past that buffer.
  CMessageBuffer message(CMessageBuffer::kInput);
  std::uint32_t status = kStatusNotReported;
  message.CreateInternal(64, &status);
  std::memset(message.Internal()->Data(), 'x', 64);
  char app[12];
  std::memset(app, '.', sizeof app);
  message.Bind(app, 8, false, &status);
  message.AddCount(5);
  message.AddCount(40);
  EXPECT_EQ(message.Count(), 8u);
  message.SetCount(1000);
  EXPECT_EQ(message.Count(), 8u);
  message.Complete();
  EXPECT_EQ(std::memcmp(app, "xxxxxxxx....", 12), 0);
}

TEST(MessageBuffer, NullApplicationBufferIsRefused) {
  CMessageBuffer message(CMessageBuffer::kOutput);
  std::uint32_t status = kStatusNotReported;
  message.CreateInternal(64, &status);
  message.Bind(nullptr, 10, true, &status);
  EXPECT_EQ(status, kStatusBufferInvalid);
  EXPECT_FALSE(message.IsBound());
}

}  // namespace
