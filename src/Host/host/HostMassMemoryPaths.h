// The path rules of the mass-memory commands: every path a host names is brought to one canonical
// form inside the firmware's own namespace before any prefix is checked or any file is touched, so a
// prefix check ("/yaffs/user/...") cannot be walked around with "..", "//" or ".", and a path never
// reaches the device table.
//
// Pure functions; the parser thread calls them.
#pragma once

#include <string>
#include <string_view>

namespace Torvex {

// The canonical form of `raw`: absolute, repeated "/" folded, "." components dropped, no trailing
// "/". Refused (false, *out untouched) when `raw` is empty, relative, holds a NUL byte or a ".."
// component, or names "/" itself.
bool CanonicalMassMemoryPath(std::string_view raw, std::string* out);

// True when the canonical `path` lies below the directory `prefix` (given with its trailing "/", for
// example "/yaffs/user/"), at any depth; the directory itself is not below it.
bool MassMemoryPathIsBelow(const std::string& path, std::string_view prefix);

// True when a file at the canonical `path` may be read by a host: below /yaffs/ or /romfs/.
bool MassMemoryPathIsReadable(const std::string& path);

// True when `name` is a plain file name for a settings file: not empty, not "." or "..", no "/", no
// NUL byte and not named like a temporary file (below).
bool IsPlainSettingsFileName(std::string_view name);

// True when the last component of `path` is named like the temporary files that the firmware's
// writes go through ("x.txt~tmp0", core/TemporaryFiles.h). A user file of that name would be hidden
// from the catalogue and removed as an unfinished write at the next start, so no host may write one.
bool NamesTemporaryFile(std::string_view path);

// The most file bytes one reply may carry: larger files are refused before they are read.
inline constexpr std::size_t kMaxMassMemoryReplyBytes = 999999;

}  // namespace Torvex
