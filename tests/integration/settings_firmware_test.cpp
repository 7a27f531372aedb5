// The whole firmware saving its settings while the instrument is in use: stores and recalls of a
// group keep the probes, the closed route and the selection; switching off, resetting or entering the
// firmware update during a continuous measurement ends cleanly with the settings saved; unplugging the
// probe during a continuous measurement and scanning again afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "firmware_process.h"
#include "support/wait_for.h"

namespace {

using namespace std::chrono_literals;
using torvex_test::FirmwareProcess;
using torvex_test::WaitFor;

// Starts the firmware (again, on the same root) and waits until it answers over USB.
void StartAndWait(FirmwareProcess& fw) {
  fw.Start();
  ASSERT_TRUE(fw.WaitForOutput("board: ready")) << fw.Output();
  ASSERT_TRUE(WaitFor([&] { return fw.Board("usb '*IDN?'").find(',') != std::string::npos; }, 30s)) << fw.Output();
}

// The board's USB host command with the SCPI text quoted for the shell.
std::string Usb(FirmwareProcess& fw, const std::string& text) { return fw.Board("usb '" + text + "'"); }

// A field the default probe measures, and its channel closed: measurements find a resonance.
void CloseTheProbe(FirmwareProcess& fw) {
  ASSERT_EQ(fw.Board("field 1.0"), "ok");
  ASSERT_EQ(Usb(fw, "ROUT:CLOS (@1)"), "ok");
}

// A continuous measurement that has completed a few sequences.
void MeasureContinuously(FirmwareProcess& fw) {
  ASSERT_EQ(Usb(fw, "INIT:CONT ON"), "ok");
  const int before = fw.CountOutput("Measurements succeeded");
  ASSERT_TRUE(fw.WaitForCount("Measurements succeeded", before + 3)) << fw.Output();
}

void SwitchOff(FirmwareProcess& fw) {
  EXPECT_EQ(fw.Board("button short"), "ok");
  EXPECT_EQ(fw.WaitForExit(), 0) << fw.Output();
}

// No memory or thread fault was reported by an instrumented build.
void ExpectNoSanitizerReport(FirmwareProcess& fw) {
  EXPECT_EQ(fw.Output().find("Sanitizer"), std::string::npos) << fw.Output();
}

// A store of a group (and of the whole tree) writes no peripheral and leaves the instrument as it
// was: the same probe, closed route and selection, and a measurement on the closed channel answers.
// A recall of a group that does not restart keeps them too.
TEST(SettingsFirmware, StoreAndRecallKeepTheProbesTheRouteAndTheSelection) {
  FirmwareProcess fw;
  ASSERT_NO_FATAL_FAILURE(StartAndWait(fw));
  ASSERT_NO_FATAL_FAILURE(CloseTheProbe(fw));
  ASSERT_EQ(Usb(fw, "ROUT:CLOS:ACT?"), "(@1)");

  for (const char* command : {"MMEM:STOR 0,\"s1.xml\",MEAS", "MMEM:STOR 0,\"s1.xml\",ALL",
                              "MMEM:LOAD 0,\"/yaffs/settings/measure_parms/s1.xml\""}) {
    SCOPED_TRACE(command);
    ASSERT_EQ(Usb(fw, command), "ok");
    EXPECT_EQ(Usb(fw, "ROUT:CLOS:ACT?"), "(@1)");
    EXPECT_EQ(Usb(fw, "ROUT:CLOS:STAT?"), "(@1)");
    const std::string value = Usb(fw, "MEAS? 1.0,3,(@1)");
    EXPECT_NE(value.find_first_of("0123456789"), std::string::npos) << value;
    const std::string error = Usb(fw, "SYST:ERR?");
    EXPECT_EQ(error.rfind("0,", 0), 0u) << error;
  }
  // The files hold an empty peripherals branch, as always.
  const std::string all = fw.ReadFile("yaffs/settings/s1.xml");
  EXPECT_NE(all.find("<Branch name=\"peripherals\">\n</Branch>\n"), std::string::npos) << all;
  EXPECT_EQ(all.find("<Pointer name=\"1\""), std::string::npos);
  EXPECT_EQ(fw.ReadFile("yaffs/settings/measure_parms/s1.xml").find("Pointer"), std::string::npos);

  // A store while a continuous measurement runs leaves it running on the same probe.
  ASSERT_NO_FATAL_FAILURE(MeasureContinuously(fw));
  ASSERT_EQ(Usb(fw, "MMEM:STOR 0,\"s2.xml\",MEAS"), "ok");
  const int stored = fw.CountOutput("Measurements succeeded");
  EXPECT_TRUE(fw.WaitForCount("Measurements succeeded", stored + 3)) << fw.Output();
  EXPECT_EQ(Usb(fw, "ROUT:CLOS:ACT?"), "(@1)");
  SwitchOff(fw);
  ExpectNoSanitizerReport(fw);
}

// Switching off, resetting and entering the firmware update while a continuous measurement runs: the
// firmware ends as asked, and the next start loads the settings changed before (the factory settings
// after a long push).
TEST(SettingsFirmware, EndingTheRunDuringAContinuousMeasurementSavesTheSettings) {
  struct Case {
    const char* label;
    const char* action;  // a board command
    bool restarts;       // the firmware starts again by itself (a reset)
    int status;          // exit status of the process (after a reset: of the switch-off that follows)
    const char* logged;
    const char* unit_next;  // the unit the next start has
  };
  const Case cases[] = {
      {"short push", "button short", false, 0, "Switching Power Off...", "MT"},
      {"long push", "button long", false, 0, "Switching Power Off...", "T"},
      {"firmware update", "usb 'DIAG:UPGR'", false, 3, "Entering DFU mode...", "MT"},
      {"reset", "usb '*RST'", true, 0, "Resetting...", "MT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FirmwareProcess fw;
    ASSERT_NO_FATAL_FAILURE(StartAndWait(fw));
    ASSERT_EQ(Usb(fw, "UNIT MT"), "ok");
    ASSERT_NO_FATAL_FAILURE(CloseTheProbe(fw));
    ASSERT_NO_FATAL_FAILURE(MeasureContinuously(fw));

    (void)fw.Board(c.action);
    if (c.restarts) {
      ASSERT_TRUE(fw.WaitForOutput("board: reset")) << fw.Output();
      ASSERT_TRUE(fw.WaitForCount("board: ready", 2)) << fw.Output();
      ASSERT_TRUE(WaitFor([&] { return Usb(fw, "*IDN?").find(',') != std::string::npos; }, 30s)) << fw.Output();
      EXPECT_EQ(Usb(fw, "UNIT?"), c.unit_next);
      EXPECT_EQ(fw.Board("button short"), "ok");
    }
    EXPECT_EQ(fw.WaitForExit(), c.status) << fw.Output();
    EXPECT_NE(fw.Output().find(c.logged), std::string::npos) << fw.Output();
    ExpectNoSanitizerReport(fw);
    EXPECT_FALSE(fw.FileExists("yaffs/settings/LastPowerOff.xml~tmp0"));

    // The saved file is one the next start loads (after a long push there is none: the factory
    // settings load).
    ASSERT_NO_FATAL_FAILURE(StartAndWait(fw));
    const bool saved = std::string(c.unit_next) == "MT";
    EXPECT_EQ(fw.Output().find("LastPowerOff.xml cannot be loaded") == std::string::npos, saved) << fw.Output();
    EXPECT_EQ(Usb(fw, "UNIT?"), c.unit_next);
    SwitchOff(fw);
  }
}

// Unplugging the probe stops a continuous measurement (the NMR path broke); once a probe is plugged
// again, a scan rebuilds the topology and the new probe measures. Nothing reaches the objects the
// rebuild destroyed.
TEST(SettingsFirmware, UnplugDuringAContinuousMeasurementThenScanAgain) {
  FirmwareProcess fw;
  ASSERT_NO_FATAL_FAILURE(StartAndWait(fw));
  ASSERT_NO_FATAL_FAILURE(CloseTheProbe(fw));
  ASSERT_NO_FATAL_FAILURE(MeasureContinuously(fw));

  // The measurement ends with the exception of the broken path (logged by the trigger flow).
  const int ended = fw.CountOutput("TriggerFlow: ");
  ASSERT_EQ(fw.Board("unplug 1"), "ok");
  ASSERT_TRUE(fw.WaitForOutput("TopologyMonitor: NMR Path broken")) << fw.Output();
  ASSERT_TRUE(fw.WaitForCount("TriggerFlow: ", ended + 1)) << fw.Output();
  ASSERT_EQ(fw.Board("plug 1 probe"), "ok");
  ASSERT_EQ(Usb(fw, "*CLS"), "ok");
  EXPECT_EQ(Usb(fw, "ROUT:PROB:SCAN?"), "(@1)");
  ASSERT_EQ(Usb(fw, "ROUT:CLOS (@1)"), "ok");
  const std::string value = Usb(fw, "MEAS? 1.0,3,(@1)");
  EXPECT_NE(value.find_first_of("0123456789"), std::string::npos) << value;
  const std::string error = Usb(fw, "SYST:ERR?");
  EXPECT_EQ(error.rfind("0,", 0), 0u) << error;
  SwitchOff(fw);
  ExpectNoSanitizerReport(fw);
}

}  // namespace
