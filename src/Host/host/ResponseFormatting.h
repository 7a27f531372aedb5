// Building the reply text of a command: the "," rule, sized number formatting, IEEE 488.2 definite
// length blocks ("#6" and six digits) and joined number lists. Parser thread only (the reply text
// belongs to it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/CTorvexChannel.h"
#include "scpi/ScpiParsedCommand.h"
#include "tree/CParameterNode.h"

namespace Torvex {

// The largest byte count a "#6" block can state.
inline constexpr std::size_t kMaxBlockBytes = 999999;

// printf-style formatting into a string of whatever size the result needs.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Appends `text`; with `separator`, a "," first when this command already wrote something.
void AppendResponse(ScpiParsedCommand& command, std::string_view text, bool separator);

// Room for `count` bytes at the end of the reply ("," first under the same rule), zero-filled; null
// when the command's reply is of indefinite form or the reply has no command bound. The pointer is
// valid until the reply next changes.
std::uint8_t* ReserveResponse(ScpiParsedCommand& command, std::size_t count);

// "#6" and the six-digit count; empty when count exceeds kMaxBlockBytes.
std::string BlockHeader(std::size_t count);

// Reserves a whole "#6" block of `count` data bytes and returns where the data go; null when the
// block would exceed kMaxBlockBytes or ReserveResponse refuses.
std::uint8_t* ReserveBlock(ScpiParsedCommand& command, std::size_t count);

// A Float64 attribute as "%.15e", a Boolean or Int32 one as "%d"; error code 254 and "" when the node
// or the attribute is missing.
std::string FormatNumericAttribute(ScpiParsedCommand& command, CParameterNode* node, int attribute);

// A "#6" block of the channels' level bytes, one 0 byte between two channels.
std::string ChannelListToBlock(const std::vector<CTorvexChannel>& channels);

// The values in default stream notation (six significant digits) joined by `separator`.
std::string JoinNumbers(const float* values, std::size_t count, std::string_view separator);

}  // namespace Torvex
