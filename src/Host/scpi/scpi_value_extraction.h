// From typed engine parameters to the values of a parsed command, and the command-table accessors
// that the parser loop and the dispatcher use. These are the parser's operations ExtractParameters,
// ExpandChannelList, IsQuery, IsAllowedWhileLocked and StatusRowAfterCommand as free functions, plus
// the parse step of a program message; the parser class calls or wraps them.
//
// Parser thread only (they use the engine, whose header path is unguarded).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/CTorvexChannel.h"
#include "scpi/ScpiParsedCommand.h"
#include "scpi/scpi_types.h"

namespace Torvex {

// The most channel addresses the channel lists of one program message may expand to. A larger list
// is refused (kScpiChannelListError) before anything is expanded: a few bytes of list text could
// otherwise ask for millions of addresses.
inline constexpr std::size_t kScpiMaxChannelListSize = 10000;

// Fills the value slots of `command` from the four typed parameters, slot by slot. The first failure
// is written to command.errorCode (unless a code is already there), ends the conversion and is
// returned; 0 when every slot converted. `messageChannels`, when given, counts the channel addresses
// already expanded for earlier commands of the same message (in/out) and shares the bound with them.
int scpi_extract_parameters(const ScpiParameter parameters[kScpiParameterSlots], ScpiParsedCommand& command,
                            std::size_t* messageChannels = nullptr);

// Extends every address of `list`, level by level from `level` to dimensions - 1, by each value from
// first[l] to second[l] (counting up when ascending[l], else down); the last level varies fastest.
// Called with a list of one empty address and level 0 it expands one channel-list entry.
// kScpiListDimensions when an address would get more than the five levels of a channel,
// kScpiChannelListError when the result would exceed kScpiMaxChannelListSize addresses; the list is
// then unchanged.
int scpi_expand_channel_list(std::vector<CTorvexChannel>& list, const std::uint8_t first[], const std::uint8_t second[],
                             const bool ascending[], unsigned level, unsigned dimensions);

// Columns of the command's row in kScpiCommandAttributes (0 for a number outside the table).
bool scpi_is_query(const ScpiParsedCommand& command);
bool scpi_is_allowed_while_locked(const ScpiParsedCommand& command);
std::uint8_t scpi_status_row_after_command(const ScpiParsedCommand& command);

// The parse step of one program message: cuts and resolves every command with the engine (the first
// with the first-command flag) and extracts its values into `record`, appending a copy to `commands`.
// Returns 0 when the whole message parsed. Otherwise returns the failing code, leaves the failing
// record (with that error code) in `record` and `commands` empty: no command of the message may run.
int scpi_parse_program_message(const std::string& message, std::vector<ScpiParsedCommand>& commands,
                               ScpiParsedCommand& record);

}  // namespace Torvex
