#include "settings/EepromIdentityRecord.h"

#include <cstdio>

#include "tree/CParameterNode.h"

namespace Torvex {

std::string EepromText(const EepromIdentityRecord& record, std::size_t offset, std::size_t width) {
  if (offset >= record.bytes.size()) return {};
  if (width > record.bytes.size() - offset) width = record.bytes.size() - offset;
  std::string text;
  for (std::size_t i = 0; i < width && record.bytes[offset + i] != 0; ++i) {
    text.push_back(static_cast<char>(record.bytes[offset + i]));
  }
  return text;
}

std::uint32_t EepromNumber(const EepromIdentityRecord& record, std::size_t offset, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width && i < 4 && offset + i < record.bytes.size(); ++i) {
    value |= static_cast<std::uint32_t>(record.bytes[offset + i]) << (8 * i);
  }
  return value;
}

std::string EepromVersionText(const EepromIdentityRecord& record) {
  return EepromText(record, kEepromVersionOffset, kEepromVersionWidth);
}

std::uint32_t EepromSerialNumber(const EepromIdentityRecord& record) {
  return EepromNumber(record, kEepromSerialOffset, 4);
}

void TorvexApplyEepromIdentity(const EepromIdentityRecord& record) {
  for (const EepromIdentityField& field : kEepromIdentityFields) {
    if (field.node == nullptr || *field.node == nullptr) continue;
    CParameterNode* node = *field.node;
    switch (field.kind) {
      case eEepromField::Unused: break;
      case eEepromField::Text:
        node->SetStringAttribute(eAttrValue, EepromText(record, field.offset, field.width));
        break;
      case eEepromField::U32:
      case eEepromField::U16:
        node->SetInt32Attribute(eAttrValue, static_cast<std::int32_t>(EepromNumber(record, field.offset, field.width)));
        break;
      case eEepromField::Mac: {
        const std::uint8_t* mac = &record.bytes[field.offset];
        char text[32];
        std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                      mac[5]);
        node->SetStringAttribute(eAttrValue, text);
        break;
      }
    }
  }
}

}  // namespace Torvex
