// A VXI-11 client that asks one query after another and follows each read of a reply at once with its
// next call: a reply read whole, END included, is over, and nothing the client sends next interrupts
// it, also while the instrument is still finishing the query's message.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "firmware_process.h"
#include "support/free_port.h"
#include "support/vxi11_client.h"
#include "support/wait_for.h"

namespace {

using namespace std::chrono_literals;
using torvex_test::FirmwareProcess;
using torvex_test::Vxi11Client;
using torvex_test::WaitFor;

class QueryLoopFirmware : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::uint16_t portmapper = torvex_test::FreeLoopbackPort();
    ASSERT_NE(portmapper, 0);
    fw_.Start({"--portmapper-port", std::to_string(portmapper), "--nbns-ports", "0,0"});
    ASSERT_TRUE(fw_.WaitForOutput("board: ready")) << fw_.Output();
    ASSERT_TRUE(WaitFor([&] { return (core_port_ = torvex_test::Vxi11CorePort(portmapper)) != 0; }, 30s))
        << fw_.Output();
  }
  void TearDown() override {
    fw_.Signal(SIGTERM);
    EXPECT_EQ(fw_.WaitForExit(), 0) << fw_.Output();
  }

  // A new connection with one link to inst0, or null.
  std::unique_ptr<Vxi11Client> Connect() {
    auto client = std::make_unique<Vxi11Client>();
    if (!client->Connect(core_port_) || !client->CreateLink().Ok()) return nullptr;
    return client;
  }

  FirmwareProcess fw_;
  std::uint16_t core_port_ = 0;
};

// A device trigger that follows the read of a reply at once: the client sends the read and the trigger
// together on its connection, so the trigger reaches the device the moment the reply has gone whole.
// The reply is over, so the trigger interrupts nothing (the trigger itself is an error here: no
// measurement waits for one).
TEST_F(QueryLoopFirmware, ATriggerRightAfterAReplyReadWholeInterruptsNothing) {
  std::unique_ptr<Vxi11Client> client;
  ASSERT_TRUE(WaitFor([&] { return (client = Connect()) != nullptr; }, 30s)) << fw_.Output();
  ASSERT_TRUE(client->Write("*CLS\n").Ok());
  std::vector<std::uint8_t> trigger;
  for (std::uint32_t w : {client->Lid(), 0u, 0u, 5000u}) torvex_test::RpcConnection::Put(&trigger, w);
  int interrupted = 0;
  int other = 0;
  for (int k = 0; k < 300; ++k) {
    ASSERT_TRUE(client->Write("*IDN?\n").Ok());
    ASSERT_TRUE(client->SendRead(5000));
    ASSERT_NE(client->Core().Send(torvex_test::kVxi11CoreProgram, 1, torvex_test::kVxi11DeviceTrigger, trigger), 0u);
    const Vxi11Client::Reply reply = client->ReceiveRead(20s);
    ASSERT_TRUE(reply.Ok());
    ASSERT_NE(reply.data.find(','), std::string::npos) << reply.data;
    std::vector<std::uint8_t> results;
    ASSERT_TRUE(client->Core().Receive(&results, 20s));
    ASSERT_EQ(torvex_test::RpcConnection::Get(results, 0), 0u);  // the trigger's error word
    for (;;) {
      const Vxi11Client::Reply error = client->Query("SYST:ERR?\n");
      ASSERT_TRUE(error.Ok());
      if (error.data.rfind("0,", 0) == 0) break;
      if (error.data.rfind("-410,", 0) == 0) {
        ++interrupted;
      } else if (error.data.rfind("-210,", 0) != 0) {
        ++other;
      }
    }
  }
  EXPECT_EQ(interrupted, 0);
  EXPECT_EQ(other, 0);
}

}  // namespace
