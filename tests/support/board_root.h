// A temporary board root for tests of the firmware's file layer: made with its romfs/ and yaffs/
// folders and set as the board root; removed again (after unmounting what is mounted) at the end.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "platform/io.h"

namespace torvex_test {

// Makes /tmp/torvex-TAG-XXXXXX with romfs/ and yaffs/ and makes it the board root.
inline std::filesystem::path MakeBoardRoot(const std::string& tag) {
  std::string pattern = "/tmp/torvex-" + tag + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
  const std::filesystem::path root = pattern;
  std::filesystem::create_directories(root / "romfs");
  std::filesystem::create_directories(root / "yaffs");
  platform::SetBoardRoot(root.string());
  return root;
}

// Unmounts every mounted file system and removes the root.
inline void RemoveBoardRoot(const std::filesystem::path& root) {
  for (const char* dir : {"/romfs", "/yaffs", "/dev"}) {
    if (platform::IsMounted(dir)) platform::umount(dir);
  }
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
}

}  // namespace torvex_test
