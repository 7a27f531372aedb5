// The whole firmware on the simulated board: start-up, shut-down by the button and by temperature,
// saved settings and log, boot conditions, and a power cut during the save.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

#include "firmware_process.h"

namespace {

using torvex_test::FirmwareProcess;
using namespace std::chrono_literals;

constexpr const char* kSaved = "yaffs/settings/LastPowerOff.xml";
constexpr const char* kDebugLog = "yaffs/user/DebugLog.txt";

bool XmlWellFormed(const std::filesystem::path& file) {
  const std::string cmd = "xmllint --noout '" + file.string() + "' 2>/dev/null";
  return std::system(cmd.c_str()) == 0;
}

// The value attribute of the Int32 element `name` (first match) in a saved tree.
std::string ValueOf(const std::string& xml, const std::string& name) {
  const std::regex re("<Int32 name=\"" + name + "\" value=\"([^\"]*)\"");
  std::smatch m;
  return std::regex_search(xml, m, re) ? m[1].str() : std::string();
}

void SetValueOf(FirmwareProcess& fw, const std::string& name, const std::string& value) {
  std::string xml = fw.ReadFile(kSaved);
  const std::regex re("<Int32 name=\"" + name + "\" value=\"([^\"]*)\"");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(xml, m, re)) << name;
  xml.replace(static_cast<std::size_t>(m.position(1)), static_cast<std::size_t>(m.length(1)), value);
  std::ofstream(fw.Root() / kSaved, std::ios::binary | std::ios::trunc) << xml;
}

// Starts the firmware and waits until it is up.
void StartAndWaitReady(FirmwareProcess& fw, const std::vector<std::string>& args = {}) {
  fw.Start(args);
  ASSERT_TRUE(fw.WaitForOutput("board: ready")) << fw.Output();
}

// A short push: an orderly shut-down with the settings saved, ending with status 0.
void ShortPushAndWaitOff(FirmwareProcess& fw) {
  EXPECT_EQ(fw.Board("button short"), "ok");
  ASSERT_EQ(fw.WaitForExit(), 0) << fw.Output();
}

class Firmware : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v xmllint >/dev/null 2>&1") != 0) FAIL() << "xmllint (libxml2-utils) is missing";
  }
  FirmwareProcess fw;
};

TEST_F(Firmware, ColdStartAndShortPushSaveTheSettingsAndTheLog) {
  ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
  EXPECT_EQ(fw.Board("state"), "ready");
  ASSERT_NO_FATAL_FAILURE(ShortPushAndWaitOff(fw));

  ASSERT_TRUE(fw.FileExists(kSaved));
  EXPECT_TRUE(XmlWellFormed(fw.Root() / kSaved));
  EXPECT_NE(fw.ReadFile(kSaved).find("<String name=\"parm_file\" value=\"3.4\""), std::string::npos);
  const std::string log = fw.ReadFile(kDebugLog);
  EXPECT_NE(log.find("Boot conditions: Cold boot"), std::string::npos) << log;
  EXPECT_NE(log.find("PowerDownMonitorThreadMain: Standard shut-down"), std::string::npos) << log;
  EXPECT_EQ(log.find("Switching Power Off"), std::string::npos) << "the power action is not in the saved log";
  EXPECT_NE(fw.Output().find("Switching Power Off"), std::string::npos);
}

// Each text occurs in `text` after the one before it; the first missing or misplaced one is returned.
std::string FirstOutOfOrder(const std::string& text, const std::vector<std::string>& steps) {
  std::size_t at = 0;
  for (const std::string& step : steps) {
    const std::size_t found = text.find(step, at);
    if (found == std::string::npos) return step;
    at = found + step.size();
  }
  return "";
}

TEST_F(Firmware, MainStartsAndShutsDownInItsOrder) {
  ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
  ASSERT_NO_FATAL_FAILURE(ShortPushAndWaitOff(fw));
  const std::string out = fw.Output();
  EXPECT_TRUE(std::regex_search(out, std::regex("^Starting main thread; id = [0-9]+\n"))) << out;
  EXPECT_EQ(FirstOutOfOrder(out, {"Starting main thread; id = ", "Boot conditions: Cold boot\n", "Mounting ROMFS...\n",
                                  "Mounting YAFFS...\n", "TorvexLoadStartupSettings: Reading /romfs/factory.xml",
                                  "Entering _StartPowerDownMonitor", "board: ready",
                                  "PowerDownMonitorThreadMain: Standard shut-down\n",
                                  "Writing /yaffs/settings/LastPowerOff.xml", "Unmounting ROMFS...\n",
                                  "Unmounting YAFFS...\n", "Switching Power Off...\n", "board: power off"}),
            "")
      << out;
  // The saved log holds what came before the shut-down began, and nothing of the shut-down itself.
  const std::string log = fw.ReadFile(kDebugLog);
  EXPECT_EQ(FirstOutOfOrder(log, {"Starting main thread; id = ", "Boot conditions: Cold boot\n",
                                  "Entering _StartPowerDownMonitor", "Standard shut-down\n"}),
            "")
      << log;
  for (const char* later : {"Writing /yaffs/settings", "Unmounting", "Switching Power Off"}) {
    EXPECT_EQ(log.find(later), std::string::npos) << later;
  }
}

TEST_F(Firmware, SigtermIsAnOrderlyShutDown) {
  ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
  fw.Signal(SIGTERM);
  ASSERT_EQ(fw.WaitForExit(), 0) << fw.Output();
  EXPECT_TRUE(fw.FileExists(kSaved));
}

TEST_F(Firmware, SavedSettingsLoadAtTheNextStart) {
  ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
  ASSERT_NO_FATAL_FAILURE(ShortPushAndWaitOff(fw));
  SetValueOf(fw, "update_interval", "7");
  ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
  ASSERT_NO_FATAL_FAILURE(ShortPushAndWaitOff(fw));
  EXPECT_EQ(ValueOf(fw.ReadFile(kSaved), "update_interval"), "7");
}

TEST_F(Firmware, LongPushDeletesTheSavedSettingsAndTheNextStartLoadsTheFactorySettings) {
  ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
  ASSERT_NO_FATAL_FAILURE(ShortPushAndWaitOff(fw));
  SetValueOf(fw, "update_interval", "7");

  ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
  EXPECT_EQ(fw.Board("button long"), "ok");
  ASSERT_EQ(fw.WaitForExit(), 0) << fw.Output();
  EXPECT_FALSE(fw.FileExists(kSaved));
  EXPECT_NE(fw.ReadFile(kDebugLog).find("Long Push shut-down"), std::string::npos);

  ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
  ASSERT_NO_FATAL_FAILURE(ShortPushAndWaitOff(fw));
  EXPECT_EQ(ValueOf(fw.ReadFile(kSaved), "update_interval"), "10") << "factory value";
}

TEST_F(Firmware, BootConditionsAreLoggedAndAFactoryRequestDropsTheSavedSettings) {
  ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
  ASSERT_NO_FATAL_FAILURE(ShortPushAndWaitOff(fw));
  SetValueOf(fw, "update_interval", "7");

  struct Case {
    std::uint32_t condition;
    const char* text;
  } cases[] = {{2, "Warm boot"}, {5, "Warm boot with ignored hard reset"}, {4, "Unknown"}, {3, "Warm boot on Factory"}};
  for (const Case& c : cases) {
    ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw, {"--boot-condition", std::to_string(c.condition)}));
    EXPECT_TRUE(fw.WaitForOutput(std::string("Boot conditions: ") + c.text)) << c.condition;
    ASSERT_NO_FATAL_FAILURE(ShortPushAndWaitOff(fw));
    const std::string expected = c.condition == 3 ? "10" : "7";
    EXPECT_EQ(ValueOf(fw.ReadFile(kSaved), "update_interval"), expected) << "boot condition " << c.condition;
  }
}

TEST_F(Firmware, AWatchdogExpiryRestartsTheFirmwareWithAWarmBoot) {
  ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
  const int pid = fw.Pid();
  EXPECT_EQ(fw.Board("fault watchdog"), "ok");
  ASSERT_TRUE(fw.WaitForOutput("board: reset")) << fw.Output();
  ASSERT_TRUE(fw.WaitForOutput("Boot conditions: Warm boot")) << fw.Output();
  ASSERT_TRUE(fw.WaitForCount("board: ready", 2)) << fw.Output();
  EXPECT_TRUE(fw.Running());
  EXPECT_EQ(fw.Pid(), pid) << "the same process, started afresh";
  EXPECT_FALSE(fw.FileExists(kSaved)) << "a hardware reset saves nothing";
  ASSERT_NO_FATAL_FAILURE(ShortPushAndWaitOff(fw));
  EXPECT_NE(fw.ReadFile(kDebugLog).find("Boot conditions: Warm boot"), std::string::npos);
}

// Without usable factory settings the firmware cannot go on: it panics into firmware-update mode.
TEST_F(Firmware, ADamagedFactoryFileEndsInFirmwareUpdateMode) {
  const std::filesystem::path image = fw.Root().parent_path() / (fw.Root().filename().string() + "-romfs");
  std::filesystem::create_directories(image);
  std::filesystem::copy(TORVEX_ROMFS_DIR, image, std::filesystem::copy_options::recursive);
  std::ofstream(image / "factory.xml", std::ios::trunc) << "<Branch name=\"root\"><Int32 name=";
  fw.SetRomfsImage(image.string());
  fw.Start();
  EXPECT_EQ(fw.WaitForExit(), 3) << fw.Output();
  EXPECT_NE(fw.Output().find("CTorvexPower::Panic !!!"), std::string::npos) << fw.Output();
  EXPECT_NE(fw.Output().find("board: firmware-update mode"), std::string::npos);
  std::filesystem::remove_all(image);
}

TEST_F(Firmware, TheBoardDescriptionIsMadeWhenMissingAndReadAtEveryStart) {
  ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
  ASSERT_NO_FATAL_FAILURE(ShortPushAndWaitOff(fw));
  const std::string made = fw.ReadFile("board.conf");
  EXPECT_NE(made.find("temperature 25"), std::string::npos) << made;
  EXPECT_TRUE(fw.FileExists("eeprom.bin"));

  std::ofstream(fw.Root() / "board.conf", std::ios::trunc) << "temperature 31\nflash-blocks 64\nbad-block 3\n";
  ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
  EXPECT_TRUE(fw.WaitForOutput("Current temperature: 31")) << fw.Output();
  ASSERT_NO_FATAL_FAILURE(ShortPushAndWaitOff(fw));
}

TEST_F(Firmware, ADamagedBoardDescriptionIsRefusedWithItsLine) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"temperature 25\nwarp 9\n", "board.conf line 2: unknown key \"warp\""},
      {"flash-blocks 0x200\n", "board.conf line 1: flash-blocks takes a decimal number"},
      {"temperature hot\n", "board.conf line 1: temperature takes"},
      {"flash-blocks 4\n", "board.conf line 1: flash-blocks takes a decimal number from 8 to 8192"},
      {"flash-blocks 64\nbad-block 64\n", "bad-block 64 is beyond the 64 flash blocks"},
      {"temperature\n", "board.conf line 1: expected"},
  };
  for (const Case& c : cases) {
    std::ofstream(fw.Root() / "board.conf", std::ios::trunc) << c.text;
    fw.Start();
    EXPECT_EQ(fw.WaitForExit(), 2) << c.text;
    EXPECT_NE(fw.Output().find(c.message), std::string::npos) << fw.Output();
  }
}

TEST_F(Firmware, OverTemperatureCutsThePowerWithoutSaving) {
  ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
  EXPECT_EQ(fw.Board("temperature 95"), "ok");
  ASSERT_EQ(fw.WaitForExit(), 0) << fw.Output();
  EXPECT_TRUE(fw.WaitForOutput("Over-temperature shut-down"));
  EXPECT_FALSE(fw.FileExists(kSaved)) << "nothing is saved";
  EXPECT_FALSE(fw.FileExists(kDebugLog));
}

TEST_F(Firmware, BoardCommandsAreCheckedAndAnsweredOnlyWhileTheBoardRuns) {
  EXPECT_NE(fw.Board("state").find("no board running"), std::string::npos);
  ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
  EXPECT_EQ(fw.Board("button sideways").rfind("error", 0), 0u);
  EXPECT_EQ(fw.Board("temperature hot").rfind("error", 0), 0u);
  EXPECT_EQ(fw.Board("warp 9").rfind("error", 0), 0u);
  EXPECT_EQ(fw.Board("state"), "ready");
  ASSERT_NO_FATAL_FAILURE(ShortPushAndWaitOff(fw));
}

// A power cut at any moment of the shut-down leaves a readable saved tree behind: the previous one
// or the new one, never a torn file.
TEST_F(Firmware, PowerCutDuringTheSaveNeverLeavesAnUnreadableFile) {
  ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
  ASSERT_NO_FATAL_FAILURE(ShortPushAndWaitOff(fw));
  std::mt19937 rng(4711);
  for (int round = 0; round < 8; ++round) {
    ASSERT_NO_FATAL_FAILURE(StartAndWaitReady(fw));
    EXPECT_EQ(fw.Board("button short"), "ok");
    ASSERT_TRUE(fw.WaitForOutput("Standard shut-down"));
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 4000));
    fw.Signal(SIGKILL);
    fw.WaitForExit();
    ASSERT_TRUE(fw.FileExists(kSaved)) << "round " << round;
    EXPECT_TRUE(XmlWellFormed(fw.Root() / kSaved)) << "round " << round;
  }
}

}  // namespace
