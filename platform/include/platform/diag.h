// Diagnostic output of the board: what the firmware prints on the processor's debug console with
// diag_printf and diag_dump_buf. On the host the console is the process's standard error, unless a
// test takes it over with platform::diag::SetConsole.
//
// Any thread may print; each call's text reaches the console whole.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// printf-style text on the console.
void diag_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// `length` bytes from `buffer` in lines of 16: the offset ("%04X: "), the bytes in hex, then the
// printable ones as text ('.' for the others).
void diag_dump_buf(const void* buffer, std::uint32_t length);

namespace platform::diag {

using Console = std::function<void(const std::string& text)>;

// Sends the diagnostic output to `console` (empty: standard error again); returns the previous one.
Console SetConsole(Console console);

}  // namespace platform::diag
