// Writes the DSP program image (sim/dsp_image.h) that the build installs in the read-only file system.
//
//   torvex_dsp_image OUTPUT [--version MAJOR.MINOR]   (version 2.4 unless given)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/dsp_image.h"

namespace {

bool ParsePart(const std::string& text, std::uint16_t& out) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long v = std::strtoul(text.c_str(), nullptr, 10);
  if (v > 0xFFFF) return false;
  out = static_cast<std::uint16_t>(v);
  return true;
}

int Usage() {
  std::fprintf(stderr, "usage: torvex_dsp_image OUTPUT [--version MAJOR.MINOR]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string output;
  sim::DspVersion version;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--version" && i + 1 < argc) {
      const std::string v = argv[++i];
      const auto dot = v.find('.');
      if (dot == std::string::npos || !ParsePart(v.substr(0, dot), version.major) ||
          !ParsePart(v.substr(dot + 1), version.minor)) {
        return Usage();
      }
    } else if (output.empty() && !arg.empty() && arg[0] != '-') {
      output = arg;
    } else {
      return Usage();
    }
  }
  if (output.empty()) return Usage();

  const auto image = sim::BuildDspImage(version);
  // Written beside the target and renamed over it: a failed build never leaves half an image.
  const std::string tmp = output + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (f == nullptr) {
    std::perror(tmp.c_str());
    return 1;
  }
  const bool written = std::fwrite(image.data(), 1, image.size(), f) == image.size();
  if (std::fclose(f) != 0 || !written || std::rename(tmp.c_str(), output.c_str()) != 0) {
    std::perror(output.c_str());
    std::remove(tmp.c_str());
    return 1;
  }
  return 0;
}
