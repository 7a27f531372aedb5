// Test support of the system tests: a temporary board root with romfs/ and yaffs/, the file systems
// mounted or not, the board's NAND chip, a fast tick, and helpers to read the log and wait on
// conditions with deadlines.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/CLogger.h"
#include "platform/bootloader.h"
#include "platform/io.h"
#include "sim/nand_flash.h"
#include "support/board_root.h"
#include "support/wait_for.h"

namespace torvex_test {

namespace fs = std::filesystem;

// The whole log text.
inline std::string LogText() {
  char* copy = Torvex::g_Logger.CopyBuffer();
  std::string text(copy);
  delete[] copy;
  return text;
}

// Writes a unique mark into the log and returns it; LogSince gives what was logged after it. (The
// log is a ring, and the tests log the same lines again and again: only a unique mark finds the
// place.)
inline std::string MarkLog() {
  static std::atomic<unsigned> next{0};
  const std::string mark = "test mark " + std::to_string(next.fetch_add(1)) + "\n";
  Torvex::g_Logger.Printf("%s", mark.c_str());
  return mark;
}
inline std::string LogSince(const std::string& mark) {
  const std::string text = LogText();
  const std::size_t at = text.rfind(mark);
  return at == std::string::npos ? text : text.substr(at + mark.size());
}

// The names in a host folder, sorted.
inline std::vector<std::string> HostNames(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

inline void WriteHostFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadHostFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A fresh board root; the file systems are unmounted, the NAND chip removed and the boot loader's
// test settings undone at the end.
class BoardRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = torvex_test::MakeBoardRoot("system");
    platform::chdir("/");
  }

  void TearDown() override {
    platform::chdir("/");
    nand_.reset();
    platform::bootloader::ResetHooks();
    platform::bootloader::RestoreItems();
    platform::bootloader::PublishEntry();
    torvex_test::RemoveBoardRoot(root_);
  }

  void MountBoth() {
    ASSERT_EQ(platform::mount("", "/romfs", "romfs"), 0);
    ASSERT_EQ(platform::mount("onboard/0", "/yaffs", "yaffs"), 0);
  }

  sim::NandFlash& Nand(sim::NandFlash::Geometry geometry = {}) {
    nand_ = std::make_unique<sim::NandFlash>(platform::nand::kFlashDeviceName, geometry,
                                             std::vector<platform::nand::Partition>{{0, geometry.block_count - 1}});
    nand_->Register();
    return *nand_;
  }

  fs::path Yaffs(const std::string& rest = "") const { return root_ / "yaffs" / rest; }
  fs::path Romfs(const std::string& rest = "") const { return root_ / "romfs" / rest; }

  fs::path root_;
  std::unique_ptr<sim::NandFlash> nand_;
};

}  // namespace torvex_test
