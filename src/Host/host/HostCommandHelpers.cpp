#include "host/HostCommandHelpers.h"

#include <algorithm>

#include "core/CRecursiveMutex.h"
#include "tree/BoundParameterNodes.h"
#include "tree/TopologyLock.h"

namespace Torvex {

std::vector<CTorvexChannel> CopyCurrentChannelList() {
  CRecursiveLockGuard topology(g_TopologyLock);
  CRecursiveLockGuard tree(g_ParameterTreeLock);
  CParameterNode* node = g_node_current_probe_current_channel_list;
  if (node == nullptr) return {};
  const auto* list = static_cast<const std::vector<CTorvexChannel>*>(node->GetPointerAttribute(eAttrValue));
  if (list == nullptr) return {};
  std::vector<CTorvexChannel> copy;
  copy.reserve(list->size());
  for (const CTorvexChannel& channel : *list) copy.push_back(channel);  // each copy clamps to five levels
  return copy;
}

std::string ChannelListToText(const std::vector<CTorvexChannel>& channels) {
  std::string text = "(@";
  for (std::size_t i = 0; i < channels.size(); ++i) {
    if (i != 0) text += ',';
    const CTorvexChannel& channel = channels[i];
    for (std::uint8_t level = 0; level < channel.Length(); ++level) {
      if (level != 0) text += '!';
      text += std::to_string(static_cast<unsigned>(channel.Level(level)));
    }
  }
  text += ')';
  return text;
}

std::string DefiniteLengthHeader(std::size_t length) {
  const std::string digits = std::to_string(length);
  return "#" + std::to_string(digits.size()) + digits;
}

bool ReplyInTextFormat() {
  CParameterNode* node = g_node_host_if_parameters_format;
  return node != nullptr && node->GetStringAttribute(eAttrValue) == "ASCii";
}

std::int32_t ClampToNodeRange(std::int32_t value, CParameterNode* node) {
  if (node == nullptr || node->Type() != eNodeType::Int32) return value;
  CRecursiveLockGuard tree(g_ParameterTreeLock);
  const std::int32_t minimum = node->GetInt32Attribute(eAttrMinimum);
  const std::int32_t maximum = node->GetInt32Attribute(eAttrMaximum);
  if (minimum > maximum) return value;
  return std::clamp(value, minimum, maximum);
}

}  // namespace Torvex
