// Counting, cutting and typing the parameters of a resolved command, and reading the typed records.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "scpi/scpi_char.h"
#include "scpi/scpi_command_table.h"
#include "scpi/scpi_engine.h"

namespace Torvex {
namespace {

constexpr std::uint64_t kMaxMantissa = std::numeric_limits<std::uint64_t>::max();

// A definite block "#" n <n length digits> <data> at the start of s (n bytes available): its whole
// size. False when the header is malformed or the data runs beyond the n bytes.
bool DefiniteBlockSize(const char* s, std::size_t n, std::size_t* size) {
  if (n < 2 || s[0] != '#' || s[1] < '1' || s[1] > '9') return false;
  const std::size_t digits = static_cast<std::size_t>(s[1] - '0');
  if (n < 2 + digits) return false;
  std::size_t length = 0;  // at most nine digits: cannot overflow
  for (std::size_t k = 0; k < digits; ++k) {
    if (!scpi_is_digit(s[2 + k])) return false;
    length = length * 10 + static_cast<std::size_t>(s[2 + k] - '0');
  }
  if (length > n - 2 - digits) return false;
  *size = 2 + digits + length;
  return true;
}

std::size_t SkipBlanks(const char* s, std::size_t n, std::size_t i) {
  while (i < n && scpi_is_blank(s[i])) ++i;
  return i;
}

// The value of a number as a signed 32-bit integer (a fraction truncated toward zero).
int NumberToInt(const ScpiNumber& number, std::int32_t* value) {
  std::uint64_t m = number.mantissa;
  if ((number.flags & kScpiExponentNegative) != 0) {
    for (unsigned e = 0; e < number.exponent && m != 0; ++e) m /= 10;
  } else {
    for (unsigned e = 0; e < number.exponent && m != 0; ++e) {
      if (m > kMaxMantissa / 10) return kScpiOutOfRange;
      m *= 10;
    }
  }
  const bool negative = (number.flags & kScpiNumberNegative) != 0;
  const std::uint64_t limit = negative ? 2147483648ull : 2147483647ull;
  if (m > limit) return kScpiOutOfRange;
  *value = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(m)) : static_cast<std::int32_t>(m);
  return kScpiOk;
}

double NumberToDouble(const ScpiNumber& number) {
  // Powers of ten up to 1e22 are exact doubles: one multiplication or division rounds once.
  static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                       1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  double value = static_cast<double>(number.mantissa);
  unsigned e = number.exponent;
  const bool down = (number.flags & kScpiExponentNegative) != 0;
  while (e > 0) {
    const unsigned step = std::min(e, 22u);
    value = down ? value / kPowers[step] : value * kPowers[step];
    e -= step;
  }
  return (number.flags & kScpiNumberNegative) != 0 ? -value : value;
}

// Stores a signed exponent into the number (magnitude and flag), with the limits of the engine:
// above the maximum is an error, below the minimum the value is 0.
int StoreExponent(ScpiNumber* number, std::int64_t exponent) {
  if (number->mantissa == 0) exponent = 0;
  if (exponent > kScpiMaxExponent) {
    number->exponent = 0;
    number->flags &= static_cast<std::uint8_t>(~kScpiExponentNegative);
    return kScpiOutOfRange;
  }
  if (exponent < -kScpiMaxExponent) {
    number->mantissa = 0;
    exponent = 0;
  }
  number->exponent = static_cast<std::uint8_t>(exponent < 0 ? -exponent : exponent);
  if (exponent < 0) {
    number->flags |= kScpiExponentNegative;
  } else {
    number->flags &= static_cast<std::uint8_t>(~kScpiExponentNegative);
  }
  return kScpiOk;
}

std::int64_t SignedExponent(const ScpiNumber& number) {
  return (number.flags & kScpiExponentNegative) != 0 ? -static_cast<std::int64_t>(number.exponent)
                                                     : static_cast<std::int64_t>(number.exponent);
}

// The unit-suffix row that the whole remaining text spells, or null. Blanks that do not match are
// skipped; a suffix must be given whole.
const ScpiUnitSuffix* FindSuffix(const char* text, std::size_t length) {
  for (const ScpiUnitSuffix* row = kScpiUnitSuffixes; row->suffix[0] != '\0'; ++row) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < length) {
      if (row->suffix[j] != '\0' && scpi_chars_equal(text[i], row->suffix[j])) {
        ++i;
        ++j;
      } else if (scpi_is_blank(text[i])) {
        ++i;
      } else {
        break;
      }
    }
    if (i == length && row->suffix[j] == '\0') return row;
  }
  return nullptr;
}

bool ClassAllowed(const ScpiNumericDescriptor& d, std::uint32_t unitClass) {
  if (unitClass == d.defaultUnitClass) return true;
  if (d.allowedClasses == nullptr) return false;
  for (const std::uint32_t* c = d.allowedClasses; *c != kScpiUnitListEnd; ++c) {
    if (*c == unitClass) return true;
  }
  return false;
}

constexpr ScpiNumericDescriptor kNoUnit{kScpiUnitNone, nullptr, 0};
constexpr ScpiChannelListDescriptor kAnyChannelList{kScpiListFractions | kScpiListNegatives, 0, 255, 0, 0};

// Finds the end of the parameter that starts at *pos. On success [*pos, *end) is its text, *pos is
// moved past it (and past the ',' that ended it) and *block tells whether it was a block.
int CutParameter(const char* text, std::size_t length, std::size_t* pos, std::size_t* end, bool* block) {
  std::size_t i = *pos;
  *block = false;
  while (i < length) {
    const char c = text[i];
    if (c == '"' || c == '\'') {
      const void* close = std::memchr(text + i + 1, c, length - i - 1);
      if (close == nullptr) return kScpiInvalidString;
      i = static_cast<std::size_t>(static_cast<const char*>(close) - text) + 1;
      continue;
    }
    if (c == '(') {
      std::size_t depth = 1;
      std::size_t j = i + 1;
      char quote = 0;
      while (j < length && depth > 0) {
        const char d = text[j];
        if (quote != 0) {
          if (d == quote) quote = 0;
        } else if (d == '"' || d == '\'') {
          quote = d;
        } else if (d == '(') {
          ++depth;
        } else if (d == ')') {
          --depth;
        }
        ++j;
      }
      if (quote != 0) return kScpiInvalidString;
      if (depth > 0) return kScpiParentheses;
      i = j;
      continue;
    }
    if (c == ')') return kScpiParentheses;
    if (c == '#') {
      *block = true;
      if (i + 1 < length && text[i + 1] == '0') {
        *end = length;
        *pos = length;
        return kScpiOk;
      }
      std::size_t size = 0;
      if (!DefiniteBlockSize(text + i, length - i, &size)) return kScpiListValue;
      *end = i + size;
      *pos = i + size;
      return kScpiOk;
    }
    if (c == ',') {
      *end = i;
      *pos = i + 1;
      return kScpiOk;
    }
    ++i;
  }
  *end = length;
  *pos = length;
  return kScpiOk;
}

int ParseQuotedString(const char* text, std::size_t length, ScpiParameter* record) {
  if (length == 0 || (text[0] != '"' && text[0] != '\'')) return kScpiDataType;
  const char quote = text[0];
  std::size_t i = 1;
  std::size_t close = 0;
  for (;;) {
    const void* found = i < length ? std::memchr(text + i, quote, length - i) : nullptr;
    if (found == nullptr) return kScpiInvalidString;
    const std::size_t k = static_cast<std::size_t>(static_cast<const char*>(found) - text);
    if (k + 1 < length && text[k + 1] == quote) {
      i = k + 2;  // a doubled quote stands for one quote character
      continue;
    }
    close = k;
    break;
  }
  if (close + 1 != length) return kScpiDataType;
  record->type = kScpiTypeQuotedString;
  record->text = text + 1;
  record->length = close - 1;
  record->quote = static_cast<std::uint8_t>(quote);
  return kScpiOk;
}

int ParseBlock(const char* text, std::size_t length, ScpiParameter* record) {
  if (length < 2 || text[0] != '#') return kScpiDataType;
  std::size_t header = 0;
  if (text[1] == '0') {
    header = 2;
  } else {
    std::size_t size = 0;
    if (!DefiniteBlockSize(text, length, &size)) return kScpiDataType;
    header = 2 + static_cast<std::size_t>(text[1] - '0');
  }
  record->type = kScpiTypeBlock;
  record->text = text + header;
  record->length = length - header;
  return kScpiOk;
}

int TypeParameter(const ScpiParameterSpec& slot, const char* text, std::size_t length, ScpiParameter* record,
                  std::uint32_t* suffixValue, std::uint8_t* suffixFlag) {
  switch (slot.type) {
    case kScpiTypeNumber: return scpi_parse_numeric_with_suffix(text, length, slot.numeric, record);
    case kScpiTypeBoolean: return scpi_parse_bool(text, length, slot.booleanDefault, record);
    case kScpiTypeChoice: return scpi_parse_choice(text, length, &slot, record, suffixValue, suffixFlag);
    case kScpiTypeQuotedString: return ParseQuotedString(text, length, record);
    case kScpiTypeText:
      record->type = kScpiTypeText;
      record->text = text;
      record->length = length;
      record->quote = 0;
      return kScpiOk;
    case kScpiTypeChannelList: return scpi_parse_channel_list(text, length, slot.channelList, record);
    case kScpiTypeBlock: return ParseBlock(text, length, record);
    default: return kScpiDataType;
  }
}

// Checks one number of a channel list against the descriptor: 0 or kScpiListValue.
int CheckListValue(const ScpiNumber& number, const ScpiChannelListDescriptor& d) {
  if ((d.flags & kScpiListFractions) == 0 && (number.flags & kScpiExponentNegative) != 0) return kScpiListValue;
  if ((d.flags & kScpiListNegatives) == 0 && (number.flags & kScpiNumberNegative) != 0) return kScpiListValue;
  if ((d.flags & kScpiListRangeCheck) != 0) {
    std::int32_t value = 0;
    if (NumberToInt(number, &value) != kScpiOk) return kScpiListValue;
    if (value < d.minValue || value > d.maxValue) return kScpiListValue;
  }
  return kScpiOk;
}

}  // namespace

void scpi_count_parameters(const char* command, std::size_t length, std::size_t headerLength, unsigned* count,
                           const char** parameterText, std::size_t* parameterLength) {
  headerLength = std::min(headerLength, length);
  const char* p = command + headerLength;
  const std::size_t n = length - headerLength;
  *parameterText = p;
  *parameterLength = n;

  std::size_t i = SkipBlanks(p, n, 0);
  if (i == n) {
    *count = 0;
    return;
  }
  unsigned c = 1;
  char quote = 0;
  std::size_t depth = 0;
  for (; i < n; ++i) {
    const char ch = p[i];
    if (quote != 0) {
      if (ch == quote) quote = 0;
      continue;
    }
    if (ch == '"' || ch == '\'') {
      quote = ch;
    } else if (ch == '(') {
      ++depth;
    } else if (ch == ')') {
      if (depth > 0) --depth;
    } else if (ch == ',') {
      if (depth == 0 && c < std::numeric_limits<unsigned>::max()) ++c;
    } else if (ch == '#') {
      if (i + 1 < n && p[i + 1] == '0') break;  // the rest is block data
      std::size_t size = 0;
      if (DefiniteBlockSize(p + i, n - i, &size)) i += size - 1;
    }
  }
  *count = c;
}

int scpi_parse_parameters(std::uint8_t commandNumber, const char* text, std::size_t length,
                          ScpiParameter parameters[kScpiParameterSlots], std::uint32_t* suffixValue,
                          std::uint8_t* suffixFlag) {
  for (std::size_t s = 0; s < kScpiParameterSlots; ++s) parameters[s] = ScpiParameter{};
  if (commandNumber >= kScpiCommandCount) return kScpiSyntax;
  const ScpiParameterSpecRow& slots = kScpiParameterSpecs[commandNumber];

  std::size_t pos = 0;
  bool lastWasBlock = false;
  for (std::size_t s = 0; s < kScpiParameterSlots && slots[s].type != kScpiTypeNone; ++s) {
    pos = SkipBlanks(text, length, pos);
    const std::size_t start = pos;
    std::size_t end = pos;
    bool block = false;
    int code = CutParameter(text, length, &pos, &end, &block);
    if (code != kScpiOk) return code;
    if (!block) {
      while (end > start && scpi_is_blank(text[end - 1])) --end;
    }
    code = TypeParameter(slots[s], text + start, end - start, &parameters[s], suffixValue, suffixFlag);
    if (code != kScpiOk) {
      if (end == start && (slots[s].flags & kScpiSlotOptional) != 0) {
        parameters[s] = ScpiParameter{};  // an omitted optional parameter
      } else {
        return code;
      }
    }
    lastWasBlock = block;
  }
  // Nothing but blanks may follow a definite block; other bytes there would be lost unnoticed.
  if (lastWasBlock && SkipBlanks(text, length, pos) != length) return kScpiDataType;
  return kScpiOk;
}

int scpi_parse_number(const char* text, std::size_t length, ScpiNumber* number, std::size_t* consumed) {
  std::size_t i = SkipBlanks(text, length, 0);
  bool negative = false;
  if (i < length && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::uint64_t mantissa = 0;
  std::int64_t exponent = 0;
  bool full = false;  // once a digit is dropped, every later digit is dropped too
  std::size_t digits = 0;
  while (i < length && scpi_is_digit(text[i])) {
    const std::uint64_t d = static_cast<std::uint64_t>(text[i] - '0');
    if (full || mantissa > (kMaxMantissa - d) / 10) {
      full = true;
      ++exponent;
    } else {
      mantissa = mantissa * 10 + d;
    }
    ++digits;
    ++i;
  }
  if (i < length && text[i] == '.') {
    ++i;
    while (i < length && scpi_is_digit(text[i])) {
      const std::uint64_t d = static_cast<std::uint64_t>(text[i] - '0');
      if (full || mantissa > (kMaxMantissa - d) / 10) {
        full = true;
      } else {
        mantissa = mantissa * 10 + d;
        --exponent;
      }
      ++digits;
      ++i;
    }
  }
  if (digits == 0) return kScpiDataType;

  // Exponent: E or e, blanks allowed around it, then an optional sign directly followed by digits.
  bool overflow = false;
  std::size_t j = SkipBlanks(text, length, i);
  if (j < length && (text[j] == 'E' || text[j] == 'e')) {
    j = SkipBlanks(text, length, j + 1);
    bool exponentNegative = false;
    if (j < length && (text[j] == '+' || text[j] == '-')) {
      exponentNegative = text[j] == '-';
      ++j;
    }
    if (j >= length || !scpi_is_digit(text[j])) return kScpiDataType;
    const std::uint64_t limit = exponentNegative ? 2147483648ull : 2147483647ull;
    std::uint64_t magnitude = 0;
    while (j < length && scpi_is_digit(text[j])) {
      if (!overflow) {
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[j] - '0');
        if (magnitude > limit) overflow = true;
      }
      ++j;
    }
    exponent += exponentNegative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    i = j;
  }
  i = SkipBlanks(text, length, i);
  *consumed = i;
  if (overflow) return kScpiOutOfRange;

  while (mantissa != 0 && mantissa % 10 == 0) {
    mantissa /= 10;
    ++exponent;
  }
  ScpiNumber result;
  result.mantissa = mantissa;
  result.flags = negative ? kScpiNumberNegative : 0;
  const int code = StoreExponent(&result, exponent);
  if (code != kScpiOk) return code;
  *number = result;
  return kScpiOk;
}

int scpi_parse_numeric_with_suffix(const char* text, std::size_t length, const ScpiNumericDescriptor* descriptor,
                                   ScpiParameter* record) {
  const ScpiNumericDescriptor& d = descriptor != nullptr ? *descriptor : kNoUnit;
  ScpiNumber number;
  std::size_t consumed = 0;
  const int code = scpi_parse_number(text, length, &number, &consumed);
  if (code != kScpiOk) return code;

  std::uint32_t unitClass = d.defaultUnitClass;
  std::int64_t shift = d.defaultExponent;
  bool allowed = true;
  if (consumed < length) {
    const ScpiUnitSuffix* row = FindSuffix(text + consumed, length - consumed);
    if (row == nullptr) return kScpiWrongUnit;
    unitClass = row->unitClass;
    shift = row->exponent;
    allowed = ClassAllowed(d, unitClass);
  }
  number.unitClass = unitClass;
  const int range = StoreExponent(&number, SignedExponent(number) + shift);
  record->type = kScpiTypeNumber;
  record->number = number;
  if (range != kScpiOk) return range;
  return allowed ? kScpiOk : kScpiWrongUnit;
}

int scpi_parse_bool(const char* text, std::size_t length, std::uint8_t booleanDefault, ScpiParameter* record) {
  std::uint8_t value = 0;
  if (length == 0) {
    if ((booleanDefault & 0x1) == 0) return kScpiDataType;
    value = (booleanDefault & 0x2) != 0 ? 1 : 0;
  } else if (length == 2 && scpi_chars_equal(text[0], 'o') && scpi_chars_equal(text[1], 'n')) {
    value = 1;
  } else if (length == 3 && scpi_chars_equal(text[0], 'o') && scpi_chars_equal(text[1], 'f') &&
             scpi_chars_equal(text[2], 'f')) {
    value = 0;
  } else {
    ScpiNumber number;
    std::size_t consumed = 0;
    if (scpi_parse_number(text, length, &number, &consumed) != kScpiOk || consumed != length) return kScpiDataType;
    // Rounded half away from zero; any non-zero result is true.
    value = std::round(NumberToDouble(number)) != 0.0 ? 1 : 0;
  }
  record->type = kScpiTypeBoolean;
  record->boolean = value;
  return kScpiOk;
}

int scpi_parse_choice(const char* text, std::size_t length, const ScpiParameterSpec* slot, ScpiParameter* record,
                      std::uint32_t* suffixValue, std::uint8_t* suffixFlag) {
  const ScpiChoiceDescriptor* d = slot != nullptr ? slot->choice : nullptr;
  if (d == nullptr || d->choices == nullptr) return kScpiDataType;

  if (length == 0) {
    if (d->defaultIndex != kScpiNoDefaultIndex) {
      record->type = kScpiTypeChoice;
      record->choiceIndex = d->defaultIndex;
      record->choices = nullptr;
      return kScpiOk;
    }
  } else {
    // Each alternative is matched whole, like a header node (short or long form).
    const char* alternative = d->choices;
    for (unsigned index = 0; index < 255; ++index) {
      const char* bar = std::strchr(alternative, '|');
      const std::size_t n = bar != nullptr ? static_cast<std::size_t>(bar - alternative) : std::strlen(alternative);
      std::uint8_t flag = *suffixFlag;
      std::uint32_t value = *suffixValue;
      if (n > 0 && scpi_match_header(alternative, n, text, length, kScpiMatchChoice, &value, &flag) == kScpiOk) {
        record->type = kScpiTypeChoice;
        record->choiceIndex = static_cast<std::uint8_t>(index);
        record->choices = d->choices;
        return kScpiOk;
      }
      if (bar == nullptr) break;
      alternative = bar + 1;
    }
  }

  int code = kScpiDataType;
  if (d->alternativeType == kScpiAlternativeNumber) {
    code = scpi_parse_numeric_with_suffix(text, length, d->alternative, record);
  } else if (d->alternativeType == kScpiAlternativeBoolean) {
    code = scpi_parse_bool(text, length, 0, record);
  }
  return std::min(code, static_cast<int>(kScpiSyntax));
}

int scpi_parse_channel_list(const char* text, std::size_t length, const ScpiChannelListDescriptor* descriptor,
                            ScpiParameter* record) {
  const ScpiChannelListDescriptor& d = descriptor != nullptr ? *descriptor : kAnyChannelList;
  if (length < 4 || text[0] != '(' || text[1] != '@' || text[length - 1] != ')') return kScpiDataType;
  const char* body = text + 2;
  const std::size_t n = length - 3;
  record->type = kScpiTypeChannelList;
  record->text = body;
  record->length = n;

  int result = kScpiOk;
  std::size_t i = 0;
  for (;;) {  // one entry per pass
    unsigned dimensions[2] = {0, 0};
    unsigned address = 0;
    bool listEnds = false;
    for (;;) {  // one number per pass
      ScpiNumber number;
      std::size_t consumed = 0;
      if (scpi_parse_number(body + i, n - i, &number, &consumed) != kScpiOk) return kScpiDataType;
      i += consumed;
      ++dimensions[address];
      if (CheckListValue(number, d) != kScpiOk) result = kScpiListValue;
      if (i == n) {
        listEnds = true;
        break;
      }
      const char c = body[i++];
      if (c == ',') {
        if (i == n) return kScpiDataType;
        break;
      }
      if (c == ':' && address == 0) {
        address = 1;
      } else if (c != '!') {
        return kScpiDataType;  // a second ':' or any other separator
      }
      if (i == n) return kScpiDataType;  // a separator right before the closing parenthesis
    }
    if (dimensions[0] < d.minDimensions || dimensions[0] > d.maxDimensions ||
        (address == 1 && dimensions[1] != dimensions[0])) {
      result = kScpiListDimensions;
    }
    if (listEnds) break;
  }
  return result;
}

int scpi_param_get_type(const ScpiParameter* record, std::uint32_t* type, std::uint8_t* signFlags) {
  *type = record->type;
  if (record->type == kScpiTypeNumber && signFlags != nullptr) *signFlags = record->number.flags;
  return kScpiOk;
}

int scpi_param_get_unit(const ScpiParameter* record, std::uint32_t* unitClass) {
  if (record->type != kScpiTypeNumber) return kScpiDataType;
  *unitClass = record->number.unitClass;
  return kScpiOk;
}

int scpi_param_get_int(const ScpiParameter* record, std::int32_t* value) {
  if (record->type != kScpiTypeNumber) return kScpiDataType;
  return NumberToInt(record->number, value);
}

int scpi_param_get_double(const ScpiParameter* record, double* value) {
  if (record->type != kScpiTypeNumber) return kScpiDataType;
  *value = NumberToDouble(record->number);
  return kScpiOk;
}

int scpi_param_get_bool(const ScpiParameter* record, std::uint8_t* value) {
  if (record->type != kScpiTypeBoolean) return kScpiDataType;
  *value = record->boolean;
  return kScpiOk;
}

int scpi_param_get_char(const ScpiParameter* record, std::uint8_t* index) {
  if (record->type != kScpiTypeChoice) return kScpiDataType;
  *index = record->choiceIndex;
  return kScpiOk;
}

int scpi_param_get_string(const ScpiParameter* record, const char** text, std::size_t* length, std::uint8_t* quote) {
  if (record->type != kScpiTypeQuotedString && record->type != kScpiTypeText && record->type != kScpiTypeChannelList) {
    return kScpiDataType;
  }
  *text = record->text;
  *length = record->length;
  if (quote != nullptr) *quote = record->type == kScpiTypeQuotedString ? record->quote : 0;
  return kScpiOk;
}

int scpi_param_get_block(const ScpiParameter* record, const char** begin, const char** end) {
  if (record->type != kScpiTypeBlock) return kScpiDataType;
  *begin = record->text;
  *end = record->text + record->length;
  return kScpiOk;
}

int scpi_param_get_channel_list(const ScpiParameter* record, unsigned entry, unsigned* dimensions, bool* isRange,
                                ScpiParameter first[], ScpiParameter second[]) {
  if (record->type != kScpiTypeChannelList) return kScpiDataType;
  const char* body = record->text;
  const std::size_t n = record->length;
  std::size_t i = 0;
  for (unsigned k = 0; k < entry; ++k) {
    const void* comma = i < n ? std::memchr(body + i, ',', n - i) : nullptr;
    if (comma == nullptr) return kScpiNoSuchEntry;
    i = static_cast<std::size_t>(static_cast<const char*>(comma) - body) + 1;
  }
  if (SkipBlanks(body, n, i) >= n) return kScpiNoSuchEntry;

  const unsigned capacity = *dimensions;
  unsigned dimension = 0;
  unsigned found = 0;
  bool range = false;
  for (;;) {
    ScpiNumber number;
    std::size_t consumed = 0;
    if (scpi_parse_number(body + i, n - i, &number, &consumed) != kScpiOk) return kScpiDataType;
    if (dimension >= capacity) return kScpiTooManyDimensions;
    ScpiParameter& out = range ? second[dimension] : first[dimension];
    out = ScpiParameter{};
    out.type = kScpiTypeNumber;
    out.number = number;
    i += consumed;
    found = ++dimension;
    if (i >= n) break;
    const char c = body[i++];
    if (c == '!') continue;
    if (c == ':' && !range) {
      range = true;
      dimension = 0;
      continue;
    }
    if (c == ',') break;
    return kScpiDataType;
  }
  *dimensions = found;
  *isRange = range;
  return kScpiOk;
}

int scpi_double_to_int(double value, std::int32_t* result) {
  // The comparisons are false for NaN, so NaN is refused as well.
  if (!(value > -2147483649.0 && value < 2147483648.0)) return kScpiOutOfRange;
  *result = static_cast<std::int32_t>(value);
  return kScpiOk;
}

bool scpi_list_contains(const char* list, char separator, const char* text, std::size_t length) {
  if (list == nullptr) return false;
  const char* element = list;
  for (;;) {
    const char* stop = std::strchr(element, separator);
    std::size_t n = stop != nullptr ? static_cast<std::size_t>(stop - element) : std::strlen(element);
    const char* e = element;
    while (n > 0 && e[0] == ' ') {
      ++e;
      --n;
    }
    while (n > 0 && e[n - 1] == ' ') --n;
    if (n == length && std::memcmp(e, text, n) == 0) return true;
    if (stop == nullptr) return false;
    element = stop + 1;
  }
}

}  // namespace Torvex
