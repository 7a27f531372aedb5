// What the tests of the acquisition module's own parts share (event register, DSP command exchanges,
// public operations): the DSP-link fixture with the acquisition's devices open and empty, the module's
// shared words at their start values, and no select seam.
#pragma once

#include <gtest/gtest.h>
#include <sys/select.h>

#include "acquisition/CEventRegister.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "dsp_link_support.h"
#include "drivers/dsp_hpi.h"
#include "platform/io.h"

namespace torvex_test {

// Consumes every DSP interrupt event the device still counts.
inline void DrainDspEvents() {
  dsp_hpi_ack_host_interrupt();
  const int fd = Torvex::g_DspIntr.Descriptor();
  for (int k = 0; k < 64; ++k) {
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(fd, &rd);
    timeval none{0, 0};
    if (platform::select(fd + 1, &rd, nullptr, nullptr, &none) != 1) break;
  }
}

inline void ResetModuleWords() {
  Torvex::g_AcqStarted = false;
  Torvex::g_AcqServing = false;
  Torvex::g_TriggerActive = false;
  Torvex::g_LastAcqError = 0;
  Torvex::g_InitiatingClientStatus = nullptr;
  Torvex::g_ExpectedFrequencyHz = 0.0;
  Torvex::g_AcqChannelList.clear();
}

class AcqModuleTest : public DspLinkTest {
 protected:
  void SetUp() override {
    DspLinkTest::SetUp();
    Torvex::OpenAcquisitionDevices();
    ASSERT_TRUE(Torvex::g_AbortMailBox.IsOpened());
    ASSERT_TRUE(Torvex::g_CommandMailBox.IsOpened());
    ASSERT_TRUE(Torvex::g_DspIntr.IsOpened());
    Torvex::CEventRegister::SetSelectFunction(nullptr);
    Torvex::CTorvexHostAcquisition::DrainMailboxes();
    DrainDspEvents();
    ResetModuleWords();
  }
  void TearDown() override {
    Torvex::CEventRegister::SetSelectFunction(nullptr);
    Torvex::CTorvexHostAcquisition::DrainMailboxes();
    DrainDspEvents();
    ResetModuleWords();
    DspLinkTest::TearDown();
  }
};

}  // namespace torvex_test
