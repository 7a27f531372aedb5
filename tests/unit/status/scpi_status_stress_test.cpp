// The status objects are used at once by the parser thread, the engine event-loop threads, the
// measurement thread and main. A bounded mix of all their operations, run clean under the tsan preset.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "status_support.h"
#include "status/CScpiStatus.h"

namespace Torvex {
namespace {

using test::CFakeDevice;
using test::DrainErrors;

class CScpiStatusStressTest : public test::StatusFixture {};

struct StressClient {
  CFakeDevice device;
  CScpiStatus::ResponseSlot slot{nullptr};
  CScpiStatus status{&device, &slot, &g_ScpiStatusTemplate};
};

TEST_F(CScpiStatusStressTest, ConcurrentClientsMeasurementAndParser) {
  constexpr int kClients = 4;
  constexpr int kIterations = 1500;
  std::vector<std::unique_ptr<StressClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<StressClient>());
    std::uint16_t sre = 0xBF;
    clients.back()->status.SetEnable(kStatusByteRegister, sre, true);
    std::uint16_t ese = 0xFF;
    clients.back()->status.SetEnable(kStandardEventRegister, ese, true);
  }

  std::vector<std::thread> threads;
  // Engine event-loop / parser work of each client: commands, queries, replies, serial polls.
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      StressClient& client = *clients[c];
      std::mt19937 random(static_cast<unsigned>(c + 1));
      int reply = 0;
      for (int i = 0; i < kIterations; ++i) {
        switch (random() % 8) {
          case 0: client.status.PushError(1 + random() % (kScpiErrorTableRows - 1), random() % 2 == 0); break;
          case 1: client.status.SetBitRow(random() % kStatusBitRowCount, random() % 2 == 0, false); break;
          case 2: client.status.ReadStatusByte(random() % 2); break;
          case 3: {
            std::uint16_t v = 0;
            client.status.GetEvent(random() % kScpiStatusRegisterCount, v);
            client.status.ClearEvent(random() % kScpiStatusRegisterCount);
            break;
          }
          case 4: {
            std::uint32_t row = 0;
            client.status.PopError(row);
            break;
          }
          case 5: client.slot.store(random() % 2 == 0 ? &reply : nullptr); break;
          case 6: random() % 4 == 0 ? client.status.Clear() : client.status.Preset(); break;
          default: CScpiStatus::EndOfMessage(); break;
        }
      }
    });
  }
  // The measurement thread and the topology monitor.
  threads.emplace_back([&] {
    const std::uint32_t rows[] = {18, 19, 20, 23, 24, 38, 40, 44, 45, 46, 65, 66, 67, 16};
    const std::uint32_t errors[] = {112, 127, 128, 129, 130, 131, 132};
    std::mt19937 random(99);
    for (int i = 0; i < kIterations; ++i) {
      CScpiStatus::SetDeviceBitRow(rows[random() % std::size(rows)], random() % 2 == 0, random() % 3 == 0);
      if (i % 5 == 0) clients[random() % kClients]->status.PushError(errors[random() % std::size(errors)], false);
    }
  });
  // Clients connecting and disconnecting, and main marking the template.
  threads.emplace_back([&] {
    for (int i = 0; i < kIterations / 10; ++i) {
      StressClient transient;
      transient.status.PushError(127, false);
      g_ScpiStatusTemplate.SetBitRow(63, i % 2 == 0, false);
    }
  });
  for (std::thread& t : threads) t.join();

  CScpiStatus::EndOfMessage();
  for (auto& client : clients) {
    EXPECT_LE(DrainErrors(client->status).size(), CScpiStatus::kErrorQueueCapacity);
    // Every pending request has been accepted by the device by now.
    EXPECT_EQ(client->status.ReadStatusByte(CScpiStatus::kReadForStatusRequest) & 0x40, 0);
  }
  EXPECT_LE(DrainErrors(g_ScpiStatusTemplate).size(), CScpiStatus::kErrorQueueCapacity);
}

}  // namespace
}  // namespace Torvex
