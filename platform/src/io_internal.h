// Inside the file layer: the board's path namespace and mounts (mounts.cpp), used by the file calls
// (io.cpp), select (select.cpp) and the NAND layer.
#pragma once

#include <optional>
#include <string>

#include "platform/devtab.h"

namespace platform::io_internal {

struct MountPoint {
  const char* dir;     // "/romfs"
  const char* fstype;  // "romfs"
  const char* host;    // sub-folder of the root, or nullptr for the device table
  bool read_only;
  bool mounted;
};

// A firmware path resolved to its mount.
struct Resolved {
  MountPoint* mount = nullptr;
  std::string rest;       // "/a/b" inside the mount, or "" for the mount's own folder
  std::string canonical;  // the normalised firmware path
};

// Resolves a firmware path (relative ones from the current directory); false with errno set.
bool Resolve(const char* path, Resolved& out);
// True for the namespace root "/" (any spelling of it).
bool IsNamespaceRoot(const char* path);
inline bool IsDevfs(const Resolved& r) { return r.mount->host == nullptr; }
// The host folder that backs a mount.
std::string MountFolder(const MountPoint& m);
// The host path of a resolved file path; refuses symbolic links below the mount's folder (ELOOP).
std::optional<std::string> HostOf(const Resolved& r);

// Descriptors opened on devices: open() records them, close() forgets them.
void AddDevice(int fd, cyg_io_handle_t device);
void RemoveDevice(int fd);
// The device behind a descriptor, or 0 for a host descriptor.
cyg_io_handle_t DeviceOf(int fd);

// True for a path on the flash file system.
inline bool OnFlash(const Resolved& r) { return r.mount->host != nullptr && std::string(r.mount->fstype) == "yaffs"; }
// Descriptors opened on the flash file system (their accesses hold the bus, platform/nand.h).
void AddFlashFile(int fd);
void RemoveFlashFile(int fd);
bool IsFlashFile(int fd);

// True when `fd` is a file of the flash file system and the flash holds more than its good blocks
// can: the write that brought it there has to fail as on a full flash.
bool FlashOverfull(int fd);

// Called after a good block of the flash file system's partition was erased: /yaffs's backing
// folder is emptied (the file system is found empty at its next mount).
void FlashContentLost();

}  // namespace platform::io_internal
