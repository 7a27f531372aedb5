// Small pieces shared by the measurement, mass-memory and route commands: the current channel list
// copied safely, channel lists as text, the reply's data format, and integer parameters kept inside
// their node's range once a getter has refused them. Parser thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/CTorvexChannel.h"
#include "tree/CParameterNode.h"

namespace Torvex {

// A copy of the list current_probe/current_channel_list refers to (empty when none), taken under
// g_TopologyLock and then the tree lock: the routing code replaces that list under the topology lock,
// so the copy never sees it half written, and nothing later reads the shared list itself.
std::vector<CTorvexChannel> CopyCurrentChannelList();

// "(@", the channels joined by ",", each its levels in "%u" joined by "!", then ")".
std::string ChannelListToText(const std::vector<CTorvexChannel>& channels);

// True when host_if/parameters/format is exactly "ASCii" (text replies); any other value, a missing
// node included, selects binary blocks.
bool ReplyInTextFormat();

// The header of an IEEE 488.2 definite-length block of `length` data bytes with as many length
// digits as the length needs: "#", the digit count, the length ("#15" for 5, "#565536" for 65536).
std::string DefiniteLengthHeader(std::size_t length);

// `value` moved into the node's [minimum, maximum] (Int32 node); `value` itself without such a node.
std::int32_t ClampToNodeRange(std::int32_t value, CParameterNode* node);

}  // namespace Torvex
