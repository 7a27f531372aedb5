// EepromIdentityRecord: the board's factory identity, 140 bytes at offset 0 of the on-board EEPROM,
// written at manufacture and only read by the firmware (once, by the start-up settings).
//
// Numbers are unsigned little-endian; texts are ASCII, ended by a NUL inside their field. A text is
// read up to its NUL or to the end of its field, whichever comes first, so a field without a NUL
// never reads into the next one. kEepromIdentityFields gives every field in record order with the
// system node that receives it; TorvexApplyEepromIdentity writes them in that order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "tree/BoundParameterNodes.h"

namespace Torvex {

inline constexpr std::size_t kEepromIdentityRecordSize = 140;

struct EepromIdentityRecord {
  std::array<std::uint8_t, kEepromIdentityRecordSize> bytes;
};
static_assert(sizeof(EepromIdentityRecord) == kEepromIdentityRecordSize);

enum class eEepromField : std::uint8_t {
  Unused,  // not read by the firmware
  Text,    // String node
  U32,     // Int32 node, bits unchanged
  U16,     // Int32 node, zero-extended
  Mac,     // String node, "%02x:%02x:%02x:%02x:%02x:%02x"
};

struct EepromIdentityField {
  std::uint8_t offset;
  std::uint8_t width;
  eEepromField kind;
  CParameterNode** node;  // the bound pointer of the receiving node; null for unused bytes
};

inline constexpr std::size_t kEepromIdentityFieldCount = 20;
inline constexpr std::array<EepromIdentityField, kEepromIdentityFieldCount> kEepromIdentityFields{{
    {0, 8, eEepromField::Unused, nullptr},
    {8, 8, eEepromField::Text, &g_node_system_eeprom_version},
    {16, 8, eEepromField::Text, &g_node_system_eeprom_date_created},
    {24, 12, eEepromField::Text, &g_node_system_eeprom_time_created},
    {36, 32, eEepromField::Text, &g_node_system_manufacturer},
    {68, 8, eEepromField::Text, &g_node_system_model},
    {76, 4, eEepromField::U32, &g_node_system_serial_no},
    {80, 8, eEepromField::Text, &g_node_system_manuf_date},
    {88, 8, eEepromField::Text, &g_node_system_calib_date},
    {96, 8, eEepromField::Text, &g_node_system_versions_hardware},
    {104, 4, eEepromField::U32, &g_node_system_eeprom_option_bits},
    {108, 4, eEepromField::U32, &g_node_system_rf_min_freq},
    {112, 4, eEepromField::U32, &g_node_system_rf_max_freq},
    {116, 6, eEepromField::Mac, &g_node_system_esa},
    {122, 2, eEepromField::Unused, nullptr},
    {124, 2, eEepromField::U16, &g_node_system_usb_vendor_id},
    {126, 2, eEepromField::U16, &g_node_system_usb_product_id},
    {128, 8, eEepromField::Text, &g_node_system_usb_version},
    {136, 2, eEepromField::U16, &g_node_system_usb_version_bcd},
    {138, 2, eEepromField::Unused, nullptr},
}};

// The fields tile the record: each starts where the previous one ends, and the last ends at 140.
constexpr bool EepromFieldsTileRecord() {
  std::size_t next = 0;
  for (const EepromIdentityField& field : kEepromIdentityFields) {
    if (field.offset != next) return false;
    next += field.width;
  }
  return next == kEepromIdentityRecordSize;
}

static_assert(EepromFieldsTileRecord());

// Offsets of the two fields the start-up reads for itself.
inline constexpr std::size_t kEepromVersionOffset = 8;
inline constexpr std::size_t kEepromVersionWidth = 8;
inline constexpr std::size_t kEepromSerialOffset = 76;
static_assert(kEepromIdentityFields[1].offset == kEepromVersionOffset &&
              kEepromIdentityFields[1].width == kEepromVersionWidth);
static_assert(kEepromIdentityFields[6].offset == kEepromSerialOffset && kEepromIdentityFields[6].width == 4);

// The text of a field: its bytes up to the first NUL, at most `width` of them.
std::string EepromText(const EepromIdentityRecord& record, std::size_t offset, std::size_t width);
std::uint32_t EepromNumber(const EepromIdentityRecord& record, std::size_t offset, std::size_t width);

// The record's version text (offset 8).
std::string EepromVersionText(const EepromIdentityRecord& record);
// The record's serial number (offset 76).
std::uint32_t EepromSerialNumber(const EepromIdentityRecord& record);

// Writes every field into its node (bound pointers must be set), in record order, through the
// node setters.
void TorvexApplyEepromIdentity(const EepromIdentityRecord& record);

}  // namespace Torvex
