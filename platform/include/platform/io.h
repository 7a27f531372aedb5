// File I/O of the firmware: the POSIX calls the firmware makes, inside the board's own namespace.
//
// Paths are absolute paths of the firmware: /romfs (read-only, from <root>/romfs), /yaffs (the flash,
// from <root>/yaffs) and /dev (the device table). Each file system is reachable once mounted. Paths
// are normalised ("." and ".." resolved, repeated "/" folded) inside this namespace; nothing outside
// <root> is ever reached. Errors are reported as in POSIX: -1 (or nullptr) with errno set.
//
// Descriptors are real host descriptors: a file's is the host file's, an opened device's is an
// eventfd standing in for it, so one select() can wait on devices, files and sockets together.
#pragma once

#include <dirent.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <optional>
#include <string>

namespace platform {

// The board root folder (set once by the board before the firmware runs).
void SetBoardRoot(const std::string& root);
const std::string& BoardRoot();

// Mounting. `fstype` is "romfs", "yaffs" or "devfs"; `dir` is "/romfs", "/yaffs" or "/dev".
int mount(const char* device, const char* dir, const char* fstype);
int umount(const char* dir);
bool IsMounted(const char* dir);

// The host path of a firmware path, or nothing (errno set) when the path is outside every mounted
// file system or is not a file path (devices have no host path).
std::optional<std::string> HostPath(const char* path, bool for_writing);

int open(const char* path, int flags, mode_t mode = 0644);
int close(int fd);
ssize_t read(int fd, void* buf, size_t len);
ssize_t write(int fd, const void* buf, size_t len);
off_t lseek(int fd, off_t offset, int whence);
int fsync(int fd);
int fstat(int fd, struct stat* st);
int stat(const char* path, struct stat* st);
int unlink(const char* path);
int rename(const char* from, const char* to);
int mkdir(const char* path, mode_t mode = 0755);
int rmdir(const char* path);
DIR* opendir(const char* path);
struct dirent* readdir(DIR* dir);
int closedir(DIR* dir);
FILE* fopen(const char* path, const char* mode);

// select() over devices, files and sockets. Device descriptors ask their driver's select handler,
// and a device reported ready has consumed its event where the driver says so. Retries after EINTR.
int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout);

// The device table handle behind a descriptor opened on /dev, or 0.
unsigned long DeviceHandle(int fd);

}  // namespace platform
