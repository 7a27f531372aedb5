// The in-memory log: line cut, ring wrap, copy order, mirror to stderr, concurrent writers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/CLogger.h"
#include "core/CRecursiveMutex.h"

namespace Torvex {
namespace {

std::string Copy(CLogger& logger) {
  std::unique_ptr<char[]> text(logger.CopyBuffer());
  return std::string(text.get());
}

// What the log must hold after `stream` was written: all of it until the ring is overfilled,
// then exactly the newest ring-size bytes.
std::string Expected(const std::string& stream, std::size_t ring) {
  return stream.size() <= ring ? stream : stream.substr(stream.size() - ring);
}

TEST(Logger, EmptyLogCopiesAsOneNulByte) {
  CLogger logger(kLogRingSize, kLogLineSize);
  std::unique_ptr<char[]> text(logger.CopyBuffer());
  EXPECT_EQ(text[0], '\0');
}

TEST(Logger, TextsAreCutToLineSizeMinusOne) {
  struct Case {
    std::size_t length;
    std::size_t logged;
  };
  const Case cases[] = {{0, 0}, {1, 1}, {248, 248}, {249, 249}, {250, 249}, {300, 249}, {2000, 249}};
  for (const Case& c : cases) {
    CLogger logger(kLogRingSize, kLogLineSize);
    std::string text(c.length, 'a');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    logger.Printf("%s", text.c_str());
    EXPECT_EQ(Copy(logger), text.substr(0, c.logged)) << "length " << c.length;
  }
}

TEST(Logger, FormatsLikePrintf) {
  CLogger logger(kLogRingSize, kLogLineSize);
  logger.Printf("CTest::Run(): %d %s %.2f 0x%04X\n", -7, "abc", 1.5, 0xBEEFu);
  EXPECT_EQ(Copy(logger), "CTest::Run(): -7 abc 1.50 0xBEEF\n");
}

TEST(Logger, EmptyTextChangesNothingEvenAtTheRingEnd) {
  CLogger logger(10, 250);
  logger.Printf("%s", "0123456789");  // fills the ring exactly: not yet wrapped
  logger.Printf("%s", "");
  EXPECT_EQ(Copy(logger), "0123456789");
}

TEST(Logger, WrapsExactlyAfterRingSizeBytes) {
  CLogger logger(kLogRingSize, kLogLineSize);
  std::string stream;
  for (int i = 0; i < 30; ++i) {
    char line[101];
    std::snprintf(line, sizeof line, "%-99d\n", i);  // 100 bytes
    logger.Printf("%s", line);
    stream += line;
  }
  ASSERT_EQ(stream.size(), 3000u);
  std::unique_ptr<char[]> full(logger.CopyBuffer());
  EXPECT_EQ(std::string(full.get()), stream);

  logger.Printf("X");
  const std::string wrapped = Copy(logger);
  ASSERT_EQ(wrapped.size(), 3000u);
  EXPECT_EQ(wrapped, stream.substr(1) + "X");
}

TEST(Logger, CopyAfterWrapIsTheNewestRingSizeBytesOldestFirst) {
  // Random text lengths, including ones that end exactly at the ring end, against the model.
  for (std::uint32_t ring : {7u, 64u, 3000u}) {
    CLogger logger(ring, 250);
    std::mt19937 rng(ring);
    std::string stream;
    for (int i = 0; i < 500; ++i) {
      std::string text(rng() % 60, '\0');
      for (char& ch : text) ch = static_cast<char>('!' + rng() % 90);
      logger.Printf("%s", text.c_str());
      stream += text;
      ASSERT_EQ(Copy(logger), Expected(stream, ring)) << "ring " << ring << " step " << i;
    }
  }
}

// Redirects standard error into a temporary file for the life of the object.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    m_File = std::tmpfile();
    m_Saved = ::dup(2);
    ::dup2(::fileno(m_File), 2);
  }
  ~StderrCapture() {
    Restore();
    std::fclose(m_File);
  }
  std::string Text() {
    Restore();
    std::string out;
    std::rewind(m_File);
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, m_File)) > 0) out.append(buf, n);
    return out;
  }

 private:
  void Restore() {
    if (m_Saved < 0) return;
    std::fflush(stderr);
    ::dup2(m_Saved, 2);
    ::close(m_Saved);
    m_Saved = -1;
  }
  std::FILE* m_File;
  int m_Saved;
};

TEST(Logger, MirrorsToStderrOnlyWhenSwitchedOn) {
  CLogger logger(kLogRingSize, kLogLineSize);
  {
    StderrCapture capture;
    logger.Printf("CTest::Quiet\n");
    EXPECT_EQ(capture.Text(), "");
  }
  logger.SetMirrorToStderr(true);
  {
    StderrCapture capture;
    logger.Printf("CTest::Loud %d\n", 1);
    logger.Printf("%s", std::string(300, 'z').c_str());
    EXPECT_EQ(capture.Text(), "CTest::Loud 1\n" + std::string(249, 'z'));
  }
  EXPECT_EQ(Copy(logger), "CTest::Quiet\nCTest::Loud 1\n" + std::string(249, 'z'));
}

TEST(Logger, ConcurrentWritersNeverInterleaveTexts) {
  CLogger logger(kLogRingSize, kLogLineSize);
  constexpr int kThreads = 4;
  constexpr int kLines = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&logger, t] {
      for (int i = 0; i < kLines; ++i) logger.Printf("CWriter%d::Line %06d\n", t, i);
    });
  }
  std::thread reader([&logger] {
    for (int i = 0; i < 200; ++i) delete[] logger.CopyBuffer();
  });
  for (auto& th : threads) th.join();
  reader.join();

  // Every line after the first (possibly cut) one is whole; each writer's numbers only increase.
  const std::string log = Copy(logger);
  ASSERT_EQ(log.size(), kLogRingSize);
  std::size_t pos = log.find('\n') + 1;
  int last[kThreads];
  std::fill(std::begin(last), std::end(last), -1);
  int whole = 0;
  while (pos < log.size()) {
    const std::size_t end = log.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    const std::string line = log.substr(pos, end - pos);
    int t = -1, n = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "CWriter%d::Line %d", &t, &n), 2) << line;
    ASSERT_EQ(line.size(), std::string("CWriter0::Line 000000").size()) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_GT(n, last[t]);
    last[t] = n;
    pos = end + 1;
    ++whole;
  }
  EXPECT_GT(whole, 100);
}

TEST(Logger, MisusedRecursiveUnlockIsLogged) {
  CRecursiveMutex mutex;
  mutex.Unlock();  // never locked
  const std::string log = Copy(g_Logger);
  const std::string line = "CRecursiveMutex::Unlock: not held by the calling thread\n";
  ASSERT_GE(log.size(), line.size());
  EXPECT_EQ(log.substr(log.size() - line.size()), line);
  EXPECT_EQ(mutex.Count(), 0u);
}

TEST(Logger, GlobalLogHasTheSystemSizes) {
  g_Logger.Printf("%s|", std::string(248, 'g').c_str());
  std::string log = Copy(g_Logger);
  EXPECT_EQ(log.substr(log.size() - 249), std::string(248, 'g') + "|");
  g_Logger.Printf("%s|", std::string(249, 'h').c_str());
  log = Copy(g_Logger);
  EXPECT_EQ(log.substr(log.size() - 250), "|" + std::string(249, 'h'));
  for (int i = 0; i < 13; ++i) g_Logger.Printf("%s", std::string(249, 'i').c_str());
  EXPECT_EQ(Copy(g_Logger).size(), kLogRingSize);
}

}  // namespace
}  // namespace Torvex
