// The whole firmware with the board's DSP program: main starts the acquisition, waits for the DSP and
// the trigger flow, and reports a DSP that does not start in OPERation:BIT12.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "firmware_process.h"

namespace {

using torvex_test::FirmwareProcess;

constexpr int kOperationBit12Register = 6;
constexpr unsigned kMeasurementNotStartedMask = 0x0001;

void WriteBoardDescription(FirmwareProcess& fw, const std::string& text) {
  std::filesystem::create_directories(fw.Root());
  std::ofstream(fw.Root() / "board.conf", std::ios::trunc) << text;
}

TEST(AcquisitionFirmware, MainSeesTheDspStartedAndTheMeasurementSystemIsNotReportedDown) {
  FirmwareProcess fw;
  WriteBoardDescription(fw, "flash-blocks 64\nplug 1 probe\n");
  fw.Start();
  ASSERT_TRUE(fw.WaitForOutput("board: ready")) << fw.Output();

  const std::string out = fw.Output();
  const auto dsp_started = out.find("WaitForDspStarted: Started!");
  const auto acq_started = out.find("WaitForAcqStarted: Started!");
  const auto ready = out.find("board: ready");
  ASSERT_NE(dsp_started, std::string::npos) << out;
  ASSERT_NE(acq_started, std::string::npos) << out;
  EXPECT_LT(out.find("Starting the Acquisition module."), dsp_started);
  EXPECT_LT(dsp_started, acq_started);
  EXPECT_LT(acq_started, ready);
  EXPECT_EQ(out.find("Restarting Acquisition System"), std::string::npos) << out;

  const std::string condition = fw.Board("condition " + std::to_string(kOperationBit12Register));
  ASSERT_FALSE(condition.empty());
  EXPECT_EQ(std::stoul(condition) & kMeasurementNotStartedMask, 0u) << condition;
  EXPECT_EQ(fw.Board("dsp").rfind("state running", 0), 0u) << fw.Board("dsp");

  EXPECT_EQ(fw.Board("button short"), "ok");
  EXPECT_EQ(fw.WaitForExit(), 0) << fw.Output();
}

TEST(AcquisitionFirmware, AStalledDspRestartsTheAcquisitionWhichServesAgainOnceItRuns) {
  FirmwareProcess fw;
  WriteBoardDescription(fw, "flash-blocks 64\nplug 1 probe\n");
  fw.Start();
  ASSERT_TRUE(fw.WaitForOutput("board: ready")) << fw.Output();
  const int entries = fw.CountOutput("CTorvexHostAcquisition::TriggerFlow, Entering");
  ASSERT_GE(entries, 1);

  EXPECT_EQ(fw.Board("dsp stall on"), "ok");
  ASSERT_TRUE(fw.WaitForOutput("=>Fatal exception, Restarting Acquisition System...")) << fw.Output();
  EXPECT_EQ(fw.Board("dsp stall off"), "ok");
  EXPECT_TRUE(fw.WaitForCount("CTorvexHostAcquisition::TriggerFlow, Entering", entries + 1)) << fw.Output();

  EXPECT_EQ(fw.Board("button short"), "ok");
  EXPECT_EQ(fw.WaitForExit(), 0) << fw.Output();
}

TEST(AcquisitionFirmware, ARefusedCpldVersionRestartsTheAcquisitionUntilMainGivesUp) {
  FirmwareProcess fw;
  WriteBoardDescription(fw, "flash-blocks 64\ncpld-version 1.7\nplug 1 probe\n");
  fw.Start();
  // Every pass loads the program, reads the versions and refuses the CPLD; main waits its 10 s for
  // the DSP, then 500 ms for the acquisition, and panics.
  EXPECT_TRUE(fw.WaitForCount("=>Fatal exception, Restarting Acquisition System...", 2)) << fw.Output();
  EXPECT_EQ(fw.WaitForExit(), 3) << fw.Output();
  const std::string out = fw.Output();
  EXPECT_NE(out.find("CTorvexPower::Panic !!!"), std::string::npos) << out;
  EXPECT_EQ(out.find("WaitForDspStarted: Started!"), std::string::npos) << out;
  EXPECT_EQ(out.find("board: ready"), std::string::npos) << out;
}

}  // namespace
