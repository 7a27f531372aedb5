// Character classes of the SCPI engine: those of the C library in the "C" locale, on bytes. Bytes
// 128 to 255 belong to no class. Internal to the engine.
#pragma once

namespace Torvex {

inline unsigned char scpi_byte(char c) { return static_cast<unsigned char>(c); }

// Codes 1 to 32: separators skipped around commands and parameters.
inline bool scpi_is_blank(char c) { return scpi_byte(c) >= 1 && scpi_byte(c) <= 32; }

// Codes 0 to 32: what ends a header.
inline bool scpi_is_control_or_blank(char c) { return scpi_byte(c) <= 32; }

inline bool scpi_is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool scpi_is_lower(char c) { return c >= 'a' && c <= 'z'; }
inline bool scpi_is_upper(char c) { return c >= 'A' && c <= 'Z'; }

inline char scpi_fold(char c) { return scpi_is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c; }

// Equal after folding an upper-case letter on either side to lower case.
inline bool scpi_chars_equal(char a, char b) { return scpi_fold(a) == scpi_fold(b); }

}  // namespace Torvex
