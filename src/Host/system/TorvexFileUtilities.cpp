// File utilities (see TorvexFileUtilities.h).
#include "system/TorvexFileUtilities.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <limits>
#include <memory>
#include <string_view>

#include "core/TemporaryFiles.h"
#include "platform/io.h"

namespace Torvex {
namespace {

// The C library's text for an error number, whichever strerror_r the library offers.
[[maybe_unused]] const char* PickText(int, const char* buffer) { return buffer; }
[[maybe_unused]] const char* PickText(const char* text, const char*) { return text; }

// "<operation>: <error text>" on standard error, with the current error number.
void Report(const char* operation) {
  const int err = errno;
  char buffer[128] = {};
  std::fprintf(stderr, "%s: %s\n", operation, PickText(strerror_r(err, buffer, sizeof buffer), buffer));
  errno = err;
}

// Reports and throws: the utilities catch their own value at their end.
[[noreturn]] void Fail(const char* operation, int result) {
  Report(operation);
  throw result;
}

// An absolute path without "." or ".." components.
bool IsPlainAbsolutePath(const char* path) {
  if (path == nullptr || path[0] != '/') return false;
  std::string_view p(path);
  std::size_t i = 0;
  while (i < p.size()) {
    const std::size_t end = std::min(p.find('/', i), p.size());
    const std::string_view part = p.substr(i, end - i);
    if (part == "." || part == "..") return false;
    i = end + 1;
  }
  return true;
}

void RequirePlainPath(const char* path, const char* operation, int result) {
  if (!IsPlainAbsolutePath(path)) {
    errno = EINVAL;
    Fail(operation, result);
  }
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct DirCloser {
  void operator()(DIR* d) const { platform::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// A new file beside the destination that replaces it on Commit; removed when not committed.
class TempFile {
 public:
  explicit TempFile(const char* destination) : m_Destination(destination) {}
  ~TempFile() {
    if (m_File != nullptr) std::fclose(m_File);
    if (!m_Temp.empty() && !m_Committed) platform::unlink(m_Temp.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Creates a temporary file of a name nobody uses; false with errno set.
  bool Open() {
    // A folder cannot be written as a file (the rename would fail only after the writing).
    struct stat st {};
    if (platform::stat(m_Destination.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      return false;
    }
    for (unsigned n = 0; n < 100; ++n) {
      std::string name = TemporaryFileName(m_Destination, n);
      const int fd = platform::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return false;
      }
      m_File = ::fdopen(fd, "wb");
      if (m_File == nullptr) {
        const int err = errno;
        platform::close(fd);
        platform::unlink(name.c_str());
        errno = err;
        return false;
      }
      m_Temp = std::move(name);
      return true;
    }
    errno = EEXIST;
    return false;
  }

  std::FILE* File() const { return m_File; }

  // Flushes, syncs and closes the temporary file and renames it over the destination.
  void Commit() {
    std::FILE* f = m_File;
    m_File = nullptr;
    const bool flushed = std::fflush(f) == 0 && platform::fsync(platform::fileno(f)) == 0;
    const int flush_errno = errno;
    const bool closed = std::fclose(f) == 0;
    if (!flushed || !closed) {
      if (!flushed) errno = flush_errno;
      Fail("fclose failed", kFileWriteFailed);
    }
    if (platform::rename(m_Temp.c_str(), m_Destination.c_str()) != 0) Fail("rename failed", kFileWriteFailed);
    m_Committed = true;
  }

 private:
  std::string m_Destination;
  std::string m_Temp;
  std::FILE* m_File = nullptr;
  bool m_Committed = false;
};

}  // namespace

int TorvexGetFlashUsage(std::uint64_t& used_bytes, std::uint64_t& free_bytes, std::uint8_t& percent_used) {
  platform::BlockUsage usage{};
  if (platform::GetBlockUsage("/yaffs", &usage) != 0) return kFileCannotOpen;
  const std::uint64_t free_blocks = std::min(usage.free_blocks, usage.total_blocks);
  const std::uint64_t used_blocks = usage.total_blocks - free_blocks;
  used_bytes = used_blocks * usage.block_size;
  free_bytes = free_blocks * usage.block_size;
  // A flash without blocks is 0 % used (no division by zero).
  percent_used = usage.total_blocks == 0 ? 0 : static_cast<std::uint8_t>(used_blocks * 100 / usage.total_blocks);
  return kFileOk;
}

int TorvexGetFileSize(const char* path, std::int32_t& size) {
  try {
    RequirePlainPath(path, "stat failed on given file", kFileCannotOpen);
    struct stat st {};
    if (platform::stat(path, &st) != 0) Fail("stat failed on given file", kFileCannotOpen);
    if (st.st_size > std::numeric_limits<std::int32_t>::max()) {
      errno = EFBIG;
      Fail("stat failed on given file", kFileCannotOpen);
    }
    size = static_cast<std::int32_t>(st.st_size);
    return kFileOk;
  } catch (int result) {
    return result;
  }
}

int TorvexReadFile(const char* path, void* buffer, std::size_t capacity, std::size_t element_size,
                   std::size_t element_count) {
  // Compared by division: the product may not fit a size_t.
  if (element_size != 0 && element_count > capacity / element_size) return kFileDoesNotFit;
  try {
    RequirePlainPath(path, "fopen failed", kFileCannotOpen);
    FilePtr file(platform::fopen(path, "r"));
    if (!file) Fail("fopen failed", kFileCannotOpen);
    if (std::fread(buffer, element_size, element_count, file.get()) < element_count) {
      Fail("fread failed", kFileReadFailed);
    }
    return kFileOk;
  } catch (int result) {
    return result;
  }
}

int TorvexWriteTextFile(const char* path, const char* text) {
  try {
    RequirePlainPath(path, "fopen failed", kFileCannotOpen);
    if (text == nullptr) {
      errno = EINVAL;
      Fail("fprintf failed", kFileWriteFailed);
    }
    TempFile file(path);
    if (!file.Open()) Fail("fopen failed", kFileCannotOpen);
    if (std::fprintf(file.File(), "%s", text) < 0) Fail("fprintf failed", kFileWriteFailed);
    file.Commit();
    return kFileOk;
  } catch (int result) {
    return result;
  }
}

int TorvexWriteBinaryFile(const char* path, const void* data, std::size_t element_size, std::size_t element_count) {
  try {
    RequirePlainPath(path, "fopen failed", kFileCannotOpen);
    const bool too_large = element_size != 0 && element_count > std::numeric_limits<std::size_t>::max() / element_size;
    if (too_large || (data == nullptr && element_size != 0 && element_count != 0)) {
      errno = EINVAL;
      Fail("fwrite failed", kFileWriteFailed);
    }
    TempFile file(path);
    if (!file.Open()) Fail("fopen failed", kFileCannotOpen);
    if (element_size != 0 && element_count != 0 &&
        std::fwrite(data, element_size, element_count, file.File()) < element_count) {
      Fail("fwrite failed", kFileWriteFailed);
    }
    file.Commit();
    return kFileOk;
  } catch (int result) {
    return result;
  }
}

int TorvexRemoveFile(const char* path) {
  try {
    RequirePlainPath(path, "remove failed", kFileCannotOpen);
    if (platform::remove(path) != 0) Fail("remove failed", kFileCannotOpen);
    return kFileOk;
  } catch (int result) {
    return result;
  }
}

int TorvexCopyFile(const char* destination, const char* source) {
  if (destination != nullptr && source != nullptr && std::strcmp(destination, source) == 0) return kFileOk;
  try {
    RequirePlainPath(source, "TorvexCopyFile: Opening Source", kFileCannotOpen);
    RequirePlainPath(destination, "TorvexCopyFile: Opening Destination", kFileCannotOpen);
    FilePtr in(platform::fopen(source, "rb"));
    if (!in) Fail("TorvexCopyFile: Opening Source", kFileCannotOpen);

    // Another spelling of the same file: copying would only rewrite it.
    struct stat src {
    }, dst{};
    if (platform::fstat(platform::fileno(in.get()), &src) == 0 && platform::stat(destination, &dst) == 0 &&
        src.st_dev == dst.st_dev && src.st_ino == dst.st_ino) {
      return kFileOk;
    }

    TempFile out(destination);
    if (!out.Open()) Fail("TorvexCopyFile: Opening Destination", kFileCannotOpen);
    char buffer[4096];
    bool write_failed = false;
    for (;;) {
      const std::size_t n = std::fread(buffer, 1, sizeof buffer, in.get());
      if (n == 0) break;
      if (std::fwrite(buffer, 1, n, out.File()) != n) {
        write_failed = true;
        break;
      }
    }
    if (std::ferror(in.get())) Fail("TorvexCopyFile: Reading Source", kFileReadFailed);
    if (write_failed || std::ferror(out.File())) Fail("TorvexCopyFile: Writing Destination", kFileWriteFailed);
    out.Commit();
    return kFileOk;
  } catch (int result) {
    return result;
  }
}

int TorvexMakeDirectoryPath(const char* path, unsigned int mode) {
  constexpr std::size_t kMaxPath = 255;
  if (!IsPlainAbsolutePath(path)) return -1;
  std::string buffer(path);
  if (buffer.size() > kMaxPath) return -1;  // never a silently shortened path
  if (!buffer.empty() && buffer.back() == '/') buffer.pop_back();

  // A directory that exists already is accepted; anything else of that name is not.
  auto make = [mode](const std::string& dir) {
    if (platform::mkdir(dir.c_str(), static_cast<mode_t>(mode)) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat st {};
    return platform::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  };
  for (std::size_t i = 1; i < buffer.size(); ++i) {
    if (buffer[i] == '/' && !make(buffer.substr(0, i))) return -1;
  }
  return make(buffer) ? 0 : -1;
}

int TorvexListDirectory(const char* path, std::vector<FileCatalogEntry>& list, bool clear) {
  if (clear) list.clear();
  try {
    RequirePlainPath(path, "opendir failed", kFileCannotOpen);
    DirPtr dir(platform::opendir(path));
    if (!dir) Fail("opendir failed", kFileCannotOpen);
    for (;;) {
      errno = 0;
      const struct dirent* entry = platform::readdir(dir.get());
      if (entry == nullptr) {
        if (errno != 0) Fail("readdir failed", kFileCannotOpen);
        break;
      }
      const std::string_view name(entry->d_name);
      // An unfinished write is not a file of the flash.
      if (name == "." || name == ".." || IsTemporaryFileName(name)) continue;
      std::string full = std::string(path) + "/" + entry->d_name;
      struct stat st {};
      if (platform::stat(full.c_str(), &st) != 0) Fail("File stat failed", kFileCannotOpen);
      if (S_ISREG(st.st_mode)) {
        const auto size =
            static_cast<std::int32_t>(std::min<off_t>(st.st_size, std::numeric_limits<std::int32_t>::max()));
        list.push_back(FileCatalogEntry{std::move(full), "", size});
      } else if (S_ISDIR(st.st_mode)) {
        if (const int result = TorvexListDirectory(full.c_str(), list, false); result != kFileOk) return result;
      }
    }
    return kFileOk;
  } catch (int result) {
    return result;
  }
}

}  // namespace Torvex
