// Names of the temporary files that writes go through: a file is written beside its destination
// under a temporary name and renamed over it once complete. A power cut can leave one behind; the
// name tells it from every file a user may store, so that mounting the flash removes it and the flash
// catalogue never lists it.
#pragma once

#include <string>
#include <string_view>

namespace Torvex {

inline constexpr std::string_view kTemporaryMark = "~tmp";

// `path` followed by the temporary mark and `n`.
inline std::string TemporaryFileName(const std::string& path, unsigned n) {
  return path + std::string(kTemporaryMark) + std::to_string(n);
}

// True when `name` ends with the temporary mark and a number.
inline bool IsTemporaryFileName(std::string_view name) {
  std::size_t digits = 0;
  while (digits < name.size() && name[name.size() - 1 - digits] >= '0' && name[name.size() - 1 - digits] <= '9') {
    ++digits;
  }
  if (digits == 0) return false;
  name.remove_suffix(digits);
  return name.size() > kTemporaryMark.size() && name.substr(name.size() - kTemporaryMark.size()) == kTemporaryMark;
}

}  // namespace Torvex
