// Start and stop of the VXI-11 plug-in through the engine front: the TCP side starts after the tables
// and stops before them, a TCP side that cannot start fails the plug-in, and stopping everything while
// the application's device still holds links leaves nothing behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vxi11_device_fixture.h"

namespace torvex_test {
namespace {

struct ServerLog {
  static std::vector<std::string>& Steps() {
    static std::vector<std::string> steps;
    return steps;
  }
  static bool& FailStart() {
    static bool fail = false;
    return fail;
  }
  static void* Start(std::uint32_t* status) {
    Steps().push_back(Vxi11LinkTable() != nullptr && Vxi11InterfaceManager() != nullptr ? "start with tables"
                                                                                        : "start without tables");
    if (FailStart()) {
      *status = 8;
      return nullptr;
    }
    *status = 0;
    static int server;
    return &server;
  }
  static void Stop(void*) {
    Steps().push_back(Vxi11LinkTable() != nullptr ? "stop with tables" : "stop without tables");
  }
};

const Vxi11ServerHooks kServer{&ServerLog::Start, &ServerLog::Stop};

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerLog::Steps().clear();
    ServerLog::FailStart() = false;
    Vxi11ProvidePlugin(&kServer);
    ASSERT_EQ(DoVovuriStartEngine(), 0);
  }
  void TearDown() override {
    DoVovuriStopAll();
    Vxi11ProvidePlugin(nullptr);
  }
};

TEST_F(PluginTest, ServerStartsAfterTheTablesAndStopsBeforeThem) {
  ASSERT_EQ(DoVovuriStartVxi11Plugin(), 0);
  DoVovuriStopVxi11Plugin();
  EXPECT_EQ(ServerLog::Steps(), (std::vector<std::string>{"start with tables", "stop with tables"}));
  EXPECT_EQ(Vxi11LinkTable(), nullptr);
  EXPECT_EQ(Vxi11InterfaceManager(), nullptr);
}

TEST_F(PluginTest, ServerThatCannotStartFailsThePlugin) {
  ServerLog::FailStart() = true;
  EXPECT_EQ(DoVovuriStartVxi11Plugin(), -1);
  EXPECT_EQ(Vxi11LinkTable(), nullptr);  // what start made is gone again
}

TEST_F(PluginTest, StoppingEverythingWithLinksLeftIsClean) {
  ASSERT_EQ(DoVovuriStartVxi11Plugin(), 0);
  IdnInstrument device;
  ASSERT_EQ(device.Start("probe"), 0u);
  FakeConnection connection;
  std::uint32_t status = 0xFFFFFFFF;
  const std::uint32_t lid = Vxi11CreateLinkHandler(&connection, true, 0, "probe", &status);
  ASSERT_EQ(status, 0u);
  ASSERT_NE(lid, 0u);
  DoVovuriStopAll();
  EXPECT_EQ(Vxi11LinkTable(), nullptr);
  // The device object releases what is left as usual.
  device.Disable();
}

}  // namespace
}  // namespace torvex_test
