// The USBTMC and USB488 class requests on endpoint 0, seen from the host, with the engine behind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "usb/usbtmc/CUsb488ClassRequests.h"
#include "usb/CUsbPhysicalInterfaceManager.h"
#include "usbtmc_fixture.h"

namespace torvex_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST_F(UsbTmcTest, GetCapabilitiesAnswersTheRecordAndFollowsTheEngineSwitches) {
  Bring();
  sim::UsbTransfer t = Interface(kUsbTmcGetCapabilities, 0, 24);
  ASSERT_EQ(t.outcome, sim::UsbOutcome::kOk);
  ASSERT_EQ(t.data.size(), 24u);
  EXPECT_EQ(Bytes(t.data.begin(), t.data.begin() + 4), (Bytes{0x01, 0x00, 0x00, 0x01}));
  EXPECT_EQ(t.data[4], 0x00);  // no INDICATOR_PULSE on this controller
  EXPECT_EQ(t.data[5], 0x01);  // TermChar
  EXPECT_EQ(t.data[12], 0x00);
  EXPECT_EQ(t.data[13], 0x01);
  EXPECT_EQ(t.data[14], 7);
  EXPECT_EQ(t.data[15], 4);
  ASSERT_EQ(app_->EnableTriggerEvent(), 0u);
  ASSERT_EQ(app_->EnableRemoteLocalEvent(1), 0u);
  t = Interface(kUsbTmcGetCapabilities, 0, 24);
  ASSERT_EQ(t.outcome, sim::UsbOutcome::kOk);
  EXPECT_EQ(t.data.at(15), 7);
}

struct StallCase {
  const char* what;
  std::uint8_t type;
  std::uint8_t request;
  std::uint16_t value;
  std::uint16_t index;
  std::uint16_t length;
};

TEST_F(UsbTmcTest, MalformedAndUnknownClassRequestsStallEndpointZeroAndChangeNothing) {
  Bring();
  const StallCase cases[] = {
      {"GET_CAPABILITIES with wLength 8", kToInterface, kUsbTmcGetCapabilities, 0, 0, 8},
      {"GET_CAPABILITIES to an endpoint", kToEndpoint, kUsbTmcGetCapabilities, 0, kBulkInAddress, 24},
      {"INITIATE_CLEAR to an endpoint", kToEndpoint, kUsbTmcInitiateClear, 0, kBulkOutAddress, 1},
      {"INITIATE_ABORT_BULK_OUT to the interface", kToInterface, kUsbTmcInitiateAbortBulkOut, 1, 0, 2},
      {"INITIATE_ABORT_BULK_IN with bTag 0", kToEndpoint, kUsbTmcInitiateAbortBulkIn, 0, kBulkInAddress, 2},
      {"READ_STATUS_BYTE with bTag 1", kToInterface, kUsb488ReadStatusByte, 1, 0, 3},
      {"READ_STATUS_BYTE with bTag 0", kToInterface, kUsb488ReadStatusByte, 0, 0, 3},
      {"READ_STATUS_BYTE with bit 7", kToInterface, kUsb488ReadStatusByte, 0x82, 0, 3},
      {"READ_STATUS_BYTE with a high byte", kToInterface, kUsb488ReadStatusByte, 0x0102, 0, 3},
      {"INDICATOR_PULSE (not offered)", kToInterface, kUsbTmcIndicatorPulse, 0, 0, 1},
      {"bRequest 0", kToInterface, 0, 0, 0, 1},
      {"bRequest 8", kToInterface, 8, 0, 0, 1},
      {"bRequest 129", kToInterface, 129, 0, 0, 1},
      {"bRequest 254", kToInterface, 254, 0, 0, 1},
      {"bRequest 255", kToInterface, 255, 0, 0, 1},
  };
  for (const StallCase& c : cases) {
    const sim::UsbTransfer t = ClassRequest(c.type, c.request, c.value, c.index, c.length);
    EXPECT_EQ(t.outcome, sim::UsbOutcome::kStall) << c.what;
    // The device stays on the bus and in step.
    const sim::UsbTransfer after = Interface(kUsbTmcGetCapabilities, 0, 24);
    ASSERT_EQ(after.outcome, sim::UsbOutcome::kOk) << c.what;
    EXPECT_EQ(after.data.at(0), kUsbTmcStatusSuccess) << c.what;
  }
  EXPECT_EQ(Query("*IDN?\n", 9), "TORVEX,TEST,0,1.0\n");
}

TEST_F(UsbTmcTest, IndicatorPulseIsRefusedWithoutTakingTheDeviceOffTheBus) {
  Bring();
  ASSERT_EQ(Query("*IDN?\n", 1), "TORVEX,TEST,0,1.0\n");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Interface(kUsbTmcIndicatorPulse, 0, 1).outcome, sim::UsbOutcome::kStall) << i;
  }
  EXPECT_TRUE(model_->Attached());
  EXPECT_EQ(Query("*IDN?\n", 3), "TORVEX,TEST,0,1.0\n");
}

TEST_F(UsbTmcTest, ReadStatusByteAnswersOnInterruptInWithItsTag) {
  Bring();
  ASSERT_EQ(app_->EnableStatusByteRequestEvent(), 0u);
  struct Case {
    std::uint8_t tag;
    std::uint8_t status_byte;
  };
  // Bit 6 of a status byte read by READ_STATUS_BYTE does not turn the answer into a service request.
  const Case cases[] = {{2, 0x10}, {127, 0x00}, {5, 0x24}};
  for (const Case& c : cases) {
    app_->SetStatus(c.status_byte);
    const sim::UsbTransfer t = Interface(kUsb488ReadStatusByte, c.tag, 3);
    ASSERT_EQ(t.outcome, sim::UsbOutcome::kOk);
    EXPECT_EQ(t.data, (Bytes{kUsbTmcStatusSuccess, c.tag, 0}));
    const sim::UsbTransfer n = ReadNotification();
    ASSERT_EQ(n.outcome, sim::UsbOutcome::kOk) << int(c.tag);
    ASSERT_EQ(n.data.size(), 2u);
    EXPECT_EQ(n.data[0], 0x80 | c.tag);
    EXPECT_EQ(n.data[1] & 0xBF, c.status_byte);
  }
}

TEST_F(UsbTmcTest, ASecondReadStatusByteBeforeTheNotificationWentOutIsBusy) {
  Bring();
  ASSERT_EQ(app_->EnableStatusByteRequestEvent(), 0u);
  ASSERT_EQ(Interface(kUsb488ReadStatusByte, 2, 3).data, (Bytes{kUsbTmcStatusSuccess, 2, 0}));
  ASSERT_TRUE(app_->WaitCount("stb", 1));
  EXPECT_EQ(Interface(kUsb488ReadStatusByte, 3, 3).data, (Bytes{kUsbTmcStatusInterruptInBusy, 3, 0}));
  const sim::UsbTransfer n = ReadNotification();
  ASSERT_EQ(n.outcome, sim::UsbOutcome::kOk);
  EXPECT_EQ(n.data.at(0), 0x82);
  // Once it went out, the next read is taken.
  EXPECT_EQ(Interface(kUsb488ReadStatusByte, 4, 3).data.at(0), kUsbTmcStatusSuccess);
  EXPECT_EQ(ReadNotification().data.at(0), 0x84);
}

TEST_F(UsbTmcTest, AServiceRequestGoesOutAs0x81WithTheStatusByte) {
  Bring();
  ASSERT_EQ(app_->EnableStatusByteRequestEvent(), 0u);
  app_->SetStatus(0x10);
  ASSERT_EQ(app_->RequestService(), 0u);
  const sim::UsbTransfer n = ReadNotification();
  ASSERT_EQ(n.outcome, sim::UsbOutcome::kOk);
  ASSERT_EQ(n.data.size(), 2u);
  EXPECT_EQ(n.data[0], 0x81);
  EXPECT_NE(n.data[1] & 0x40, 0);
}

TEST_F(UsbTmcTest, RenGoToLocalAndLocalLockoutDriveTheRemoteLocalState) {
  Bring();
  ASSERT_EQ(app_->EnableRemoteLocalEvent(1), 0u);
  // Without REN nothing but REN_CONTROL changes anything, and the requests are still answered.
  EXPECT_EQ(Interface(kUsb488LocalLockout, 0, 1).data, Bytes{kUsbTmcStatusSuccess});
  EXPECT_EQ(Interface(kUsb488GoToLocal, 0, 1).data, Bytes{kUsbTmcStatusSuccess});
  EXPECT_EQ(Query("*IDN?\n", 1), "TORVEX,TEST,0,1.0\n");
  EXPECT_EQ(app_->Count("rl:"), 0u);
  // REN (any non-zero wValue), then a message: remote, reported once.
  EXPECT_EQ(Interface(kUsb488RenControl, 0x0100, 1).data, Bytes{kUsbTmcStatusSuccess});
  EXPECT_EQ(Query("*IDN?\n", 3), "TORVEX,TEST,0,1.0\n");
  EXPECT_EQ(Query("*IDN?\n", 5), "TORVEX,TEST,0,1.0\n");
  ASSERT_TRUE(app_->WaitCount("rl:", 1));
  EXPECT_EQ(Interface(kUsb488LocalLockout, 0, 1).data, Bytes{kUsbTmcStatusSuccess});
  EXPECT_EQ(Interface(kUsb488GoToLocal, 0, 1).data, Bytes{kUsbTmcStatusSuccess});
  EXPECT_EQ(Interface(kUsb488RenControl, 0, 1).data, Bytes{kUsbTmcStatusSuccess});
  ASSERT_TRUE(app_->WaitCount("rl:", 4));
  // REMS, RWLS, LWLS, LOCS.
  EXPECT_EQ(app_->Only("rl:"), (std::vector<std::string>{"rl:1", "rl:3", "rl:2", "rl:0"}));
}

TEST_F(UsbTmcTest, SuspendAndANewConfigurationSendTheDeviceToLocal) {
  Bring();
  ASSERT_EQ(app_->EnableRemoteLocalEvent(1), 0u);
  ASSERT_EQ(Interface(kUsb488RenControl, 1, 1).data, Bytes{kUsbTmcStatusSuccess});
  ASSERT_EQ(Query("*IDN?\n", 1), "TORVEX,TEST,0,1.0\n");
  ASSERT_TRUE(app_->WaitCount("rl:", 1));  // REMS
  // A bus suspend is GTL: local with REN.
  host_->Suspend();
  ASSERT_TRUE(app_->WaitCount("rl:", 2));
  host_->Resume();
  // Remote again, then locked out; selecting the configuration again releases REN: local.
  ASSERT_EQ(Query("*IDN?\n", 3), "TORVEX,TEST,0,1.0\n");
  ASSERT_EQ(Interface(kUsb488LocalLockout, 0, 1).data, Bytes{kUsbTmcStatusSuccess});
  ASSERT_TRUE(app_->WaitCount("rl:", 4));
  ASSERT_EQ(host_->Control(sim::UsbSetup{0x00, 9, 1, 0, 0}).outcome, sim::UsbOutcome::kOk);
  ASSERT_TRUE(app_->WaitCount("rl:", 5));
  // REMS, LOCS (suspend), REMS, RWLS, LOCS (configuration).
  EXPECT_EQ(app_->Only("rl:"), (std::vector<std::string>{"rl:1", "rl:0", "rl:1", "rl:3", "rl:0"}));
}

TEST_F(UsbTmcTest, EnablingRemoteLocalReportsACurrentRemoteStateAtOnce) {
  Bring();
  ASSERT_EQ(Interface(kUsb488RenControl, 1, 1).data, Bytes{kUsbTmcStatusSuccess});
  ASSERT_EQ(Query("*IDN?\n", 1), "TORVEX,TEST,0,1.0\n");
  EXPECT_EQ(app_->Count("rl:"), 0u);  // not reported while reporting is off
  ASSERT_EQ(app_->EnableRemoteLocalEvent(1), 0u);
  ASSERT_TRUE(app_->WaitCount("rl:", 1));
  EXPECT_EQ(app_->Only("rl:"), std::vector<std::string>{"rl:1"});  // REMS
}

TEST_F(UsbTmcTest, InitiateClearHoldsEverySplitUntilTheEngineHasCleared) {
  Bring();
  app_->HoldClears(true);
  ASSERT_EQ(Interface(kUsbTmcInitiateClear, 0, 1).data, Bytes{kUsbTmcStatusSuccess});
  ASSERT_TRUE(app_->WaitClearHeld());
  EXPECT_EQ(Interface(kUsbTmcCheckClearStatus, 0, 2).data, (Bytes{kUsbTmcStatusPending, 0}));
  EXPECT_EQ(Interface(kUsbTmcGetCapabilities, 0, 24).data.at(0), kUsbTmcStatusSplitInProgress);
  EXPECT_EQ(Interface(kUsb488RenControl, 1, 1).data, Bytes{kUsbTmcStatusSplitInProgress});
  // The host may not clear the bulk-OUT halt while the clear runs.
  EXPECT_EQ(ClearHalt(kBulkOutAddress), sim::UsbOutcome::kStall);
  app_->HoldClears(false);
  EXPECT_TRUE(WaitFor([&] { return Interface(kUsbTmcCheckClearStatus, 0, 2).data == Bytes{kUsbTmcStatusSuccess, 0}; }));
  EXPECT_EQ(Interface(kUsbTmcCheckClearStatus, 0, 2).data, (Bytes{kUsbTmcStatusSplitNotInProgress, 0}));
  EXPECT_EQ(ClearHalt(kBulkOutAddress), sim::UsbOutcome::kOk);
  EXPECT_EQ(Query("*IDN?\n", 1), "TORVEX,TEST,0,1.0\n");
}

TEST_F(UsbTmcTest, AClearEndsARequestThatNothingAnswersWithAShortTransferTheHostReadsOut) {
  Bring();
  // A command without reply, then a read request: the engine has nothing to send for it.
  ASSERT_EQ(Write(DevDepMsgOut("*CLS\n", 1)), sim::UsbOutcome::kOk);
  ASSERT_TRUE(app_->WaitCount("input:", 1));
  ASSERT_EQ(Write(TmcHeader(2, 2, 4096, 0)), sim::UsbOutcome::kOk);
  ASSERT_TRUE(app_->WaitCount("unterminated", 1));
  ASSERT_EQ(Interface(kUsbTmcInitiateClear, 0, 1).data, Bytes{kUsbTmcStatusSuccess});
  // The request is ended with a header-only DEV_DEP_MSG_IN; bmClear bit 0 asks the host to read it.
  EXPECT_EQ(Interface(kUsbTmcCheckClearStatus, 0, 2).data, (Bytes{kUsbTmcStatusPending, 1}));
  const sim::UsbTransfer t = host_->ReadIn(kBulkInEp, 4096, kTmcFrames);
  ASSERT_EQ(t.outcome, sim::UsbOutcome::kOk);
  ASSERT_EQ(t.data.size(), 12u);
  EXPECT_EQ(t.data[0], 2);
  EXPECT_EQ(t.data[1], 2);
  EXPECT_EQ(t.data[2], 0xFD);
  EXPECT_EQ(Le32(t.data, 4), 0u);
  EXPECT_EQ(t.data[8], 0);
  // Read out, the clear completes and nothing more waits on bulk-IN.
  EXPECT_TRUE(WaitFor([&] { return Interface(kUsbTmcCheckClearStatus, 0, 2).data == Bytes{kUsbTmcStatusSuccess, 0}; }));
  EXPECT_EQ(ClearHalt(kBulkOutAddress), sim::UsbOutcome::kOk);
  const std::size_t responses = app_->Count("response:");
  EXPECT_EQ(Query("*IDN?\n", 3), "TORVEX,TEST,0,1.0\n");
  // Once the device has seen its reply taken (the host has it a moment before the service pass
  // learns it), no transfer is in progress.
  ASSERT_TRUE(app_->WaitCount("response:", responses + 1));
  EXPECT_EQ(ClassRequest(kToEndpoint, kUsbTmcInitiateAbortBulkIn, 4, kBulkInAddress, 2).data.at(0),
            kUsbTmcStatusFailed);
}

TEST_F(UsbTmcTest, AClearForgottenByADisableNeitherCountsOnNorKeepsBulkOutHeld) {
  Bring();
  app_->HoldClears(true);
  ASSERT_EQ(Interface(kUsbTmcInitiateClear, 0, 1).data, Bytes{kUsbTmcStatusSuccess});
  ASSERT_TRUE(app_->WaitClearHeld());
  // Deconfigured while the engine still clears: the interface is disabled.
  ASSERT_EQ(host_->Control(sim::UsbSetup{0x00, 9, 0, 0, 0}).outcome, sim::UsbOutcome::kOk);
  app_->HoldClears(false);
  ASSERT_TRUE(app_->WaitCount("clear", 1));
  ASSERT_EQ(host_->Control(sim::UsbSetup{0x00, 9, 1, 0, 0}).outcome, sim::UsbOutcome::kOk);
  // A new clear completes and lets the host clear the halt: the forgotten one does not keep it held.
  ASSERT_EQ(Interface(kUsbTmcInitiateClear, 0, 1).data, Bytes{kUsbTmcStatusSuccess});
  EXPECT_TRUE(WaitFor([&] { return Interface(kUsbTmcCheckClearStatus, 0, 2).data == Bytes{kUsbTmcStatusSuccess, 0}; }));
  EXPECT_EQ(ClearHalt(kBulkOutAddress), sim::UsbOutcome::kOk);
  EXPECT_EQ(Query("*IDN?\n", 1), "TORVEX,TEST,0,1.0\n");
}

TEST_F(UsbTmcTest, AbortBulkOutReportsThePayloadThatReachedTheEngine) {
  Bring();
  // No transfer: FAILED with the last bTag.
  EXPECT_EQ(ClassRequest(kToEndpoint, kUsbTmcInitiateAbortBulkOut, 9, kBulkOutAddress, 2).data.at(0),
            kUsbTmcStatusFailed);
  // TransferSize 200, of which two full packets (12 + 116 bytes) arrive.
  Bytes first = TmcHeader(1, 9, 200, 1);
  for (int i = 0; i < 116; ++i) first.push_back(static_cast<std::uint8_t>('a' + i % 26));
  ASSERT_EQ(Write(first), sim::UsbOutcome::kOk);
  EXPECT_EQ(ClassRequest(kToEndpoint, kUsbTmcInitiateAbortBulkOut, 8, kBulkOutAddress, 2).data,
            (Bytes{kUsbTmcStatusTransferNotInProgress, 9}));
  EXPECT_TRUE(WaitFor([&] {
    return ClassRequest(kToEndpoint, kUsbTmcInitiateAbortBulkOut, 9, kBulkOutAddress, 2).data ==
           Bytes{kUsbTmcStatusSuccess, 9};
  }));
  EXPECT_EQ(ClassRequest(kToEndpoint, kUsbTmcCheckAbortBulkOutStatus, 0, kBulkOutAddress, 8).data,
            (Bytes{kUsbTmcStatusSuccess, 0, 0, 0, 116, 0, 0, 0}));
  EXPECT_EQ(ClassRequest(kToEndpoint, kUsbTmcCheckAbortBulkOutStatus, 0, kBulkOutAddress, 8).data.at(0),
            kUsbTmcStatusSplitNotInProgress);
  EXPECT_EQ(ClearHalt(kBulkOutAddress), sim::UsbOutcome::kOk);
  // The next message is read from its own header.
  ASSERT_EQ(Write(DevDepMsgOut("*IDN?\n", 10)), sim::UsbOutcome::kOk);
  ASSERT_TRUE(app_->WaitCount("input:", 1));
  const std::string input = app_->Inputs().back();
  EXPECT_EQ(input.substr(input.size() - 6), "*IDN?\n");
}

TEST_F(UsbTmcTest, AbortBulkInBeforeTheEngineHasAResponseSendsAnEmptyReply) {
  Bring();
  ASSERT_EQ(Write(DevDepMsgOut("*CLS\n", 1)), sim::UsbOutcome::kOk);
  ASSERT_TRUE(app_->WaitCount("input:", 1));
  ASSERT_EQ(Write(TmcHeader(2, 2, 4096, 0)), sim::UsbOutcome::kOk);
  EXPECT_EQ(ClassRequest(kToEndpoint, kUsbTmcInitiateAbortBulkIn, 7, kBulkInAddress, 2).data,
            (Bytes{kUsbTmcStatusTransferNotInProgress, 2}));
  EXPECT_EQ(ClassRequest(kToEndpoint, kUsbTmcInitiateAbortBulkIn, 2, kBulkInAddress, 2).data,
            (Bytes{kUsbTmcStatusSuccess, 2}));
  const sim::UsbTransfer t = host_->ReadIn(kBulkInEp, 4096, kTmcFrames);
  ASSERT_EQ(t.outcome, sim::UsbOutcome::kOk);
  ASSERT_EQ(t.data.size(), 12u);
  EXPECT_EQ(t.data[0], 2);
  EXPECT_EQ(t.data[1], 2);
  EXPECT_EQ(Le32(t.data, 4), 0u);
  EXPECT_TRUE(WaitFor([&] {
    return ClassRequest(kToEndpoint, kUsbTmcCheckAbortBulkInStatus, 0, kBulkInAddress, 8).data ==
           Bytes{kUsbTmcStatusSuccess, 0, 0, 0, 0, 0, 0, 0};
  }));
  EXPECT_EQ(Query("*IDN?\n", 3), "TORVEX,TEST,0,1.0\n");
}

TEST_F(UsbTmcTest, AbortBulkInOfAResponseInFlightCancelsItAndTheAbortCompletes) {
  Bring();
  app_->SetReply(std::string(300, 'r'));
  ASSERT_EQ(Write(DevDepMsgOut("*IDN?\n", 1)), sim::UsbOutcome::kOk);
  ASSERT_TRUE(app_->WaitCount("input:", 1));
  ASSERT_EQ(Write(TmcHeader(2, 2, 4096, 0)), sim::UsbOutcome::kOk);
  // The host takes one packet of the 312-byte transfer and then aborts it.
  const sim::UsbTransfer first = host_->ReadPacket(kBulkInEp, kTmcFrames);
  ASSERT_EQ(first.outcome, sim::UsbOutcome::kOk);
  ASSERT_EQ(first.data.size(), 64u);
  EXPECT_EQ(ClassRequest(kToEndpoint, kUsbTmcInitiateAbortBulkIn, 2, kBulkInAddress, 2).data,
            (Bytes{kUsbTmcStatusSuccess, 2}));
  // The host reads until a short packet, then asks until the abort is over. The device holds
  // bulk-IN for the moment of the cancel: a host that polls just then sees a STALL (perhaps after a
  // packet it took first) and clears it, and the short packet follows.
  sim::UsbTransfer rest = host_->ReadIn(kBulkInEp, 4096, kTmcFrames);
  if (rest.outcome == sim::UsbOutcome::kStall) {
    ASSERT_EQ(ClearHalt(kBulkInAddress), sim::UsbOutcome::kOk);
    const sim::UsbTransfer after = host_->ReadIn(kBulkInEp, 4096, kTmcFrames);
    rest.outcome = after.outcome;
    rest.data.insert(rest.data.end(), after.data.begin(), after.data.end());
  }
  EXPECT_EQ(rest.outcome, sim::UsbOutcome::kOk);
  EXPECT_LT(rest.data.size(), 312u - 64u);
  Bytes check;
  EXPECT_TRUE(WaitFor([&] {
    check = ClassRequest(kToEndpoint, kUsbTmcCheckAbortBulkInStatus, 0, kBulkInAddress, 8).data;
    return check.size() == 8 && check[0] != kUsbTmcStatusPending;
  }));
  ASSERT_EQ(check.size(), 8u);
  EXPECT_EQ(check[0], kUsbTmcStatusSuccess);
  EXPECT_EQ(check[1], 0);
  // NBYTES_TXD: the data bytes the host took (what it read less the header), not a packet the
  // cancel took back from the FIFO.
  EXPECT_EQ(Le32(check, 4), first.data.size() + rest.data.size() - 12u);
  // The host goes on with a new query.
  app_->SetReply("TORVEX,TEST,0,1.0\n");
  EXPECT_EQ(Query("*IDN?\n", 3), "TORVEX,TEST,0,1.0\n");
}

}  // namespace
}  // namespace torvex_test
