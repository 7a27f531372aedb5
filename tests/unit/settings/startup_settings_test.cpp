// Start-up settings: saved, refused and factory files, the parameter-file and EEPROM version rule,
// the EEPROM identity record in the system nodes and the default host name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "platform/bootloader.h"
#include "settings/EepromIdentityRecord.h"
#include "settings_support.h"
#include "sim/identity_image.h"

namespace {

using namespace Torvex;
using namespace torvex_test;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kReadSaved = "TorvexLoadStartupSettings: Reading /yaffs/settings/LastPowerOff.xml\n";
constexpr const char* kDeleteSaved =
    "TorvexLoadStartupSettings: Error in file; deleting /yaffs/settings/LastPowerOff.xml\n";
constexpr const char* kReadFactory = "TorvexLoadStartupSettings: Reading /romfs/factory.xml\n";
constexpr const char* kReadEeprom = "TorvexLoadStartupSettings: Reading EEPROM\n";

// An identity record: the board's default with changes.
class Record {
 public:
  Record() : image_(sim::DefaultEepromImage()) {}
  Record& Text(std::size_t offset, std::size_t width, const std::string& text) {
    std::fill_n(image_.begin() + offset, width, 0);
    std::copy(text.begin(), text.end(), image_.begin() + offset);
    return *this;
  }
  Record& Bytes(std::size_t offset, std::vector<std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), image_.begin() + offset);
    return *this;
  }
  Record& Number(std::size_t offset, std::size_t width, std::uint32_t value) {
    for (std::size_t i = 0; i < width; ++i) image_[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    return *this;
  }
  void Load() const { ASSERT_TRUE(TestBoard().LoadEeprom(0, image_)); }

 private:
  std::array<std::uint8_t, sim::kEepromImageSize> image_;
};

class StartupSettingsTest : public torvex_test::BoardRootTest {
 protected:
  void SetUp() override {
    TestBoard();
    BoardRootTest::SetUp();
    WriteHostFile(Romfs("factory.xml"), FactoryText());
    MountBoth();
    DiscardTree();
    Record().Load();
    platform::bootloader::ClearServiceCalls();
  }
  void TearDown() override {
    TestBoard().ClearI2cFaults();
    DiscardTree();
    BoardRootTest::TearDown();
  }

  void WriteSaved(const std::string& text) { WriteHostFile(Yaffs("settings/LastPowerOff.xml"), text); }

  // Runs the start-up load, keeping what it prints on standard error out of the test output.
  std::string Load() {
    const std::string before = MarkLog();
    testing::internal::CaptureStderr();
    EXPECT_EQ(TorvexLoadStartupSettings(), 0);
    testing::internal::GetCapturedStderr();
    return LogSince(before);
  }

  // Runs the start-up load on a kernel thread and expects it to panic: firmware-update mode is asked
  // for and the load does not go on.
  std::string LoadAndExpectPanic() {
    const std::string before = MarkLog();
    testing::internal::CaptureStderr();
    int result = 0;
    {
      KernelCall call([&] { result = TorvexLoadStartupSettings(); });
      EXPECT_TRUE(WaitFor(
          [] { return platform::bootloader::ServiceCalls(platform::bootloader::kServiceFirmwareUpdate) == 1; }));
      EXPECT_FALSE(call.Done());
    }
    testing::internal::GetCapturedStderr();
    EXPECT_NE(result, 0);
    const std::string log = LogSince(before);
    EXPECT_THAT(log, HasSubstr("CTorvexPower::Panic !!!\nEntering DFU mode...\n"));
    return log;
  }
};

// --- the version rule ------------------------------------------------------------------------------

TEST(VersionRule, OnlyTheBoundsPass) {
  struct Case {
    const char* text;
    bool parameter_file;  // accepted as a parameter-file version (3.4)
    bool eeprom;          // accepted as an EEPROM record version (2.0)
  };
  const Case cases[] = {
      {"3.4", true, false},   {"03.4", true, false},   {"3.04", true, false},    {"3.4.1", true, false},
      {" +3.4", true, false}, {"3.4abc", true, false}, {"3.40", false, false},   {"3.3", false, false},
      {"3.5", false, false},  {"4.0", false, false},   {"3", false, false},      {"", false, false},
      {"2.0", false, true},   {"2.00", false, true},   {"2.1", false, false},    {"1.9", false, false},
      {"3.0", false, false},  {"2", false, false},     {"65539.4", true, false}, {"x.y", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TorvexVersionAccepted(c.text, kParameterFileVersion, kParameterFileVersion), c.parameter_file) << c.text;
    EXPECT_EQ(TorvexVersionAccepted(c.text, kEepromRecordVersion, kEepromRecordVersion), c.eeprom) << c.text;
  }
  const VersionNumber three = TorvexParseVersion("3");
  EXPECT_EQ(three.major, 3);
  EXPECT_EQ(three.minor, 3);
}

// --- the settings file -----------------------------------------------------------------------------

TEST_F(StartupSettingsTest, FirstStartLoadsTheFactorySettings) {
  const std::string log = Load();
  EXPECT_TRUE(LinesInOrder(log, {kReadSaved, kDeleteSaved, kReadFactory, kReadEeprom})) << log;
  EXPECT_EQ(g_node_units_parms_ppm_ref->GetFloat64Attribute(eAttrValue), 1.0);
  EXPECT_EQ(g_node_system_versions_arm_firmware->GetStringAttribute(eAttrValue), "1.15");
  for (std::size_t i = 0; i < kBoundParameterNodeCount; ++i) {
    EXPECT_NE(*kBoundParameterNodes[i].node, nullptr) << kBoundParameterNodes[i].path;
  }
}

TEST_F(StartupSettingsTest, AGoodSavedFileIsLoadedAndKept) {
  for (const std::string version : {"3.4", "03.4", "3.04", "3.4.1"}) {
    std::string saved = Replace(FactoryText(), "name=\"ppm_ref\" value=\"1\"", "name=\"ppm_ref\" value=\"2.5\"");
    saved = Replace(saved, "name=\"parm_file\" value=\"3.4\"", "name=\"parm_file\" value=\"" + version + "\"");
    saved = Replace(saved, "name=\"arm_firmware\" value=\"1.15\"", "name=\"arm_firmware\" value=\"9.99\"");
    WriteSaved(saved);
    const std::string log = Load();
    EXPECT_TRUE(LinesInOrder(log, {kReadSaved, kReadEeprom})) << version << "\n" << log;
    EXPECT_THAT(log, Not(HasSubstr(kDeleteSaved))) << version;
    EXPECT_EQ(g_node_units_parms_ppm_ref->GetFloat64Attribute(eAttrValue), 2.5) << version;
    EXPECT_EQ(g_node_system_versions_arm_firmware->GetStringAttribute(eAttrValue), "1.15") << version;
    EXPECT_TRUE(ReadHostFile(Yaffs("settings/LastPowerOff.xml")) == saved) << version;
    DiscardTree();
  }
}

struct RefusedSaved {
  const char* label;
  std::string (*make)(std::string factory);
};

std::string WithVersion(std::string factory, const std::string& version) {
  return Replace(factory, "name=\"parm_file\" value=\"3.4\"", "name=\"parm_file\" value=\"" + version + "\"");
}

TEST_F(StartupSettingsTest, ARefusedSavedFileIsDeletedAndTheFactorySettingsLoadIntoAnEmptyTree) {
  const RefusedSaved cases[] = {
      {"truncated", [](std::string f) { return f.substr(0, f.size() - 20); }},
      {"not XML", [](std::string) { return std::string("<<<"); }},
      {"empty", [](std::string) { return std::string(); }},
      {"lacks units_parms/ppm_ref",
       [](std::string f) {
         const std::size_t at = f.find("<Float64 name=\"ppm_ref\"");
         return f.substr(0, at) + f.substr(f.find('\n', at) + 1);
       }},
      {"version 3.40", [](std::string f) { return WithVersion(f, "3.40"); }},
      {"version 3.3", [](std::string f) { return WithVersion(f, "3.3"); }},
      {"version 3.5", [](std::string f) { return WithVersion(f, "3.5"); }},
      {"version 4.0", [](std::string f) { return WithVersion(f, "4.0"); }},
      {"version 3", [](std::string f) { return WithVersion(f, "3"); }},
      {"empty version", [](std::string f) { return WithVersion(f, ""); }},
      {"version 3.3 with ppm_ref of another type",
       [](std::string f) {
         return WithVersion(
             Replace(f, "<Float64 name=\"ppm_ref\" value=\"2.5\"", "<String name=\"ppm_ref\" value=\"2.5\""), "3.3");
       }},
      {"version without value",
       [](std::string f) {
         return Replace(f, "<String name=\"parm_file\" value=\"3.4\" default=\"3.4\" choices=\"\"/>",
                        "<String name=\"parm_file\"/>");
       }},
  };
  for (const RefusedSaved& c : cases) {
    // Marks that must not survive: a changed value and a node only the refused file has.
    std::string saved = Replace(FactoryText(), "name=\"ppm_ref\" value=\"1\"", "name=\"ppm_ref\" value=\"2.5\"");
    saved = Replace(saved, "<Branch name=\"system\">\n",
                    "<Branch name=\"system\">\n<String name=\"stray\" value=\"x\"/>\n");
    WriteSaved(c.make(saved));
    const std::string log = Load();
    EXPECT_TRUE(LinesInOrder(log, {kReadSaved, kDeleteSaved, kReadFactory, kReadEeprom})) << c.label << "\n" << log;
    EXPECT_FALSE(fs::exists(Yaffs("settings/LastPowerOff.xml"))) << c.label;
    CParameterNode* stray = nullptr;
    EXPECT_EQ(g_ParameterTreeRoot->FindNode("system/stray", &stray), 5) << c.label;
    EXPECT_EQ(g_node_units_parms_ppm_ref->Type(), eNodeType::Float64) << c.label;
    EXPECT_EQ(g_node_units_parms_ppm_ref->GetFloat64Attribute(eAttrValue), 1.0) << c.label;
    EXPECT_EQ(g_node_system_versions_parm_file->GetStringAttribute(eAttrValue), "3.4") << c.label;
    DiscardTree();
  }
}

// The log line of a refused saved file names its reason.
TEST_F(StartupSettingsTest, ARefusedSavedFileNamesItsReason) {
  struct Case {
    const char* label;
    std::string (*make)(std::string);
    const char* reason;
  };
  const Case cases[] = {
      {"version 3.3", [](std::string f) { return WithVersion(f, "3.3"); },
       "LastPowerOff.xml has parameter-file version \"3.3\", not 3.4"},
      {"without the temperature branch",
       [](std::string f) {
         const std::size_t at = f.find("<Int32 name=\"shutdown_limit\"");
         const std::size_t end = f.find('\n', at);
         return f.substr(0, at) + f.substr(end + 1);
       },
       "LastPowerOff.xml lacks the node system/temperature/shutdown_limit"},
      {"unreadable number",
       [](std::string f) {
         return Replace(f, "name=\"shutdown_limit\" value=\"70\"", "name=\"shutdown_limit\" value=\"abc\"");
       },
       "unreadable number value=\"abc\" of Int32 \"shutdown_limit\""},
      {"overflowing number",
       [](std::string f) {
         return Replace(f, "name=\"shutdown_limit\" value=\"70\"",
                        "name=\"shutdown_limit\" value=\"99999999999999999999\"");
       },
       "unreadable number value=\"99999999999999999999\""},
  };
  for (const Case& c : cases) {
    WriteSaved(c.make(FactoryText()));
    const std::string log = Load();
    EXPECT_THAT(log, HasSubstr(c.reason)) << c.label;
    EXPECT_THAT(log, HasSubstr(kDeleteSaved)) << c.label;
    EXPECT_EQ(g_node_system_temperature_shutdown_limit->GetInt32Attribute(eAttrValue), 70) << c.label;
    DiscardTree();
  }
}

// A saved value outside the factory range takes the factory default, whatever range the file claims.
TEST_F(StartupSettingsTest, ASavedValueOutsideTheFactoryRangeTakesTheDefault) {
  struct Case {
    const char* saved;
    std::int32_t applied;
  };
  const Case cases[] = {
      {"name=\"shutdown_limit\" value=\"500\" minimum=\"40\" maximum=\"100\" default=\"70\"", 70},
      {"name=\"shutdown_limit\" value=\"500\" minimum=\"40\" maximum=\"1000\" default=\"500\"", 70},
      {"name=\"shutdown_limit\" value=\"20\" minimum=\"0\" maximum=\"100\" default=\"20\"", 70},
      {"name=\"shutdown_limit\" value=\"95\" minimum=\"40\" maximum=\"100\" default=\"70\"", 95},
  };
  for (const Case& c : cases) {
    WriteSaved(Replace(FactoryText(),
                       "name=\"shutdown_limit\" value=\"70\" minimum=\"40\" maximum=\"100\" default=\"70\"", c.saved));
    const std::string log = Load();
    EXPECT_THAT(log, Not(HasSubstr(kDeleteSaved))) << c.saved;
    EXPECT_EQ(g_node_system_temperature_shutdown_limit->GetInt32Attribute(eAttrValue), c.applied) << c.saved;
    EXPECT_EQ(g_node_system_temperature_shutdown_limit->GetInt32Attribute(eAttrMaximum), 100) << c.saved;
    EXPECT_EQ(g_node_system_temperature_shutdown_limit->GetInt32Attribute(eAttrDefault), 70) << c.saved;
    if (c.applied == 70) {
      EXPECT_THAT(log, HasSubstr("shutdown_limit value ")) << log;
    }
    DiscardTree();
  }
}

TEST_F(StartupSettingsTest, ARefusedFactoryFilePanics) {
  const RefusedSaved cases[] = {
      {"version 3.3", [](std::string f) { return WithVersion(f, "3.3"); }},
      {"without comm_parms",
       [](std::string f) {
         const std::size_t at = f.find("<Branch name=\"comm_parms\">");
         const std::size_t end = f.find("<Branch name=\"measure_parms\">");
         return f.substr(0, at) + f.substr(end);
       }},
      {"not XML", [](std::string) { return std::string("factory"); }},
  };
  for (const RefusedSaved& c : cases) {
    WriteHostFile(Romfs("factory.xml"), c.make(FactoryText()));
    platform::bootloader::ClearServiceCalls();
    const std::string log = LoadAndExpectPanic();
    EXPECT_TRUE(LinesInOrder(log, {kReadFactory, "CTorvexPower::Panic !!!\n"})) << c.label << "\n" << log;
    EXPECT_THAT(log, Not(HasSubstr(kReadEeprom))) << c.label;
    // Nothing half-loaded stays reachable.
    EXPECT_EQ(g_ParameterTreeRoot, nullptr) << c.label;
    for (std::size_t i = 0; i < kBoundParameterNodeCount; ++i) {
      EXPECT_EQ(*kBoundParameterNodes[i].node, nullptr) << c.label << " " << kBoundParameterNodes[i].path;
    }
  }
  // A missing factory file as well.
  fs::remove(Romfs("factory.xml"));
  platform::bootloader::ClearServiceCalls();
  LoadAndExpectPanic();
}

TEST_F(StartupSettingsTest, BindingStopsAtTheFirstMissingPath) {
  EXPECT_EQ(TorvexBindParameterNodes(), 5);  // no tree at all

  // system/model is the second bound path.
  const std::string factory = FactoryText();
  const std::size_t at = factory.find("<String name=\"model\"");
  WriteHostFile(Yaffs("no-model.xml"), factory.substr(0, at) + factory.substr(factory.find('\n', at) + 1));
  ASSERT_EQ(LoadTreeFromXml("/yaffs/no-model.xml", &g_ParameterTreeRoot, nullptr), 0);
  CParameterNode marker("marker", eNodeType::Int32);
  for (std::size_t i = 0; i < kBoundParameterNodeCount; ++i) *kBoundParameterNodes[i].node = &marker;
  EXPECT_EQ(TorvexBindParameterNodes(), 5);
  EXPECT_NE(g_node_system_manufacturer, &marker);
  EXPECT_EQ(g_node_system_model, &marker);
  EXPECT_EQ(g_node_units_parms_ppm_ref, &marker);
  TorvexUnbindParameterNodes();
}

// --- the EEPROM identity record --------------------------------------------------------------------

TEST_F(StartupSettingsTest, TheRecordFillsTheSystemNodes) {
  Record()
      .Text(16, 8, "241231")
      .Text(24, 12, "23:59:59")
      .Text(36, 32, std::string(31, 'M'))  // 31 characters and the NUL fill the field
      .Text(68, 8, "TV-1")
      .Number(76, 4, 0x80000001u)
      .Text(80, 8, "240101")
      .Text(88, 8, "240202")
      .Text(96, 8, "2.3")
      .Number(104, 4, 0xA5)
      .Number(108, 4, 1000)
      .Number(112, 4, 90000000)
      .Bytes(116, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E})
      .Number(124, 2, 0x1234)
      .Number(126, 2, 0xFFFE)
      .Text(128, 8, "1.1")
      .Number(136, 2, 0x0200)
      .Load();
  Load();
  struct Text {
    CParameterNode** node;
    std::string value;
  };
  const Text texts[] = {
      {&g_node_system_eeprom_version, "2.0"},
      {&g_node_system_eeprom_date_created, "241231"},
      {&g_node_system_eeprom_time_created, "23:59:59"},
      {&g_node_system_manufacturer, std::string(31, 'M')},
      {&g_node_system_model, "TV-1"},
      {&g_node_system_manuf_date, "240101"},
      {&g_node_system_calib_date, "240202"},
      {&g_node_system_versions_hardware, "2.3"},
      {&g_node_system_esa, "00:1a:2b:3c:4d:5e"},
      {&g_node_system_usb_version, "1.1"},
  };
  for (const Text& t : texts) EXPECT_EQ((*t.node)->GetStringAttribute(eAttrValue), t.value) << t.value;
  struct Number {
    CParameterNode** node;
    std::int32_t value;
  };
  const Number numbers[] = {
      {&g_node_system_serial_no, static_cast<std::int32_t>(0x80000001u)},
      {&g_node_system_eeprom_option_bits, 0xA5},
      {&g_node_system_rf_min_freq, 1000},
      {&g_node_system_rf_max_freq, 90000000},
      {&g_node_system_usb_vendor_id, 4660},
      {&g_node_system_usb_product_id, 0xFFFE},
      {&g_node_system_usb_version_bcd, 0x0200},
  };
  for (const Number& n : numbers) EXPECT_EQ((*n.node)->GetInt32Attribute(eAttrValue), n.value);
}

TEST_F(StartupSettingsTest, TextsWithoutTheirNulStopAtTheirFieldsEnd) {
  Record()
      .Bytes(36, std::vector<std::uint8_t>(32, 'A'))  // manufacturer fills its field, no NUL
      .Bytes(68, std::vector<std::uint8_t>(8, 'B'))   // so does the model, next to the serial number
      .Bytes(128, std::vector<std::uint8_t>(8, 'C'))  // and the USB version, next to the release
      .Load();
  Load();
  EXPECT_EQ(g_node_system_manufacturer->GetStringAttribute(eAttrValue), std::string(32, 'A'));
  EXPECT_EQ(g_node_system_model->GetStringAttribute(eAttrValue), std::string(8, 'B'));
  EXPECT_EQ(g_node_system_usb_version->GetStringAttribute(eAttrValue), std::string(8, 'C'));

  // A text field at the very end of the record is cut at the record's end.
  EepromIdentityRecord record{};
  record.bytes.fill('Z');
  EXPECT_EQ(EepromText(record, 136, 8), "ZZZZ");
  EXPECT_EQ(EepromText(record, 140, 8), "");
}

TEST_F(StartupSettingsTest, TheDefaultHostNameComesFromTheSerialNumber) {
  struct Case {
    std::uint32_t serial;
    const char* id_in_file;  // nullptr: the factory's empty host name
    const char* id;
  };
  const Case cases[] = {
      {42, nullptr, "Torvex_00042"},
      {1234567, nullptr, "Torvex_1234567"},
      {4294967295u, nullptr, "Torvex_-0001"},
      {42, "bench-7", "bench-7"},
  };
  for (const Case& c : cases) {
    Record().Number(76, 4, c.serial).Load();
    if (c.id_in_file != nullptr) {
      WriteSaved(Replace(FactoryText(), "<String name=\"id\" value=\"\"",
                         std::string("<String name=\"id\" value=\"") + c.id_in_file + "\""));
    }
    Load();
    EXPECT_EQ(g_node_comm_parms_ethernet_id->GetStringAttribute(eAttrValue), c.id) << c.serial;
    EXPECT_EQ(static_cast<std::uint32_t>(g_node_system_serial_no->GetInt32Attribute(eAttrValue)), c.serial);
    DiscardTree();
  }
}

TEST_F(StartupSettingsTest, ARecordOfAnotherVersionPanics) {
  for (const char* version : {"2.1", "1.0", "1.9", "3.0", "2"}) {
    Record().Text(8, 8, version).Load();
    platform::bootloader::ClearServiceCalls();
    const std::string log = LoadAndExpectPanic();
    EXPECT_TRUE(LinesInOrder(log, {kReadEeprom, "CTorvexPower::Panic !!!\n"})) << version << "\n" << log;
    // The identity nodes keep the values of the settings file.
    EXPECT_EQ(g_node_system_eeprom_version->GetStringAttribute(eAttrValue), "") << version;
    DiscardTree();
  }
  Record().Text(8, 8, "2.00").Load();
  Load();
  EXPECT_EQ(g_node_system_eeprom_version->GetStringAttribute(eAttrValue), "2.00");
}

TEST_F(StartupSettingsTest, AnUnreadableEepromPanics) {
  TestBoard().WithholdAck(sim::Board::kOnBoardSegment, sim::Board::kEepromAddress, std::chrono::hours(1));
  const std::string log = LoadAndExpectPanic();
  EXPECT_TRUE(LinesInOrder(log, {kReadEeprom, "CTorvexPower::Panic !!!\n"})) << log;
}

}  // namespace
