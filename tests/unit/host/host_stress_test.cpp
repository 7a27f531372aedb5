// Two clients sending messages while device clears come from the controllers, bounded in rounds: the
// parser, the clients and the engine must stay consistent (every reply that arrives is a whole
// reply, every client answers afterwards, nothing hangs). Run under the tsan preset as well.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "host_fixture.h"

namespace torvex_test {
namespace {

class HostStressTest : public HostTest {};

TEST_F(HostStressTest, TwoClientsWithDeviceClearsStayConsistent) {
  const std::string format = Torvex::g_node_host_if_parameters_format->GetStringAttribute(Torvex::eAttrValue);
  constexpr int kRounds = 60;
  std::atomic<bool> failed{false};

  auto drive = [&](HostClient& client, const char* set, const char* reply) {
    for (int round = 0; round < kRounds && !failed; ++round) {
      if (round % 4 == 3) {
        // A clear while a message is queued, running or done. The message asks for no reply: one
        // that ran after the clear would leave a reply that the next read would take.
        client.Write(std::string(set) + ";:*WAI");
        client.Transport().HostDeviceClear();
        if (!WaitFor([&] { return client.Transport().WaitIdle(100); })) {
          ADD_FAILURE() << "transport not idle after a clear in round " << round;
          failed = true;
        }
        continue;
      }
      client.Write(std::string(set) + ";:FORM?;:CONF:MEAS:LEV?");
      // The whole message is with the device before the controller reads (else the read would be
      // one of an unterminated query).
      if (!client.Transport().WaitWritten()) {
        ADD_FAILURE() << "message not taken in round " << round;
        failed = true;
        break;
      }
      const std::string text = client.Read();
      // Each reply is whole: the format answer, then the level and its unit.
      if (text.rfind(reply, 0) != 0 || text.back() != '\n') {
        ADD_FAILURE() << "round " << round << " reply '" << text << "'";
        failed = true;
      }
    }
  };

  std::thread first([&] { drive(A(), "FORM ASC", "ASCii;"); });
  std::thread second([&] { drive(B(), "FORM ASC", "ASCii;"); });
  first.join();
  second.join();
  EXPECT_FALSE(failed.load());

  // Both clients answer afterwards.
  for (HostClient* client : {&A(), &B()}) {
    client->Transport().HostDeviceClear();
    EXPECT_TRUE(client->Transport().WaitIdle());
    EXPECT_TRUE(WaitFor([&] { return Parser().Idle(); }));
    EXPECT_EQ(client->Query("FORM?"), "ASCii\n");
    client->Errors();
  }
  Torvex::g_node_host_if_parameters_format->SetStringAttribute(Torvex::eAttrValue, format);
}

TEST_F(HostStressTest, ClientsComeAndGoWhileOthersSendMessages) {
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::thread sender([&] {
    while (!stop) {
      if (B().Query("FORM?") == "ASCii\n") ++answered;
      else break;
    }
  });
  for (int round = 0; round < 20; ++round) {
    auto client = std::make_unique<HostClient>(&Parser());
    ASSERT_TRUE(client->Ready());
    client->Write("*WAI;:FORM?");
    if (round % 2 == 0) client->Read();
    client.reset();
  }
  stop = true;
  sender.join();
  EXPECT_GT(answered.load(), 0);
  EXPECT_EQ(B().Query("FORM?"), "ASCii\n");
  B().Errors();
}

}  // namespace
}  // namespace torvex_test
