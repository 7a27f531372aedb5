// The whole firmware with peripherals on the probe connector: the first topology at start-up, the
// board's plug and unplug commands while it runs, and the topology monitor's reports.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "firmware_process.h"
#include "support/wait_for.h"

namespace {

using namespace std::chrono_literals;
using torvex_test::FirmwareProcess;
using torvex_test::WaitFor;

class PeripheralsFirmware : public ::testing::Test {
 protected:
  // Starts with `conf` as the board description and waits until the firmware is up.
  void StartWith(const std::string& conf) {
    std::filesystem::create_directories(fw.Root());
    std::ofstream(fw.Root() / "board.conf", std::ios::trunc) << conf;
    fw.Start();
    ASSERT_TRUE(fw.WaitForOutput("board: ready")) << fw.Output();
  }
  // The board command with the SCPI text quoted for the shell.
  std::string Usb(const std::string& text) { return fw.Board("usb '" + text + "'"); }
  // Until the USB device enumerates and answers (the module may connect after "board: ready").
  bool WaitForUsb() {
    return WaitFor([this] { return Usb("*IDN?").find(',') != std::string::npos; }, 30s);
  }
  void StopNow() {
    EXPECT_EQ(fw.Board("button short"), "ok");
    EXPECT_EQ(fw.WaitForExit(), 0) << fw.Output();
  }
  FirmwareProcess fw;
};

TEST_F(PeripheralsFirmware, DefaultBoardHasAProtonProbeOnTheConnector) {
  fw.Start();
  ASSERT_TRUE(fw.WaitForOutput("board: ready")) << fw.Output();
  EXPECT_EQ(fw.Board("probes").rfind("1 probe model", 0), 0u) << fw.Board("probes");
  EXPECT_TRUE(fw.WaitForOutput("Entering CTorvexPeripheral::InitCTorvexPeripheral")) << fw.Output();
  EXPECT_EQ(fw.CountOutput("Topology couldn't be"), 0) << fw.Output();
  // The probe present at power-up is only the monitor's baseline.
  EXPECT_EQ(fw.CountOutput("TopologyMonitor:"), 0) << fw.Output();
  StopNow();
}

TEST_F(PeripheralsFirmware, PlugAndUnplugWhileRunningGiveTheMonitorsReports) {
  ASSERT_NO_FATAL_FAILURE(
      StartWith("temperature 25\nflash-blocks 64\nplug 1 multiplexer:3\nplug 1/1 probe\nplug 1/2 camera:2\n"));
  // The first topology (the camera's memory block included) was built without failure.
  ASSERT_TRUE(fw.WaitForOutput("Retrieving topology.")) << fw.Output();
  EXPECT_EQ(fw.CountOutput("Topology couldn't be"), 0) << fw.Output();
  const std::string probes = fw.Board("probes");
  EXPECT_NE(probes.find("1 multiplexer:3 model"), std::string::npos) << probes;
  EXPECT_NE(probes.find("\n1/1 probe model"), std::string::npos) << probes;
  EXPECT_NE(probes.find("\n1/2 camera:2 model"), std::string::npos) << probes;

  EXPECT_EQ(fw.Board("unplug 1"), "ok");
  ASSERT_TRUE(fw.WaitForCount("TopologyMonitor: NMR Path broken", 1)) << fw.Output();
  EXPECT_EQ(fw.Board("probes"), "ok");  // nothing plugged
  EXPECT_EQ(fw.Board("plug 1 probe"), "ok");
  ASSERT_TRUE(fw.WaitForCount("TopologyMonitor: Peripheral plugged", 1)) << fw.Output();
  EXPECT_EQ(fw.Board("unplug 1"), "ok");
  ASSERT_TRUE(fw.WaitForCount("TopologyMonitor: NMR Path broken", 2)) << fw.Output();
  EXPECT_EQ(fw.CountOutput("TopologyMonitor: Peripheral plugged"), 1);

  // Refusals name what is wrong and change nothing.
  EXPECT_EQ(fw.Board("unplug 1/2").rfind("error", 0), 0u);
  EXPECT_EQ(fw.Board("plug 1/7 probe").rfind("error", 0), 0u);
  EXPECT_EQ(fw.Board("plug 1 toaster").rfind("error", 0), 0u);
  EXPECT_EQ(fw.Board("field much").rfind("error", 0), 0u);
  EXPECT_EQ(fw.Board("field 1.5"), "ok");
  StopNow();
}

// The probe description file is tried at start-up: a good one stays, a damaged one is refused in the
// log and removed.
TEST_F(PeripheralsFirmware, TheProbeDescriptionFileIsReadAtStartUp) {
  struct Case {
    const char* text;
    bool kept;
  };
  for (const Case c :
       {Case{"<Probe><StructVersion>1</StructVersion><GyroRatio>42577478.5</GyroRatio></Probe>", true},
        Case{"<!DOCTYPE Probe><Probe><StructVersion>1</StructVersion></Probe>", true},
        Case{"<!DOCTYPE Probe [<!ENTITY v \"1\">]><Probe><StructVersion>&v;</StructVersion></Probe>", false},
        Case{"<Probe><StructVersion>2</StructVersion></Probe>", false}, Case{"<Probe><Struct", false}}) {
    std::filesystem::create_directories(fw.Root() / "yaffs/user");
    std::ofstream(fw.Root() / "yaffs/user/probe.xml", std::ios::trunc) << c.text;
    fw.Start();
    ASSERT_TRUE(fw.WaitForOutput("board: ready")) << fw.Output();
    EXPECT_EQ(fw.FileExists("yaffs/user/probe.xml"), c.kept) << c.text;
    EXPECT_EQ(fw.CountOutput("THE GIVEN XML FILE IS CORRUPTED") > 0, !c.kept) << c.text << fw.Output();
    StopNow();
  }
}

// Each head of a camera is closed, reported and measured on its own route, and resonates only in its
// own frequency range: a field inside head 1's range and outside head 2's is measured by head 1 alone,
// and the other way round.
TEST_F(PeripheralsFirmware, CameraHeadsAreClosedAndMeasuredOneByOne) {
  ASSERT_NO_FATAL_FAILURE(StartWith("flash-blocks 64\nplug 1 camera:2\n"));
  ASSERT_TRUE(WaitForUsb()) << fw.Output();
  // Each head's range (tesla) as the firmware has it from the head's physical information.
  const auto tesla = [this](const std::string& query) {
    const std::string reply = Usb(query);
    EXPECT_EQ(reply.size() > 2 ? reply.substr(reply.size() - 2) : reply, " T") << query << ": " << reply;
    return std::strtod(reply.c_str(), nullptr);
  };
  const double low1 = tesla("ROUT:PROB:MIN? (@1!1)");
  const double high1 = tesla("ROUT:PROB:MAX? (@1!1)");
  const double low2 = tesla("ROUT:PROB:MIN? (@1!2)");
  const double high2 = tesla("ROUT:PROB:MAX? (@1!2)");
  ASSERT_TRUE(low1 > 0 && low1 < low2 && low2 < high1 && high1 < high2)
      << low1 << " " << high1 << " " << low2 << " " << high2;
  // Fields inside one head's range only.
  const double onlyHead1 = (low1 + low2) / 2;
  const double onlyHead2 = (high1 + high2) / 2;
  EXPECT_EQ(Usb("*CLS"), "ok");

  struct Case {
    const char* channel;
    double field;
    bool found;
  };
  for (const Case c : {Case{"1!1", onlyHead1, true}, Case{"1!2", onlyHead1, false}, Case{"1!2", onlyHead2, true},
                       Case{"1!1", onlyHead2, false}}) {
    const std::string field = std::to_string(c.field);
    SCOPED_TRACE(std::string(c.channel) + " at " + field + " T");
    ASSERT_EQ(fw.Board("field " + field), "ok");
    EXPECT_EQ(Usb(std::string("ROUT:CLOS (@") + c.channel + ")"), "ok");
    EXPECT_EQ(Usb("SYST:ERR?"), "0,\"No error\"");
    EXPECT_EQ(Usb("ROUT:CLOS:ACT?"), std::string("(@") + c.channel + ")");
    const std::string value = Usb("MEAS? " + field + ",5,(@" + c.channel + ")");
    const std::string error = Usb("SYST:ERR?");
    if (c.found) {
      EXPECT_EQ(error, "0,\"No error\"") << value;
      ASSERT_EQ(value.size() > 2 ? value.substr(value.size() - 2) : value, " T") << value;
      EXPECT_NEAR(std::strtod(value.c_str(), nullptr), c.field, 1e-4) << value;
    } else {
      EXPECT_EQ(value.find(" T"), std::string::npos) << value;
      EXPECT_NE(error.rfind("0,", 0), 0u) << error;
    }
  }
  StopNow();
}

TEST_F(PeripheralsFirmware, ABadPlugLineIsRefusedAtStart) {
  std::filesystem::create_directories(fw.Root());
  std::ofstream(fw.Root() / "board.conf", std::ios::trunc) << "plug 1/2 probe\n";
  fw.Start();
  EXPECT_EQ(fw.WaitForExit(), 2) << fw.Output();
  EXPECT_NE(fw.Output().find("plug 1/2 probe"), std::string::npos) << fw.Output();
}

}  // namespace
