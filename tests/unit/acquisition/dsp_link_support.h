// What the DSP-link tests share: the process's simulated board with the DSP out of reset, the
// factory parameter tree loaded and bound, and a scripted DSP (support/scripted_dsp.h) on the board's
// DSP model.
#pragma once

#include <gtest/gtest.h>
#include <sys/select.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/CTorvexDSP.h"
#include "acquisition/DspProtocol.h"
#include "core/CLogger.h"
#include "drivers/dsp_hpi.h"
#include "platform/io.h"
#include "sim/board.h"
#include "support/process_board.h"
#include "support/scripted_dsp.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"
#include "tree/ParameterTreeXml.h"

namespace torvex_test {

// The board of this test program with the read-only file system (factory tree, DSP program image)
// in place and mounted (once per process).
inline sim::Board& LinkBoard() {
  static sim::Board* board = [] {
    sim::Board& b = ProcessBoard("dsplink");
    const std::filesystem::path romfs = std::filesystem::path(platform::BoardRoot()) / "romfs";
    std::filesystem::create_directories(romfs);
    std::filesystem::copy(TORVEX_ROMFS_DIR, romfs,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
    if (!platform::IsMounted("/romfs")) platform::mount("", "/romfs", "romfs");
    return &b;
  }();
  return *board;
}

// Set once a test of this process has stopped the board's DSP program model for a scripted DSP; the
// model cannot be started again in the same process.
inline bool& ProgramModelStopped() {
  static bool stopped = false;
  return stopped;
}

// A freshly loaded and bound factory tree.
inline void LoadFactoryTree() {
  delete Torvex::g_ParameterTreeRoot;
  Torvex::g_ParameterTreeRoot = nullptr;
  ASSERT_EQ(Torvex::LoadTreeFromXml("/romfs/factory.xml", &Torvex::g_ParameterTreeRoot, nullptr), 0);
  ASSERT_EQ(Torvex::BindParameterNodes(Torvex::g_ParameterTreeRoot), 0);
}

// The whole log as one string.
inline std::string LogText() {
  char* copy = Torvex::g_Logger.CopyBuffer();
  std::string text = copy != nullptr ? copy : "";
  delete[] copy;
  return text;
}

// Base fixture: a freshly loaded factory tree, the DSP out of reset, a scripted DSP, and the
// interface brought back to NotBooted and free.
class DspLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    board_ = &LinkBoard();
    LoadFactoryTree();
    // The scripted DSP stands in for the board's program model.
    board_->dsp_program().Stop();
    ProgramModelStopped() = true;
    dsp_reset(false);
    dsp_hpi_ack_host_interrupt();
    script_ = std::make_unique<ScriptedDsp>(board_->dsp());
    Torvex::CTorvexDSP::ResetToNotBooted();
    Torvex::CTorvexDSP::ReleaseInterface();
  }
  void TearDown() override {
    Torvex::CTorvexDSP::ReleaseInterface();
    script_.reset();
    dsp_hpi_ack_host_interrupt();
  }

  // Brings the interface to Ready with a DSP_BOOTED of versions 2.4 and 1.8.
  void Boot() {
    script_->SendBooted(2, 4, 1, 8);
    std::uint32_t status = 1;
    ASSERT_EQ(Torvex::CTorvexDSP::ReadMessage(Torvex::kDspBooted, &status), 0);
    ASSERT_EQ(status, 0u);
    ASSERT_EQ(Torvex::CTorvexDSP::GetState(), Torvex::Ready);
  }

  // One complete exchange answered by the script; returns the code of the send or of the read.
  int RoundTrip(std::uint32_t request, std::uint32_t* status = nullptr) {
    int result = Torvex::CTorvexDSP::SendRequest(request);
    if (result == 0) result = Torvex::CTorvexDSP::ReadMessage(Torvex::DspReplyId(request), status);
    Torvex::CTorvexDSP::ReleaseInterface();
    return result;
  }

  sim::Board* board_ = nullptr;
  std::unique_ptr<ScriptedDsp> script_;
};

}  // namespace torvex_test
