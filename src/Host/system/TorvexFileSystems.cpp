// Mounting, the flash tree check and unmounting (see TorvexFileSystems.h).
#include "system/TorvexFileSystems.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/CLogger.h"
#include "core/TemporaryFiles.h"
#include "platform/bootloader.h"
#include "platform/io.h"
#include "platform/nand.h"
#include "system/CTorvexPower.h"
#include "system/TorvexFileUtilities.h"

namespace Torvex {
namespace {

constexpr const char* kFlashDevice = "onboard/0";

// Erases every block of the flash file system's partition, bad blocks refused by the NAND layer.
void EraseFlashPartition() {
  platform::nand::Device* nand = platform::nand::Lookup(platform::nand::kFlashDeviceName);
  platform::nand::Partition partition{};
  if (nand == nullptr || platform::nand::GetPartition(nand, platform::nand::kFlashPartition, &partition) != 0) {
    return;
  }
  for (std::uint64_t block = partition.first_block; block <= partition.last_block; ++block) {
    platform::nand::EraseBlock(nand, platform::nand::kFlashPartition, static_cast<std::uint32_t>(block));
  }
}

// Removes the temporary files that writes cut off by a power cut left in `directory` and below.
void RemoveUnfinishedWrites(const std::string& directory) {
  DIR* dir = platform::opendir(directory.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> temporary;
  std::vector<std::string> folders;
  while (const struct dirent* entry = platform::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string full = directory + "/" + name;
    struct stat st {};
    if (platform::stat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      folders.push_back(full);
    } else if (IsTemporaryFileName(name)) {
      temporary.push_back(full);
    }
  }
  platform::closedir(dir);
  for (const std::string& file : temporary) {
    g_Logger.Printf("Removing unfinished write %s\n", file.c_str());
    platform::unlink(file.c_str());
  }
  for (const std::string& folder : folders) RemoveUnfinishedWrites(folder);
}

}  // namespace

void TorvexMountFileSystems() {
  g_Logger.Printf("Mounting ROMFS...\n");
  platform::bootloader::Item item{};
  if (platform::bootloader::QueryItem(platform::bootloader::kItemRomfsImage, &item) != 0 || item.valid == 0 ||
      item.address == 0) {
    TorvexPanic();
    return;
  }
  char device[32];
  std::snprintf(device, sizeof device, "%p", reinterpret_cast<void*>(item.address));
  if (platform::mount(device, "/romfs", "romfs") != 0) {
    TorvexPanic();
    return;
  }

  g_Logger.Printf("Mounting YAFFS...\n");
  if (platform::mount(kFlashDevice, "/yaffs", "yaffs") != 0) {
    TorvexPanic();
    return;
  }
  if (TorvexCheckDirectoryTree("/yaffs") == 0) {
    RemoveUnfinishedWrites("/yaffs");
    return;
  }

  // The tree cannot be read: recreate the flash file system. Every file on it is lost.
  platform::umount("/yaffs");
  EraseFlashPartition();
  if (platform::mount(kFlashDevice, "/yaffs", "yaffs") != 0) TorvexPanic();
}

int TorvexUnmountFileSystems() {
  platform::chdir("/");
  g_Logger.Printf("Unmounting ROMFS...\n");
  platform::umount("/romfs");
  g_Logger.Printf("Unmounting YAFFS...\n");
  return platform::umount("/yaffs");
}

int TorvexCheckDirectoryTree(const char* path) {
  if (platform::chdir(path) != 0) return kFileCannotOpen;
  int result = kFileOk;
  if (DIR* dir = platform::opendir(".")) {
    while (const struct dirent* entry = platform::readdir(dir)) {
      struct stat st {};
      if (platform::stat(entry->d_name, &st) != 0) {
        result = kFileCannotOpen;
        break;
      }
      if (S_ISDIR(st.st_mode) && std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
        result = TorvexCheckDirectoryTree(entry->d_name);
        if (result != kFileOk) break;
      }
    }
    platform::closedir(dir);
  }
  platform::chdir("..");
  return result;
}

}  // namespace Torvex
