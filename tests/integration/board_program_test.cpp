// The board program's own behaviour: its options, one firmware per board root, the control socket
// and the EEPROM image it refuses.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "firmware_process.h"
#include "support/wait_for.h"

namespace {

using torvex_test::FirmwareProcess;

struct RunResult {
  int status = -1;
  std::string output;  // standard output and standard error
};

RunResult RunTorvex(const std::string& args) {
  const std::string cmd = std::string(TORVEX_BINARY) + " " + args + " 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  RunResult r;
  if (p == nullptr) return r;
  std::array<char, 512> buf;
  while (std::fgets(buf.data(), buf.size(), p) != nullptr) r.output += buf.data();
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

TEST(BoardProgram, OptionsAreCheckedAndTheRangesStated) {
  struct Case {
    const char* args;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {"--help", 0, "usage: torvex --root DIR"},
      {"--root /nonexistent/x --tick-us 99", 2, "--tick-us takes 100 to 10000000"},
      {"--root /nonexistent/x --tick-us 1", 2, "--tick-us takes 100 to 10000000"},
      {"--root /nonexistent/x --tick-us 10000001", 2, "--tick-us takes 100 to 10000000"},
      {"--root /nonexistent/x --tick-us 1e3", 2, "--tick-us takes 100 to 10000000"},
      {"--root /nonexistent/x --tick-us", 2, "--tick-us needs a value"},
      {"--root", 2, "--root needs a value"},
      {"--tick-us 1000", 2, "--root is required"},
      {"--root /nonexistent/x --frobnicate", 2, "unknown argument --frobnicate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const RunResult r = RunTorvex(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
  }
}

TEST(BoardProgram, ASecondFirmwareOnARootInUseIsRefusedAndAPowerCutFreesTheRoot) {
  FirmwareProcess first;
  first.Start();
  ASSERT_TRUE(first.WaitForOutput("board: ready")) << first.Output();

  FirmwareProcess second(first.Root());
  second.Start();
  EXPECT_EQ(second.WaitForExit(), 1);
  EXPECT_NE(second.Output().find("is in use by another torvex"), std::string::npos) << second.Output();
  EXPECT_EQ(second.Output().find("board: ready"), std::string::npos) << second.Output();
  // The first one is untouched: its control socket and its /romfs still serve it.
  EXPECT_TRUE(first.Running());
  EXPECT_EQ(first.Board("state"), "ready");
  EXPECT_TRUE(first.FileExists("romfs/factory.xml"));

  first.Signal(SIGKILL);  // a power cut: the kernel drops the lock with the process
  EXPECT_EQ(first.WaitForExit(), 128 + SIGKILL);
  FirmwareProcess third(first.Root());
  third.Start();
  EXPECT_TRUE(third.WaitForOutput("board: ready")) << third.Output();
}

TEST(BoardProgram, ARootOfAnyLengthWorksAndTheSocketFileGoesAtExit) {
  FirmwareProcess fw;
  const std::filesystem::path deep = fw.Root() / std::string(120, 'd') / std::string(120, 'e');
  FirmwareProcess board(deep);
  board.Start();
  ASSERT_TRUE(board.WaitForOutput("board: ready")) << board.Output();
  EXPECT_EQ(board.Board("state"), "ready");
  EXPECT_TRUE(std::filesystem::exists(deep / "control.sock"));
  board.Signal(SIGTERM);  // a short push: the firmware powers the board off
  EXPECT_EQ(board.WaitForExit(), 0) << board.Output();
  EXPECT_FALSE(std::filesystem::exists(deep / "control.sock"));
}

TEST(BoardProgram, ASlowControlClientDoesNotHoldUpAnother) {
  FirmwareProcess fw;
  fw.Start();
  ASSERT_TRUE(fw.WaitForOutput("board: ready")) << fw.Output();

  // A client that trickles its request, one byte at a time, and is still sending when the other
  // client's request has been answered.
  const int root_fd = ::open(fw.Root().c_str(), O_PATH | O_DIRECTORY);
  ASSERT_GE(root_fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "/proc/self/fd/%d/control.sock", root_fd);
  const int slow = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(slow, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  std::atomic<bool> stop{false};
  std::atomic<bool> trickling{true};
  std::atomic<bool> started{false};
  std::thread trickler([&] {
    for (const char c : std::string("state")) {
      if (stop) break;
      ::send(slow, &c, 1, MSG_NOSIGNAL);
      started = true;
      for (int i = 0; i < 40 && !stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    trickling = false;
  });
  EXPECT_TRUE(torvex_test::WaitFor([&] { return started.load(); }));  // the slow request has begun
  EXPECT_EQ(fw.Board("state"), "ready");
  EXPECT_TRUE(trickling.load()) << "the reply waited for the slow client";
  stop = true;
  trickler.join();
  ::close(slow);
  ::close(root_fd);
  EXPECT_EQ(fw.Board("state"), "ready");
}

void WriteImage(const std::filesystem::path& file, std::size_t size, std::uint8_t fill) {
  std::filesystem::create_directories(file.parent_path());
  const std::vector<char> bytes(size, static_cast<char>(fill));
  std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
}

TEST(BoardProgram, AnEepromImageOfTheWrongSizeIsRefusedWithItsReason) {
  FirmwareProcess fw;
  WriteImage(fw.Root() / "eeprom.bin", 100, 0xff);
  fw.Start();
  EXPECT_EQ(fw.WaitForExit(), 1);
  EXPECT_NE(fw.Output().find("eeprom.bin refused: it holds 100 bytes"), std::string::npos) << fw.Output();
  EXPECT_EQ(fw.Output().find("firmware-update mode"), std::string::npos) << fw.Output();
}

TEST(BoardProgram, AGarbageEepromImageIsLoggedAsSuchBeforeThePanic) {
  FirmwareProcess fw;
  WriteImage(fw.Root() / "eeprom.bin", 256, 0x5a);
  fw.Start();
  EXPECT_EQ(fw.WaitForExit(), 3);
  EXPECT_NE(fw.Output().find("EEPROM identity record refused: version"), std::string::npos) << fw.Output();
}

}  // namespace
