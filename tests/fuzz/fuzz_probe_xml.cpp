// Probe description files: any bytes as /yaffs/user/probe.xml, through the file's parser into a
// physical-information record.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "peripherals/ProbeXml.h"
#include "platform/io.h"
#include "support/temp_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::filesystem::path file = [] {
    const std::string root = torvex_test::MakeProcessTempDir("fuzz-probexml").string();
    std::filesystem::create_directories(root + "/yaffs/user");
    std::filesystem::create_directories(root + "/romfs");
    platform::SetBoardRoot(root);
    if (platform::mount("", "/yaffs", "yaffs") != 0) std::abort();
    return std::filesystem::path(root) / "yaffs/user/probe.xml";
  }();
  if (size > 65536) return 0;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  Torvex::ProbeXmlRecord record;
  (void)Torvex::LoadProbeXmlFile(Torvex::kProbeXmlPath, record);
  return 0;
}
