// Types of the SCPI engine: result codes, parameter types, parameter-slot specifications with their
// descriptors, the unit-suffix row and the typed parameter record that points into the message text.
// Plain data shared by the engine (scpi_engine.h), the command table (scpi_command_table.h) and the
// parser's value extraction (scpi_value_extraction.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace Torvex {

// Result codes of the engine. The parser maps each to one row of the SCPI error table.
enum ScpiResult : int {
  kScpiOk = 0,
  kScpiSuffixRepeated = 5,       // a second numeric suffix in one match
  kScpiEndOfMessage = 10,        // no further command in the message
  kScpiSuffixInvalid = 14,       // header suffix 0 or above 4294967295
  kScpiListValue = 16,           // malformed block header or block beyond the message; list value not allowed
  kScpiListDimensions = 17,      // wrong number of channel-list dimensions
  kScpiOutOfRange = 20,          // exponent or value out of range
  kScpiWrongUnit = 30,           // unit suffix unknown or not allowed
  kScpiDataType = 40,            // parameter of the wrong form
  kScpiParameterCount = 50,      // number of parameters outside the slots of the command
  kScpiInvalidString = 60,       // unterminated or malformed string
  kScpiParentheses = 65,         // unbalanced parentheses
  kScpiSyntax = 70,              // no pattern matches; #0 without a final line feed
  kScpiNoSuchEntry = 200,        // channel-list accessor: no entry at that index
  kScpiTooManyDimensions = 210,  // channel-list accessor: more dimensions than the capacity
  kScpiChannelListError = 248,   // a channel list whose expansion exceeds the bound
  kScpiInternalError = 254,      // choice index beyond its list
};

// Parameter types (type of a slot and of a parsed ScpiParameter).
enum ScpiParameterType : std::uint32_t {
  kScpiTypeNone = 0,
  kScpiTypeNumber = 1,
  kScpiTypeBoolean = 2,
  kScpiTypeChoice = 3,
  kScpiTypeQuotedString = 4,
  kScpiTypeText = 5,
  kScpiTypeUnused6 = 6,
  kScpiTypeUnused7 = 7,
  kScpiTypeChannelList = 8,
  kScpiTypeBlock = 9,
};

// Unit classes; kScpiUnitListEnd ends a list of allowed classes.
enum ScpiUnitClass : std::uint32_t {
  kScpiUnitNone = 0,
  kScpiUnitDecibel = 1,
  kScpiUnitHertz = 2,
  kScpiUnitProtonHertz = 3,
  kScpiUnitPpm = 4,
  kScpiUnitSecond = 5,
  kScpiUnitTesla = 6,
  kScpiUnitVolt = 7,
  kScpiUnitListEnd = 8,
};

// Slot flag: the parameter may be omitted.
inline constexpr std::uint32_t kScpiSlotOptional = 0x1;

// Number flags of a parsed number.
inline constexpr std::uint8_t kScpiNumberNegative = 0x1;
inline constexpr std::uint8_t kScpiExponentNegative = 0x2;

// The largest decimal exponent magnitude a parsed number keeps.
inline constexpr int kScpiMaxExponent = 43;

struct ScpiNumericDescriptor {
  std::uint32_t defaultUnitClass;       // class of a number without suffix; 0 = no unit
  const std::uint32_t* allowedClasses;  // further allowed classes ended by kScpiUnitListEnd, or null
  std::int8_t defaultExponent;          // exponent shift of a number without suffix
};

// Alternative type of a choice: tried when the text is none of the alternatives.
enum ScpiChoiceAlternative : std::uint32_t {
  kScpiAlternativeNone = 0,
  kScpiAlternativeNumber = 1,
  kScpiAlternativeBoolean = 2,
};

struct ScpiChoiceDescriptor {
  const char* choices;        // alternatives separated by '|', written like pattern nodes
  std::uint8_t defaultIndex;  // 255 = none
  std::uint32_t alternativeType;
  const ScpiNumericDescriptor* alternative;  // descriptor of a numeric alternative, else null
};

inline constexpr std::uint8_t kScpiNoDefaultIndex = 255;

// Channel-list descriptor flags.
inline constexpr std::uint8_t kScpiListFractions = 0x1;
inline constexpr std::uint8_t kScpiListNegatives = 0x2;
inline constexpr std::uint8_t kScpiListRangeCheck = 0x4;

struct ScpiChannelListDescriptor {
  std::uint8_t flags;
  std::uint8_t minDimensions;
  std::uint8_t maxDimensions;
  std::int32_t minValue;
  std::int32_t maxValue;
};

// One parameter slot of a command. Only the descriptor matching the type is set.
struct ScpiParameterSpec {
  std::uint32_t flags = 0;
  std::uint32_t type = kScpiTypeNone;
  const ScpiNumericDescriptor* numeric = nullptr;
  const ScpiChoiceDescriptor* choice = nullptr;
  const ScpiChannelListDescriptor* channelList = nullptr;
  // Boolean default: bit 0 a default exists, bit 1 its value. No slot of the command table has one.
  std::uint8_t booleanDefault = 0;
};

inline constexpr std::size_t kScpiParameterSlots = 4;

// A parsed number: mantissa x 10^exponent with the signs of the flags. The mantissa carries no
// trailing decimal zeros unless it is 0.
struct ScpiNumber {
  std::uint64_t mantissa = 0;
  std::uint8_t exponent = 0;  // magnitude, 0 to 43
  std::uint8_t flags = 0;     // kScpiNumberNegative, kScpiExponentNegative
  std::uint32_t unitClass = kScpiUnitNone;
};

// A typed parameter. Texts point into the message; nothing is owned.
struct ScpiParameter {
  std::uint32_t type = kScpiTypeNone;  // 0 when the parameter was omitted
  ScpiNumber number;                   // type 1
  std::uint8_t boolean = 0;            // type 2
  std::uint8_t choiceIndex = 0;        // type 3
  const char* choices = nullptr;       // type 3: the choice list, null when the default was taken
  const char* text = nullptr;          // types 4, 5: the string; 8: the list body; 9: the block data
  std::size_t length = 0;
  std::uint8_t quote = 0;  // type 4: the quote character; 0 otherwise
};

// One row of the unit-suffix table; the table ends with an empty suffix.
struct ScpiUnitSuffix {
  const char* suffix;
  std::uint32_t unitClass;
  std::int8_t exponent;
};

}  // namespace Torvex
