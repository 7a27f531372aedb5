// The platform's file layer as the system Parts use it: the current directory and relative paths,
// the namespace root, host links refused, mount devices, the NAND partition erase and block usage.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "platform/bootloader.h"
#include "platform/io.h"
#include "platform/nand.h"
#include "support/temp_dir.h"
#include "system_support.h"

namespace {

namespace fs = std::filesystem;
namespace nand = platform::nand;
using torvex_test::ReadHostFile;
using torvex_test::WriteHostFile;

class FileLayerTest : public torvex_test::BoardRootTest {};

std::string Cwd() {
  char buf[256];
  return platform::getcwd(buf, sizeof buf) != nullptr ? buf : "?";
}

TEST_F(FileLayerTest, RelativePathsStartAtTheCurrentDirectory) {
  MountBoth();
  fs::create_directories(Yaffs("user"));
  WriteHostFile(Yaffs("settings/s.xml"), "s");
  EXPECT_EQ(Cwd(), "/");
  ASSERT_EQ(platform::chdir("/yaffs//user/"), 0);
  EXPECT_EQ(Cwd(), "/yaffs/user");

  const int fd = platform::open("a.txt", O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  platform::write(fd, "abc", 3);
  platform::close(fd);
  EXPECT_EQ(ReadHostFile(Yaffs("user/a.txt")), "abc");

  struct stat st {};
  EXPECT_EQ(platform::stat("../settings/s.xml", &st), 0);
  EXPECT_EQ(platform::stat(".", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_EQ(platform::chdir(".."), 0);
  EXPECT_EQ(Cwd(), "/yaffs");
  ASSERT_EQ(platform::chdir(".."), 0);
  EXPECT_EQ(Cwd(), "/");
  EXPECT_EQ(platform::stat(".", &st), 0);  // the namespace root is a directory
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(platform::chdir(".."), -1);  // nothing above "/"
  EXPECT_EQ(Cwd(), "/");

  struct Case {
    const char* path;
    int error;
  };
  const Case refused[] = {{"/yaffs/user/a.txt", ENOTDIR},
                          {"/yaffs/none", ENOENT},
                          {"/elsewhere", ENOENT},
                          {"/dev/null", ENOTDIR},
                          {"", ENOENT}};
  ASSERT_EQ(platform::mount("", "/dev", "devfs"), 0);
  for (const Case& c : refused) {
    SCOPED_TRACE(c.path);
    errno = 0;
    EXPECT_EQ(platform::chdir(c.path), -1);
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(Cwd(), "/");
  }
  EXPECT_EQ(platform::chdir("/dev"), 0);

  char tiny[4];
  EXPECT_EQ(platform::getcwd(tiny, sizeof tiny), nullptr);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(platform::open("/", O_RDONLY), -1);
}

TEST_F(FileLayerTest, HostLinksBelowAMountAreRefused) {
  MountBoth();
  const torvex_test::TempDir outside_dir("outside");
  const fs::path& outside = outside_dir.path();
  WriteHostFile(outside / "secret", "secret");
  fs::create_directories(Yaffs("user"));
  fs::create_directory_symlink(outside, Yaffs("user/dir-link"));
  fs::create_symlink(outside / "secret", Yaffs("user/file-link"));

  struct Case {
    const char* what;
    std::function<bool()> call;  // true when the call failed
  };
  struct stat st {};
  const Case cases[] = {
      {"open through a folder link", [] { return platform::open("/yaffs/user/dir-link/secret", O_RDONLY) < 0; }},
      {"open a file link", [] { return platform::open("/yaffs/user/file-link", O_WRONLY | O_TRUNC) < 0; }},
      {"fopen", [] { return platform::fopen("/yaffs/user/dir-link/secret", "r") == nullptr; }},
      {"stat", [&] { return platform::stat("/yaffs/user/file-link", &st) != 0; }},
      {"opendir", [] { return platform::opendir("/yaffs/user/dir-link") == nullptr; }},
      {"chdir", [] { return platform::chdir("/yaffs/user/dir-link") != 0; }},
      {"create inside", [] { return platform::open("/yaffs/user/dir-link/new", O_WRONLY | O_CREAT, 0644) < 0; }},
      {"mkdir inside", [] { return platform::mkdir("/yaffs/user/dir-link/new-dir", 0755) != 0; }},
      {"unlink through", [] { return platform::unlink("/yaffs/user/dir-link/secret") != 0; }},
      {"rename onto", [] { return platform::rename("/yaffs/user/x", "/yaffs/user/dir-link/secret") != 0; }},
  };
  WriteHostFile(Yaffs("user/x"), "x");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    errno = 0;
    EXPECT_TRUE(c.call());
    EXPECT_EQ(errno, ELOOP);
  }
  EXPECT_EQ(ReadHostFile(outside / "secret"), "secret");
  EXPECT_FALSE(fs::exists(outside / "new"));
  EXPECT_FALSE(fs::exists(outside / "new-dir"));
}

TEST_F(FileLayerTest, AMountFolderThatIsALinkIsTheBoardsOwnChoice) {
  const torvex_test::TempDir romfs("romfs");
  WriteHostFile(romfs.path() / "help.dat", "help");
  fs::remove(root_ / "romfs");
  fs::create_directory_symlink(romfs.path(), root_ / "romfs");
  MountBoth();
  FILE* f = platform::fopen("/romfs/help.dat", "r");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
}

TEST_F(FileLayerTest, MountDevices) {
  char image[32];
  std::snprintf(image, sizeof image, "%p", reinterpret_cast<void*>(platform::bootloader::RomfsImageAddress()));
  char other[32];
  std::snprintf(other, sizeof other, "%p", reinterpret_cast<void*>(platform::bootloader::RomfsImageAddress() + 8));

  struct Case {
    const char* device;
    const char* dir;
    const char* fstype;
    bool with_nand;
    int error;  // 0: mounts
  };
  const Case cases[] = {
      {image, "/romfs", "romfs", false, 0},
      {"", "/romfs", "romfs", false, 0},
      {other, "/romfs", "romfs", false, ENODEV},
      {"romfs-image", "/romfs", "romfs", false, ENODEV},
      {image, "/romfs", "yaffs", false, EINVAL},
      {"onboard/0", "/yaffs", "yaffs", true, 0},
      {"onboard/1", "/yaffs", "yaffs", true, ENODEV},
      {"other/0", "/yaffs", "yaffs", true, ENODEV},
      {"onboard/0x", "/yaffs", "yaffs", true, ENODEV},
      {"anything", "/yaffs", "yaffs", false, 0},  // no NAND chip on this board
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.device) + " " + c.dir);
    if (c.with_nand) {
      Nand();
    } else {
      nand_.reset();
    }
    errno = 0;
    const int rc = platform::mount(c.device, c.dir, c.fstype);
    if (c.error == 0) {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(platform::umount(c.dir), 0);
    } else {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(errno, c.error);
      EXPECT_FALSE(platform::IsMounted(c.dir));
    }
  }
}

TEST_F(FileLayerTest, NandEraseRules) {
  sim::NandFlash board("onboard", sim::NandFlash::Geometry{512, 4, 8}, {{0, 3}, {4, 7}});
  sim::NandFlash other("spare", sim::NandFlash::Geometry{512, 4, 8}, {{0, 7}});
  board.Register();
  other.Register();
  board.MarkBad(2);
  board.FailErases(3);
  WriteHostFile(Yaffs("settings/keep.xml"), "keep");

  nand::Device* dev = nand::Lookup("onboard");
  ASSERT_EQ(dev, &board);
  EXPECT_EQ(nand::Lookup("nothing"), nullptr);
  nand::Partition p{};
  ASSERT_EQ(nand::GetPartition(dev, 1, &p), 0);
  EXPECT_EQ(p.first_block, 4u);
  EXPECT_EQ(p.last_block, 7u);
  EXPECT_EQ(nand::GetPartition(dev, 2, &p), -ENOENT);
  EXPECT_EQ(nand::GoodBlocks(dev, 0), 3u);

  struct Case {
    nand::Device* device;
    unsigned partition;
    std::uint32_t block;
    int result;
    bool flash_lost;
  };
  const Case cases[] = {
      {dev, 0, 5, -EINVAL, false},                            // outside the partition
      {dev, 0, 2, -EIO, false},                               // bad block
      {dev, 0, 3, -EIO, false},                               // the erase fails
      {dev, 1, 4, 0, false},                                  // another partition
      {&other, 0, 0, 0, false},                               // another chip
      {nullptr, 0, 0, -EINVAL, false}, {dev, 0, 0, 0, true},  // the flash file system's partition
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.block);
    EXPECT_EQ(nand::EraseBlock(c.device, c.partition, c.block), c.result);
    EXPECT_EQ(fs::exists(Yaffs("settings/keep.xml")), !c.flash_lost);
  }
  EXPECT_EQ(board.EraseCount(0), 1u);
  EXPECT_EQ(board.EraseCount(2), 0u);
  EXPECT_EQ(board.EraseCount(3), 0u);
  EXPECT_EQ(board.EraseCount(4), 1u);
  EXPECT_TRUE(fs::is_directory(Yaffs()));  // the folder stays, empty
}

TEST_F(FileLayerTest, BlockUsageOfEachFileSystem) {
  MountBoth();
  ASSERT_EQ(platform::mount("", "/dev", "devfs"), 0);
  WriteHostFile(Romfs("a"), std::string(3000, 'a'));  // header + 3 blocks of 1 KiB
  platform::BlockUsage usage{};
  ASSERT_EQ(platform::GetBlockUsage("/romfs", &usage), 0);
  EXPECT_EQ(usage.block_size, 1024u);
  EXPECT_EQ(usage.total_blocks, 4u);
  EXPECT_EQ(usage.free_blocks, 0u);
  errno = 0;
  EXPECT_EQ(platform::GetBlockUsage("/dev", &usage), -1);
  EXPECT_EQ(errno, ENOTSUP);
  EXPECT_EQ(platform::GetBlockUsage("/yaffs", &usage), -1);
  EXPECT_EQ(errno, ENODEV);
  Nand(sim::NandFlash::Geometry{2048, 64, 512});
  ASSERT_EQ(platform::GetBlockUsage("/yaffs/", &usage), 0);
  EXPECT_EQ(usage.block_size, 128u * 1024);
  EXPECT_EQ(usage.total_blocks, 512u);
  EXPECT_EQ(usage.free_blocks, 512u);
  // Links are counted as entries, never followed.
  fs::create_directory_symlink("/usr", Yaffs("link"));
  ASSERT_EQ(platform::GetBlockUsage("/yaffs", &usage), 0);
  EXPECT_EQ(usage.free_blocks, 511u);
}

TEST_F(FileLayerTest, RemoveTakesFilesAndEmptyDirectories) {
  MountBoth();
  WriteHostFile(Yaffs("f"), "f");
  fs::create_directories(Yaffs("d"));
  EXPECT_EQ(platform::remove("/yaffs/f"), 0);
  EXPECT_EQ(platform::remove("/yaffs/d"), 0);
  EXPECT_EQ(platform::remove("/yaffs/f"), -1);
  EXPECT_EQ(errno, ENOENT);
  WriteHostFile(Romfs("r"), "r");
  EXPECT_EQ(platform::remove("/romfs/r"), -1);
  EXPECT_EQ(errno, EROFS);
  EXPECT_TRUE(fs::exists(Romfs("r")));
}

TEST_F(FileLayerTest, AMountFolderIsNeverRemovedOrReplaced) {
  MountBoth();
  fs::create_directories(Yaffs("d"));
  for (const char* path : {"/yaffs", "/yaffs/", "/yaffs//", "/yaffs/d/.."}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(platform::remove(path), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(platform::rmdir(path), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(platform::unlink(path), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(platform::rename("/yaffs/d", path), -1);
    EXPECT_EQ(errno, EBUSY);
  }
  fs::remove(Yaffs("d"));
  EXPECT_EQ(platform::remove("/yaffs//"), -1);  // even an empty flash keeps its folder
  EXPECT_TRUE(fs::is_directory(Yaffs()));
  EXPECT_EQ(platform::mkdir("/yaffs/user", 0777), 0);
  EXPECT_EQ(platform::rename("/yaffs/user", "/yaffs/u2"), 0);  // entries below are renamed as before
}

}  // namespace
