// Feeds a settings group file to the recall's checks against a running factory tree. The first byte
// picks the group (0-5), the rest is the file. A file the checks refuse must change nothing; a file
// they accept for a group that merges at once is merged, and every bound pointer must still be found
// at its path afterwards.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/io.h"
#include "settings/SettingsSubsystems.h"
#include "settings/StartupSettings.h"
#include "support/temp_dir.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"

namespace {

namespace fs = std::filesystem;
using namespace Torvex;

fs::path g_Root;

bool SetUpBoard() {
  g_Root = torvex_test::MakeTempDir("fuzz-settings");
  fs::create_directories(g_Root / "romfs");
  fs::create_directories(g_Root / "yaffs");
  fs::copy_file(fs::path(TORVEX_ROMFS_DIR) / "factory.xml", g_Root / "romfs" / "factory.xml");
  platform::SetBoardRoot(g_Root.string());
  if (platform::mount("", "/romfs", "romfs") != 0 || platform::mount("", "/yaffs", "yaffs") != 0) return false;
  if (LoadTreeFromXml(kFactorySettingsPath, &g_ParameterTreeRoot, nullptr) != 0) return false;
  if (TorvexBindParameterNodes() != 0) return false;
  for (std::int32_t type = 0; type < kSettingsGroupCount; ++type) {
    fs::create_directories(g_Root / (std::string(g_SettingsSubsystems[type].directory).substr(1)));
  }
  std::atexit([] {
    std::error_code ec;
    fs::remove_all(g_Root, ec);
  });
  return true;
}

std::vector<CParameterNode*> BoundPointers() {
  std::vector<CParameterNode*> pointers;
  for (std::size_t i = 0; i < kBoundParameterNodeCount; ++i) pointers.push_back(*kBoundParameterNodes[i].node);
  return pointers;
}

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_settings_group: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = SetUpBoard();
  Require(ready, "board set-up failed");
  if (size == 0) return 0;

  const SettingsSubsystemEntry& row = g_SettingsSubsystems[data[0] % kSettingsGroupCount];
  const std::string path = std::string(row.directory) + "/fuzz.xml";
  {
    std::ofstream out(g_Root / path.substr(1), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
  }

  const auto before = BoundPointers();
  const int checked = TorvexCheckSettingsFile(path.c_str(), row);
  Require(BoundPointers() == before, "the checks changed a bound pointer");
  if (checked != 0 || row.requires_restart) return 0;

  const int merged = TorvexLoadSettings(path.c_str());
  Require(merged == 0 || merged == ePurgedNodeWithChildren, "an accepted file failed to merge");
  Require(TorvexBindParameterNodes() == 0, "a bound path is gone after a merge");
  Require(BoundPointers() == before, "a merge replaced a bound node");
  return 0;
}
