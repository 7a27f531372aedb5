// Host-given paths and settings file names through the rules of the mass-memory commands: whatever
// the bytes, a path is either refused or comes out canonical (absolute, no empty, "." or ".."
// component, no NUL, no trailing "/"), its canonical form is a fixed point, and a readable path lies
// below /yaffs/ or /romfs/; no name a host may write is named like a temporary file. The input is
// the raw text of the path parameter, NUL bytes included.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host/HostMassMemoryPaths.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckCanonical(const std::string& path) {
  Require(!path.empty() && path.front() == '/' && path.back() != '/');
  Require(path.find('\0') == std::string::npos);
  std::size_t at = 1;
  while (at <= path.size()) {
    const std::size_t end = std::min(path.find('/', at), path.size());
    const std::string_view component = std::string_view(path).substr(at, end - at);
    Require(!component.empty() && component != "." && component != "..");
    at = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  std::string path;
  if (Torvex::CanonicalMassMemoryPath(raw, &path)) {
    CheckCanonical(path);
    std::string again;
    Require(Torvex::CanonicalMassMemoryPath(path, &again) && again == path);
    if (Torvex::MassMemoryPathIsReadable(path)) Require(path.rfind("/yaffs/", 0) == 0 || path.rfind("/romfs/", 0) == 0);
    if (Torvex::MassMemoryPathIsBelow(path, "/yaffs/user/")) Require(path.size() > 12);
    // The temporary file a write goes through is never a name a host may write itself.
    if (!Torvex::NamesTemporaryFile(path)) Require(Torvex::NamesTemporaryFile(path + "~tmp0"));
  } else {
    Require(path.empty());
  }
  if (Torvex::IsPlainSettingsFileName(raw)) {
    Require(!raw.empty() && raw != "." && raw != "..");
    Require(raw.find('/') == std::string::npos && raw.find('\0') == std::string::npos);
    Require(!Torvex::NamesTemporaryFile(raw));
  }
  return 0;
}
