// Names of parameterised cases made from the case's number and a text it carries (a message, a
// header), so that test lists, ctest and --gtest_filter show what the case is: every run of characters
// a test name may not hold becomes one '_'. The number keeps apart texts that differ only in those
// characters ("ENAB -5" and "ENAB + 5").
#pragma once

#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>

namespace torvex_test {

inline std::string CaseName(std::size_t index, std::string_view text) {
  std::string words;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      words += c;
    } else if (!words.empty() && words.back() != '_') {
      words += '_';
    }
  }
  if (!words.empty() && words.back() == '_') words.pop_back();
  return std::to_string(index) + (words.empty() ? "" : "_" + words);
}

}  // namespace torvex_test
