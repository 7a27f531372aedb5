// Building reply texts (see ResponseFormatting.h).
#include "host/ResponseFormatting.h"

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <sstream>

#include "core/CRecursiveMutex.h"
#include "host/CTorvexHostParser.h"

namespace Torvex {

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(length));
  }
  va_end(args);
  return text;
}

namespace {

// The "," rule: a separator when this command already wrote something.
void AppendSeparator(ScpiParsedCommand& command) {
  if (command.reply->size() > command.replyLength) command.reply->push_back(',');
}

}  // namespace

void AppendResponse(ScpiParsedCommand& command, std::string_view text, bool separator) {
  if (command.reply == nullptr) return;
  if (separator) AppendSeparator(command);
  command.reply->append(text.data(), text.size());
}

std::uint8_t* ReserveResponse(ScpiParsedCommand& command, std::size_t count) {
  if (command.indefiniteResponse != 0 || command.reply == nullptr) return nullptr;
  AppendSeparator(command);
  const std::size_t start = command.reply->size();
  command.reply->append(count, '\0');
  return reinterpret_cast<std::uint8_t*>(command.reply->data() + start);
}

std::string BlockHeader(std::size_t count) {
  if (count > kMaxBlockBytes) return std::string();
  return FormatText("#6%06u", static_cast<unsigned>(count));
}

std::uint8_t* ReserveBlock(ScpiParsedCommand& command, std::size_t count) {
  const std::string header = BlockHeader(count);
  if (header.empty()) return nullptr;
  std::uint8_t* room = ReserveResponse(command, header.size() + count);
  if (room == nullptr) return nullptr;
  std::copy(header.begin(), header.end(), room);
  return room + header.size();
}

std::string FormatNumericAttribute(ScpiParsedCommand& command, CParameterNode* node, int attribute) {
  std::string text;
  if (node != nullptr && AttributePresent(node->Type(), attribute)) {
    CRecursiveLockGuard lock(g_ParameterTreeLock);
    switch (node->Type()) {
      case eNodeType::Float64: text = FormatText("%.15e", node->GetFloat64Attribute(attribute)); break;
      case eNodeType::Int32: text = FormatText("%d", node->GetInt32Attribute(attribute)); break;
      case eNodeType::Boolean: text = FormatText("%d", node->GetBooleanAttribute(attribute) ? 1 : 0); break;
      default: break;
    }
  }
  if (text.empty() && command.errorCode == 0) command.errorCode = kCommandInternal;
  return text;
}

std::string ChannelListToBlock(const std::vector<CTorvexChannel>& channels) {
  std::string data;
  for (std::size_t k = 0; k < channels.size(); ++k) {
    if (k > 0) data.push_back('\0');
    const CTorvexChannel& channel = channels[k];
    const std::uint8_t levels =
        channel.Length() < CTorvexChannel::kMaxLevels ? channel.Length() : CTorvexChannel::kMaxLevels;
    for (std::uint8_t level = 0; level < levels; ++level) data.push_back(static_cast<char>(channel.Level(level)));
  }
  const std::string header = BlockHeader(data.size());
  if (header.empty()) return std::string();
  return header + data;
}

std::string JoinNumbers(const float* values, std::size_t count, std::string_view separator) {
  std::ostringstream out;
  for (std::size_t k = 0; k < count; ++k) {
    if (k > 0) out << separator;
    out << static_cast<double>(values[k]);
  }
  return out.str();
}

}  // namespace Torvex
