// The board's path namespace: the mounts, path normalisation, the current directory and block usage
// (see platform/io.h).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "io_internal.h"
#include "platform/bootloader.h"
#include "platform/io.h"
#include "platform/nand.h"

namespace platform {
namespace io_internal {
namespace {

struct IoState {
  std::mutex lock;
  std::string root = ".";
  MountPoint mounts[3] = {
      {"/romfs", "romfs", "romfs", true, false},
      {"/yaffs", "yaffs", "yaffs", false, false},
      {"/dev", "devfs", nullptr, false, false},
  };
  std::unordered_map<int, cyg_io_handle_t> devices;  // descriptor -> device
  std::unordered_set<int> flash_files;               // descriptors of files on the flash
  std::string cwd = "/";                             // the firmware's current directory
};

IoState& State() {
  static IoState* s = new IoState;
  return *s;
}

MountPoint* FindMount(IoState& s, std::string_view dir) {
  for (auto& m : s.mounts) {
    if (dir == m.dir) return &m;
  }
  return nullptr;
}

// Splits an absolute path into its normalised components; false for a relative path or one that
// climbs above "/".
bool Normalise(const char* path, std::vector<std::string_view>& parts) {
  if (path == nullptr || path[0] != '/') return false;
  std::string_view p(path);
  std::size_t i = 0;
  while (i < p.size()) {
    while (i < p.size() && p[i] == '/') ++i;
    const std::size_t start = i;
    while (i < p.size() && p[i] != '/') ++i;
    std::string_view part = p.substr(start, i - start);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts.empty()) return false;
      parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  return true;
}

// The absolute form of a firmware path: relative paths are taken from the current directory.
bool Absolute(IoState& s, const char* path, std::string& out) {
  if (path == nullptr || path[0] == '\0') return false;
  if (path[0] == '/') {
    out = path;
    return true;
  }
  std::lock_guard<std::mutex> g(s.lock);
  out = s.cwd;
  if (out.back() != '/') out += '/';
  out += path;
  return true;
}

// Normalised components of a firmware path (relative ones from the current directory).
bool Components(const char* path, std::string& absolute, std::vector<std::string_view>& parts) {
  if (!Absolute(State(), path, absolute) || !Normalise(absolute.c_str(), parts)) {
    errno = ENOENT;
    return false;
  }
  return true;
}

}  // namespace

// True for the namespace root "/" (any spelling of it).
bool IsNamespaceRoot(const char* path) {
  std::string absolute;
  std::vector<std::string_view> parts;
  return Absolute(State(), path, absolute) && Normalise(absolute.c_str(), parts) && parts.empty();
}

bool Resolve(const char* path, Resolved& out) {
  std::string absolute;
  std::vector<std::string_view> parts;
  if (!Components(path, absolute, parts)) return false;
  if (parts.empty()) {
    errno = ENOENT;
    return false;
  }
  IoState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  std::string top = "/";
  top += parts[0];
  MountPoint* m = FindMount(s, top);
  if (m == nullptr || !m->mounted) {
    errno = ENOENT;
    return false;
  }
  out.mount = m;
  out.rest.clear();
  for (std::size_t k = 1; k < parts.size(); ++k) {
    out.rest += '/';
    out.rest += parts[k];
  }
  out.canonical = top + out.rest;
  return true;
}

std::string MountFolder(const MountPoint& m) {
  IoState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  return s.root + "/" + m.host;
}

// The host path of a resolved file path. The folders and the file below the mount's folder must not
// be symbolic links: a link could lead outside the board root.
std::optional<std::string> HostOf(const Resolved& r) {
  std::string host = MountFolder(*r.mount);
  std::size_t i = 0;
  while (i < r.rest.size()) {
    const std::size_t next = r.rest.find('/', i + 1);
    const std::size_t end = next == std::string::npos ? r.rest.size() : next;
    host.append(r.rest, i, end - i);
    i = end;
    struct ::stat st {};
    if (::lstat(host.c_str(), &st) != 0) {
      // Nothing further exists: the host call reports what it must (ENOENT, or creates the entry).
      host.append(r.rest, i, std::string::npos);
      break;
    }
    if (S_ISLNK(st.st_mode)) {
      errno = ELOOP;
      return std::nullopt;
    }
  }
  return host;
}

cyg_io_handle_t DeviceOf(int fd) {
  IoState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  auto it = s.devices.find(fd);
  return it == s.devices.end() ? 0 : it->second;
}

void AddDevice(int fd, cyg_io_handle_t device) {
  IoState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.devices[fd] = device;
}

void RemoveDevice(int fd) {
  IoState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.devices.erase(fd);
}

void AddFlashFile(int fd) {
  IoState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.flash_files.insert(fd);
}

void RemoveFlashFile(int fd) {
  IoState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.flash_files.erase(fd);
}

bool IsFlashFile(int fd) {
  IoState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  return s.flash_files.count(fd) != 0;
}

void FlashContentLost() {
  namespace fs = std::filesystem;
  std::string folder;
  {
    IoState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    folder = s.root + "/" + FindMount(s, "/yaffs")->host;
  }
  std::error_code ec;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(it->path());
  // remove_all removes a symbolic link itself, never what it points to.
  for (const fs::path& entry : entries) fs::remove_all(entry, ec);
}

}  // namespace io_internal

using namespace io_internal;

void SetBoardRoot(const std::string& root) {
  IoState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.root = root.empty() ? "." : root;
  while (s.root.size() > 1 && s.root.back() == '/') s.root.pop_back();
}

const std::string& BoardRoot() { return State().root; }

// Whether `device` names what the file system of `m` lives on.
bool DeviceMatches(const MountPoint& m, const char* device) {
  if (device == nullptr || device[0] == '\0' || m.host == nullptr) return true;
  if (std::strcmp(m.fstype, "romfs") == 0) {
    void* address = nullptr;
    char extra = 0;
    return std::sscanf(device, "%p%c", &address, &extra) == 1 &&
           reinterpret_cast<std::uintptr_t>(address) == bootloader::RomfsImageAddress();
  }
  if (std::strcmp(m.fstype, "yaffs") == 0) {
    nand::Device* flash = nand::Lookup(nand::kFlashDeviceName);
    if (flash == nullptr) return true;
    const std::string expected = std::string(nand::kFlashDeviceName) + "/" + std::to_string(nand::kFlashPartition);
    nand::Partition p{};
    return expected == device && nand::GetPartition(flash, nand::kFlashPartition, &p) == 0;
  }
  return true;
}

int mount(const char* device, const char* dir, const char* fstype) {
  IoState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  MountPoint* m = dir != nullptr ? FindMount(s, dir) : nullptr;
  if (m == nullptr || fstype == nullptr || std::strcmp(m->fstype, fstype) != 0) {
    errno = EINVAL;
    return -1;
  }
  if (m->mounted) {
    errno = EBUSY;
    return -1;
  }
  if (!DeviceMatches(*m, device)) {
    errno = ENODEV;
    return -1;
  }
  if (m->host != nullptr) {
    struct ::stat st {};
    const std::string host = s.root + "/" + m->host;
    if (::stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      errno = ENODEV;
      return -1;
    }
  }
  m->mounted = true;
  return 0;
}

int umount(const char* dir) {
  IoState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  MountPoint* m = dir != nullptr ? FindMount(s, dir) : nullptr;
  if (m == nullptr || !m->mounted) {
    errno = EINVAL;
    return -1;
  }
  m->mounted = false;
  return 0;
}

bool IsMounted(const char* dir) {
  IoState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  MountPoint* m = dir != nullptr ? FindMount(s, dir) : nullptr;
  return m != nullptr && m->mounted;
}

std::optional<std::string> HostPath(const char* path, bool for_writing) {
  Resolved r;
  if (!Resolve(path, r)) return std::nullopt;
  if (IsDevfs(r)) {
    errno = ENOTSUP;
    return std::nullopt;
  }
  if (for_writing && r.mount->read_only) {
    errno = EROFS;
    return std::nullopt;
  }
  return HostOf(r);
}

int chdir(const char* path) {
  std::string canonical = "/";
  if (!IsNamespaceRoot(path)) {
    Resolved r;
    if (!Resolve(path, r)) return -1;
    if (IsDevfs(r)) {
      if (!r.rest.empty()) {
        errno = ENOTDIR;
        return -1;
      }
    } else {
      auto host = HostOf(r);
      if (!host) return -1;
      struct ::stat st {};
      if (::stat(host->c_str(), &st) != 0) return -1;
      if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
      }
    }
    canonical = r.canonical;
  }
  IoState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.cwd = canonical;
  return 0;
}

char* getcwd(char* buf, size_t size) {
  IoState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  if (buf == nullptr || s.cwd.size() + 1 > size) {
    errno = ERANGE;
    return nullptr;
  }
  std::memcpy(buf, s.cwd.c_str(), s.cwd.size() + 1);
  return buf;
}

namespace {

// Pages that the objects below `folder` fill: one header page per file, folder or other entry, and
// the data pages of each file. Symbolic links are counted as entries, never followed.
std::uint64_t PagesBelow(const std::string& folder, std::uint32_t page_size) {
  namespace fs = std::filesystem;
  std::uint64_t pages = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec)) {
    ++pages;
    struct ::stat st {};
    if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      pages += (static_cast<std::uint64_t>(st.st_size) + page_size - 1) / page_size;
    }
  }
  return pages;
}

}  // namespace

namespace io_internal {

bool FlashOverfull(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  const ssize_t n = ::readlink(link, target, sizeof target - 1);
  if (n <= 0) return false;
  const std::string file(target, static_cast<std::size_t>(n));
  Resolved r;
  if (!Resolve("/yaffs", r) || IsDevfs(r) || r.mount->read_only || !r.mount->mounted) return false;
  const std::string folder = MountFolder(*r.mount);
  if (file.compare(0, folder.size() + 1, folder + "/") != 0) return false;
  nand::Device* flash = nand::Lookup(nand::kFlashDeviceName);
  if (flash == nullptr || flash->PageSize() == 0 || flash->BlockSize() < flash->PageSize()) return false;
  const std::uint64_t pages_per_block = flash->BlockSize() / flash->PageSize();
  const std::uint64_t good_pages = nand::GoodBlocks(flash, nand::kFlashPartition) * pages_per_block;
  return PagesBelow(folder, flash->PageSize()) > good_pages;
}

}  // namespace io_internal

int GetBlockUsage(const char* path, BlockUsage* usage) {
  Resolved r;
  if (usage == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (!Resolve(path, r)) return -1;
  if (IsDevfs(r)) {
    errno = ENOTSUP;
    return -1;
  }
  const std::string folder = MountFolder(*r.mount);
  if (r.mount->read_only) {
    constexpr std::uint32_t kRomfsBlock = 1024;
    const std::uint64_t blocks = PagesBelow(folder, kRomfsBlock);
    *usage = BlockUsage{blocks, 0, kRomfsBlock};
    return 0;
  }
  nand::Device* flash = nand::Lookup(nand::kFlashDeviceName);
  if (flash == nullptr || flash->PageSize() == 0 || flash->BlockSize() < flash->PageSize()) {
    errno = ENODEV;
    return -1;
  }
  const std::uint64_t total = nand::GoodBlocks(flash, nand::kFlashPartition);
  const std::uint64_t pages_per_block = flash->BlockSize() / flash->PageSize();
  const std::uint64_t used = (PagesBelow(folder, flash->PageSize()) + pages_per_block - 1) / pages_per_block;
  *usage = BlockUsage{total, used >= total ? 0 : total - used, flash->BlockSize()};
  return 0;
}

}  // namespace platform
