#include "scpi/scpi_value_extraction.h"

#include <cstring>

#include "scpi/scpi_command_table.h"
#include "scpi/scpi_engine.h"
#include "status/ScpiStatusBitRows.h"

namespace Torvex {
namespace {

// The channel-list accessor reads up to this many dimensions, one more than a channel holds, so that
// a sixth dimension is seen and refused rather than cut off.
constexpr unsigned kListCapacity = 6;

int Fail(ScpiParsedCommand& command, int code) {
  if (command.errorCode == 0) command.errorCode = static_cast<std::uint8_t>(code);
  return code;
}

// The text of alternative `index` of a '|'-separated choice list; false when the list is shorter.
bool ChoiceText(const char* list, unsigned index, std::string* text) {
  const char* p = list;
  for (unsigned k = 0; k < index; ++k) {
    p = std::strchr(p, '|');
    if (p == nullptr) return false;
    ++p;
  }
  const char* bar = std::strchr(p, '|');
  text->assign(p, bar != nullptr ? static_cast<std::size_t>(bar - p) : std::strlen(p));
  return true;
}

std::uint64_t EntrySize(const std::uint8_t first[], const std::uint8_t second[], unsigned from, unsigned to) {
  std::uint64_t size = 1;  // at most 255^5: no overflow
  for (unsigned l = from; l < to; ++l) {
    size *= static_cast<std::uint64_t>(first[l] <= second[l] ? second[l] - first[l] : first[l] - second[l]) + 1;
  }
  return size;
}

// `earlier` addresses of the message were expanded before this list.
int ExtractChannelList(const ScpiParameter& parameter, ScpiParameterValue& value, std::size_t earlier) {
  value.kind = kScpiValueChannelList;
  for (unsigned entry = 0;; ++entry) {
    ScpiParameter first[kListCapacity];
    ScpiParameter second[kListCapacity];
    unsigned dimensions = kListCapacity;
    bool range = false;
    const int code = scpi_param_get_channel_list(&parameter, entry, &dimensions, &range, first, second);
    if (code == kScpiNoSuchEntry) return kScpiOk;
    if (code != kScpiOk) return code;
    if (dimensions > CTorvexChannel::kMaxLevels) return kScpiListDimensions;

    std::uint8_t from[CTorvexChannel::kMaxLevels];
    std::uint8_t to[CTorvexChannel::kMaxLevels];
    bool ascending[CTorvexChannel::kMaxLevels];
    for (unsigned d = 0; d < dimensions; ++d) {
      std::int32_t a = 0;
      std::int32_t b = 0;
      if (scpi_param_get_int(&first[d], &a) != kScpiOk) return kScpiListValue;
      if (range) {
        if (scpi_param_get_int(&second[d], &b) != kScpiOk) return kScpiListValue;
      } else {
        b = a;
      }
      // The first level is the instrument's own connector, always 1; the others are ports 1 to 255.
      const std::int32_t high = d == 0 ? 1 : 255;
      if (a < 1 || a > high || b < 1 || b > high) return kScpiListValue;
      from[d] = static_cast<std::uint8_t>(a);
      to[d] = static_cast<std::uint8_t>(b);
      ascending[d] = a <= b;
    }
    if (earlier + value.channels.size() + EntrySize(from, to, 0, dimensions) > kScpiMaxChannelListSize) {
      return kScpiChannelListError;
    }
    std::vector<CTorvexChannel> addresses(1);
    const int expanded = scpi_expand_channel_list(addresses, from, to, ascending, 0, dimensions);
    if (expanded != kScpiOk) return expanded;
    value.channels.insert(value.channels.end(), addresses.begin(), addresses.end());
  }
}

}  // namespace

int scpi_expand_channel_list(std::vector<CTorvexChannel>& list, const std::uint8_t first[], const std::uint8_t second[],
                             const bool ascending[], unsigned level, unsigned dimensions) {
  if (dimensions > CTorvexChannel::kMaxLevels) return kScpiListDimensions;
  if (level >= dimensions) return kScpiOk;
  // Every address must have room for the levels still to come; checked before anything is changed.
  for (const CTorvexChannel& address : list) {
    if (address.Length() + (dimensions - level) > CTorvexChannel::kMaxLevels) return kScpiListDimensions;
  }
  if (list.size() * EntrySize(first, second, level, dimensions) > kScpiMaxChannelListSize) {
    return kScpiChannelListError;
  }
  for (unsigned l = level; l < dimensions; ++l) {
    std::vector<CTorvexChannel> next;
    next.reserve(list.size() * static_cast<std::size_t>(EntrySize(first, second, l, l + 1)));
    for (const CTorvexChannel& address : list) {
      int v = first[l];
      const int step = ascending[l] ? 1 : -1;
      for (;;) {
        CTorvexChannel extended(address);
        extended.AppendLevel(static_cast<std::uint8_t>(v));
        next.push_back(extended);
        if (v == second[l]) break;
        v += step;
      }
    }
    list.swap(next);
  }
  return kScpiOk;
}

int scpi_extract_parameters(const ScpiParameter parameters[kScpiParameterSlots], ScpiParsedCommand& command,
                            std::size_t* messageChannels) {
  std::size_t channels = messageChannels != nullptr ? *messageChannels : 0;
  for (std::size_t s = 0; s < kScpiParameterSlots; ++s) {
    const ScpiParameter& p = parameters[s];
    ScpiParameterValue& v = command.values[s];
    switch (p.type) {
      case kScpiTypeNone: break;
      case kScpiTypeNumber: {
        v.unitClass = p.number.unitClass;
        if ((p.number.flags & kScpiExponentNegative) == 0) {
          std::int32_t integer = 0;
          const int code = scpi_param_get_int(&p, &integer);
          if (code != kScpiOk) return Fail(command, code);
          v.kind = kScpiValueInteger;
          v.integer = integer;
        } else {
          double real = 0.0;
          scpi_param_get_double(&p, &real);
          v.kind = kScpiValueDouble;
          v.real = real;
        }
        break;
      }
      case kScpiTypeBoolean:
        v.kind = kScpiValueBoolean;
        v.boolean = p.boolean;
        break;
      case kScpiTypeChoice: {
        const ScpiChoiceDescriptor* choice =
            command.commandNumber < kScpiCommandCount ? kScpiParameterSpecs[command.commandNumber][s].choice : nullptr;
        if (choice == nullptr || !ChoiceText(choice->choices, p.choiceIndex, &v.text)) {
          return Fail(command, kScpiInternalError);
        }
        v.kind = kScpiValueChoice;
        break;
      }
      case kScpiTypeQuotedString: {
        // Every doubled quote character stands for one.
        v.text.clear();
        v.text.reserve(p.length);
        const char quote = static_cast<char>(p.quote);
        for (std::size_t i = 0; i < p.length; ++i) {
          v.text.push_back(p.text[i]);
          if (p.text[i] == quote && i + 1 < p.length && p.text[i + 1] == quote) ++i;
        }
        v.kind = kScpiValueString;
        break;
      }
      case kScpiTypeText:
        v.text.assign(p.text, p.length);
        v.kind = kScpiValueString;
        break;
      case kScpiTypeChannelList: {
        const int code = ExtractChannelList(p, v, channels);
        if (code != kScpiOk) return Fail(command, code);
        channels += v.channels.size();
        if (messageChannels != nullptr) *messageChannels = channels;
        break;
      }
      case kScpiTypeBlock:
        v.block.assign(reinterpret_cast<const std::uint8_t*>(p.text),
                       reinterpret_cast<const std::uint8_t*>(p.text) + p.length);
        v.kind = kScpiValueBlock;
        break;
      default: return Fail(command, kScpiInternalError);
    }
  }
  return kScpiOk;
}

bool scpi_is_query(const ScpiParsedCommand& command) {
  return command.commandNumber < kScpiCommandCount && kScpiCommandAttributes[command.commandNumber].query != 0;
}

bool scpi_is_allowed_while_locked(const ScpiParsedCommand& command) {
  return command.commandNumber < kScpiCommandCount &&
         kScpiCommandAttributes[command.commandNumber].allowedWhileLocked != 0;
}

std::uint8_t scpi_status_row_after_command(const ScpiParsedCommand& command) {
  return command.commandNumber < kScpiCommandCount ? kScpiCommandAttributes[command.commandNumber].statusRow
                                                   : static_cast<std::uint8_t>(kStatusRowNone);
}

int scpi_parse_program_message(const std::string& message, std::vector<ScpiParsedCommand>& commands,
                               ScpiParsedCommand& record) {
  commands.clear();
  const char* cursor = message.c_str();
  std::size_t remaining = message.size() + 1;  // the terminating NUL counts
  std::size_t channels = 0;                    // addresses expanded so far in this message
  for (bool first = true;; first = false) {
    record.Reset();
    std::uint8_t number = 0;
    std::uint8_t suffixFlag = 0;
    std::uint32_t suffixValue = 0;
    ScpiParameter parameters[kScpiParameterSlots];
    const int code = scpi_next_command(&cursor, &remaining, first, &number, parameters, &suffixFlag, &suffixValue);
    record.commandNumber = number;
    if (suffixFlag != 0) record.numericSuffix = suffixValue;
    record.errorCode = static_cast<std::uint8_t>(code);
    if (code == kScpiEndOfMessage) return kScpiOk;
    if (code == kScpiOk) scpi_extract_parameters(parameters, record, &channels);
    if (record.errorCode != kScpiOk) {
      commands.clear();
      return record.errorCode;
    }
    commands.push_back(record);
  }
}

}  // namespace Torvex
