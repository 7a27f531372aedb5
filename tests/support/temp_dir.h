// Temporary folders of the tests, benchmarks and fuzz targets: every one is made here, as
// /tmp/torvex-TAG-XXXXXX.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace torvex_test {

// Makes a new empty folder /tmp/torvex-TAG-XXXXXX; throws when it cannot.
inline std::filesystem::path MakeTempDir(const std::string& tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / ("torvex-" + tag + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
  return pattern;
}

// A temporary folder for the life of the process, removed at its exit.
inline std::filesystem::path MakeProcessTempDir(const std::string& tag) {
  static std::filesystem::path* made = nullptr;  // one per process is all any program needs
  if (made == nullptr) {
    made = new std::filesystem::path(MakeTempDir(tag));
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(*made, ec);
    });
  }
  return *made;
}

// A temporary folder for the life of a scope.
class TempDir {
 public:
  explicit TempDir(const std::string& tag) : path_(MakeTempDir(tag)) {}
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace torvex_test
