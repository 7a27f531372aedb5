// Cutting a program message into commands and resolving each header against the command patterns.
#include <algorithm>
#include <cstring>

#include "scpi/scpi_char.h"
#include "scpi/scpi_command_table.h"
#include "scpi/scpi_engine.h"

namespace Torvex {
namespace {

// The header path of compound headers: the path part of the last resolved non-common command's
// pattern (up to and including its last ':'), kept with '[' and ']' left out. A relative header is
// matched as if this text stood before it.
char g_HeaderPath[kScpiMaxPatternLength];
std::size_t g_HeaderPathLength = 0;

void SetHeaderPath(const char* pattern) {
  const char* lastColon = std::strrchr(pattern, ':');
  std::size_t n = 0;
  if (lastColon != nullptr) {
    for (const char* p = pattern; p <= lastColon && n < sizeof(g_HeaderPath); ++p) {
      if (*p != '[' && *p != ']') g_HeaderPath[n++] = *p;
    }
  }
  g_HeaderPathLength = n;
}

// The text a pattern is compared with: in header mode the header path followed by the header text,
// in choice mode the text alone; NUL beyond its end.
struct MatchText {
  const char* text;
  std::size_t textLength;
  std::size_t pathLength;  // 0 in choice mode

  char At(std::size_t i) const {
    if (i < pathLength) return g_HeaderPath[i];
    i -= pathLength;
    return i < textLength ? text[i] : '\0';
  }
};

// Skips every ';' and every character with a code from 1 to 32; a NUL stops the skip.
std::size_t SkipSeparators(const char* s, std::size_t n) {
  std::size_t i = 0;
  while (i < n && s[i] != '\0' && (s[i] == ';' || scpi_is_blank(s[i]))) ++i;
  return i;
}

// Scans one command starting at `s` (the region holds n bytes, the last being the message's NUL).
// On success *end is the command's end (the ';' or NUL that ends it, or the message's NUL after an
// indefinite block). On failure *end is where the scan stopped.
int ScanCommand(const char* s, std::size_t n, std::size_t* end) {
  // The message's terminating NUL: block data may run up to it but not into it.
  const std::size_t messageEnd = (n > 0 && s[n - 1] == '\0') ? n - 1 : n;
  char quote = 0;
  std::size_t i = 0;
  while (i < n) {
    const char c = s[i];
    if (c == '\0') break;
    if (quote != 0) {
      if (c == quote) quote = 0;  // a doubled quote closes and reopens the string
      ++i;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
      ++i;
      continue;
    }
    if (c == ';') break;
    if (c == '#') {
      const char kind = i + 1 < n ? s[i + 1] : '\0';
      if (kind == '0') {
        // Indefinite block: only as the last thing of a message that ends with a line feed.
        if (messageEnd >= 1 && s[messageEnd - 1] == '\n' && messageEnd == n - 1) {
          *end = messageEnd;
          return kScpiOk;
        }
        *end = i + 2 <= n ? i + 2 : n;
        return kScpiSyntax;
      }
      if (kind < '1' || kind > '9') {
        *end = i + 1;
        return kScpiListValue;
      }
      const std::size_t digits = static_cast<std::size_t>(kind - '0');
      std::size_t dataLength = 0;  // at most nine digits: cannot overflow
      for (std::size_t k = 0; k < digits; ++k) {
        const std::size_t at = i + 2 + k;
        if (at >= messageEnd || !scpi_is_digit(s[at])) {
          *end = std::min(at, n);
          return kScpiListValue;
        }
        dataLength = dataLength * 10 + static_cast<std::size_t>(s[at] - '0');
      }
      const std::size_t dataStart = i + 2 + digits;
      if (dataLength > messageEnd - dataStart) {
        *end = messageEnd;
        return kScpiListValue;
      }
      i = dataStart + dataLength;  // ';', quotes and NUL inside the data are data
      continue;
    }
    ++i;
  }
  *end = i;
  return kScpiOk;
}

}  // namespace

void scpi_reset_line_state() { g_HeaderPathLength = 0; }

int scpi_match_header(const char* pattern, std::size_t patternLength, const char* text, std::size_t textLength,
                      int mode, std::uint32_t* suffixValue, std::uint8_t* suffixFlag) {
  MatchText t{text, textLength, 0};
  std::size_t tp = 0;
  if (mode == kScpiMatchHeader) {
    t.pathLength = g_HeaderPathLength;
    // A common command is matched without the path.
    tp = (textLength > 0 && text[0] == '*') ? g_HeaderPathLength : 0;
  }

  int result = kScpiOk;
  bool optional = false;
  bool longForm = false;
  bool digits = false;
  bool suffixPassed = false;
  std::uint8_t flag = *suffixFlag;
  std::uint32_t value = 0;
  std::size_t savedTp = tp;
  std::size_t pp = 0;

  // Leaves an optional part that did not match: back to where it began, on to its ']'.
  auto skipOptional = [&]() -> bool {
    if (!optional) return false;
    tp = savedTp;
    longForm = false;
    while (pp < patternLength && pattern[pp] != ']') ++pp;
    return true;
  };

  while (pp < patternLength && result != kScpiSyntax) {
    const char pc = pattern[pp];
    if (pc == '[') {
      optional = true;
      savedTp = tp;
      ++pp;
    } else if (pc == ']') {
      optional = false;
      ++pp;
    } else if (pc == '#') {
      if (flag != 0) return kScpiSuffixRepeated;
      const char tc = t.At(tp);
      if (scpi_is_digit(tc)) {
        const std::uint32_t d = static_cast<std::uint32_t>(tc - '0');
        if (!digits) {
          value = 0;
          digits = true;
        }
        if (value > 429496729u || (value == 429496729u && d > 5u)) {
          result = kScpiSuffixInvalid;  // keeps reading the digits
        } else {
          value = value * 10u + d;
        }
        ++tp;
      } else {
        if (!digits) {
          value = 1;
        } else if (value == 0) {
          result = kScpiSuffixInvalid;
        }
        flag = 1;
        suffixPassed = true;
        ++pp;
      }
    } else {
      if (pc == ':') longForm = false;
      const char tc = t.At(tp);
      if (scpi_chars_equal(pc, tc)) {
        ++tp;
        ++pp;
        if (scpi_is_lower(pc)) longForm = true;
      } else if (!scpi_is_lower(pc) || longForm) {
        // A required character is missing, or a long form was given only in part.
        if (!skipOptional()) result = kScpiSyntax;
      } else {
        // The short form was given: skip the rest of the lower-case run.
        while (pp < patternLength && scpi_is_lower(pattern[pp])) ++pp;
      }
    }
  }

  if (result != kScpiSyntax && t.At(tp) != '\0' && result != kScpiSuffixRepeated) result = kScpiSyntax;
  if (result == kScpiOk && suffixPassed) {
    *suffixFlag = flag;
    *suffixValue = value;
  }
  return result;
}

namespace {

// Tries the patterns in table order against the header behind the current path. The first candidate
// whose header, parameter count and parameters all fit resolves the command (and, unless the header is
// a common one, makes its pattern the path); otherwise the smallest candidate code, 70 when no header
// fitted at all.
int ResolveCommand(const char* command, std::size_t headerLength, unsigned count, const char* parameterText,
                   std::size_t parameterLength, std::uint8_t* commandNumber,
                   ScpiParameter parameters[kScpiParameterSlots], std::uint8_t* suffixFlag,
                   std::uint32_t* suffixValue) {
  int best = kScpiSyntax;
  for (std::size_t number = 0; number < kScpiCommandCount; ++number) {
    const char* pattern = kScpiCommandPatterns[number];
    std::uint8_t flag = 0;
    std::uint32_t value = 0;
    int code = scpi_match_header(pattern, std::strlen(pattern), command, headerLength, kScpiMatchHeader, &value, &flag);
    if (code == kScpiOk) {
      const ScpiParameterSpecRow& slots = kScpiParameterSpecs[number];
      unsigned maximum = 0;
      unsigned minimum = 0;
      for (unsigned s = 0; s < kScpiParameterSlots && slots[s].type != kScpiTypeNone; ++s) {
        maximum = s + 1;
        if ((slots[s].flags & kScpiSlotOptional) == 0) minimum = s + 1;
      }
      if (count < minimum || count > maximum) {
        code = kScpiParameterCount;
      } else {
        std::uint8_t choiceFlag = flag;
        std::uint32_t choiceValue = value;
        code = scpi_parse_parameters(static_cast<std::uint8_t>(number), parameterText, parameterLength, parameters,
                                     &choiceValue, &choiceFlag);
      }
    }
    if (code == kScpiOk) {
      *commandNumber = static_cast<std::uint8_t>(number);
      *suffixFlag = flag;
      if (flag != 0) *suffixValue = value;
      if (headerLength == 0 || command[0] != '*') SetHeaderPath(pattern);
      return kScpiOk;
    }
    best = std::min(best, code);
  }
  return best;
}

}  // namespace

int scpi_parse_command(const char* command, std::size_t length, bool firstCommand, std::uint8_t* commandNumber,
                       ScpiParameter parameters[kScpiParameterSlots], std::uint8_t* suffixFlag,
                       std::uint32_t* suffixValue) {
  if (length > 0 && command[0] == ':') {
    ++command;
    --length;
    scpi_reset_line_state();
  } else if (firstCommand) {
    scpi_reset_line_state();
  }

  std::size_t headerLength = 0;
  while (headerLength < length && !scpi_is_control_or_blank(command[headerLength])) ++headerLength;

  unsigned count = 0;
  const char* parameterText = nullptr;
  std::size_t parameterLength = 0;
  scpi_count_parameters(command, length, headerLength, &count, &parameterText, &parameterLength);

  const int code = ResolveCommand(command, headerLength, count, parameterText, parameterLength, commandNumber,
                                  parameters, suffixFlag, suffixValue);
  const bool common = headerLength > 0 && command[0] == '*';
  if (code != kScpiSyntax || g_HeaderPathLength == 0 || common) return code;

  // No header under the path fits (as SYST:ERR? after SYST:ERR?): the command is tried once more from
  // the root. Only a full resolution counts there; otherwise the command fails as it did under the
  // path, and the path stays as it was.
  const std::size_t pathLength = g_HeaderPathLength;
  g_HeaderPathLength = 0;
  if (ResolveCommand(command, headerLength, count, parameterText, parameterLength, commandNumber, parameters,
                     suffixFlag, suffixValue) == kScpiOk) {
    return kScpiOk;
  }
  g_HeaderPathLength = pathLength;
  return code;
}

int scpi_next_command(const char** cursor, std::size_t* remaining, bool firstCommand, std::uint8_t* commandNumber,
                      ScpiParameter parameters[kScpiParameterSlots], std::uint8_t* suffixFlag,
                      std::uint32_t* suffixValue) {
  const char* s = *cursor;
  std::size_t n = *remaining;
  const std::size_t skipped = SkipSeparators(s, n);
  s += skipped;
  n -= skipped;
  if (n == 0) {
    *cursor = s;
    *remaining = 0;
    return kScpiEndOfMessage;
  }

  std::size_t end = 0;
  const int scan = ScanCommand(s, n, &end);
  *cursor = s + end;
  *remaining = n - end;
  if (scan != kScpiOk) return scan;
  if (end == 0) return kScpiEndOfMessage;
  return scpi_parse_command(s, end, firstCommand, commandNumber, parameters, suffixFlag, suffixValue);
}

}  // namespace Torvex
