// The file utilities over a temporary board root: results, messages on standard error, and that a
// failure changes nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <cstring>

#include "support/file_size_limit.h"
#include "system/TorvexFileUtilities.h"
#include "system_support.h"

namespace {

using namespace Torvex;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;
using torvex_test::ReadHostFile;
using torvex_test::WriteHostFile;

class FileUtilitiesTest : public torvex_test::BoardRootTest {
 protected:
  void SetUp() override {
    BoardRootTest::SetUp();
    MountBoth();
  }
};

using torvex_test::HostNames;

// --- size and read ---------------------------------------------------------------------------------

TEST_F(FileUtilitiesTest, FileSizeOfFilesAndFailures) {
  WriteHostFile(Yaffs("user/a.bin"), std::string(1234, 'x'));
  WriteHostFile(Romfs("help.dat"), "help");
  std::int32_t size = -1;
  EXPECT_EQ(TorvexGetFileSize("/yaffs/user/a.bin", size), 0);
  EXPECT_EQ(size, 1234);
  EXPECT_EQ(TorvexGetFileSize("/romfs/help.dat", size), 0);
  EXPECT_EQ(size, 4);

  size = 77;
  testing::internal::CaptureStderr();
  EXPECT_EQ(TorvexGetFileSize("/yaffs/user/missing", size), 9);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "stat failed on given file: No such file or directory\n");
  EXPECT_EQ(size, 77);
}

TEST_F(FileUtilitiesTest, ReadFitsCapacityExactlyAndRefusesOneByteMore) {
  WriteHostFile(Yaffs("user/data"), "0123456789");
  char buffer[11];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(TorvexReadFile("/yaffs/user/data", buffer, 10, 1, 10), 0);
  EXPECT_EQ(std::string(buffer, 11), "0123456789#");  // not terminated
  EXPECT_EQ(TorvexReadFile("/yaffs/user/data", buffer, 10, 2, 5), 0);

  // One byte more than the capacity: refused before the file is opened (even a missing one).
  testing::internal::CaptureStderr();
  EXPECT_EQ(TorvexReadFile("/yaffs/user/data", buffer, 10, 1, 11), 3);
  EXPECT_EQ(TorvexReadFile("/yaffs/user/missing", buffer, 10, 1, 11), 3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(FileUtilitiesTest, ReadRefusesCountsWhoseProductOverflows) {
  WriteHostFile(Yaffs("user/data"), "0123456789");
  char buffer[16];
  const std::size_t half = (std::numeric_limits<std::size_t>::max() / 2) + 1;
  EXPECT_EQ(TorvexReadFile("/yaffs/user/data", buffer, sizeof buffer, half, 2), 3);  // product wraps to 0
}

TEST_F(FileUtilitiesTest, ReadOfShortOrMissingFile) {
  WriteHostFile(Yaffs("user/short"), "abc");
  char buffer[8] = {};
  testing::internal::CaptureStderr();
  EXPECT_EQ(TorvexReadFile("/yaffs/user/short", buffer, sizeof buffer, 1, 8), 12);
  EXPECT_EQ(TorvexReadFile("/yaffs/user/missing", buffer, sizeof buffer, 1, 8), 9);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("fread failed: "));
  EXPECT_THAT(err, HasSubstr("fopen failed: No such file or directory\n"));
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

// --- writes ----------------------------------------------------------------------------------------

TEST_F(FileUtilitiesTest, WritesCreateAndReplaceFiles) {
  std::filesystem::create_directories(Yaffs("user"));
  EXPECT_EQ(TorvexWriteTextFile("/yaffs/user/DebugLog.txt", "first line\n"), 0);
  EXPECT_EQ(ReadHostFile(Yaffs("user/DebugLog.txt")), "first line\n");
  EXPECT_EQ(TorvexWriteTextFile("/yaffs/user/DebugLog.txt", "second\n"), 0);
  EXPECT_EQ(ReadHostFile(Yaffs("user/DebugLog.txt")), "second\n");

  const std::uint16_t words[3] = {0x4241, 0x4443, 0x4645};
  EXPECT_EQ(TorvexWriteBinaryFile("/yaffs/user/w.bin", words, 2, 3), 0);
  EXPECT_EQ(ReadHostFile(Yaffs("user/w.bin")), "ABCDEF");
  EXPECT_EQ(TorvexWriteBinaryFile("/yaffs/user/w.bin", nullptr, 1, 0), 0);
  EXPECT_EQ(ReadHostFile(Yaffs("user/w.bin")), "");
  // No temporary file is left behind.
  EXPECT_EQ(HostNames(Yaffs("user")), (std::vector<std::string>{"DebugLog.txt", "w.bin"}));
}

TEST_F(FileUtilitiesTest, WriteFailuresKeepThePreviousFile) {
  WriteHostFile(Yaffs("user/keep.txt"), "previous");
  const std::string big(20000, 'z');
  struct Case {
    const char* what;
    std::function<int()> write;
    int result;
    const char* message;
  };
  const Case cases[] = {
      // The data goes past the limit while it is written.
      {"binary write", [&] { return TorvexWriteBinaryFile("/yaffs/user/keep.txt", big.data(), 1, big.size()); }, 11,
       "fwrite failed: File too large\n"},
      // The data fits the stream's buffer: only the flush at the end fails.
      {"text flush", [&] { return TorvexWriteTextFile("/yaffs/user/keep.txt", std::string(2000, 'y').c_str()); }, 11,
       "fclose failed: File too large\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::internal::CaptureStderr();
    int result;
    {
      torvex_test::FileSizeLimit limit(1000);
      result = c.write();
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    EXPECT_EQ(ReadHostFile(Yaffs("user/keep.txt")), "previous");
    EXPECT_EQ(HostNames(Yaffs("user")), std::vector<std::string>{"keep.txt"});
  }
}

TEST_F(FileUtilitiesTest, WriteDoesNotTouchAFileNamedLikeItsTemporary) {
  WriteHostFile(Yaffs("user/x.txt~tmp0"), "user data");
  EXPECT_EQ(TorvexWriteTextFile("/yaffs/user/x.txt", "new"), 0);
  EXPECT_EQ(ReadHostFile(Yaffs("user/x.txt")), "new");
  EXPECT_EQ(ReadHostFile(Yaffs("user/x.txt~tmp0")), "user data");
}

TEST_F(FileUtilitiesTest, WritesIntoReadOnlyOrMissingFolders) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(TorvexWriteTextFile("/romfs/new.txt", "x"), 9);
  EXPECT_EQ(TorvexWriteBinaryFile("/yaffs/nodir/new.bin", "x", 1, 1), 9);
  std::filesystem::create_directories(Yaffs("user"));
  EXPECT_EQ(TorvexWriteBinaryFile("/yaffs/user", "x", 1, 1), 9);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("fopen failed: Is a directory\n"));
  EXPECT_EQ(HostNames(Yaffs()), std::vector<std::string>{"user"});
  EXPECT_THAT(err, HasSubstr("fopen failed: Read-only file system\n"));
  EXPECT_THAT(err, HasSubstr("fopen failed: No such file or directory\n"));
  EXPECT_FALSE(std::filesystem::exists(Romfs("new.txt")));
}

// --- remove ----------------------------------------------------------------------------------------

TEST_F(FileUtilitiesTest, RemoveFilesAndEmptyDirectories) {
  WriteHostFile(Yaffs("user/a"), "a");
  std::filesystem::create_directories(Yaffs("empty"));
  WriteHostFile(Yaffs("full/b"), "b");
  EXPECT_EQ(TorvexRemoveFile("/yaffs/user/a"), 0);
  EXPECT_EQ(TorvexRemoveFile("/yaffs/empty"), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(TorvexRemoveFile("/yaffs/full"), 9);
  EXPECT_EQ(TorvexRemoveFile("/yaffs/user/a"), 9);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("remove failed: Directory not empty\n"));
  EXPECT_THAT(err, HasSubstr("remove failed: No such file or directory\n"));
  EXPECT_FALSE(std::filesystem::exists(Yaffs("user/a")));
  EXPECT_FALSE(std::filesystem::exists(Yaffs("empty")));
  EXPECT_TRUE(std::filesystem::exists(Yaffs("full/b")));
}

// --- copy ------------------------------------------------------------------------------------------

TEST_F(FileUtilitiesTest, CopyResults) {
  std::string large;
  for (int i = 0; i < 3000; ++i) large += static_cast<char>('a' + i % 26) + std::to_string(i);
  WriteHostFile(Yaffs("settings/group.xml"), large);
  WriteHostFile(Yaffs("settings/empty.xml"), "");
  WriteHostFile(Romfs("factory.xml"), "<factory/>");
  WriteHostFile(Yaffs("settings/LastPowerOff.xml"), "old");

  struct Case {
    const char* destination;
    const char* source;
    int result;
    const char* expected_destination;  // nullptr: not created
  };
  const Case cases[] = {
      {"/yaffs/settings/LastPowerOff.xml", "/yaffs/settings/group.xml", 0, "large"},
      {"/yaffs/settings/copy.xml", "/romfs/factory.xml", 0, "<factory/>"},
      {"/yaffs/settings/e.xml", "/yaffs/settings/empty.xml", 0, ""},
      {"/yaffs/settings/none.xml", "/yaffs/settings/missing.xml", 9, nullptr},
      {"/romfs/x.xml", "/yaffs/settings/empty.xml", 9, nullptr},
      {"/yaffs/settings/dir.xml", "/yaffs/settings", 12, nullptr},
  };
  testing::internal::CaptureStderr();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.destination);
    EXPECT_EQ(TorvexCopyFile(c.destination, c.source), c.result);
    const auto host = root_ / (c.destination + 1);
    if (c.expected_destination == nullptr) {
      EXPECT_FALSE(std::filesystem::exists(host));
    } else {
      EXPECT_EQ(ReadHostFile(host), std::string(c.expected_destination) == "large" ? large : c.expected_destination);
    }
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("TorvexCopyFile: Opening Source: No such file or directory\n"));
  EXPECT_THAT(err, HasSubstr("TorvexCopyFile: Opening Destination: Read-only file system\n"));
  EXPECT_THAT(err, HasSubstr("TorvexCopyFile: Reading Source: Is a directory\n"));
  EXPECT_EQ(HostNames(Yaffs("settings")),
            (std::vector<std::string>{"LastPowerOff.xml", "copy.xml", "e.xml", "empty.xml", "group.xml"}));
}

TEST_F(FileUtilitiesTest, CopyOntoTheSameFileLeavesItUnchanged) {
  WriteHostFile(Yaffs("settings/LastPowerOff.xml"), "<saved/>");
  EXPECT_EQ(TorvexCopyFile("/yaffs/settings/LastPowerOff.xml", "/yaffs/settings/LastPowerOff.xml"), 0);
  // Another spelling of the same file.
  EXPECT_EQ(TorvexCopyFile("/yaffs//settings/LastPowerOff.xml", "/yaffs/settings/LastPowerOff.xml"), 0);
  EXPECT_EQ(ReadHostFile(Yaffs("settings/LastPowerOff.xml")), "<saved/>");
  EXPECT_EQ(HostNames(Yaffs("settings")), std::vector<std::string>{"LastPowerOff.xml"});
}

TEST_F(FileUtilitiesTest, CopyThatCannotBeWrittenKeepsTheDestination) {
  WriteHostFile(Yaffs("settings/big.xml"), std::string(30000, 'q'));
  WriteHostFile(Yaffs("settings/LastPowerOff.xml"), "<saved/>");
  testing::internal::CaptureStderr();
  int result;
  {
    torvex_test::FileSizeLimit limit(1000);
    result = TorvexCopyFile("/yaffs/settings/LastPowerOff.xml", "/yaffs/settings/big.xml");
  }
  EXPECT_EQ(result, 11);
  EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("TorvexCopyFile: Writing Destination"));
  EXPECT_EQ(ReadHostFile(Yaffs("settings/LastPowerOff.xml")), "<saved/>");
  EXPECT_EQ(HostNames(Yaffs("settings")), (std::vector<std::string>{"LastPowerOff.xml", "big.xml"}));
}

// --- directory paths -------------------------------------------------------------------------------

TEST_F(FileUtilitiesTest, MakeDirectoryPathResults) {
  WriteHostFile(Yaffs("plain.txt"), "file");
  const std::string long_path = "/yaffs/" + std::string(249, 'd');  // 256 characters
  const std::string longest = "/yaffs/" + std::string(248, 'd');    // 255 characters
  struct Case {
    std::string path;
    int result;
    const char* made;  // host folder below the root that must then exist, or ""
  };
  const Case cases[] = {
      {"/yaffs/settings/", 0, "yaffs/settings"},
      {"/yaffs/settings/", 0, "yaffs/settings"},  // again: accepted
      {"/yaffs/user", 0, "yaffs/user"},
      {"/yaffs/a/b/c", 0, "yaffs/a/b/c"},
      {longest, 0, ""},
      {long_path, -1, ""},
      {"/yaffs/x/../y", -1, ""},
      {"/yaffs/./z", -1, ""},
      {"yaffs/rel", -1, ""},
      {"/romfs/new", -1, ""},
      {"/nowhere/new", -1, ""},
      {"/yaffs/plain.txt", -1, ""},  // exists, but not as a directory
      {"/yaffs/plain.txt/sub", -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    testing::internal::CaptureStderr();
    EXPECT_EQ(TorvexMakeDirectoryPath(c.path.c_str(), 0777), c.result);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    if (*c.made != '\0') {
      EXPECT_TRUE(std::filesystem::is_directory(root_ / c.made));
    }
  }
  EXPECT_TRUE(std::filesystem::is_directory(root_ / longest.substr(1)));
  EXPECT_FALSE(std::filesystem::exists(root_ / long_path.substr(1)));
  EXPECT_FALSE(std::filesystem::exists(root_ / long_path.substr(1, 255)));  // never a shortened one
  EXPECT_FALSE(std::filesystem::exists(Yaffs("y")));
  EXPECT_FALSE(std::filesystem::exists(Yaffs("z")));
}

// --- listing ---------------------------------------------------------------------------------------

TEST_F(FileUtilitiesTest, ListingDescendsAndSkipsDirectories) {
  WriteHostFile(Yaffs("user/a.txt"), "12345");
  WriteHostFile(Yaffs("user/deep/b.bin"), "1");
  WriteHostFile(Yaffs("settings/LastPowerOff.xml"), std::string(300, 'x'));
  // Unfinished writes are not listed.
  WriteHostFile(Yaffs("settings/LastPowerOff.xml~tmp0"), "<Bra");
  WriteHostFile(Yaffs("user/deep/b.bin~tmp12"), "1");
  std::filesystem::create_directories(Yaffs("empty"));

  std::vector<FileCatalogEntry> list{{"stale", "", 1}};
  ASSERT_EQ(TorvexListDirectory("/yaffs", list, true), 0);
  std::vector<std::string> got;
  for (const auto& e : list) {
    EXPECT_EQ(e.type, "");
    got.push_back(e.path + "=" + std::to_string(e.size));
  }
  EXPECT_THAT(got, UnorderedElementsAre("/yaffs/user/a.txt=5", "/yaffs/user/deep/b.bin=1",
                                        "/yaffs/settings/LastPowerOff.xml=300"));
  // Depth first: the files of user/ (and of user/deep/) are next to each other.
  auto user_first = std::find_if(list.begin(), list.end(), [](auto& e) { return e.path.starts_with("/yaffs/user/"); });
  ASSERT_NE(user_first, list.end());
  ASSERT_LE(user_first + 2, list.end());
  EXPECT_TRUE((user_first + 1)->path.starts_with("/yaffs/user/"));

  // Without clear the new entries are appended.
  ASSERT_EQ(TorvexListDirectory("/yaffs/user/deep", list, false), 0);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list.back().path, "/yaffs/user/deep/b.bin");

  ASSERT_EQ(TorvexListDirectory("/yaffs/empty", list, true), 0);
  EXPECT_TRUE(list.empty());
}

TEST_F(FileUtilitiesTest, ListingFailures) {
  std::vector<FileCatalogEntry> list;
  testing::internal::CaptureStderr();
  EXPECT_EQ(TorvexListDirectory("/yaffs/missing", list, true), 9);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "opendir failed: No such file or directory\n");

  // An entry that cannot be examined (a host link planted in the flash folder) ends the listing.
  WriteHostFile(Yaffs("user/a.txt"), "1");
  std::filesystem::create_symlink("/etc/passwd", Yaffs("user/zz-link"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(TorvexListDirectory("/yaffs/user", list, true), 9);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "File stat failed: Too many levels of symbolic links\n");
  for (const auto& e : list) EXPECT_EQ(e.path, "/yaffs/user/a.txt");
}

// --- traversing paths ------------------------------------------------------------------------------

TEST_F(FileUtilitiesTest, TraversingPathsAreRefusedWithNothingChanged) {
  WriteHostFile(Yaffs("settings/LastPowerOff.xml"), "<saved/>");
  WriteHostFile(Yaffs("user/a.txt"), "a");
  const char* const kPath = "/yaffs/user/../settings/LastPowerOff.xml";
  char buffer[16];
  std::int32_t size = -5;
  std::vector<FileCatalogEntry> list;
  testing::internal::CaptureStderr();
  EXPECT_EQ(TorvexWriteBinaryFile(kPath, "evil", 1, 4), 9);
  EXPECT_EQ(TorvexWriteTextFile(kPath, "evil"), 9);
  EXPECT_EQ(TorvexRemoveFile(kPath), 9);
  EXPECT_EQ(TorvexCopyFile(kPath, "/yaffs/user/a.txt"), 9);
  EXPECT_EQ(TorvexCopyFile("/yaffs/user/b.txt", kPath), 9);
  EXPECT_EQ(TorvexReadFile(kPath, buffer, sizeof buffer, 1, 8), 9);
  EXPECT_EQ(TorvexGetFileSize(kPath, size), 9);
  EXPECT_EQ(TorvexListDirectory("/yaffs/user/..", list, true), 9);
  EXPECT_EQ(TorvexMakeDirectoryPath("/yaffs/user/../evil", 0777), -1);
  EXPECT_EQ(TorvexRemoveFile("/yaffs/./user/a.txt"), 9);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_THAT(err, HasSubstr("fopen failed: Invalid argument\n"));
  EXPECT_THAT(err, HasSubstr("remove failed: Invalid argument\n"));
  EXPECT_EQ(size, -5);
  EXPECT_EQ(ReadHostFile(Yaffs("settings/LastPowerOff.xml")), "<saved/>");
  EXPECT_EQ(ReadHostFile(Yaffs("user/a.txt")), "a");
  EXPECT_FALSE(std::filesystem::exists(Yaffs("user/b.txt")));
  EXPECT_FALSE(std::filesystem::exists(Yaffs("evil")));
}

// --- flash usage -----------------------------------------------------------------------------------

TEST_F(FileUtilitiesTest, FlashUsageFigures) {
  // 3 blocks of 4 pages of 512 bytes.
  Nand({512, 4, 3});
  std::uint64_t used = 1, free = 1;
  std::uint8_t percent = 1;
  ASSERT_EQ(TorvexGetFlashUsage(used, free, percent), 0);
  EXPECT_EQ(used, 0u);
  EXPECT_EQ(free, 3u * 2048);
  EXPECT_EQ(percent, 0);

  // A header page and 7 data pages: two blocks of three, 66.7 % truncated to 66.
  WriteHostFile(Yaffs("f"), std::string(7 * 512, 'x'));
  ASSERT_EQ(TorvexGetFlashUsage(used, free, percent), 0);
  EXPECT_EQ(used, 2u * 2048);
  EXPECT_EQ(free, 1u * 2048);
  EXPECT_EQ(percent, 66);

  // More than the flash holds: full, never more.
  WriteHostFile(Yaffs("g"), std::string(20 * 512, 'x'));
  ASSERT_EQ(TorvexGetFlashUsage(used, free, percent), 0);
  EXPECT_EQ(free, 0u);
  EXPECT_EQ(percent, 100);
}

TEST_F(FileUtilitiesTest, FlashWithoutGoodBlocksIsZeroPercentUsed) {
  sim::NandFlash& nand = Nand({512, 4, 2});
  nand.MarkBad(0);
  nand.MarkBad(1);
  WriteHostFile(Yaffs("f"), "x");
  std::uint64_t used = 9, free = 9;
  std::uint8_t percent = 9;
  ASSERT_EQ(TorvexGetFlashUsage(used, free, percent), 0);
  EXPECT_EQ(used, 0u);
  EXPECT_EQ(free, 0u);
  EXPECT_EQ(percent, 0);
}

TEST_F(FileUtilitiesTest, FlashUsageFailsWhenTheFlashCannotBeAsked) {
  std::uint64_t used = 5, free = 6;
  std::uint8_t percent = 7;
  EXPECT_EQ(TorvexGetFlashUsage(used, free, percent), 9);  // no NAND chip
  platform::umount("/yaffs");
  Nand();
  EXPECT_EQ(TorvexGetFlashUsage(used, free, percent), 9);  // not mounted
  EXPECT_EQ(used, 5u);
  EXPECT_EQ(free, 6u);
  EXPECT_EQ(percent, 7);
}

}  // namespace

namespace {

// Several threads replace the same file while another reads it: every read sees one whole version,
// and no temporary file is left over.
TEST_F(FileUtilitiesTest, ConcurrentReplacementsNeverMixVersions) {
  std::filesystem::create_directories(Yaffs("user"));
  constexpr int kWriters = 6;
  constexpr int kRounds = 40;
  constexpr std::size_t kSize = 6000;
  auto version = [](int writer, int round) {
    return std::string(kSize, static_cast<char>('A' + writer)) + std::to_string(round);
  };
  ASSERT_EQ(TorvexWriteTextFile("/yaffs/user/shared.txt", version(0, 0).c_str()), 0);
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int r = 0; r < kRounds; ++r) {
        if (TorvexWriteTextFile("/yaffs/user/shared.txt", version(w, r).c_str()) != 0) ++failures;
      }
    });
  }
  std::thread reader([&] {
    std::vector<char> buffer(kSize + 8);
    while (!done.load()) {
      std::int32_t size = 0;
      if (TorvexGetFileSize("/yaffs/user/shared.txt", size) != 0 || size < static_cast<std::int32_t>(kSize)) {
        ++failures;
        continue;
      }
      // The file may be replaced between the two calls: read what fits and check it is uniform.
      FILE* f = platform::fopen("/yaffs/user/shared.txt", "r");
      if (f == nullptr) {
        ++failures;
        continue;
      }
      const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), f);
      std::fclose(f);
      const std::string text(buffer.data(), n);
      const std::string body = text.substr(0, kSize);
      if (n < kSize + 1 || body != std::string(kSize, body[0])) ++failures;
    }
  });
  for (auto& t : writers) t.join();
  done = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(HostNames(Yaffs("user")), std::vector<std::string>{"shared.txt"});
}

}  // namespace
