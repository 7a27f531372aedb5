// File I/O inside the board's namespace, devices as descriptors, and select() (see platform/io.h).
#include "platform/io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "io_internal.h"
#include "platform/bootloader.h"
#include "platform/devtab.h"
#include "platform/nand.h"
#include "select_internal.h"

namespace platform {
namespace {

struct MountPoint {
  const char* dir;     // "/romfs"
  const char* fstype;  // "romfs"
  const char* host;    // sub-folder of the root
  bool read_only;
  bool mounted;
};

struct IoState {
  std::mutex lock;
  std::string root = ".";
  MountPoint mounts[3] = {
      {"/romfs", "romfs", "romfs", true, false},
      {"/yaffs", "yaffs", "yaffs", false, false},
      {"/dev", "devfs", nullptr, false, false},
  };
  std::unordered_map<int, cyg_io_handle_t> devices;  // descriptor -> device
  std::string cwd = "/";                              // the firmware's current directory
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

struct Resolved {
  MountPoint* mount = nullptr;
  std::string rest;     // "/a/b" inside the mount, or "" for the mount's own folder
  std::string canonical;  // the normalised firmware path
};

// Normalised components of a firmware path (relative ones from the current directory).
bool Components(const char* path, std::string& absolute, std::vector<std::string_view>& parts) {
  if (!Absolute(State(), path, absolute) || !Normalise(absolute.c_str(), parts)) {
    errno = ENOENT;
    return false;
  }
  return true;
}

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

bool IsDevfs(const Resolved& r) { return r.mount->host == nullptr; }

cyg_io_handle_t DeviceOf(int fd) {
  IoState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  auto it = s.devices.find(fd);
  return it == s.devices.end() ? 0 : it->second;
}

bool WantsWrite(int flags) {
  return (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_APPEND)) != 0;
}

}  // namespace

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

int open(const char* path, int flags, mode_t mode) {
  Resolved r;
  if (!Resolve(path, r)) return -1;
  if (IsDevfs(r)) {
    cyg_io_handle_t h = 0;
    const std::string name = "/dev" + r.rest;
    const Cyg_ErrNo err = cyg_io_lookup(name.c_str(), &h);
    if (err != 0) {
      errno = -err;
      return -1;
    }
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return -1;
    IoState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.devices[fd] = h;
    return fd;
  }
  if (WantsWrite(flags) && r.mount->read_only) {
    errno = EROFS;
    return -1;
  }
  auto host = HostOf(r);
  return host ? ::open(host->c_str(), flags | O_CLOEXEC, mode) : -1;
}

int close(int fd) {
  {
    IoState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.devices.erase(fd);
  }
  return ::close(fd);
}

ssize_t read(int fd, void* buf, size_t len) {
  if (cyg_io_handle_t h = DeviceOf(fd)) {
    cyg_uint32 n = static_cast<cyg_uint32>(len);
    const Cyg_ErrNo err = cyg_io_read(h, buf, &n);
    if (err < 0) {
      errno = -err;
      return -1;
    }
    return n;
  }
  return ::read(fd, buf, len);
}

ssize_t write(int fd, const void* buf, size_t len) {
  if (cyg_io_handle_t h = DeviceOf(fd)) {
    cyg_uint32 n = static_cast<cyg_uint32>(len);
    const Cyg_ErrNo err = cyg_io_write(h, buf, &n);
    if (err < 0) {
      errno = -err;
      return -1;
    }
    return n;
  }
  return ::write(fd, buf, len);
}

off_t lseek(int fd, off_t offset, int whence) {
  if (DeviceOf(fd) != 0) {
    errno = ESPIPE;
    return -1;
  }
  return ::lseek(fd, offset, whence);
}

int fsync(int fd) { return DeviceOf(fd) != 0 ? 0 : ::fsync(fd); }

int fstat(int fd, struct stat* st) { return ::fstat(fd, st); }

int stat(const char* path, struct stat* st) {
  if (IsNamespaceRoot(path)) {
    std::memset(st, 0, sizeof(*st));
    st->st_mode = S_IFDIR | 0755;
    return 0;
  }
  Resolved r;
  if (!Resolve(path, r)) return -1;
  if (IsDevfs(r)) {
    const std::string name = "/dev" + r.rest;
    if (r.rest.empty() || platform::devtab::Find(name.c_str()) == nullptr) {
      if (!r.rest.empty()) {
        errno = ENOENT;
        return -1;
      }
    }
    std::memset(st, 0, sizeof(*st));
    st->st_mode = r.rest.empty() ? (S_IFDIR | 0755) : (S_IFCHR | 0666);
    return 0;
  }
  auto host = HostOf(r);
  return host ? ::stat(host->c_str(), st) : -1;
}

namespace {

// The host path of an entry that is to be removed or replaced. A mount's own folder is refused
// (EBUSY): removing it would take the whole file system away ("/yaffs//" is a path below "/yaffs/").
std::optional<std::string> EntryHostPath(const char* path) {
  Resolved r;
  if (Resolve(path, r) && !IsDevfs(r) && r.rest.empty()) {
    errno = EBUSY;
    return std::nullopt;
  }
  return HostPath(path, true);
}

}  // namespace

int unlink(const char* path) {
  auto host = EntryHostPath(path);
  return host ? ::unlink(host->c_str()) : -1;
}

int rename(const char* from, const char* to) {
  auto a = EntryHostPath(from);
  if (!a) return -1;
  auto b = EntryHostPath(to);
  if (!b) return -1;
  return ::rename(a->c_str(), b->c_str());
}

int mkdir(const char* path, mode_t mode) {
  auto host = HostPath(path, true);
  return host ? ::mkdir(host->c_str(), mode) : -1;
}

int rmdir(const char* path) {
  auto host = EntryHostPath(path);
  return host ? ::rmdir(host->c_str()) : -1;
}

int remove(const char* path) {
  auto host = EntryHostPath(path);
  return host ? std::remove(host->c_str()) : -1;
}

DIR* opendir(const char* path) {
  auto host = HostPath(path, false);
  return host ? ::opendir(host->c_str()) : nullptr;
}

struct dirent* readdir(DIR* dir) { return ::readdir(dir); }

int closedir(DIR* dir) { return ::closedir(dir); }

FILE* fopen(const char* path, const char* mode) {
  if (mode == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  const bool writing = std::strpbrk(mode, "wa+") != nullptr;
  auto host = HostPath(path, writing);
  return host ? std::fopen(host->c_str(), mode) : nullptr;
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

namespace io_internal {

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

unsigned long DeviceHandle(int fd) { return DeviceOf(fd); }

int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout) {
  using Clock = std::chrono::steady_clock;
  const bool infinite = timeout == nullptr;
  if (nfds < 0 || nfds > FD_SETSIZE || (!infinite && (timeout->tv_sec < 0 || timeout->tv_usec < 0))) {
    errno = EINVAL;
    return -1;
  }
  Clock::time_point deadline = Clock::time_point::max();
  if (!infinite) {
    // A time-out beyond the clock's range waits as long as it can (no wrap into the past).
    const Clock::time_point now = Clock::now();
    const auto room = std::chrono::duration_cast<std::chrono::seconds>(Clock::time_point::max() - now).count() - 1;
    const long long seconds = static_cast<long long>(timeout->tv_sec) + timeout->tv_usec / 1000000;
    if (seconds < room) {
      deadline = now + std::chrono::seconds(seconds) + std::chrono::microseconds(timeout->tv_usec % 1000000);
    }
  }
  const selectwait::Waiter& waiter = selectwait::ThisThreadWaiter();

  struct Want {
    int fd;
    cyg_io_handle_t device;
    bool r, w, e;
  };
  std::vector<Want> wants;
  for (int fd = 0; fd < nfds; ++fd) {
    const bool r = readfds != nullptr && FD_ISSET(fd, readfds);
    const bool w = writefds != nullptr && FD_ISSET(fd, writefds);
    const bool e = exceptfds != nullptr && FD_ISSET(fd, exceptfds);
    if (r || w || e) wants.push_back(Want{fd, DeviceOf(fd), r, w, e});
  }
  // A descriptor that is not open is refused before any device is asked, so that no device event
  // is consumed by a call that fails.
  for (const Want& want : wants) {
    if (want.device == 0 && ::fcntl(want.fd, F_GETFD) < 0) {
      errno = EBADF;
      return -1;
    }
  }

  for (;;) {
    selectwait::Drain(waiter);
    fd_set ro, wo, eo;
    FD_ZERO(&ro);
    FD_ZERO(&wo);
    FD_ZERO(&eo);
    int ready = 0;
    std::vector<pollfd> polls;
    std::vector<const Want*> polled;
    for (const Want& want : wants) {
      if (want.device != 0) {
        const auto info = static_cast<cyg_addrword_t>(waiter.id);
        if (want.r && cyg_io_select(want.device, CYG_FREAD, info)) { FD_SET(want.fd, &ro); ++ready; }
        if (want.w && cyg_io_select(want.device, CYG_FWRITE, info)) { FD_SET(want.fd, &wo); ++ready; }
        if (want.e && cyg_io_select(want.device, 0, info)) { FD_SET(want.fd, &eo); ++ready; }
      } else {
        short events = 0;
        if (want.r) events |= POLLIN;
        if (want.w) events |= POLLOUT;
        if (want.e) events |= POLLPRI;
        polls.push_back(pollfd{want.fd, events, 0});
        polled.push_back(&want);
      }
    }
    polls.push_back(pollfd{waiter.event_fd, POLLIN, 0});

    int wait_ms = 0;
    if (ready == 0) {
      if (infinite) {
        wait_ms = -1;
      } else {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        wait_ms = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left + 1, 1 << 30));
      }
    }
    const int n = ::poll(polls.data(), polls.size(), wait_ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    for (std::size_t k = 0; k + 1 < polls.size(); ++k) {
      const pollfd& p = polls[k];
      const Want& want = *polled[k];
      if (p.revents & POLLNVAL) {
        // Closed while we waited. Events the devices gave up in this pass are reported, not lost.
        if (ready > 0) continue;
        errno = EBADF;
        return -1;
      }
      if (want.r && (p.revents & (POLLIN | POLLHUP | POLLERR))) { FD_SET(want.fd, &ro); ++ready; }
      if (want.w && (p.revents & (POLLOUT | POLLERR))) { FD_SET(want.fd, &wo); ++ready; }
      if (want.e && (p.revents & POLLPRI)) { FD_SET(want.fd, &eo); ++ready; }
    }
    if (ready > 0 || (!infinite && Clock::now() >= deadline)) {
      if (readfds != nullptr) *readfds = ro;
      if (writefds != nullptr) *writefds = wo;
      if (exceptfds != nullptr) *exceptfds = eo;
      return ready;
    }
    // Woken by a device (or by nothing, at a time-out rounding): ask the devices again.
  }
}

// --- select waiters --------------------------------------------------------------------------------

namespace selectwait {
namespace {

struct Registry {
  std::mutex lock;
  std::unordered_map<std::uint64_t, int> live;  // id -> eventfd
  std::uint64_t next = 1;
};

Registry& TheRegistry() {
  static Registry* r = new Registry;
  return *r;
}

struct ThreadWaiter {
  Waiter waiter{0, -1};
  ~ThreadWaiter() {
    if (waiter.event_fd < 0) return;
    Registry& r = TheRegistry();
    {
      std::lock_guard<std::mutex> g(r.lock);
      r.live.erase(waiter.id);
    }
    ::close(waiter.event_fd);
  }
};

thread_local ThreadWaiter t_waiter;

void Signal(int fd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

}  // namespace

std::mutex& Lock() { return TheRegistry().lock; }

void WakeLocked(std::uint64_t id) {
  Registry& r = TheRegistry();
  auto it = r.live.find(id);
  if (it != r.live.end()) Signal(it->second);
}

void WakeAllLocked() {
  for (auto& [id, fd] : TheRegistry().live) Signal(fd);
}

const Waiter& ThisThreadWaiter() {
  if (t_waiter.waiter.event_fd < 0) {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
      std::perror("select: eventfd");
      std::abort();
    }
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    t_waiter.waiter = Waiter{r.next++, fd};
    r.live[t_waiter.waiter.id] = fd;
  }
  return t_waiter.waiter;
}

void Drain(const Waiter& waiter) {
  std::uint64_t value = 0;
  [[maybe_unused]] ssize_t n = ::read(waiter.event_fd, &value, sizeof value);
}

}  // namespace selectwait
}  // namespace platform
