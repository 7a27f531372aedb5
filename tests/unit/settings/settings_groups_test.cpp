// Settings groups: store and recall of every group, the whole-tree save at shut-down, and refusal of
// damaged, foreign, incomplete and traversing inputs with nothing changed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <functional>
#include <thread>

#include "settings_support.h"
#include "support/file_size_limit.h"
#include "tree/TopologyLock.h"

namespace {

using namespace Torvex;
using namespace torvex_test;
using ::testing::HasSubstr;
using ::testing::Not;

class SettingsGroupsTest : public SettingsTest {
 protected:
  void TearDown() override {
    CTorvexPower::TakeKeepSavedSettings();
    SettingsTest::TearDown();
  }

  // What the next start does with the saved settings: the start-up load, which must accept them.
  void Restart() {
    TestBoard();  // the EEPROM the start-up reads
    DiscardTree();
    const std::string mark = MarkLog();
    ASSERT_EQ(TorvexLoadStartupSettings(), 0);
    ASSERT_THAT(LogSince(mark), Not(HasSubstr("Error in file")));
  }
};

// --- finding a group -------------------------------------------------------------------------------

TEST(SettingsSubsystemTable, NamesMatchExactlyAndRowsAreInTypeOrder) {
  struct Case {
    const char* name;
    int result;
    std::int32_t type;
  };
  const Case cases[] = {
      {"ALL", 0, 0},    {"COMMunication", 0, 1}, {"MEASure", 0, 2},  {"TRIGger", 0, 3},
      {"REFClk", 0, 4}, {"UNITs", 0, 5},         {"MEAS", 48, -1},   {"measure", 48, -1},
      {"", 48, -1},     {"ALL ", 48, -1},        {"UNITsX", 48, -1},
  };
  for (const Case& c : cases) {
    std::int32_t type = -1;
    EXPECT_EQ(TorvexFindSettingsSubsystem(c.name, type), c.result) << c.name;
    EXPECT_EQ(type, c.type) << c.name;
  }
  for (std::int32_t row = 0; row < static_cast<std::int32_t>(kSettingsSubsystemCount); ++row) {
    EXPECT_EQ(g_SettingsSubsystems[row].type, row);
  }
  EXPECT_EQ(g_SettingsSubsystems[6].branch, nullptr);
}

// --- storing ---------------------------------------------------------------------------------------

struct GroupCase {
  std::int32_t type;
  const char* directory;  // relative to the board's yaffs folder
  const char* top;        // top element of the stored file
};
const GroupCase kGroups[] = {
    {0, "settings", "root"},
    {1, "settings/comm_parms", "comm_parms"},
    {2, "settings/measure_parms", "measure_parms"},
    {3, "settings/trigger_parms", "trigger_parms"},
    {4, "settings/ref_clock_parms", "ref_clock_parms"},
    {5, "settings/units_parms", "units_parms"},
};

TEST_F(SettingsGroupsTest, StoreWritesTheGroupsBranchIntoItsDirectoryAndRewritesIt) {
  for (const GroupCase& group : kGroups) {
    const std::string before = MarkLog();
    ASSERT_EQ(TorvexSaveSettings("a.xml", group.type), 0) << group.type;
    const fs::path file = Yaffs(std::string(group.directory) + "/a.xml");
    const std::string text = ReadHostFile(file);
    EXPECT_EQ(text.rfind("<Branch name=\"" + std::string(group.top) + "\">\n", 0), 0u) << text.substr(0, 80);
    EXPECT_EQ(text.substr(text.size() - 10), "</Branch>\n");
    const std::string log = LogSince(before);
    EXPECT_THAT(log, HasSubstr("Saving parms in /yaffs/" + std::string(group.directory) + "/a.xml\n"));
    EXPECT_THAT(log, HasSubstr("Settings successfully written to yaffs\n"));
    EXPECT_FALSE(fs::exists(file.string() + "~tmp0"));
  }

  // A second store replaces the file with the branch as it is now.
  g_node_units_parms_ppm_ref->SetFloat64Attribute(eAttrValue, 12.5);
  ASSERT_EQ(TorvexSaveSettings("a.xml", 5), 0);
  EXPECT_THAT(ReadHostFile(Yaffs("settings/units_parms/a.xml")), HasSubstr("name=\"ppm_ref\" value=\"12.5\""));
}

// No save writes a peripheral node, and none touches the running peripherals branch or the selection:
// the probes, their objects and the selected one are the same afterwards.
TEST_F(SettingsGroupsTest, SavesLeaveThePeripheralsOutOfTheFileAndInPlace) {
  CParameterNode* multiplexer = new CParameterNode("1", eNodeType::Pointer);
  ASSERT_EQ(g_node_peripherals->AddChildNode(multiplexer), 0);
  CParameterNode* probe = new CParameterNode("2", eNodeType::Pointer);
  ASSERT_EQ(multiplexer->AddChildNode(probe), 0);
  int objects[2] = {0, 0};
  multiplexer->SetPointerAttribute(eAttrValue, &objects[0]);
  probe->SetPointerAttribute(eAttrValue, &objects[1]);
  g_node_current_probe_object->SetPointerAttribute(eAttrValue, &objects[1]);
  const std::string running = TreeText(root_);

  struct Case {
    const char* label;
    std::function<int()> save;
    const char* file;  // relative to the board's yaffs folder
    bool whole_tree;
  };
  const Case cases[] = {
      {"store ALL", [] { return TorvexSaveSettings("p.xml", 0); }, "settings/p.xml", true},
      {"store MEASure", [] { return TorvexSaveSettings("p.xml", 2); }, "settings/measure_parms/p.xml", false},
      {"shut-down save", [] { return TorvexSaveLastPowerOff(kLastPowerOffPath); }, "settings/LastPowerOff.xml", true},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.save(), 0) << c.label;
    const std::string text = ReadHostFile(Yaffs(c.file));
    EXPECT_EQ(text.find("<Pointer name=\"1\""), std::string::npos) << c.label;
    EXPECT_EQ(text.find("<Pointer name=\"2\""), std::string::npos) << c.label;
    if (c.whole_tree) {
      EXPECT_THAT(text, HasSubstr("<Branch name=\"peripherals\">\n</Branch>\n")) << c.label;
      EXPECT_EQ(TorvexCheckSettingsFile((std::string("/yaffs/") + c.file).c_str(), g_SettingsSubsystems[0]), 0)
          << c.label;
    }
    EXPECT_TRUE(TreeText(root_) == running) << c.label;
    EXPECT_EQ(probe->GetPointerAttribute(eAttrValue), &objects[1]) << c.label;
    EXPECT_EQ(g_node_current_probe_object->GetPointerAttribute(eAttrValue), &objects[1]) << c.label;
  }
  g_node_current_probe_object->SetPointerAttribute(eAttrValue, nullptr);
}

TEST_F(SettingsGroupsTest, StoreRefusesNamesThatAreNoPlainFileNames) {
  const std::string tree = TreeText(root_);
  for (const std::string& name :
       std::vector<std::string>{"", ".", "..", "../x.xml", "a/b.xml", "/a.xml", std::string(250, 'n')}) {
    EXPECT_EQ(TorvexSaveSettings(name.c_str(), 2), 9) << name;
  }
  EXPECT_EQ(TorvexSaveSettings("a.xml", 6), 48);
  EXPECT_EQ(TorvexSaveSettings("a.xml", -1), 48);
  EXPECT_FALSE(fs::exists(Yaffs("settings/measure_parms")));
  EXPECT_FALSE(fs::exists(Yaffs("x.xml")));
  EXPECT_TRUE(TreeText(root_) == tree);
}

TEST_F(SettingsGroupsTest, StoreFailsWithNineWhenTheDirectoryCannotBeMade) {
  WriteHostFile(Yaffs("settings"), "a file where the directory should be");
  // A failed save changes nothing in the running tree either.
  CParameterNode* probe = new CParameterNode("1", eNodeType::Pointer);
  ASSERT_EQ(g_node_peripherals->AddChildNode(probe), 0);
  const std::string running = TreeText(root_);
  std::string before = MarkLog();
  EXPECT_EQ(TorvexSaveSettings("a.xml", 2), 9);
  EXPECT_THAT(LogSince(before), HasSubstr("/yaffs/settings/measure_parms/a.xml not saved (cannot create "
                                          "/yaffs/settings/measure_parms: "));
  EXPECT_TRUE(TreeText(root_) == running);
  before = MarkLog();
  EXPECT_EQ(TorvexSaveLastPowerOff(kLastPowerOffPath), 9);
  EXPECT_THAT(LogSince(before), HasSubstr("Could not create 'settings' directory: File exists\n"));
  EXPECT_THAT(LogSince(before), HasSubstr("/yaffs/settings/LastPowerOff.xml not saved (cannot create "));
  EXPECT_TRUE(TreeText(root_) == running);
  EXPECT_EQ(g_node_peripherals->FirstChild(), probe);
}

// A file that cannot be created says so, as a file that cannot be written does.
TEST_F(SettingsGroupsTest, AStoreWhoseFileCannotBeCreatedSaysSo) {
  fs::create_directories(Yaffs("settings/measure_parms/a.xml~tmp0"));  // in the way of the new file
  const std::string before = MarkLog();
  EXPECT_EQ(TorvexSaveSettings("a.xml", 2), 9);
  EXPECT_THAT(LogSince(before),
              HasSubstr("SaveTreeToXml: /yaffs/settings/measure_parms/a.xml not saved (cannot open: "));
  EXPECT_THAT(LogSince(before), Not(HasSubstr("Settings successfully written")));
}

TEST_F(SettingsGroupsTest, AFailedWriteKeepsThePreviousFileAndLeavesNothingElse) {
  ASSERT_EQ(TorvexSaveSettings("a.xml", 2), 0);
  ASSERT_EQ(TorvexSaveLastPowerOff(kLastPowerOffPath), 0);
  const std::string stored = ReadHostFile(Yaffs("settings/measure_parms/a.xml"));
  const std::string saved = ReadHostFile(Yaffs("settings/LastPowerOff.xml"));
  g_node_measure_parms_search_mode->SetStringAttribute(eAttrValue, "MANual");
  {
    // The flash fills up: no file may grow past 1000 bytes.
    torvex_test::FileSizeLimit limit(1000);
    EXPECT_EQ(TorvexSaveSettings("a.xml", 2), 11);
    EXPECT_EQ(TorvexSaveLastPowerOff(kLastPowerOffPath), 11);
  }
  EXPECT_TRUE(ReadHostFile(Yaffs("settings/measure_parms/a.xml")) == stored);
  EXPECT_TRUE(ReadHostFile(Yaffs("settings/LastPowerOff.xml")) == saved);
  for (const auto& entry : fs::recursive_directory_iterator(Yaffs("settings"))) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "a.xml" || name == "LastPowerOff.xml" || name == "measure_parms") << name;
  }
}

// --- whole-tree save and delete --------------------------------------------------------------------

TEST_F(SettingsGroupsTest, WholeTreeSaveWritesTheTreeAndTheDeleteRemovesIt) {
  const std::string before = MarkLog();
  ASSERT_EQ(TorvexSaveLastPowerOff(kLastPowerOffPath), 0);
  EXPECT_THAT(LogSince(before),
              HasSubstr("Writing /yaffs/settings/LastPowerOff.xml\nSettings successfully written to yaffs\n"));
  EXPECT_EQ(ReadHostFile(Yaffs("settings/LastPowerOff.xml")), TreeText(root_));

  EXPECT_EQ(TorvexDeleteLastPowerOff(), 0);
  EXPECT_FALSE(fs::exists(Yaffs("settings/LastPowerOff.xml")));
  testing::internal::CaptureStderr();
  EXPECT_EQ(TorvexDeleteLastPowerOff(), 9);
  testing::internal::GetCapturedStderr();
}

// --- recalling groups that merge at once -----------------------------------------------------------

struct MergeCase {
  std::int32_t type;
  const char* directory;
  CParameterNode** branch;
  CParameterNode** node;  // a Float64 or String node of the group
};

TEST_F(SettingsGroupsTest, RecallMergesTheGroupAtOnceAndKeepsEveryBoundPointer) {
  const MergeCase cases[] = {
      {2, "/yaffs/settings/measure_parms", &g_node_measure_parms, &g_node_measure_parms_search_mode},
      {3, "/yaffs/settings/trigger_parms", &g_node_trigger_parms, &g_node_trigger_parms_trigger_in_source},
      {4, "/yaffs/settings/ref_clock_parms", &g_node_ref_clock_parms, &g_node_ref_clock_parms_mode},
      {5, "/yaffs/settings/units_parms", &g_node_units_parms, &g_node_units_parms_selected},
  };
  for (const MergeCase& c : cases) {
    const std::string stored_value = (*c.node)->GetStringAttribute(eAttrValue);
    ASSERT_EQ(TorvexSaveSettings("g.xml", c.type), 0);
    (*c.node)->SetStringAttribute(eAttrValue, "changed");
    // A node the stored file does not know goes with the merge.
    CParameterNode* extra = new CParameterNode("extra", eNodeType::Int32);
    ASSERT_EQ((*c.branch)->AddChildNode(extra), 0);
    const auto pointers = BoundPointers();

    const std::string path = std::string(c.directory) + "/g.xml";
    const std::string before = MarkLog();
    EXPECT_EQ(TorvexLoadSettings(path.c_str()), 0) << path;
    EXPECT_EQ((*c.node)->GetStringAttribute(eAttrValue), stored_value) << path;
    CParameterNode* found = nullptr;
    EXPECT_EQ((*c.branch)->FindNode("extra", &found), 5);
    EXPECT_EQ(BoundPointers(), pointers);
    EXPECT_THAT(LogSince(before), HasSubstr("TorvexLoadSettings " + path + "\nFile type " + std::to_string(c.type) +
                                            " located in " + c.directory + ". Requires restart: No\n"));
    EXPECT_FALSE(CTorvexPower::TakeKeepSavedSettings());
  }
}

// --- recalling groups that need a restart ----------------------------------------------------------

TEST_F(SettingsGroupsTest, RecallOfAllPutsTheFileInPlaceAndTheResetKeepsIt) {
  g_node_units_parms_ppm_ref->SetFloat64Attribute(eAttrValue, 3.25);
  ASSERT_EQ(TorvexSaveSettings("all.xml", 0), 0);
  const std::string stored = ReadHostFile(Yaffs("settings/all.xml"));
  g_node_units_parms_ppm_ref->SetFloat64Attribute(eAttrValue, 7.5);
  const std::string running = TreeText(root_);

  const std::string before = MarkLog();
  ASSERT_EQ(TorvexLoadSettings("/yaffs/settings/all.xml"), 0);
  EXPECT_THAT(LogSince(before), HasSubstr("File type 0 located in /yaffs/settings. Requires restart: Yes\n"));
  EXPECT_TRUE(TreeText(root_) == running);  // the running tree is not touched
  EXPECT_TRUE(ReadHostFile(Yaffs("settings/LastPowerOff.xml")) == stored);
  EXPECT_EQ(CTorvexPower::WaitForShutdownRequest(), eShutdownReset);

  // The shut-down for the reset keeps the recalled file; the next start loads it.
  EXPECT_EQ(TorvexSaveLastPowerOff(kLastPowerOffPath), 0);
  EXPECT_TRUE(ReadHostFile(Yaffs("settings/LastPowerOff.xml")) == stored);
  Restart();
  EXPECT_EQ(g_node_units_parms_ppm_ref->GetFloat64Attribute(eAttrValue), 3.25);

  // Only that one shut-down keeps the file; the next one saves again.
  g_node_units_parms_ppm_ref->SetFloat64Attribute(eAttrValue, 9.0);
  EXPECT_EQ(TorvexSaveLastPowerOff(kLastPowerOffPath), 0);
  EXPECT_THAT(ReadHostFile(Yaffs("settings/LastPowerOff.xml")), HasSubstr("name=\"ppm_ref\" value=\"9\""));
}

// "*RST" recalls the start-up file itself: an ordinary restart, whose shut-down saves the running
// tree, so the changes made since power-up are kept.
TEST_F(SettingsGroupsTest, RecallOfLastPowerOffItselfIsAnOrdinaryRestartThatKeepsTheChanges) {
  ASSERT_EQ(TorvexSaveLastPowerOff(kLastPowerOffPath), 0);
  g_node_units_parms_ppm_ref->SetFloat64Attribute(eAttrValue, 1.5);
  ASSERT_EQ(TorvexLoadSettings(kLastPowerOffPath), 0);
  EXPECT_EQ(CTorvexPower::WaitForShutdownRequest(), eShutdownReset);
  EXPECT_FALSE(CTorvexPower::TakeKeepSavedSettings());
  ASSERT_EQ(TorvexSaveLastPowerOff(kLastPowerOffPath), 0);
  Restart();
  EXPECT_EQ(g_node_units_parms_ppm_ref->GetFloat64Attribute(eAttrValue), 1.5);
}

// "*RST" on an instrument that started from the factory settings (no start-up file), or whose start-up
// file is damaged: the reset still comes, and its shut-down saves the running tree.
TEST_F(SettingsGroupsTest, RecallOfAMissingOrDamagedStartupFileStillRestarts) {
  struct Case {
    const char* label;
    const char* content;  // nullptr: no file
    const char* path;
  };
  const Case cases[] = {
      {"missing", nullptr, "/yaffs/settings/LastPowerOff.xml"},
      {"damaged", "<Branch name=\"root\">\n", "/yaffs/settings/LastPowerOff.xml"},
      {"missing, doubled slash", nullptr, "/yaffs/settings//LastPowerOff.xml"},
  };
  for (const Case& c : cases) {
    fs::remove(Yaffs("settings/LastPowerOff.xml"));
    if (c.content != nullptr) WriteHostFile(Yaffs("settings/LastPowerOff.xml"), c.content);
    g_node_units_parms_ppm_ref->SetFloat64Attribute(eAttrValue, 4.5);
    ASSERT_EQ(TorvexLoadSettings(c.path), 0) << c.label;  // 0: a request was handed over
    EXPECT_EQ(CTorvexPower::WaitForShutdownRequest(), eShutdownReset) << c.label;
    EXPECT_FALSE(CTorvexPower::TakeKeepSavedSettings()) << c.label;
    ASSERT_EQ(TorvexSaveLastPowerOff(kLastPowerOffPath), 0) << c.label;
    Restart();
    EXPECT_EQ(g_node_units_parms_ppm_ref->GetFloat64Attribute(eAttrValue), 4.5) << c.label;
  }
  // Any other missing file of group ALL is refused without a restart.
  EXPECT_EQ(TorvexLoadSettings("/yaffs/settings/missing.xml"), 9);
}

TEST_F(SettingsGroupsTest, RecallOfCommunicationWritesTheRunningTreeWithTheRecalledBranch) {
  g_node_comm_parms_ethernet_domain->SetStringAttribute(eAttrValue, "stored.example");
  ASSERT_EQ(TorvexSaveSettings("c.xml", 1), 0);
  g_node_comm_parms_ethernet_domain->SetStringAttribute(eAttrValue, "running.example");
  g_node_measure_parms_search_mode->SetStringAttribute(eAttrValue, "MANual");
  CParameterNode* probe = new CParameterNode("1", eNodeType::Pointer);
  ASSERT_EQ(g_node_peripherals->AddChildNode(probe), 0);
  const std::string running = TreeText(root_);

  const std::string before = MarkLog();
  ASSERT_EQ(TorvexLoadSettings("/yaffs/settings/comm_parms/c.xml"), 0);
  EXPECT_THAT(LogSince(before),
              HasSubstr("File type 1 located in /yaffs/settings/comm_parms. Requires restart: Yes\n"));
  EXPECT_TRUE(TreeText(root_) == running);
  EXPECT_EQ(CTorvexPower::WaitForShutdownRequest(), eShutdownReset);
  EXPECT_EQ(TorvexSaveLastPowerOff(kLastPowerOffPath), 0);

  // The next start loads a whole tree: the recalled branch with everything else as it ran.
  Restart();
  EXPECT_EQ(g_node_comm_parms_ethernet_domain->GetStringAttribute(eAttrValue), "stored.example");
  EXPECT_EQ(g_node_measure_parms_search_mode->GetStringAttribute(eAttrValue), "MANual");
  EXPECT_EQ(g_node_peripherals->FirstChild(), nullptr);
}

// --- refused recalls -------------------------------------------------------------------------------

struct RefusedCase {
  const char* label;
  const char* group;  // directory below /yaffs/settings ("" for ALL)
  int result;
  // Makes the file from the stored text of the group.
  std::string (*make)(const std::string& stored);
};

std::string Truncated(const std::string& stored) { return stored.substr(0, stored.size() / 2); }
std::string OtherTop(const std::string& stored) {
  return Replace(stored, "<Branch name=\"measure_parms\">", "<Branch name=\"units_parms\">");
}
std::string LacksBoundPath(const std::string& stored) {
  const std::size_t at = stored.find("<Float64 name=\"fstep\"");
  return stored.substr(0, at) + stored.substr(stored.find('\n', at) + 1);
}
std::string WrongType(const std::string& stored) {
  return Replace(stored, "<Float64 name=\"fstep\"", "<Int32 name=\"fstep\"");
}
std::string ClimbsOut(const std::string& stored) {
  return Replace(stored, "</Branch>\n",
                 "</Branch>\n<Branch name=\"..\">\n<String name=\"x\" value=\"y\"/>\n</Branch>\n");
}
std::string SlashName(const std::string& stored) {
  return Replace(stored, "</Branch>\n", "</Branch>\n<String name=\"../../system/model\" value=\"y\"/>\n");
}
std::string AllWrongVersion(const std::string& stored) {
  return Replace(stored, "name=\"parm_file\" value=\"3.4\"", "name=\"parm_file\" value=\"3.5\"");
}
std::string AllLacksUnits(const std::string& stored) {
  const std::size_t at = stored.find("<Branch name=\"units_parms\">");
  return stored.substr(0, at) + stored.substr(stored.find("</Branch>\n", at) + 10);
}
std::string NotXml(const std::string&) { return std::string("\x00\x01garbage", 9); }
std::string Empty(const std::string&) { return ""; }

TEST_F(SettingsGroupsTest, DamagedForeignOrIncompleteFilesAreRefusedWithNothingChanged) {
  const RefusedCase cases[] = {
      {"truncated", "measure_parms", 10, Truncated},
      {"other top element", "measure_parms", 10, OtherTop},
      {"lacks a bound path", "measure_parms", 10, LacksBoundPath},
      {"bound path of another type", "measure_parms", 10, WrongType},
      {"element named ..", "measure_parms", 10, ClimbsOut},
      {"element name with slashes", "measure_parms", 10, SlashName},
      {"not XML", "measure_parms", 10, NotXml},
      {"empty", "measure_parms", 10, Empty},
      {"ALL of version 3.5", "", 10, AllWrongVersion},
      {"ALL without units_parms", "", 10, AllLacksUnits},
      {"truncated ALL", "", 10, Truncated},
      {"truncated COMMunication", "comm_parms", 10, Truncated},
  };
  ASSERT_EQ(TorvexSaveSettings("good.xml", 2), 0);
  ASSERT_EQ(TorvexSaveSettings("good.xml", 0), 0);
  ASSERT_EQ(TorvexSaveSettings("good.xml", 1), 0);
  ASSERT_EQ(TorvexSaveLastPowerOff(kLastPowerOffPath), 0);
  const std::string saved = ReadHostFile(Yaffs("settings/LastPowerOff.xml"));
  g_node_measure_parms_search_mode->SetStringAttribute(eAttrValue, "changed");
  const std::string tree = TreeText(root_);
  const auto pointers = BoundPointers();

  for (const RefusedCase& c : cases) {
    const std::string dir = std::string("settings/") + c.group;
    const std::string stored = ReadHostFile(Yaffs(dir + "/good.xml"));
    WriteHostFile(Yaffs(dir + "/bad.xml"), c.make(stored));
    const std::string path = "/yaffs/" + dir + (c.group[0] ? "/" : "") + "bad.xml";
    EXPECT_EQ(TorvexLoadSettings(path.c_str()), c.result) << c.label;
    EXPECT_TRUE(TreeText(root_) == tree) << c.label;
    EXPECT_EQ(BoundPointers(), pointers) << c.label;
    EXPECT_TRUE(ReadHostFile(Yaffs("settings/LastPowerOff.xml")) == saved) << c.label;
    EXPECT_FALSE(CTorvexPower::TakeKeepSavedSettings()) << c.label;
  }
  EXPECT_EQ(TorvexLoadSettings("/yaffs/settings/measure_parms/missing.xml"), 9);
  EXPECT_TRUE(TreeText(root_) == tree);
}

TEST_F(SettingsGroupsTest, RecallPathsChooseTheirGroupByDirectoryPrefix) {
  struct Case {
    const char* path;
    int group;  // -1: no group (result 6, no "File type" line)
  };
  const Case cases[] = {
      {"/yaffs/settings/comm_parms/a.xml", 1},
      {"/yaffs/settings/units_parms/a.xml", 5},
      {"/yaffs/settings/a.xml", 0},
      {"/yaffs/settings/LastPowerOff.xml", 0},
      {"/yaffs/settings/measure_parms_old/a.xml", 2},
      {"/yaffs/settings/units_parmsX", 0},  // a file of the settings folder itself
      {"/yaffs/settings/comm_parms2/a.xml", 1},
      {"/yaffs/user/a.xml", -1},
      {"/yaffs/settingsX/a.xml", -1},
      {"/yaffs/settings", -1},
      {"/yaffs/settings/", -1},
      {"/yaffs/settings/../user/a.xml", -1},
      {"/yaffs/settings/measure_parms/../../user/a.xml", -1},
      {"/yaffs/settings/./a.xml", -1},
      {"/yaffs/settings/units_parms/..", -1},
      {"yaffs/settings/a.xml", -1},
      {"", -1},
  };
  for (const Case& c : cases) {
    const SettingsSubsystemEntry* row = TorvexFindSettingsGroupOfPath(c.path);
    EXPECT_EQ(row == nullptr ? -1 : row->type, c.group) << c.path;
  }
  const std::string long_path = "/yaffs/settings/" + std::string(250, 'a');
  EXPECT_EQ(TorvexFindSettingsGroupOfPath(long_path.c_str()), nullptr);
  EXPECT_EQ(TorvexFindSettingsGroupOfPath(nullptr), nullptr);

  const std::string before = MarkLog();
  EXPECT_EQ(TorvexLoadSettings("/yaffs/user/a.xml"), 6);
  EXPECT_EQ(TorvexLoadSettings("/yaffs/settings/units_parms/../../user/a.xml"), 6);
  const std::string log = LogSince(before);
  EXPECT_THAT(log, HasSubstr("TorvexLoadSettings /yaffs/user/a.xml\n"));
  EXPECT_THAT(log, Not(HasSubstr("File type")));
}

// --- concurrency -----------------------------------------------------------------------------------

// Stores and whole-tree saves on one thread while others change values and rebuild the peripherals
// branch under the topology lock: every file written is a good group file.
TEST_F(SettingsGroupsTest, SavesRunCleanlyBesideTreeAndTopologyChanges) {
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop.load(); ++i) {
      g_node_units_parms_ppm_ref->SetFloat64Attribute(eAttrValue, i);
      g_node_measure_parms_search_mode->SetStringAttribute(eAttrValue, i % 2 ? "AUTO" : "MANual");
    }
  });
  std::thread topology([&] {
    // Rebuilds a small branch each round, so the saves never meet an ever longer one.
    while (!stop.load()) {
      CRecursiveLockGuard topology_lock(g_TopologyLock);
      while (CParameterNode* child = g_node_peripherals->FirstChild()) delete child;
      for (int i = 1; i <= 8; ++i) {
        CParameterNode* node = new CParameterNode(std::to_string(i), eNodeType::Pointer);
        if (g_node_peripherals->AddChildNode(node) != 0) delete node;
      }
    }
  });
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(TorvexSaveSettings("s.xml", round % kSettingsGroupCount), 0);
    ASSERT_EQ(TorvexSaveLastPowerOff(kLastPowerOffPath), 0);
    EXPECT_EQ(TorvexCheckSettingsFile(kLastPowerOffPath, g_SettingsSubsystems[0]), 0);
  }
  stop = true;
  writer.join();
  topology.join();
  for (std::int32_t type = 0; type < kSettingsGroupCount; ++type) {
    const std::string path = std::string(g_SettingsSubsystems[type].directory) + "/s.xml";
    EXPECT_EQ(TorvexCheckSettingsFile(path.c_str(), g_SettingsSubsystems[type]), 0) << path;
  }
}

// Recalls of a group that merges at once while other threads read its bound branch pointer and a
// node below it, as every subsystem does without a lock of its own.
TEST_F(SettingsGroupsTest, RecallsRunCleanlyBesideReadersOfTheBoundPointers) {
  ASSERT_EQ(TorvexSaveSettings("r.xml", 5), 0);
  CParameterNode* const branch = g_node_units_parms;
  std::atomic<bool> stop{false};
  std::atomic<bool> moved{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        if (g_node_units_parms != branch) moved = true;
        (void)g_node_units_parms_ppm_ref->GetFloat64Attribute(eAttrValue);
      }
    });
  }
  for (int round = 0; round < 50; ++round) {
    g_node_units_parms_ppm_ref->SetFloat64Attribute(eAttrValue, round);
    EXPECT_EQ(TorvexLoadSettings("/yaffs/settings/units_parms/r.xml"), 0);
  }
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_FALSE(moved.load());
  EXPECT_EQ(g_node_units_parms_ppm_ref->GetFloat64Attribute(eAttrValue), 1.0);
}

}  // namespace
