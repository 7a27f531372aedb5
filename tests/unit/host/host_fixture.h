// What the host-layer tests share: the world of the process (the simulated board with the read-only
// file system, the factory tree loaded and bound, a proton probe on connector 1 in a 1 T field, the
// peripherals and the acquisition started as main starts them; built once per program), and per test
// the engine with the test transport as its VXI-11 and USB plug-ins, one parser and two VXI-11 clients.
//
// A client is driven from the test thread as a controller would drive it: Send writes one program
// message (with END) and waits until the parser has finished it; Query does the same and then reads
// the reply. Errors pops the client's error queue as codes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/CTorvexHostAcquisition.h"
#include "core/CLogger.h"
#include "engine/DoVovuriEngine.h"
#include "engine_fixture.h"
#include "host/CTorvexHost.h"
#include "host/CTorvexHostEthernet.h"
#include "host/CTorvexHostParser.h"
#include "peripherals/CTorvexPeripheral.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "sim/board.h"
#include "status/CScpiStatus.h"
#include "status/ScpiErrorTable.h"
#include "support/process_board.h"
#include "support/wait_for.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"

namespace torvex_test {

// The world of the process, built on first use.
struct HostWorld {
  sim::Board* board = nullptr;
  bool treeLoaded = false;
  bool acquisitionStarted = false;
};

inline HostWorld& TheHostWorld() {
  static HostWorld* world = [] {
    auto* w = new HostWorld;
    // The start-up at the instrument's tick, as on the board: its waits cover work of the host's
    // threads, which a fast tick does not speed up.
    platform::kernel::SetTickMicroseconds(10000);
    w->board = &ProcessBoard("host");
    const std::filesystem::path romfs = std::filesystem::path(platform::BoardRoot()) / "romfs";
    std::filesystem::create_directories(romfs);
    std::filesystem::copy(TORVEX_ROMFS_DIR, romfs,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
    if (!platform::IsMounted("/romfs")) platform::mount("", "/romfs", "romfs");
    if (Torvex::LoadTreeFromXml("/romfs/factory.xml", &Torvex::g_ParameterTreeRoot, nullptr) != 0 ||
        Torvex::BindParameterNodes(Torvex::g_ParameterTreeRoot) != 0) {
      return w;
    }
    w->treeLoaded = true;
    w->board->peripherals().SetField(0.0, 0.0, 1.0);
    std::string error;
    if (!w->board->peripherals().Plug("1", "probe", &error)) return w;
    Torvex::CTorvexPeripheral::InitCTorvexPeripheral();
    Torvex::StartAcquisitionModule();
    bool accepted = false;
    bool checks = false;
    w->acquisitionStarted =
        Torvex::WaitForDspStarted(10000, &accepted, &checks) && accepted && checks && Torvex::WaitForAcqStarted(500);
    platform::kernel::SetTickMicroseconds(2000);  // from here the firmware's time-outs run five times faster
    return w;
  }();
  return *world;
}

// Ends the acquisition thread before the program's static objects go away (nothing to do when it was
// never started), also when its start did not complete in time.
class HostWorldEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { Torvex::StopAcquisitionModule(); }
};
inline const ::testing::Environment* const kHostWorldEnvironment =
    ::testing::AddGlobalTestEnvironment(new HostWorldEnvironment);

// One VXI-11 client and its transport.
class HostClient {
 public:
  HostClient(Torvex::CTorvexHostParser* parser) {
    host_ = std::make_unique<Torvex::CTorvexHostEthernet>(parser, &Torvex::g_ScpiStatusTemplate);
    transport_ = TestPlugins::Factory().Last();
  }
  ~HostClient() { Destroy(); }

  // Closes the host object (the device disabled, its event loop ended), then deletes it.
  void Destroy() {
    if (host_ != nullptr) host_->Close();
    host_.reset();
    transport_ = nullptr;
  }

  Torvex::CTorvexHostEthernet& Host() { return *host_; }
  CTestTransport& Transport() { return *transport_; }
  bool Ready() const { return host_ != nullptr && host_->IsReady() && transport_ != nullptr; }

  // Writes one program message with END without waiting.
  void Write(const std::string& message) { transport_->HostWrite(message, true); }

  // Writes one program message and waits until the parser has finished it.
  bool Send(const std::string& message) {
    const std::uint64_t before = host_->MessagesProcessed();
    Write(message);
    return WaitFor([&] { return host_->MessagesProcessed() > before; });
  }

  // Reads one reply (what the next read returns, up to its END), waiting at most `limit`; empty when
  // none came.
  std::string Read(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const std::size_t before = transport_->Received().size();
    const std::size_t chunks = transport_->Chunks().size();
    transport_->HostRead(1u << 20);
    if (!WaitFor(
            [&] {
              const std::vector<SentChunk> all = transport_->Chunks();
              for (std::size_t k = chunks; k < all.size(); ++k)
                if (all[k].end) return true;
              return false;
            },
            limit)) {
      return std::string();
    }
    // The engine hands the reply back on its event-loop thread after the host has it: wait for that,
    // so that what a test looks at next (the status byte's MAV) is settled.
    WaitFor([&] { return !host_->ResponseQueued(); }, limit);
    return transport_->Received().substr(before);
  }

  // Send, then Read.
  std::string Query(const std::string& message) {
    if (!Send(message)) return "<message not processed>";
    return Read();
  }

  // Pops the client's error queue as SCPI codes, oldest first.
  std::vector<int> Errors() {
    std::vector<int> codes;
    for (;;) {
      std::uint32_t row = 0;
      host_->Status().PopError(row);
      if (row == 0) break;
      std::int16_t code = 0;
      const char* text = nullptr;
      Torvex::CScpiStatus::GetErrorText(row, code, text);
      codes.push_back(code);
    }
    return codes;
  }

 private:
  std::unique_ptr<Torvex::CTorvexHostEthernet> host_;
  CTestTransport* transport_ = nullptr;
};

// The engine, a parser and two clients, per test.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world_ = &TheHostWorld();
    ASSERT_TRUE(world_->treeLoaded);
    TestPlugins::Install();
    TestPlugins::Factory().SetConfig(TestTransportConfig{});
    ASSERT_EQ(DoVovuriStartEngine(), 0);
    ASSERT_EQ(DoVovuriStartVxi11Plugin(), 0);
    ASSERT_EQ(DoVovuriStartUsbPlugin(), 0);
    parser_ = std::make_unique<Torvex::CTorvexHostParser>();
    ASSERT_TRUE(parser_->IsRunning());
    a_ = std::make_unique<HostClient>(parser_.get());
    ASSERT_TRUE(a_->Ready());
    b_ = std::make_unique<HostClient>(parser_.get());
    ASSERT_TRUE(b_->Ready());
  }
  void TearDown() override {
    a_.reset();
    b_.reset();
    parser_.reset();
    DoVovuriStopAll();
  }

  HostClient& A() { return *a_; }
  HostClient& B() { return *b_; }
  Torvex::CTorvexHostParser& Parser() { return *parser_; }

  static std::string LogText() {
    char* copy = Torvex::g_Logger.CopyBuffer();
    std::string text = copy != nullptr ? copy : "";
    delete[] copy;
    return text;
  }

  HostWorld* world_ = nullptr;
  std::unique_ptr<Torvex::CTorvexHostParser> parser_;
  std::unique_ptr<HostClient> a_;
  std::unique_ptr<HostClient> b_;
};

}  // namespace torvex_test
