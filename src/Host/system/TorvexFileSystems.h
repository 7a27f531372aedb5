// Mounting and unmounting of the board's file systems: the read-only ROMFS image at /romfs and the
// flash file system at /yaffs, which is erased and mounted empty when its directory tree cannot be
// walked.
//
// Callers: main, once at start-up (after the boot condition has been read, before any other thread
// uses relative paths: the tree check moves the process's current directory) and once at shut-down.
#pragma once

namespace Torvex {

// Returns once /romfs and /yaffs are mounted; panics (TorvexPanic) when it cannot mount them.
void TorvexMountFileSystems();

// Unmounts /romfs and /yaffs; the result of unmounting /yaffs (0 on success).
int TorvexUnmountFileSystems();

// 0 when every entry of the tree below `path` can be examined, else 9. Leaves the current directory
// at the parent of `path`.
int TorvexCheckDirectoryTree(const char* path);

}  // namespace Torvex
