#include "host/HostMassMemoryPaths.h"

#include <algorithm>
#include <vector>

#include "core/TemporaryFiles.h"

namespace Torvex {

bool CanonicalMassMemoryPath(std::string_view raw, std::string* out) {
  if (raw.empty() || raw.front() != '/' || raw.find('\0') != std::string_view::npos) return false;
  std::vector<std::string_view> components;
  std::size_t at = 0;
  while (at < raw.size()) {
    while (at < raw.size() && raw[at] == '/') ++at;
    const std::size_t end = std::min(raw.find('/', at), raw.size());
    const std::string_view component = raw.substr(at, end - at);
    at = end;
    if (component.empty() || component == ".") continue;
    if (component == "..") return false;
    components.push_back(component);
  }
  if (components.empty()) return false;
  std::string canonical;
  for (const std::string_view component : components) {
    canonical += '/';
    canonical += component;
  }
  *out = std::move(canonical);
  return true;
}

bool MassMemoryPathIsBelow(const std::string& path, std::string_view prefix) {
  return path.size() > prefix.size() && std::string_view(path).substr(0, prefix.size()) == prefix;
}

bool MassMemoryPathIsReadable(const std::string& path) {
  return MassMemoryPathIsBelow(path, "/yaffs/") || MassMemoryPathIsBelow(path, "/romfs/");
}

bool IsPlainSettingsFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos && !IsTemporaryFileName(name);
}

bool NamesTemporaryFile(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return IsTemporaryFileName(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace Torvex
