// Paths from outside (the mass-memory commands' file names) through the file utilities and the
// platform's file layer: whatever the path, nothing outside the board root is read, written or made,
// and no call crashes. The input is the path; it is used for every utility in turn.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/io.h"
#include "support/temp_dir.h"
#include "system/TorvexFileUtilities.h"

namespace {

namespace fs = std::filesystem;

struct Board {
  fs::path base;
  fs::path root;
  fs::path outside;

  Board() {
    base = torvex_test::MakeTempDir("fuzz-paths");
    root = base / "root";
    outside = base / "outside";
    fs::create_directories(root / "romfs");
    fs::create_directories(root / "yaffs/user");
    fs::create_directories(root / "yaffs/settings");
    fs::create_directories(outside);
    std::ofstream(root / "romfs/help.dat") << "help";
    std::ofstream(root / "yaffs/settings/LastPowerOff.xml") << "<saved/>";
    std::ofstream(base / "guard") << "guard";
    // A planted link that leads out of the root.
    fs::create_directory_symlink("../../../outside", root / "yaffs/user/out");
    platform::SetBoardRoot(root.string());
    if (platform::mount("", "/romfs", "romfs") != 0 || platform::mount("", "/yaffs", "yaffs") != 0) std::abort();
    // The utilities report every failure on standard error: keep the run quiet.
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, STDERR_FILENO);
  }
  ~Board() {
    std::error_code ec;
    fs::remove_all(base, ec);
  }

  void Check() const {
    if (!fs::is_empty(outside)) std::abort();
    std::ifstream in(base / "guard");
    std::string s;
    std::getline(in, s);
    if (s != "guard") std::abort();
    const std::vector<fs::path> expected{"guard", "outside", "root"};
    std::vector<fs::path> names;
    for (const auto& e : fs::directory_iterator(base)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    if (names != expected) std::abort();
  }
};

Board& TheBoard() {
  static Board board;
  return board;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Board& board = TheBoard();
  std::string path(reinterpret_cast<const char*>(data), size);
  path = path.substr(0, path.find('\0'));
  const char* p = path.c_str();

  if (auto host = platform::HostPath(p, false)) {
    const fs::path normal = fs::path(*host).lexically_normal();
    const std::string root = board.root.string() + "/";
    if ((normal.string() + "/").compare(0, root.size(), root) != 0) std::abort();
  }
  using namespace Torvex;
  std::int32_t file_size = 0;
  char buffer[64];
  std::vector<FileCatalogEntry> list;
  TorvexGetFileSize(p, file_size);
  TorvexReadFile(p, buffer, sizeof buffer, 1, sizeof buffer);
  TorvexListDirectory(p, list, true);
  TorvexMakeDirectoryPath(p, 0777);
  TorvexWriteTextFile(p, "text");
  TorvexWriteBinaryFile(p, "bin", 1, 3);
  TorvexCopyFile(p, "/romfs/help.dat");
  TorvexCopyFile("/yaffs/user/copy", p);
  TorvexRemoveFile(p);
  struct stat st {};
  platform::stat(p, &st);
  if (platform::chdir(p) == 0) platform::chdir("/");
  board.Check();
  return 0;
}
