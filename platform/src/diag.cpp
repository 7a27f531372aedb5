#include "platform/diag.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

namespace {

struct Output {
  std::mutex lock;
  platform::diag::Console console;
};

Output& TheOutput() {
  static Output* output = new Output;  // never destroyed: a thread may print while the process exits
  return *output;
}

void Emit(const std::string& text) {
  Output& out = TheOutput();
  std::lock_guard<std::mutex> g(out.lock);
  if (out.console) {
    out.console(text);
  } else {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }
}

}  // namespace

void diag_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (n > 0) {
    std::vector<char> text(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    Emit(std::string(text.data(), static_cast<std::size_t>(n)));
  }
  va_end(again);
}

void diag_dump_buf(const void* buffer, std::uint32_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  std::string text;
  for (std::uint32_t at = 0; at < length; at += 16) {
    char line[96];
    int used = std::snprintf(line, sizeof line, "%04X:", static_cast<unsigned>(at));
    std::string printable;
    for (std::uint32_t i = at; i < at + 16; ++i) {
      if (i < length) {
        used += std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), " %02X", bytes[i]);
        printable.push_back(bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.');
      } else {
        used += std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), "   ");
      }
    }
    text += line;
    text += "  " + printable + "\n";
  }
  Emit(text);
}

namespace platform::diag {

Console SetConsole(Console console) {
  Output& out = TheOutput();
  std::lock_guard<std::mutex> g(out.lock);
  std::swap(out.console, console);
  return console;
}

}  // namespace platform::diag
