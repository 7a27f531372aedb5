#include "core/CLogger.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace Torvex {

// Built before any other static object of the application, so that their constructors and
// destructors may log.
CLogger g_Logger __attribute__((init_priority(200))){kLogRingSize, kLogLineSize};

CLogger::CLogger(std::uint32_t ring_size, std::uint32_t line_size) : m_LineSize(line_size) {
  cyg_mutex_init(&m_Mutex);
  m_Line = new char[line_size > 0 ? line_size : 1];
  m_Ring = new char[ring_size > 0 ? ring_size : 1];
  m_Start = m_Ring;
  m_End = m_Ring + ring_size;
  m_Write = m_Start;
}

CLogger::~CLogger() {
  // A thread still logging during exit processing finds no ring and logs nothing.
  const bool locked = cyg_mutex_lock(&m_Mutex);
  delete[] m_Ring;
  delete[] m_Line;
  m_Ring = m_Line = nullptr;
  m_Start = m_End = m_Write = nullptr;
  if (locked) cyg_mutex_unlock(&m_Mutex);
  cyg_mutex_destroy(&m_Mutex);
}

void CLogger::Printf(const char* format, ...) {
  if (!cyg_mutex_lock(&m_Mutex)) return;
  if (m_Ring == nullptr || m_LineSize == 0) {
    cyg_mutex_unlock(&m_Mutex);
    return;
  }

  std::va_list args;
  va_start(args, format);
  if (std::vsnprintf(m_Line, m_LineSize, format, args) < 0) m_Line[0] = '\0';
  va_end(args);

  std::size_t n = std::strlen(m_Line);
  if (n > 0 && m_MirrorToStderr.load(std::memory_order_relaxed)) {
    std::fwrite(m_Line, 1, n, stderr);
  }

  // The wrap is lazy: a text ending exactly at the end of the ring leaves m_Write == m_End, and only
  // the next non-empty text marks the ring wrapped.
  const char* source = m_Line;
  while (n > 0 && m_End > m_Start) {
    if (m_Write < m_Start || m_Write >= m_End) {
      m_Wrapped = true;
      m_Write = m_Start;
    }
    const std::size_t chunk = std::min<std::size_t>(n, static_cast<std::size_t>(m_End - m_Write));
    std::memcpy(m_Write, source, chunk);
    m_Write += chunk;
    source += chunk;
    n -= chunk;
  }
  cyg_mutex_unlock(&m_Mutex);
}

char* CLogger::CopyBuffer() {
  const bool locked = cyg_mutex_lock(&m_Mutex);
  char* copy;
  if (m_Ring == nullptr) {
    copy = new char[1];
    copy[0] = '\0';
  } else if (!m_Wrapped) {
    const std::size_t used = static_cast<std::size_t>(m_Write - m_Start);
    copy = new char[used + 1];
    std::memcpy(copy, m_Start, used);
    copy[used] = '\0';
  } else {
    const std::size_t older = static_cast<std::size_t>(m_End - m_Write);
    const std::size_t newer = static_cast<std::size_t>(m_Write - m_Start);
    copy = new char[older + newer + 1];
    std::memcpy(copy, m_Write, older);
    std::memcpy(copy + older, m_Start, newer);
    copy[older + newer] = '\0';
  }
  if (locked) cyg_mutex_unlock(&m_Mutex);
  return copy;
}

}  // namespace Torvex
