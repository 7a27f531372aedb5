// The device-controller driver against the register-level model, driven by the simulated host.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/diag.h"
#include "platform/signals.h"
#include "usb_fixture.h"

namespace torvex_test {
namespace {

constexpr std::uint32_t kFrames = 300;

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i);
  return v;
}

using UsbDriver = UsbStack;

struct BulkInCase {
  std::size_t length;
  std::vector<std::size_t> packets;
};

TEST_F(UsbDriver, ABusErrorPrintsTheRegisterDumpOnceAndAFurtherOneNothing) {
  // The controller installed its handler; an access to an address no device decodes is a bus error.
  EXPECT_EQ(platform::signals::Installed(platform::signals::kSigBus), &CS3C2410Controller::DumpRegisters);
  std::mutex lock;
  std::string console;
  const auto previous = platform::diag::SetConsole([&](const std::string& text) {
    std::lock_guard<std::mutex> g(lock);
    console += text;
  });
  constexpr std::uint32_t kUndecoded = 0x5A000010;
  platform::regbus::Write16(kUndecoded, 0xBEEF);
  std::string first;
  {
    std::lock_guard<std::mutex> g(lock);
    first.swap(console);
  }
  // A second bus error prints nothing: the handler set the signal to ignore.
  EXPECT_EQ(platform::regbus::Read32(kUndecoded), 0u);
  EXPECT_EQ(platform::signals::Installed(platform::signals::kSigBus), &platform::signals::Ignore);
  platform::diag::SetConsole(previous);
  EXPECT_TRUE(console.empty()) << console;

  const std::string banner = "      \n >`)  \n ( \\  \n  ^   \n      \n";
  ASSERT_EQ(first.substr(0, banner.size()), banner) << first;
  // 128 bytes of the frame in eight lines, R0 to R3 holding the access (address, value, width, write).
  const std::regex rest(
      "0000: 10 00 00 5A EF BE 00 00 02 00 00 00 01 00 00 00  \\.\\.\\.Z\\.{12}\n"
      "(00[1-7]0:( [0-9A-F]{2}){16}  [^\n]{16}\n){7}"
      "Registers:\n"
      "R0: 5A000010 0000BEEF 00000002 00000001 00000000 00000000 \n"
      "R6: 00000000 00000000 00000000 00000000 00000000 \n"
      "FP: [0-9A-F]{8}, SP: [0-9A-F]{8}, LR: [0-9A-F]{8}, PC: [0-9A-F]{8}, PSR: 00000000\n");
  EXPECT_TRUE(std::regex_match(first.substr(banner.size()), rest)) << first;
  platform::signals::Install(platform::signals::kSigBus, platform::signals::kDefault);
}

TEST_F(UsbDriver, BulkInEndsWithAShortOrZeroLengthPacket) {
  BringEnumerated();
  const BulkInCase cases[] = {{0, {0}}, {64, {64, 0}}, {65, {64, 1}}, {130, {64, 64, 2}}, {128, {64, 64, 0}}};
  CDataBuffer& buffer = Buffer(256);
  std::size_t writes = 0;
  for (const BulkInCase& c : cases) {
    const std::vector<std::uint8_t> data = Pattern(c.length, 0x11);
    std::copy(data.begin(), data.end(), buffer.Data());
    buffer.SetWindow(0, static_cast<std::uint32_t>(c.length));
    buffer.next = nullptr;
    ASSERT_EQ(StartBulkIn(&buffer), 0u) << c.length;
    const sim::UsbTransfer t = host_->ReadIn(1, 1024, kFrames);
    ASSERT_EQ(t.outcome, sim::UsbOutcome::kOk) << c.length;
    EXPECT_EQ(t.packets, c.packets) << c.length;
    EXPECT_EQ(t.data, data) << c.length;
    ASSERT_TRUE(class_.WaitFor("write", ++writes)) << c.length;
    const ClassEvent done = class_.Last("write");
    EXPECT_EQ(done.kind, kUsbKindBulkIn);
    EXPECT_EQ(done.result, kUsbResultCompleted);
    EXPECT_EQ(done.count, c.length);
  }
  EXPECT_EQ(model_->FifoFaults(), 0u);
  EXPECT_TRUE(exceptions_.Statuses().empty());
}

TEST_F(UsbDriver, NextBulkInWaitsUntilTheHostHasTakenTheZeroLengthPacket) {
  BringEnumerated();
  CDataBuffer& buffer = Buffer(64);
  buffer.SetWindow(0, 64);
  class_.ChainBulkIn(3);  // started from the completion, while the zero-length packet still waits
  ASSERT_EQ(StartBulkIn(&buffer), 0u);
  const sim::UsbTransfer first = host_->ReadIn(1, 1024, kFrames);
  ASSERT_EQ(first.outcome, sim::UsbOutcome::kOk);
  EXPECT_EQ(first.packets, (std::vector<std::size_t>{64, 0}));
  const sim::UsbTransfer second = host_->ReadIn(1, 1024, kFrames);
  ASSERT_EQ(second.outcome, sim::UsbOutcome::kOk);
  EXPECT_EQ(second.packets, (std::vector<std::size_t>{3}));
  EXPECT_EQ(second.data, Pattern(3, 0x30));
  EXPECT_EQ(model_->FifoFaults(), 0u);
}

TEST_F(UsbDriver, ShortReadTakesPartOfAPacketAndTheNextReadTheRest) {
  BringEnumerated();
  const std::vector<std::uint8_t> packet = Pattern(64, 0x40);
  ASSERT_EQ(host_->WriteOut(2, packet, kFrames).outcome, sim::UsbOutcome::kOk);
  CDataBuffer& first = Buffer(12);
  first.SetWindow(0, 12);
  ASSERT_EQ(StartBulkOut(&first), 0u);
  ASSERT_TRUE(class_.WaitFor("read", 1));
  EXPECT_EQ(class_.Last("read").count, 12u);
  EXPECT_EQ(std::vector<std::uint8_t>(first.Data(), first.Data() + 12), Pattern(12, 0x40));
  // The rest of the packet still holds the FIFO: OUT_PKT_RDY stays set.
  EXPECT_EQ(model_->OutFifoCount(2), 52u);
  EXPECT_NE(model_->OutCsr(2) & hw::usbd::kOutPktRdy, 0u);
  CDataBuffer& rest = Buffer(52);
  rest.SetWindow(0, 52);
  ASSERT_EQ(StartBulkOut(&rest), 0u);
  ASSERT_TRUE(class_.WaitFor("read", 2));
  EXPECT_EQ(class_.Last("read").count, 52u);
  EXPECT_EQ(std::vector<std::uint8_t>(rest.Data(), rest.Data() + 52), Pattern(52, 0x40 + 12));
  EXPECT_EQ(model_->OutCsr(2) & hw::usbd::kOutPktRdy, 0u);
}

TEST_F(UsbDriver, PacketWithoutReadIsHeldOffThenServicedWhenAReadIsArmed) {
  BringEnumerated();
  ASSERT_EQ(host_->WriteOut(2, Pattern(10, 1), kFrames).outcome, sim::UsbOutcome::kOk);
  // The FIFO is taken: the next packet is refused with NAK for as long as no read is armed.
  const sim::UsbTransfer held = host_->WriteOut(2, Pattern(10, 50), 5);
  EXPECT_EQ(held.outcome, sim::UsbOutcome::kTimeout);
  EXPECT_GT(held.naks, 0u);
  EXPECT_EQ(class_.Count("read"), 0u);
  // A read armed now is serviced without a new interrupt. The held packet is short, so it ends the
  // host's transfer: the read completes with its 10 bytes, not waiting to fill its 20.
  CDataBuffer& buffer = Buffer(20);
  buffer.SetWindow(0, 20);
  ASSERT_EQ(StartBulkOut(&buffer), 0u);
  ASSERT_TRUE(class_.WaitFor("read", 1));
  EXPECT_EQ(class_.Last("read").count, 10u);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer.Data(), buffer.Data() + 10), Pattern(10, 1));
  // The next transfer goes to the next read.
  ASSERT_EQ(host_->WriteOut(2, Pattern(10, 50), kFrames).outcome, sim::UsbOutcome::kOk);
  CDataBuffer& next = Buffer(20);
  next.SetWindow(0, 20);
  ASSERT_EQ(StartBulkOut(&next), 0u);
  ASSERT_TRUE(class_.WaitFor("read", 2));
  EXPECT_EQ(class_.Last("read").count, 10u);
  EXPECT_EQ(std::vector<std::uint8_t>(next.Data(), next.Data() + 10), Pattern(10, 50));
}

struct ShortPacketCase {
  const char* what;
  std::vector<std::size_t> packets;  // sizes of the host's packets, in one transfer
  std::uint32_t read;                // the read's length
  std::uint32_t expected;            // what the read takes
};

TEST_F(UsbDriver, ABulkOutReadEndsAtTheHostsShortOrZeroLengthPacket) {
  BringEnumerated();
  const ShortPacketCase cases[] = {
      {"one short packet", {10}, 100, 10},
      {"a full packet then a short one", {64, 5}, 100, 69},
      {"a full packet then a zero-length one", {64, 0}, 100, 64},
      {"full packets that fill the read", {64, 64}, 128, 128},
  };
  std::size_t reads = 0;
  for (const ShortPacketCase& c : cases) {
    CDataBuffer& buffer = Buffer(256);
    buffer.SetWindow(0, c.read);
    ASSERT_EQ(StartBulkOut(&buffer), 0u) << c.what;
    std::uint8_t seed = 1;
    for (const std::size_t n : c.packets) {
      ASSERT_EQ(host_->WriteOut(2, Pattern(n, seed), kFrames).outcome, sim::UsbOutcome::kOk) << c.what;
      seed = static_cast<std::uint8_t>(seed + n);
    }
    ASSERT_TRUE(class_.WaitFor("read", ++reads)) << c.what;
    EXPECT_EQ(class_.Last("read").count, c.expected) << c.what;
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.Data(), buffer.Data() + c.expected), Pattern(c.expected, 1)) << c.what;
  }
}

TEST_F(UsbDriver, APacketSplitBetweenTwoReadsIsShortOnlyByItsOwnSize) {
  BringEnumerated();
  // 12 bytes of a full packet go to a first read; the other 52 finish the packet but do not make it
  // short, so the second read goes on with the next packet.
  CDataBuffer& head = Buffer(12);
  head.SetWindow(0, 12);
  ASSERT_EQ(StartBulkOut(&head), 0u);
  ASSERT_EQ(host_->WriteOut(2, Pattern(64, 0), kFrames).outcome, sim::UsbOutcome::kOk);
  ASSERT_TRUE(class_.WaitFor("read", 1));
  EXPECT_EQ(class_.Last("read").count, 12u);
  CDataBuffer& rest = Buffer(100);
  rest.SetWindow(0, 100);
  ASSERT_EQ(StartBulkOut(&rest), 0u);
  ASSERT_EQ(host_->WriteOut(2, Pattern(20, 64), kFrames).outcome, sim::UsbOutcome::kOk);
  ASSERT_TRUE(class_.WaitFor("read", 2));
  EXPECT_EQ(class_.Last("read").count, 72u);
  EXPECT_EQ(std::vector<std::uint8_t>(rest.Data(), rest.Data() + 72), Pattern(72, 12));
}

struct ControlCase {
  const char* what;
  std::uint16_t value;
  std::uint16_t index;
  std::uint16_t length;
  std::vector<std::size_t> packets;
};

TEST_F(UsbDriver, ControlReplyIsSplitIntoEightBytePacketsEndedByAShortOrZeroLengthOne) {
  BringEnumerated();
  const std::uint8_t product = Request(0x80, 6, 0x0100, 0, 18).data.at(15);
  const ControlCase cases[] = {
      {"device descriptor, wLength 18", 0x0100, 0, 18, {8, 8, 2}},
      {"device descriptor, wLength 8", 0x0100, 0, 8, {8}},
      {"16-byte string, wLength 64", static_cast<std::uint16_t>(0x0300 | product), 0x0409, 64, {8, 8, 0}},
      {"16-byte string, wLength 16", static_cast<std::uint16_t>(0x0300 | product), 0x0409, 16, {8, 8}},
      {"configuration, wLength 39", 0x0200, 0, 39, {8, 8, 8, 8, 7}},
      {"configuration, wLength 40", 0x0200, 0, 40, {8, 8, 8, 8, 7}},
  };
  for (const ControlCase& c : cases) {
    const sim::UsbTransfer t = Request(0x80, 6, c.value, c.index, c.length);
    ASSERT_EQ(t.outcome, sim::UsbOutcome::kOk) << c.what;
    EXPECT_EQ(t.packets, c.packets) << c.what;
  }
  EXPECT_TRUE(exceptions_.Statuses().empty());
}

TEST_F(UsbDriver, SetupDuringADataStageEndsItAndIsAnswered) {
  BringEnumerated();
  // Standard request overtaken after two of its five packets.
  const sim::UsbTransfer partial = host_->ControlPartial(sim::UsbSetup{0x80, 6, 0x0200, 0, 39}, 2);
  EXPECT_EQ(partial.packets, (std::vector<std::size_t>{8, 8}));
  const sim::UsbTransfer status = Request(0x80, 0, 0, 0, 2);
  ASSERT_EQ(status.outcome, sim::UsbOutcome::kOk);
  EXPECT_EQ(status.data.size(), 2u);
  // A class request's data stage overtaken: the class hears of it (result 4) and endpoint 0 is free.
  const sim::UsbTransfer cls = host_->ControlPartial(sim::UsbSetup{0xA1, CTestClass::kRequestWithData, 0, 0, 24}, 1);
  EXPECT_EQ(cls.packets, (std::vector<std::size_t>{8}));
  const sim::UsbTransfer after = Request(0x80, 8, 0, 0, 1);
  ASSERT_EQ(after.outcome, sim::UsbOutcome::kOk);
  EXPECT_EQ(after.data, (std::vector<std::uint8_t>{1}));
  ASSERT_TRUE(WaitFor([&] {
    for (const ClassEvent& e : class_.Events())
      if (e.what == "write" && e.kind == kUsbKindControl) return true;
    return false;
  }));
  for (const ClassEvent& e : class_.Events()) {
    if (e.what == "write" && e.kind == kUsbKindControl) {
      EXPECT_EQ(e.result, kUsbResultOvertaken);
    }
  }
  // A complete class request afterwards.
  const sim::UsbTransfer full = Request(0xA1, CTestClass::kRequestWithData, 0, 0, 24);
  ASSERT_EQ(full.outcome, sim::UsbOutcome::kOk);
  EXPECT_EQ(full.packets, (std::vector<std::size_t>{8, 8, 8}));
  EXPECT_TRUE(exceptions_.Statuses().empty());
}

TEST_F(UsbDriver, HostHaltLastsUntilClearedAndClearingResetsTheToggle) {
  BringEnumerated();
  CDataBuffer& buffer = Buffer(8);
  buffer.SetWindow(0, 5);
  ASSERT_EQ(StartBulkIn(&buffer), 0u);
  ASSERT_EQ(host_->ReadIn(1, 64, kFrames).outcome, sim::UsbOutcome::kOk);  // the toggle moves to DATA1
  ASSERT_EQ(Request(0x02, 3, 0, 0x81, 0).outcome, sim::UsbOutcome::kOk);   // SET_FEATURE(ENDPOINT_HALT)
  for (int i = 0; i < 3; ++i) EXPECT_EQ(host_->ReadPacket(1, kFrames).outcome, sim::UsbOutcome::kStall) << i;
  EXPECT_EQ(Request(0x82, 0, 0, 0x81, 2).data, (std::vector<std::uint8_t>{1, 0}));
  ASSERT_EQ(Request(0x02, 1, 0, 0x81, 0).outcome, sim::UsbOutcome::kOk);  // CLEAR_FEATURE(ENDPOINT_HALT)
  EXPECT_EQ(Request(0x82, 0, 0, 0x81, 2).data, (std::vector<std::uint8_t>{0, 0}));
  ASSERT_EQ(StartBulkIn(&buffer), 0u);
  const sim::UsbTransfer t = host_->ReadIn(1, 64, kFrames);
  ASSERT_EQ(t.outcome, sim::UsbOutcome::kOk);
  EXPECT_EQ(t.packets, (std::vector<std::size_t>{5}));
  EXPECT_EQ(t.toggle_errors, 0u);  // the device restarted with DATA0, as the host did
}

TEST_F(UsbDriver, ClassHaltOfBulkInEndsAfterOneStallHandshake) {
  BringEnumerated();
  std::uint32_t s = WithEventsSuspended([&](std::uint32_t* st) { io_->Halt(kUsbKindBulkIn, st); });
  ASSERT_EQ(s, 0u);
  EXPECT_EQ(host_->ReadPacket(1, kFrames).outcome, sim::UsbOutcome::kStall);
  // Once the host has seen the stall the endpoint answers again (NAK: nothing to send).
  ASSERT_TRUE(WaitFor([&] { return (model_->InCsr(1) & hw::usbd::kInSendStall) == 0; }));
  EXPECT_EQ(host_->ReadPacket(1, 3).outcome, sim::UsbOutcome::kTimeout);
}

TEST_F(UsbDriver, HeldBulkOutRefusesClearFeatureUntilTheClassReleasesIt) {
  BringEnumerated();
  ASSERT_EQ(WithEventsSuspended([&](std::uint32_t* s) { io_->Halt(kUsbKindBulkOut, s); }), 0u);
  EXPECT_EQ(host_->WriteOut(2, Pattern(4, 0), kFrames).outcome, sim::UsbOutcome::kStall);
  EXPECT_EQ(Request(0x02, 1, 0, 0x02, 0).outcome, sim::UsbOutcome::kStall);
  EXPECT_EQ(host_->WriteOut(2, Pattern(4, 0), kFrames).outcome, sim::UsbOutcome::kStall);
  ASSERT_EQ(WithEventsSuspended([&](std::uint32_t* s) { io_->ReleaseHalt(kUsbKindBulkOut, s); }), 0u);
  ASSERT_EQ(Request(0x02, 1, 0, 0x02, 0).outcome, sim::UsbOutcome::kOk);
  CDataBuffer& buffer = Buffer(4);
  buffer.SetWindow(0, 4);
  ASSERT_EQ(StartBulkOut(&buffer), 0u);
  ASSERT_EQ(host_->WriteOut(2, Pattern(4, 9), kFrames).outcome, sim::UsbOutcome::kOk);
  ASSERT_TRUE(class_.WaitFor("read", 1));
  EXPECT_EQ(std::vector<std::uint8_t>(buffer.Data(), buffer.Data() + 4), Pattern(4, 9));
  EXPECT_TRUE(exceptions_.Statuses().empty());
}

TEST_F(UsbDriver, BusResetReturnsTheDeviceToItsDefaultState) {
  BringEnumerated();
  CDataBuffer& buffer = Buffer(64);
  buffer.SetWindow(0, 64);
  ASSERT_EQ(StartBulkOut(&buffer), 0u);
  host_->Reset();
  ASSERT_TRUE(class_.WaitFor("disabled", 1));
  ASSERT_TRUE(class_.WaitFor("read", 1));
  EXPECT_EQ(class_.Last("read").result, kUsbResultAborted);
  EXPECT_EQ(model_->Address(), 0);
  const sim::UsbTransfer configuration = Request(0x80, 8, 0, 0, 1);
  ASSERT_EQ(configuration.outcome, sim::UsbOutcome::kOk);
  EXPECT_EQ(configuration.data, (std::vector<std::uint8_t>{0}));
  EXPECT_EQ(controller_->GetConfiguration(), 0);
  EXPECT_EQ(controller_->ServiceOrderSize(), 1u);  // endpoint 0 only
  // And the device enumerates again.
  EXPECT_EQ(host_->Enumerate(kAddress + 1).outcome, sim::UsbOutcome::kOk);
  EXPECT_TRUE(class_.WaitFor("enabled", 2));
}

TEST_F(UsbDriver, ResetHeldLongerThanTheWaitDoesNotHoldTheServiceThread) {
  BringEnumerated();
  model_->BeginReset();  // and never ended while the pass runs
  ASSERT_TRUE(class_.WaitFor("disabled", 1));
  model_->EndReset();
  host_->set_address(0);
  host_->ResetToggles();
  EXPECT_EQ(Request(0x80, 8, 0, 0, 1).outcome, sim::UsbOutcome::kOk);
}

TEST_F(UsbDriver, BusSuspendIsReportedToTheEnabledInterface) {
  BringEnumerated();
  host_->Suspend();
  ASSERT_TRUE(class_.WaitFor("suspend", 1));
  host_->Resume();
  EXPECT_EQ(Request(0x80, 8, 0, 0, 1).data, (std::vector<std::uint8_t>{1}));
}

TEST_F(UsbDriver, InterruptInPacketsFollowTheAnnouncedPacketSize) {
  BringEnumerated();
  CDataBuffer& buffer = Buffer(8);
  const std::vector<std::uint8_t> data = Pattern(5, 0x70);
  std::copy(data.begin(), data.end(), buffer.Data());
  buffer.SetWindow(0, 5);
  ASSERT_EQ(WithEventsSuspended([&](std::uint32_t* s) { io_->StartWrite(kUsbKindInterruptIn, &buffer, s); }), 0u);
  const sim::UsbTransfer t = host_->ReadIn(3, 64, kFrames, 2);
  ASSERT_EQ(t.outcome, sim::UsbOutcome::kOk) << sim::UsbOutcomeName(t.outcome);
  EXPECT_EQ(t.packets, (std::vector<std::size_t>{2, 2, 1}));
  EXPECT_EQ(t.data, data);
  ASSERT_TRUE(class_.WaitFor("write", 1));
  EXPECT_EQ(class_.Last("write").kind, kUsbKindInterruptIn);
  EXPECT_EQ(class_.Last("write").count, 5u);
}

TEST_F(UsbDriver, BusResetDuringAClassDataStageAbortsItBeforeTheInterfaceIsDisabled) {
  BringEnumerated();
  class_.Clear();
  const sim::UsbTransfer partial =
      host_->ControlPartial(sim::UsbSetup{0xA1, CTestClass::kRequestWithData, 0, 0, 24}, 1);
  ASSERT_EQ(partial.packets, (std::vector<std::size_t>{8}));
  host_->Reset();
  ASSERT_TRUE(class_.WaitFor("disabled", 1));
  std::vector<std::string> order;
  for (const ClassEvent& e : class_.Events()) {
    if (e.what == "write") {
      EXPECT_EQ(e.kind, kUsbKindControl);
      EXPECT_EQ(e.result, kUsbResultAborted);
      // The bytes loaded: the packet the host took, and the next one when the driver had loaded it.
      EXPECT_TRUE(e.count == 8u || e.count == 16u) << e.count;
    }
    if (e.what == "write" || e.what == "disabled") order.push_back(e.what);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"write", "disabled"}));
  // Endpoint 0 belongs to nobody afterwards: standard requests are answered.
  EXPECT_EQ(Request(0x80, 6, 0x0100, 0, 18).data.size(), 18u);
}

TEST_F(UsbDriver, PullUpChangesNeverLoseAnotherDriversChangeOfThePort) {
  gpio_.Preset(hw::line::kI2cSegment, hw::gpio::kFunctionOutput, false);
  Bring();
  std::atomic<bool> stop{false};
  std::atomic<bool> last_level{false};
  // Another driver changing its line of the same port, as the board's drivers do.
  std::thread other([&] {
    bool level = false;
    while (!stop.load()) {
      level = !level;
      cyg_interrupt_disable();
      const std::uint32_t v = platform::regbus::Read32(hw::gpio::GPEDAT);
      const std::uint32_t mask = hw::line::kI2cSegment.Mask();
      platform::regbus::Write32(hw::gpio::GPEDAT, level ? (v | mask) : (v & ~mask));
      cyg_interrupt_enable();
      last_level.store(level);
    }
  });
  bool lost = false;
  for (int i = 0; i < 1000 && !lost; ++i) {
    std::uint32_t s = 0;
    manager_->Disconnect(&s);
    lost = lost || model_->Attached();
    manager_->Connect(TestSettings(), &s);
    lost = lost || !model_->Attached() || s != 0;
  }
  stop.store(true);
  other.join();
  EXPECT_FALSE(lost);
  EXPECT_EQ(gpio_.Level(hw::line::kI2cSegment), last_level.load());
  EXPECT_TRUE(model_->Attached());
}

TEST_F(UsbDriver, ConnectAndDisconnectDriveOnlyThePullUpLineOfTheSharedPort) {
  gpio_.Preset(hw::line::kI2cSegment, hw::gpio::kFunctionOutput, true);
  Bring();
  EXPECT_TRUE(model_->Attached());
  EXPECT_TRUE(gpio_.Level(hw::line::kI2cSegment));
  std::uint32_t s = 0;
  manager_->Disconnect(&s);
  EXPECT_EQ(s, 0u);
  EXPECT_FALSE(model_->Attached());
  EXPECT_TRUE(gpio_.Level(hw::line::kI2cSegment));
}

}  // namespace
}  // namespace torvex_test
