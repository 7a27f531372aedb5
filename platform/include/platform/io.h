// File I/O of the firmware: the POSIX calls the firmware makes, inside the board's own namespace.
//
// Paths are paths of the firmware: /romfs (read-only, from <root>/romfs), /yaffs (the flash, from
// <root>/yaffs) and /dev (the device table). Each file system is reachable once mounted. A relative
// path is taken from the firmware's current directory (chdir; "/" at first). Paths are normalised
// ("." and ".." resolved, repeated "/" folded) inside this namespace; nothing outside <root> is ever
// reached: a path that climbs above "/" is refused, and so is a host symbolic link met below a mount's
// folder (ELOOP), since the firmware's file systems have none. "/" itself is a directory that only
// stat and chdir accept. Errors are reported as in POSIX: -1 (or nullptr) with errno set.
//
// Mount devices: /romfs takes the ROMFS image's address printed with "%p" (the address that the boot
// loader's item 2 gives, platform/bootloader.h); /yaffs takes "onboard/0", partition 0 of the NAND
// device "onboard" (platform/nand.h). A device that names something else is refused (ENODEV); an
// empty device name, and any name for /yaffs while no NAND device is registered, are accepted.
//
// Descriptors are real host descriptors: a file's is the host file's, an opened device's is an
// eventfd standing in for it, so one select() can wait on devices, files and sockets together.
#pragma once

#include <dirent.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
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

// The firmware's current directory (process-wide, like the host's).
int chdir(const char* path);
// Copies the current directory into `buf`; nullptr with ERANGE when it does not fit.
char* getcwd(char* buf, size_t size);

// Block usage of a mounted file system. /yaffs: the good blocks of its NAND partition and those its
// files and directories do not fill (ENODEV while no NAND device is registered). /romfs: its content,
// with no free blocks. /dev: ENOTSUP.
struct BlockUsage {
  std::uint64_t total_blocks;
  std::uint64_t free_blocks;
  std::uint32_t block_size;  // bytes
};
int GetBlockUsage(const char* path, BlockUsage* usage);

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
// Removes a file or an empty directory (C remove()).
int remove(const char* path);
DIR* opendir(const char* path);
struct dirent* readdir(DIR* dir);
int closedir(DIR* dir);
FILE* fopen(const char* path, const char* mode);
// The descriptor of a stream opened by fopen above (a flash stream's own descriptor, which fsync and
// fstat take), or of any other stream.
int fileno(FILE* stream);

// select() over devices, files and sockets. Device descriptors ask their driver's select handler,
// and a device reported ready has consumed its event where the driver says so. Retries after EINTR.
int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout);

// The device table handle behind a descriptor opened on /dev, or 0.
unsigned long DeviceHandle(int fd);

}  // namespace platform
