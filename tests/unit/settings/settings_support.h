// Test support of the settings tests: a board root with the factory file in /romfs, the tree loaded
// from it and bound, and helpers to read and change tree files on the host side.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "BoundParameterNodes.h"
#include "CParameterNode.h"
#include "CRecursiveMutex.h"
#include "CTorvexPower.h"
#include "ParameterXml.h"
#include "SettingsSubsystems.h"
#include "StartupSettings.h"
#include "unit/system/system_support.h"

namespace settingstest {

namespace fs = std::filesystem;
using systemtest::LogSince;
using systemtest::LogText;
using systemtest::ReadHostFile;
using systemtest::WaitFor;
using systemtest::WriteHostFile;

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
  for (const auto& bound : Torvex::kBoundParameterNodes) pointers.push_back(*bound.node);
  return pointers;
}

// Drains shut-down requests left by a test (each request posts the hand-over once) and the flag
// that keeps the saved settings.
inline void ForgetRequests(int posted) {
  for (int i = 0; i < posted; ++i) Torvex::CTorvexPower::WaitForShutdownRequest();
  Torvex::CTorvexPower::TakeKeepSavedSettings();
}

// A board root with both file systems mounted, the factory file in /romfs and the factory tree
// loaded and bound.
class SettingsTest : public systemtest::BoardRootTest {
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

}  // namespace settingstest
