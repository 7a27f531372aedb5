// Test support of the settings tests: a board root with the factory file in /romfs, the tree loaded
// from it and bound, and helpers to read and change tree files on the host side.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/CRecursiveMutex.h"
#include "drivers/board_devices.h"
#include "platform/devtab.h"
#include "platform/interrupt.h"
#include "platform/kernel.h"
#include "settings/SettingsSubsystems.h"
#include "settings/StartupSettings.h"
#include "sim/board.h"
#include "support/process_board.h"
#include "system/CTorvexPower.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"
#include "unit/system/system_support.h"

namespace torvex_test {

namespace fs = std::filesystem;

// 1 ms ticks for the whole program: the power monitor's 5-second long push lasts half a second, a
// 1-second interval 100 ms.
inline const bool kFastTick = (platform::kernel::SetTickMicroseconds(1000), true);

// True when `text` holds every one of `lines` as a whole line, in this order (other lines may stand
// between them).
inline bool LinesInOrder(const std::string& text, const std::vector<std::string>& lines) {
  std::size_t at = 0;
  for (const std::string& line : lines) {
    std::size_t found = text.find(line, at);
    while (found != std::string::npos && found != 0 && text[found - 1] != '\n') found = text.find(line, found + 1);
    if (found == std::string::npos) return false;
    at = found + line.size();
  }
  return true;
}

inline std::string FactoryText() { return ReadHostFile(fs::path(TORVEX_ROMFS_DIR) / "factory.xml"); }

// Replaces the first occurrence of `from` in `text` (which must hold it).
inline std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << "fixture text lacks: " << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// Deletes the whole tree and forgets every bound pointer.
inline void DiscardTree() {
  Torvex::CRecursiveLockGuard lock(Torvex::g_ParameterTreeLock);
  Torvex::TorvexUnbindParameterNodes();
  delete Torvex::g_ParameterTreeRoot;
  Torvex::g_ParameterTreeRoot = nullptr;
}

// The whole running tree as its file text (written through the tree writer into the board root).
inline std::string TreeText(const fs::path& root) {
  const std::string path = "/yaffs/tree-snapshot.xml";
  EXPECT_EQ(Torvex::SaveTreeToXml(path.c_str(), Torvex::g_ParameterTreeRoot), 0);
  const std::string text = ReadHostFile(root / "yaffs" / "tree-snapshot.xml");
  fs::remove(root / "yaffs" / "tree-snapshot.xml");
  return text;
}

// Every bound pointer, in table order.
inline std::vector<Torvex::CParameterNode*> BoundPointers() {
  std::vector<Torvex::CParameterNode*> pointers;
  for (std::size_t i = 0; i < Torvex::kBoundParameterNodeCount; ++i)
    pointers.push_back(*Torvex::kBoundParameterNodes[i].node);
  return pointers;
}

// Drains shut-down requests left by a test (each request posts the hand-over once) and the flag
// that keeps the saved settings.
inline void ForgetRequests(int posted) {
  for (int i = 0; i < posted; ++i) Torvex::CTorvexPower::WaitForShutdownRequest();
  Torvex::CTorvexPower::TakeKeepSavedSettings();
}

// The simulated board of this test program: built once, with the drivers' hardware set-up done and
// their devices registered and initialised. It lives as long as the process.
inline sim::Board& TestBoard() { return torvex_test::ProcessBoard("settings-board", false); }

// Runs `body` on a kernel thread, so that a call that suspends its caller (a panic, a power action)
// can be observed and then resumed.
class KernelCall {
 public:
  explicit KernelCall(std::function<void()> body) : body_(std::move(body)) {
    cyg_thread_create(10, &Entry, reinterpret_cast<cyg_addrword_t>(this), "test call", nullptr, 0, &handle_, &thread_);
    cyg_thread_resume(handle_);
  }
  ~KernelCall() {
    ResumeUntilDone();
    cyg_thread_delete(handle_);
  }
  KernelCall(const KernelCall&) = delete;
  KernelCall& operator=(const KernelCall&) = delete;

  bool Done() const { return done_.load(); }
  // Resumes the thread (again and again: a resume before its suspension is lost) until the body ended.
  bool ResumeUntilDone() {
    return WaitFor([this] {
      cyg_thread_resume(handle_);
      return done_.load();
    });
  }

 private:
  static void Entry(cyg_addrword_t data) {
    auto* self = reinterpret_cast<KernelCall*>(data);
    self->body_();
    self->done_.store(true);
  }

  std::function<void()> body_;
  std::atomic<bool> done_{false};
  cyg_handle_t handle_ = 0;
  cyg_thread thread_;
};

// A board root with both file systems mounted, the factory file in /romfs and the factory tree
// loaded and bound.
class SettingsTest : public torvex_test::BoardRootTest {
 protected:
  void SetUp() override {
    BoardRootTest::SetUp();
    WriteHostFile(Romfs("factory.xml"), FactoryText());
    MountBoth();
    DiscardTree();
    LoadFactoryTree();
  }

  void TearDown() override {
    DiscardTree();
    BoardRootTest::TearDown();
  }

  void LoadFactoryTree() {
    ASSERT_EQ(Torvex::LoadTreeFromXml("/romfs/factory.xml", &Torvex::g_ParameterTreeRoot, nullptr), 0);
    ASSERT_EQ(Torvex::TorvexBindParameterNodes(), 0);
  }
};

}  // namespace torvex_test
