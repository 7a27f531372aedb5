// Writes the instrument's help file (HelpData.h) that the build installs in the read-only file system.
//
//   torvex_help_data OUTPUT
#include <cstdio>
#include <string>
#include <vector>

#include "HelpData.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: torvex_help_data OUTPUT\n");
    return 2;
  }
  const std::string output = argv[1];
  std::vector<char> file;
  std::string error;
  if (!help_data::BuildHelpFile(file, error)) {
    std::fprintf(stderr, "torvex_help_data: %s\n", error.c_str());
    return 1;
  }
  // Written beside the target and renamed over it: a failed build never leaves half a file.
  const std::string tmp = output + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (f == nullptr) {
    std::perror(tmp.c_str());
    return 1;
  }
  const bool written = std::fwrite(file.data(), 1, file.size(), f) == file.size();
  if (std::fclose(f) != 0 || !written || std::rename(tmp.c_str(), output.c_str()) != 0) {
    std::perror(output.c_str());
    std::remove(tmp.c_str());
    return 1;
  }
  return 0;
}
