// The external bus shared by the flash and the DSP's host port: every flash access hands the bus to
// the NAND and back, and no host-port access is ever made while the NAND holds it.
#include <fcntl.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "board_fixture.h"
#include "drivers/dsp_hpi.h"
#include "platform/io.h"
#include "platform/nand.h"
#include "sim/nand_flash.h"

namespace torvex_test {
namespace {

constexpr std::uint32_t kScratch = 0x00300000;  // DSP memory the test owns

class BusHandoverTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    nand_.Register();
    std::filesystem::create_directories(board_->Root() + "/yaffs");
    if (!platform::IsMounted("/yaffs")) {
      ASSERT_EQ(platform::mount("onboard/0", "/yaffs", "yaffs"), 0);
    }
    dsp_reset(true);
  }
  void TearDown() override {
    platform::umount("/yaffs");
    nand_.Unregister();
    BoardTest::TearDown();
  }

  sim::NandFlash nand_{"onboard", sim::NandFlash::Geometry{512, 4, 64}, {{0, 63}}};
};

bool WriteFile(const char* path, const std::string& text) {
  const int fd = platform::open(path, O_WRONLY | O_CREAT | O_TRUNC);
  if (fd < 0) return false;
  const bool ok =
      platform::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && platform::fsync(fd) == 0;
  return platform::close(fd) == 0 && ok;
}

TEST_F(BusHandoverTest, EveryKindOfFlashAccessHandsTheBusOver) {
  ASSERT_TRUE(WriteFile("/yaffs/a.txt", "hello"));
  struct Case {
    const char* name;
    std::function<bool()> access;
  };
  int fd = -1;
  FILE* stream = nullptr;
  char buf[16] = {};
  const Case cases[] = {
      {"open", [&] { return (fd = platform::open("/yaffs/a.txt", O_RDWR)) >= 0; }},
      {"read", [&] { return platform::read(fd, buf, 5) == 5; }},
      {"write", [&] { return platform::write(fd, "!", 1) == 1; }},
      {"fsync", [&] { return platform::fsync(fd) == 0; }},
      {"stream open",
       [&] {
         platform::close(fd);
         return (stream = platform::fopen("/yaffs/b.txt", "w")) != nullptr;
       }},
      {"stream write", [&] { return std::fputs("text", stream) >= 0 && std::fflush(stream) == 0; }},
      {"rename",
       [&] {
         std::fclose(stream);
         return platform::rename("/yaffs/b.txt", "/yaffs/c.txt") == 0;
       }},
      {"unlink", [] { return platform::unlink("/yaffs/c.txt") == 0; }},
      {"mkdir", [] { return platform::mkdir("/yaffs/d") == 0; }},
      {"rmdir", [] { return platform::rmdir("/yaffs/d") == 0; }},
      {"block erase", [&] { return platform::nand::EraseBlock(&nand_, platform::nand::kFlashPartition, 3) == 0; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto before = board_->dsp().BusHandovers();
    ASSERT_TRUE(c.access());
    EXPECT_GT(board_->dsp().BusHandovers(), before);
  }
  EXPECT_EQ(board_->dsp().BusConflicts(), 0u);
  EXPECT_EQ(std::string(buf, 5), "hello");
}

TEST_F(BusHandoverTest, HostPortAndFlashNeverMeetOnTheBus) {
  const auto conflicts = board_->dsp().BusConflicts();
  const auto handovers = board_->dsp().BusHandovers();
  std::atomic<bool> stop{false};
  std::atomic<int> mismatches{0};
  std::atomic<int> transfers{0};
  std::thread port([&] {
    std::vector<cyg_uint32> out(64), in(64);
    for (cyg_uint32 round = 0; !stop.load() || round < 50; ++round) {
      for (cyg_uint32 i = 0; i < out.size(); ++i) out[i] = round * 1000 + i;
      dsp_hpi_write_block(kScratch, out.data(), static_cast<cyg_uint32>(out.size()));
      dsp_hpi_read_block(kScratch, in.data(), static_cast<cyg_uint32>(in.size()));
      if (in != out || dsp_hpi_read_word(kScratch + 4) != out[1]) ++mismatches;
      ++transfers;
    }
  });
  int flash_ops = 0;
  for (int i = 0; i < 200; ++i) {
    const std::string path = "/yaffs/f" + std::to_string(i % 4) + ".txt";
    ASSERT_TRUE(WriteFile(path.c_str(), "content " + std::to_string(i)));
    FILE* f = platform::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[32] = {};
    ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
    std::fclose(f);
    EXPECT_EQ(std::string(line), "content " + std::to_string(i));
    flash_ops += 5;
  }
  stop = true;
  port.join();
  EXPECT_GT(transfers.load(), 0);
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_GE(board_->dsp().BusHandovers() - handovers, static_cast<std::uint64_t>(flash_ops));
  EXPECT_EQ(board_->dsp().BusConflicts(), conflicts);
}

}  // namespace
}  // namespace torvex_test
