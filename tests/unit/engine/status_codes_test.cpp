// The public status table and the mapping of internal status words to public codes.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "engine/DoVovuriStatus.h"

namespace {

struct MappingCase {
  const char* name;
  std::uint32_t internal;
  std::uint32_t expected;
};
void PrintTo(const MappingCase& c, std::ostream* os) {
  *os << c.name << " (0x" << std::hex << c.internal << std::dec << ")";
}

class StatusMapping : public ::testing::TestWithParam<MappingCase> {};

TEST_P(StatusMapping, MapsByLowByte) { EXPECT_EQ(DoVovuriPublicStatus(GetParam().internal), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Rows, StatusMapping,
    ::testing::Values(MappingCase{"SuccessStaysZero", 0, 0},
                      MappingCase{"NoPhysicalInterface", 0x54300, DOVOVURI_STATUS_HARDWARE_NOT_FOUND},
                      MappingCase{"InterfaceNotEnabled", 0x54303, DOVOVURI_STATUS_DEVICE_NOT_ENABLED},
                      MappingCase{"InterfaceAlreadyEnabledIsHardwareError", 0x54304, DOVOVURI_STATUS_HARDWARE_ERROR},
                      MappingCase{"DeviceNotFound", 0x54310, DOVOVURI_STATUS_DEVICE_NOT_ENABLED},
                      MappingCase{"NotEnabledMapsToItself", 0x54318, DOVOVURI_STATUS_DEVICE_NOT_ENABLED},
                      MappingCase{"AlreadyBound", 0x54311, DOVOVURI_STATUS_DEVICE_ALREADY_EXISTS},
                      MappingCase{"NoInputBufferIsIoError", 0x54321, DOVOVURI_STATUS_IO_ERROR},
                      MappingCase{"NoResponseQueuedIsIoError", 0x54322, DOVOVURI_STATUS_IO_ERROR},
                      MappingCase{"ResponseQueued", 0x54323, DOVOVURI_STATUS_RESPONSE_MSG_ALREADY_QUEUED},
                      MappingCase{"Deadlocked", 0x54330, DOVOVURI_STATUS_DEADLOCKED},
                      MappingCase{"RelaxedAlreadyDisabled", 0x54338, DOVOVURI_STATUS_RELAXED_MODE_ALREADY_DISABLED},
                      MappingCase{"MepGroupDefault", 0x54339, DOVOVURI_STATUS_MEP_ERROR},
                      MappingCase{"NullPointerIsParameterError", 0x54341, DOVOVURI_STATUS_PARAMETER_ERROR},
                      MappingCase{"EventInvalidIsParameterError", 0x54345, DOVOVURI_STATUS_PARAMETER_ERROR},
                      MappingCase{"QueueEmptyIsEventError", 0x54354, DOVOVURI_STATUS_EVENT_ERROR},
                      MappingCase{"WaitTimedOut", 0x54356, DOVOVURI_STATUS_EVENT_MSG_UNAVAILABLE},
                      MappingCase{"FactoryMissingIsComponentError", 0x54361, DOVOVURI_STATUS_COMPONENT_ERROR},
                      MappingCase{"SettingsInvalid", 0x54370, DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID},
                      MappingCase{"SettingsGroupLastRow", 0x5437F, DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID},
                      MappingCase{"GpibGroup", 0x54385, DOVOVURI_STATUS_GPIB_PLUGIN_ERROR},
                      MappingCase{"Portmapper", 0x54393, DOVOVURI_STATUS_PORTMAPPER_NOT_PRESENT},
                      MappingCase{"UsbGroup", 0x543A1, DOVOVURI_STATUS_USB_PLUGIN_ERROR},
                      MappingCase{"UnknownB5", 0x543B5, DOVOVURI_STATUS_UNKNOWN},
                      MappingCase{"UnknownF5", 0x543F5, DOVOVURI_STATUS_UNKNOWN},
                      MappingCase{"OutOfMemory", 0x543F0, DOVOVURI_STATUS_INSUFFICIENT_MEMORY},
                      MappingCase{"NotReportedIsDriverFault", 0x543FF, DOVOVURI_STATUS_DRIVER_FAULT},
                      MappingCase{"OsTimeoutIsRowSix", 6, DOVOVURI_STATUS_HARDWARE_ALREADY_IN_USE},
                      MappingCase{"OsNoMemoryIsRowFive", 5, DOVOVURI_STATUS_HARDWARE_ERROR},
                      MappingCase{"OnlyTheLowByteCounts", 0xFFFFFF10, DOVOVURI_STATUS_DEVICE_NOT_ENABLED}),
    [](const ::testing::TestParamInfo<MappingCase>& info) { return std::string(info.param.name); });

TEST(StatusTable, EveryRowTextIsItsCodesNameAndSentence) {
  for (std::size_t row = 0; row < kDoVovuriStatusRowCount; ++row) {
    const DoVovuriStatusRow& r = DoVovuriStatusTable[row];
    ASSERT_NE(r.text, nullptr) << row;
    EXPECT_EQ(std::strncmp(r.text, "DOVOVURI_STATUS_", 16), 0) << row;
    const char* colon = std::strstr(r.text, ": ");
    ASSERT_NE(colon, nullptr) << r.text;
    EXPECT_EQ(r.text[std::strlen(r.text) - 1], '.') << r.text;
    EXPECT_STREQ(DoVovuriStatusText(r.code), r.text);
  }
}

TEST(StatusTable, GroupsAndTheirOwnRows) {
  int unknown = 0;
  for (const DoVovuriStatusRow& r : DoVovuriStatusTable) unknown += r.code == DOVOVURI_STATUS_UNKNOWN;
  EXPECT_EQ(unknown, 77);
  EXPECT_STREQ(DoVovuriStatusTable[0x18].text,
               "DOVOVURI_STATUS_DEVICE_NOT_ENABLED: The specified device is not enabled.");
  EXPECT_STREQ(DoVovuriStatusTable[0x62].text,
               "DOVOVURI_STATUS_INTERNAL_INCOMPATIBILITY: The versions of the internal DO-Vovuri components "
               "are incompatible with each other.");
  for (std::size_t row = 0x70; row <= 0x7F; ++row) {
    EXPECT_EQ(DoVovuriStatusTable[row].code, DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID) << row;
  }
  // A public code used again as an internal one maps to itself, except the codes whose row belongs
  // to another code (0x54318 stands in rows 0x03, 0x10 and 0x18).
  for (std::size_t row = 0; row < kDoVovuriStatusRowCount; ++row) {
    const std::uint32_t code = DoVovuriStatusTable[row].code;
    EXPECT_EQ(DoVovuriPublicStatus(code), code) << std::hex << code;
  }
  EXPECT_EQ(DoVovuriStatusText(0x54302), nullptr);
}

}  // namespace
