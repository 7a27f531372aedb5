// The board program's DSP: its image in the read-only file system, the CPLD version from the board's
// description and the `dsp` fault commands while the firmware runs. (A description with a CPLD version
// the firmware refuses is in acquisition_firmware_test.cpp: the firmware never gets ready on it.)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "firmware_process.h"

namespace {

using torvex_test::FirmwareProcess;

TEST(DspBoard, ImageInstalledAndFaultCommands) {
  FirmwareProcess fw;
  std::filesystem::create_directories(fw.Root());
  std::ofstream(fw.Root() / "board.conf", std::ios::trunc) << "flash-blocks 64\ncpld-version 1.8\nplug 1 probe\n";
  fw.Start();
  ASSERT_TRUE(fw.WaitForOutput("board: ready")) << fw.Output();
  EXPECT_TRUE(fw.FileExists("romfs/Rudevu_Radi_Ziziv.out"));

  const std::string state = fw.Board("dsp");
  EXPECT_EQ(state.rfind("state running", 0), 0u) << state;  // the firmware's acquisition booted it
  EXPECT_NE(state.find("cpld 1.8"), std::string::npos) << state;

  struct Case {
    const char* command;
    bool accepted;
    const char* shown;  // what `dsp` then shows, or nullptr
  };
  const Case cases[] = {
      {"dsp boot off", true, "no-boot"},
      {"dsp versions 2.3 1.8", true, "versions 2.3/1.8"},
      {"dsp delay 0x10 600", true, "delay 0x10 600"},
      {"dsp delay all 5", true, "delay all 5"},
      {"dsp delay 0x10001 100", true, "delay 0x10001 100"},
      {"dsp drop 0x70 2", true, "drop 0x70 2"},
      {"dsp mailbox 1", true, "mailbox 1"},
      {"dsp check 2", true, "check 2"},
      {"dsp error 3", true, "error 3"},
      {"dsp stall on", true, " stall"},
      {"dsp delay 0x44 10", false, nullptr},  // no such request
      {"dsp delay 0x10 -5", false, nullptr},
      {"dsp versions 2 1.8", false, nullptr},
      {"dsp boot maybe", false, nullptr},
      {"dsp drop all", false, nullptr},
      {"dsp explode", false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const std::string reply = fw.Board(c.command);
    if (c.accepted) {
      EXPECT_EQ(reply, "ok");
      if (c.shown) {
        EXPECT_NE(fw.Board("dsp").find(c.shown), std::string::npos) << fw.Board("dsp");
      }
    } else {
      EXPECT_EQ(reply.rfind("error", 0), 0u) << reply;
    }
  }
  EXPECT_EQ(fw.Board("dsp clear"), "ok");
  const std::string cleared = fw.Board("dsp");
  EXPECT_EQ(cleared.find("no-boot"), std::string::npos) << cleared;
  EXPECT_EQ(cleared.find("delay"), std::string::npos) << cleared;
  EXPECT_EQ(cleared.find("stall"), std::string::npos) << cleared;

  EXPECT_EQ(fw.Board("button short"), "ok");
  EXPECT_EQ(fw.WaitForExit(), 0) << fw.Output();
}

}  // namespace
