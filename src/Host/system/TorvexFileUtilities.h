// File utilities of the firmware: sizes, whole-file reads and writes, copies, removal, directory
// creation and listing over the board's file systems (/yaffs, /romfs), and the flash usage figures.
//
// Callers: main (the saved log), the settings code (settings files) and the SCPI mass-memory commands
// (the user's files), from any application thread; none of the utilities locks or keeps state.
//
// Results are the application's error values: 0 success, 3 the data does not fit the caller's buffer,
// 9 a file or directory cannot be opened, found or examined, 11 writing failed, 12 reading failed
// (TorvexMakeDirectoryPath: 0 or -1). A failing C library call is reported on standard error as
// "<operation>: <error text>\n", never in the log.
//
// Paths are absolute; a path with a "." or ".." component is refused (EINVAL), so that a caller's
// prefix check ("/yaffs/user/...") cannot be walked around. Writes and copies go to a temporary file
// in the destination's folder that replaces the destination only when everything was written,
// flushed and closed: a failed write leaves the previous file as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Torvex {

// One file of a directory listing: its full path ("<listed directory>/<name>"), an empty type text
// and its size in bytes.
struct FileCatalogEntry {
  std::string path;
  std::string type;
  std::int32_t size;
};

// Result codes of the utilities.
inline constexpr int kFileOk = 0;
inline constexpr int kFileDoesNotFit = 3;
inline constexpr int kFileCannotOpen = 9;
inline constexpr int kFileWriteFailed = 11;
inline constexpr int kFileReadFailed = 12;

// Used and free bytes of /yaffs and the percentage used (truncated; 0 when the flash has no blocks).
// 9 when the usage of /yaffs cannot be asked (outputs untouched).
int TorvexGetFlashUsage(std::uint64_t& used_bytes, std::uint64_t& free_bytes, std::uint8_t& percent_used);

// The size of a file; 9 (size untouched) when it cannot be examined or does not fit 31 bits.
int TorvexGetFileSize(const char* path, std::int32_t& size);

// Reads element_count elements of element_size bytes into `buffer`: 3 when they do not fit
// `capacity` (the file is not opened), 9 when the file cannot be opened, 12 when fewer were read.
// The buffer is not terminated.
int TorvexReadFile(const char* path, void* buffer, std::size_t capacity, std::size_t element_size,
                   std::size_t element_count);

// Creates or replaces the file with the text: 0, 9 or 11.
int TorvexWriteTextFile(const char* path, const char* text);

// Creates or replaces the file with element_count elements of element_size bytes: 0, 9 or 11.
int TorvexWriteBinaryFile(const char* path, const void* data, std::size_t element_size, std::size_t element_count);

// Removes a file or an empty directory: 0 or 9.
int TorvexRemoveFile(const char* path);

// Copies `source` over `destination` (destination first): 0, 9, 11 or 12. Copying a file onto itself
// (the same path, or another path of the same file) changes nothing and returns 0.
int TorvexCopyFile(const char* destination, const char* source);

// Creates every missing directory of the path (at most 255 characters; one trailing "/" is allowed)
// with `mode`: 0, or -1 when a directory cannot be made or the path is too long. Prints nothing.
int TorvexMakeDirectoryPath(const char* path, unsigned int mode);

// Appends every regular file below `path` (depth first, in directory order) to `list`, emptied first
// when `clear` is set: 0, or 9 when a directory cannot be opened or read, or an entry examined (the
// entries already appended stay).
int TorvexListDirectory(const char* path, std::vector<FileCatalogEntry>& list, bool clear);

}  // namespace Torvex
