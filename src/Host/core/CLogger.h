// CLogger: the application's in-memory log.
//
// A fixed ring of text into which every application thread writes printf-style lines (each line starts
// with the class and operation that writes it and ends with "\n", supplied by the caller). Nothing
// reaches storage while the system runs; at shut-down main copies the ring out with CopyBuffer, oldest
// text first, and saves it. Each text is cut to line size - 1 characters. Optionally every text is also
// mirrored to standard error (off by default), for people watching a running board.
//
// g_Logger is the one log of the system (3000-byte ring, 250-byte line buffer), built before main runs.
// Printf and CopyBuffer may be called from any thread; a kernel mutex serialises them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/kernel.h"

namespace Torvex {

class CLogger {
 public:
  CLogger(std::uint32_t ring_size, std::uint32_t line_size);
  virtual ~CLogger();

  CLogger(const CLogger&) = delete;
  CLogger& operator=(const CLogger&) = delete;

  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // The whole log, oldest text first, NUL-terminated; the caller frees it with delete[].
  char* CopyBuffer();

  // Mirrors every logged text to standard error as well (the board program's --log-stderr).
  void SetMirrorToStderr(bool on) { m_MirrorToStderr.store(on, std::memory_order_relaxed); }

 private:
  cyg_mutex_t m_Mutex;
  std::uint32_t m_LineSize;
  char* m_Line = nullptr;
  char* m_Ring = nullptr;
  char* m_Start = nullptr;
  char* m_End = nullptr;
  char* m_Write = nullptr;
  bool m_Wrapped = false;
  std::atomic<bool> m_MirrorToStderr{false};
};

inline constexpr std::uint32_t kLogRingSize = 3000;
inline constexpr std::uint32_t kLogLineSize = 250;

extern CLogger g_Logger;

}  // namespace Torvex
