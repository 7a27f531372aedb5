// The SCPI engine: cuts a program message into commands at ';', resolves each header against the
// command patterns (kScpiCommandPatterns) and splits and types its parameters against the parameter
// slots (kScpiParameterSpecs). It works in place on the message text, allocates nothing, takes no lock
// and reports every outcome as a small result code (ScpiResult).
//
// Its only state is the header path of compound headers, one for the whole program. Only the parser
// thread may call it (one command at a time; the help-syntax query runs on the same thread).
#pragma once

#include <cstddef>
#include <cstdint>

#include "scpi/scpi_types.h"

namespace Torvex {

// ---- Header matching ----------------------------------------------------------------------------

// Matching modes of scpi_match_header.
inline constexpr int kScpiMatchHeader = 0;  // text is the header, read behind the header path
inline constexpr int kScpiMatchChoice = 1;  // text is a character-data parameter, read directly

// Cuts the next command out of the message at *cursor and resolves it. *remaining counts the bytes
// from the cursor to the end of the message including its terminating NUL. Returns 0 when a command
// was resolved, kScpiEndOfMessage when none is left, else a failure code. The cursor is left on the
// ';' or NUL that ended the command, or after the bytes a failure consumed; *remaining follows it.
int scpi_next_command(const char** cursor, std::size_t* remaining, bool firstCommand, std::uint8_t* commandNumber,
                      ScpiParameter parameters[kScpiParameterSlots], std::uint8_t* suffixFlag,
                      std::uint32_t* suffixValue);

// Resolves one command already cut out of its message (no ';' outside strings and blocks).
int scpi_parse_command(const char* command, std::size_t length, bool firstCommand, std::uint8_t* commandNumber,
                       ScpiParameter parameters[kScpiParameterSlots], std::uint8_t* suffixFlag,
                       std::uint32_t* suffixValue);

// Compares one pattern with a text: 0 (match), kScpiSuffixRepeated, kScpiSuffixInvalid or kScpiSyntax.
// *suffixFlag is handed back set on a match that passed '#', and *suffixValue then holds the suffix.
int scpi_match_header(const char* pattern, std::size_t patternLength, const char* text, std::size_t textLength,
                      int mode, std::uint32_t* suffixValue, std::uint8_t* suffixFlag);

// Empties the header path.
void scpi_reset_line_state();

// ---- Parameters ---------------------------------------------------------------------------------

// Counts the parameters after the first headerLength characters of a command; hands back the
// parameter text (right after the header) and its length.
void scpi_count_parameters(const char* command, std::size_t length, std::size_t headerLength, unsigned* count,
                           const char** parameterText, std::size_t* parameterLength);

// Cuts the parameter text into the slots of the command and types each one.
int scpi_parse_parameters(std::uint8_t commandNumber, const char* text, std::size_t length,
                          ScpiParameter parameters[kScpiParameterSlots], std::uint32_t* suffixValue,
                          std::uint8_t* suffixFlag);

// Scans one decimal number; *consumed counts the characters taken, trailing blanks included.
int scpi_parse_number(const char* text, std::size_t length, ScpiNumber* number, std::size_t* consumed);

int scpi_parse_numeric_with_suffix(const char* text, std::size_t length, const ScpiNumericDescriptor* descriptor,
                                   ScpiParameter* record);

// booleanDefault: bit 0 a default exists, bit 1 its value.
int scpi_parse_bool(const char* text, std::size_t length, std::uint8_t booleanDefault, ScpiParameter* record);

int scpi_parse_choice(const char* text, std::size_t length, const ScpiParameterSpec* slot, ScpiParameter* record,
                      std::uint32_t* suffixValue, std::uint8_t* suffixFlag);

int scpi_parse_channel_list(const char* text, std::size_t length, const ScpiChannelListDescriptor* descriptor,
                            ScpiParameter* record);

// ---- Accessors: 0, or kScpiDataType when the record has another type ---------------------------

int scpi_param_get_type(const ScpiParameter* record, std::uint32_t* type, std::uint8_t* signFlags);
int scpi_param_get_unit(const ScpiParameter* record, std::uint32_t* unitClass);
// kScpiOutOfRange when the value lies outside the signed 32-bit range. A fraction is truncated
// toward zero.
int scpi_param_get_int(const ScpiParameter* record, std::int32_t* value);
int scpi_param_get_double(const ScpiParameter* record, double* value);
int scpi_param_get_bool(const ScpiParameter* record, std::uint8_t* value);
int scpi_param_get_char(const ScpiParameter* record, std::uint8_t* index);
// Types 4, 5 and 8.
int scpi_param_get_string(const ScpiParameter* record, const char** text, std::size_t* length, std::uint8_t* quote);
int scpi_param_get_block(const ScpiParameter* record, const char** begin, const char** end);
// Entry `entry` of a channel list. *dimensions is the capacity of the two arrays on entry and the
// number of dimensions found on return. kScpiNoSuchEntry when the entry does not exist,
// kScpiTooManyDimensions when it has more dimensions than the capacity.
int scpi_param_get_channel_list(const ScpiParameter* record, unsigned entry, unsigned* dimensions, bool* isRange,
                                ScpiParameter first[], ScpiParameter second[]);

// A double converted to a signed 32-bit integer, truncated toward zero; kScpiOutOfRange (and *value
// untouched) when it is not a number or lies outside the range.
int scpi_double_to_int(double value, std::int32_t* result);

// True when `text` is one whole element of a list of elements separated by `separator` (letter case
// counts). An element never matches a part of another one.
bool scpi_list_contains(const char* list, char separator, const char* text, std::size_t length);

// ---- Unit suffixes ------------------------------------------------------------------------------

inline constexpr std::size_t kScpiUnitSuffixCount = 24;
// kScpiUnitSuffixCount rows, then a row with an empty suffix.
extern const ScpiUnitSuffix kScpiUnitSuffixes[kScpiUnitSuffixCount + 1];

}  // namespace Torvex
