// The file calls inside the board's namespace, devices as descriptors (see platform/io.h).
#include "platform/io.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "io_internal.h"
#include "platform/devtab.h"
#include "platform/nand.h"

namespace platform {

using namespace io_internal;

namespace {

bool WantsWrite(int flags) { return (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_APPEND)) != 0; }

bool PathOnFlash(const char* path) {
  Resolved r;
  const int saved = errno;
  const bool on = Resolve(path, r) && OnFlash(r);
  errno = saved;
  return on;
}

// The flash's bus for one access when `on_flash` holds.
struct MaybeFlashAccess {
  explicit MaybeFlashAccess(bool on_flash) {
    if (on_flash) access.emplace();
  }
  std::optional<nand::FlashAccess> access;
};

// Streams on the flash: their reads, writes and seeks go through the descriptor calls, which hold the
// bus for each access.
ssize_t StreamRead(void* cookie, char* buf, size_t size) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
  return platform::read(fd, buf, size);
}
ssize_t StreamWrite(void* cookie, const char* buf, size_t size) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
  const ssize_t n = platform::write(fd, buf, size);
  return n < 0 ? 0 : n;  // a stream's write reports an error as 0 bytes written
}
int StreamSeek(void* cookie, off64_t* offset, int whence) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
  const off_t at = platform::lseek(fd, static_cast<off_t>(*offset), whence);
  if (at < 0) return -1;
  *offset = at;
  return 0;
}
// The descriptor under each open flash stream, for fileno(); a stream forgets it when it closes.
std::mutex g_stream_lock;
std::unordered_map<FILE*, int> g_stream_descriptors;

int StreamClose(void* cookie) {
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
  {
    std::lock_guard<std::mutex> g(g_stream_lock);
    for (auto it = g_stream_descriptors.begin(); it != g_stream_descriptors.end(); ++it) {
      if (it->second == fd) {
        g_stream_descriptors.erase(it);
        break;
      }
    }
  }
  return platform::close(fd);
}

// fopen's mode as open flags.
bool ModeFlags(const char* mode, int& flags) {
  const bool plus = std::strchr(mode, '+') != nullptr;
  switch (mode[0]) {
    case 'r': flags = plus ? O_RDWR : O_RDONLY; return true;
    case 'w': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; return true;
    case 'a': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; return true;
    default: return false;
  }
}

}  // namespace

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
    AddDevice(fd, h);
    return fd;
  }
  if (WantsWrite(flags) && r.mount->read_only) {
    errno = EROFS;
    return -1;
  }
  auto host = HostOf(r);
  if (!host) return -1;
  if (!OnFlash(r)) return ::open(host->c_str(), flags | O_CLOEXEC, mode);
  int fd = -1;
  {
    nand::FlashAccess access;
    fd = ::open(host->c_str(), flags | O_CLOEXEC, mode);
  }
  if (fd >= 0) AddFlashFile(fd);
  return fd;
}

int close(int fd) {
  RemoveDevice(fd);
  RemoveFlashFile(fd);
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
  MaybeFlashAccess access(IsFlashFile(fd));
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
  MaybeFlashAccess access(IsFlashFile(fd));
  return ::write(fd, buf, len);
}

off_t lseek(int fd, off_t offset, int whence) {
  if (DeviceOf(fd) != 0) {
    errno = ESPIPE;
    return -1;
  }
  return ::lseek(fd, offset, whence);
}

// Writes reach the flash's backing folder at once; the flash's size is enforced when the writer
// syncs, which every writer of the firmware does before it renames its temporary file over the old
// one: a file that does not fit fails as on a full flash, and the old file stays.
int fsync(int fd) {
  if (DeviceOf(fd) != 0) return 0;
  if (io_internal::FlashOverfull(fd)) {
    errno = ENOSPC;
    return -1;
  }
  MaybeFlashAccess access(IsFlashFile(fd));
  return ::fsync(fd);
}

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
  if (!host) return -1;
  MaybeFlashAccess access(PathOnFlash(path));
  return ::unlink(host->c_str());
}

int rename(const char* from, const char* to) {
  auto a = EntryHostPath(from);
  if (!a) return -1;
  auto b = EntryHostPath(to);
  if (!b) return -1;
  MaybeFlashAccess access(PathOnFlash(from) || PathOnFlash(to));
  return ::rename(a->c_str(), b->c_str());
}

int mkdir(const char* path, mode_t mode) {
  auto host = HostPath(path, true);
  if (!host) return -1;
  MaybeFlashAccess access(PathOnFlash(path));
  return ::mkdir(host->c_str(), mode);
}

int rmdir(const char* path) {
  auto host = EntryHostPath(path);
  if (!host) return -1;
  MaybeFlashAccess access(PathOnFlash(path));
  return ::rmdir(host->c_str());
}

int remove(const char* path) {
  auto host = EntryHostPath(path);
  if (!host) return -1;
  MaybeFlashAccess access(PathOnFlash(path));
  return std::remove(host->c_str());
}

DIR* opendir(const char* path) {
  auto host = HostPath(path, false);
  return host ? ::opendir(host->c_str()) : nullptr;
}

struct dirent* readdir(DIR* dir) {
  return ::readdir(dir);
}

int closedir(DIR* dir) { return ::closedir(dir); }

FILE* fopen(const char* path, const char* mode) {
  if (mode == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  const bool writing = std::strpbrk(mode, "wa+") != nullptr;
  auto host = HostPath(path, writing);
  if (!host) return nullptr;
  if (!PathOnFlash(path)) return std::fopen(host->c_str(), mode);
  // On the flash: a stream over a descriptor of ours, so that each of its accesses holds the bus.
  int flags = 0;
  if (!ModeFlags(mode, flags)) {
    errno = EINVAL;
    return nullptr;
  }
  const int fd = platform::open(path, flags, 0644);
  if (fd < 0) return nullptr;
  const cookie_io_functions_t io = {StreamRead, StreamWrite, StreamSeek, StreamClose};
  FILE* f = ::fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), mode, io);
  if (f == nullptr) {
    platform::close(fd);
    return nullptr;
  }
  std::lock_guard<std::mutex> g(g_stream_lock);
  g_stream_descriptors[f] = fd;
  return f;
}

int fileno(FILE* stream) {
  {
    std::lock_guard<std::mutex> g(g_stream_lock);
    const auto it = g_stream_descriptors.find(stream);
    if (it != g_stream_descriptors.end()) return it->second;
  }
  return ::fileno(stream);
}

unsigned long DeviceHandle(int fd) { return DeviceOf(fd); }

}  // namespace platform
