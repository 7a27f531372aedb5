#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "status_support.h"
#include "core/CLogger.h"
#include "status/CScpiStatus.h"

namespace Torvex {
namespace {

using test::CFakeDevice;
using test::DrainErrors;

constexpr std::uint32_t kRowQueryError = 113;     // -400, not device-wide, status row 9 (QYE 0x04)
constexpr std::uint32_t kRowFirmwareError = 127;  // 200, device-wide, status row 10 (DDE 0x08)

class CScpiStatusTest : public test::StatusFixture {
 protected:
  struct Client {
    CFakeDevice device;
    CScpiStatus::ResponseSlot slot{nullptr};
    std::unique_ptr<CScpiStatus> status;
  };

  std::unique_ptr<Client> NewClient() {
    auto client = std::make_unique<Client>();
    client->status = std::make_unique<CScpiStatus>(&client->device, &client->slot, &g_ScpiStatusTemplate);
    return client;
  }

  static std::uint16_t Event(CScpiStatus& s, std::uint32_t reg) {
    std::uint16_t v = 0xDEAD;
    s.GetEvent(reg, v);
    return v;
  }
  // The event query: read, then clear.
  static std::uint16_t TakeEvent(CScpiStatus& s, std::uint32_t reg) {
    const std::uint16_t v = Event(s, reg);
    s.ClearEvent(reg);
    return v;
  }
  static std::uint16_t Condition(CScpiStatus& s, std::uint32_t reg) {
    std::uint16_t v = 0xDEAD;
    s.GetCondition(reg, v);
    return v;
  }
  static std::uint16_t Enable(CScpiStatus& s, std::uint32_t reg) {
    std::uint16_t v = 0xDEAD;
    s.GetEnable(reg, v);
    return v;
  }
  static void SetEnable(CScpiStatus& s, std::uint32_t reg, std::uint16_t value, bool noUpdate = true) {
    s.SetEnable(reg, value, noUpdate);
  }
};

// --- power-on and errors -----------------------------------------------------------------------------

TEST_F(CScpiStatusTest, NewClientReadsPowerOnOnce) {
  auto client = NewClient();
  EXPECT_EQ(TakeEvent(*client->status, kStandardEventRegister), 128);
  EXPECT_EQ(TakeEvent(*client->status, kStandardEventRegister), 0);
  EXPECT_EQ(Enable(*client->status, kStatusByteRegister), 0);
  EXPECT_EQ(Enable(*client->status, kStandardEventRegister), 0);
  EXPECT_EQ(client->device.Requests(), 0);
}

TEST_F(CScpiStatusTest, EleventhErrorBecomesQueueOverflow) {
  auto client = NewClient();
  CScpiStatus& s = *client->status;
  for (std::uint32_t row = 1; row <= 11; ++row) s.PushError(row, false);  // command errors, per client
  s.PushError(12, false);                                                 // and a twelfth is dropped too

  const std::vector<std::uint32_t> rows = DrainErrors(s);
  const std::vector<std::uint32_t> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, kScpiErrorQueueOverflow};
  EXPECT_EQ(rows, expected);

  std::int16_t code = 0;
  const char* text = nullptr;
  ASSERT_TRUE(CScpiStatus::GetErrorText(rows.back(), code, text));
  EXPECT_EQ(code, -350);
  EXPECT_STREQ(text, "Queue overflow");

  std::uint32_t row = 99;
  s.PopError(row);
  EXPECT_EQ(row, 0u);
  ASSERT_TRUE(CScpiStatus::GetErrorText(row, code, text));
  EXPECT_EQ(code, 0);
  EXPECT_STREQ(text, "No error");
}

TEST_F(CScpiStatusTest, DroppedErrorStillSetsItsOwnStatusBit) {
  auto client = NewClient();
  CScpiStatus& s = *client->status;
  s.ClearEvent(kStandardEventRegister);
  for (std::uint32_t row = 1; row <= 10; ++row) s.PushError(row, false);
  EXPECT_EQ(TakeEvent(s, kStandardEventRegister), 0x20);  // command error only
  s.PushError(kRowQueryError, false);                     // dropped: the queue is full
  // The query error bit, not the bit of the overflow row's status row (device-dependent error).
  EXPECT_EQ(TakeEvent(s, kStandardEventRegister), 0x04);
  EXPECT_EQ(DrainErrors(s).back(), kScpiErrorQueueOverflow);
}

TEST_F(CScpiStatusTest, ErrorAvailableFollowsTheQueue) {
  auto client = NewClient();
  CScpiStatus& s = *client->status;
  EXPECT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStbQuery) & 0x04, 0);
  s.PushError(kRowQueryError, true);
  EXPECT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStbQuery) & 0x04, 0x04);
  DrainErrors(s);
  EXPECT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStbQuery) & 0x04, 0);
}

TEST_F(CScpiStatusTest, RowZeroAndUnknownRowsChangeNothing) {
  auto client = NewClient();
  CScpiStatus& s = *client->status;
  s.ClearEvent(kStandardEventRegister);
  s.PushError(kScpiErrorNoError, false);
  s.PushError(kScpiErrorTableRows, false);
  s.PushError(0xFFFFFFFF, false);
  s.SetBitRow(0, true, false);
  s.SetBitRow(kStatusBitRowCount, true, false);
  CScpiStatus::SetDeviceBitRow(kStatusBitRowCount, true, false);
  std::uint16_t enable = 0xFF;
  s.SetEnable(kScpiStatusRegisterCount, enable, false);
  s.SetPositiveTransitionFilter(kScpiStatusRegisterCount, 0);
  s.ClearEvent(kScpiStatusRegisterCount);

  EXPECT_TRUE(DrainErrors(s).empty());
  for (std::uint32_t reg = 0; reg < kScpiStatusRegisterCount; ++reg) {
    EXPECT_EQ(Event(s, reg), 0) << reg;
    EXPECT_EQ(Condition(s, reg), reg == kStandardEventRegister ? 0x80 : 0) << reg;
  }
  std::unique_ptr<char[]> log(g_Logger.CopyBuffer());
  EXPECT_NE(std::strstr(log.get(), "CScpiStatus::PushError: unknown error row 133\n"), nullptr);
  EXPECT_NE(std::strstr(log.get(), "CScpiStatus::SetBitRow: unknown status row 68\n"), nullptr);
  EXPECT_EQ(Condition(s, kScpiStatusRegisterCount), 0);
  EXPECT_EQ(Enable(s, kScpiStatusRegisterCount), 0);
  std::int16_t code = 1;
  const char* text = nullptr;
  EXPECT_FALSE(CScpiStatus::GetErrorText(kScpiErrorTableRows, code, text));
  EXPECT_EQ(code, 0);
  EXPECT_STREQ(text, "");
}

// --- summary chain -----------------------------------------------------------------------------------

// One status row set with update: the summary reaches the status byte within that one update, so the
// device is asked for service at once when the final status-byte bit is enabled.
struct ChainCase {
  const char* name;
  std::uint32_t row;
  std::vector<std::pair<std::uint32_t, std::uint16_t>> enables;  // applied before the row is set
  std::uint32_t summaryRegister;  // where the intermediate summary bit shows (or the row's own)
  std::uint16_t summaryCondition;
  std::uint8_t statusByte;  // bits 0-5 and 7 after the update
};

void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name << " (row " << c.row << ")"; }

class SummaryChainTest : public CScpiStatusTest, public ::testing::WithParamInterface<ChainCase> {};

TEST_P(SummaryChainTest, ReachesTheStatusByteInOneUpdate) {
  const ChainCase& c = GetParam();
  auto client = NewClient();
  CScpiStatus& s = *client->status;
  for (const auto& [reg, value] : c.enables) SetEnable(s, reg, value);
  SetEnable(s, kStatusByteRegister, 0xBF);  // every status-byte bit enabled
  s.UpdateSummary();
  ASSERT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStbQuery), 0);

  s.SetBitRow(c.row, true, false);
  EXPECT_EQ(client->device.Requests(), c.statusByte != 0 ? 1 : 0);
  EXPECT_EQ(Condition(s, c.summaryRegister) & c.summaryCondition, c.summaryCondition);
  const std::uint8_t expectedStb = c.statusByte != 0 ? (c.statusByte | 0x40) : 0;
  EXPECT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStbQuery), expectedStb);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SummaryChainTest,
    ::testing::Values(
        ChainCase{"OperationEnabled", 16, {{kOperationRegister, 0x0002}}, kOperationRegister, 0x0002, 0x80},
        ChainCase{"OperationNotEnabled", 16, {}, kOperationRegister, 0x0002, 0x00},
        ChainCase{"QuestionableEnabled", 30, {{kQuestionableRegister, 0x0002}}, kQuestionableRegister, 0x0002, 0x08},
        ChainCase{"QuestionableBit12", 44, {{kQuestionableRegister, 0x1000}}, kQuestionableRegister, 0x1000, 0x08},
        ChainCase{"QuestionableBit12NotEnabled", 44, {{kQuestionableBit12Register, 0}}, kQuestionableRegister, 0, 0x00},
        ChainCase{"OperationBit11Pulse", 47, {{kOperationRegister, 0x0800}}, kOperationRegister, 0x0800, 0x80},
        ChainCase{"OperationBit12", 63, {{kOperationRegister, 0x1000}}, kOperationRegister, 0x1000, 0x80},
        ChainCase{"OperationBit12NotEnabled",
                  63,
                  {{kOperationRegister, 0x1000}, {kOperationBit12Register, 0x0002}},
                  kOperationRegister,
                  0,
                  0x00},
        ChainCase{"OperationCompleteEnabled", 7, {{kStandardEventRegister, 0x01}}, kStandardEventRegister, 0, 0x20},
        ChainCase{"OperationCompleteNotEnabled", 7, {}, kStandardEventRegister, 0, 0x00}),
    [](const ::testing::TestParamInfo<ChainCase>& info) { return std::string(info.param.name); });

TEST_F(CScpiStatusTest, EventOnlyBitIsSeenOnceInTheEventNeverInTheCondition) {
  auto client = NewClient();
  CScpiStatus& s = *client->status;
  s.SetBitRow(62, true, false);  // all settings groups, device-wide
  EXPECT_EQ(Condition(s, kOperationBit11Register), 0);
  EXPECT_EQ(TakeEvent(s, kOperationBit11Register), 0x7FFF);
  EXPECT_EQ(TakeEvent(s, kOperationBit11Register), 0);
  // The OPERation summary of OPERation:BIT11 falls with the event.
  EXPECT_EQ(Condition(s, kOperationRegister) & 0x0800, 0);
}

TEST_F(CScpiStatusTest, TransitionFiltersChooseTheEdges) {
  auto client = NewClient();
  CScpiStatus& s = *client->status;
  s.SetPositiveTransitionFilter(kOperationRegister, 0);
  s.SetNegativeTransitionFilter(kOperationRegister, 0x0002);
  s.SetBitRow(16, true, false);
  EXPECT_EQ(Condition(s, kOperationRegister), 0x0002);
  EXPECT_EQ(TakeEvent(s, kOperationRegister), 0);
  s.SetBitRow(16, false, false);
  EXPECT_EQ(TakeEvent(s, kOperationRegister), 0x0002);

  std::uint16_t v = 0;
  s.SetPositiveTransitionFilter(kQuestionableRegister, 0xFFFF);  // all 16 bits stored
  s.GetPositiveTransitionFilter(kQuestionableRegister, v);
  EXPECT_EQ(v, 0xFFFF);
  s.GetNegativeTransitionFilter(kOperationRegister, v);
  EXPECT_EQ(v, 0x0002);
}

TEST_F(CScpiStatusTest, NoUpdateDefersTheSummary) {
  auto client = NewClient();
  CScpiStatus& s = *client->status;
  SetEnable(s, kOperationRegister, 0x0002);
  SetEnable(s, kStatusByteRegister, 0x80);
  s.SetBitRow(16, true, true);
  EXPECT_EQ(client->device.Requests(), 0);
  CScpiStatus::EndOfMessage();
  EXPECT_EQ(client->device.Requests(), 1);
}

// --- MSS and service requests ------------------------------------------------------------------------

TEST_F(CScpiStatusTest, EnabledEventRequestsServiceOnceWhileItStaysSet) {
  auto client = NewClient();
  CScpiStatus& s = *client->status;
  SetEnable(s, kStatusByteRegister, 32);
  SetEnable(s, kStandardEventRegister, 4);
  s.PushError(kRowQueryError, false);
  EXPECT_EQ(client->device.Requests(), 1);
  EXPECT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStbQuery), 0x20 | 0x40 | 0x04);  // ESB, MSS, EAV
  EXPECT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStatusRequest), 0x20 | 0x04);    // request served
  EXPECT_EQ(s.ReadStatusByte(2), 0x20 | 0x04);

  s.PushError(kRowQueryError, false);  // ESB is still set: no new request
  CScpiStatus::EndOfMessage();
  EXPECT_EQ(client->device.Requests(), 1);

  // Once ESB has fallen (*ESR? read), the next error rises it again and asks again.
  TakeEvent(s, kStandardEventRegister);
  s.UpdateSummary();
  EXPECT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStbQuery) & 0x60, 0);
  s.PushError(kRowQueryError, false);
  EXPECT_EQ(client->device.Requests(), 2);
}

TEST_F(CScpiStatusTest, RefusedRequestStaysPendingAndIsAskedAgain) {
  auto client = NewClient();
  CScpiStatus& s = *client->status;
  client->device.SetResult(0x54318);
  SetEnable(s, kStatusByteRegister, 0x04);  // EAV
  s.PushError(kRowQueryError, false);
  EXPECT_EQ(client->device.Requests(), 1);
  EXPECT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStatusRequest) & 0x40, 0x40);

  CScpiStatus::EndOfMessage();
  EXPECT_EQ(client->device.Requests(), 2);
  client->device.SetResult(0);
  CScpiStatus::EndOfMessage();
  EXPECT_EQ(client->device.Requests(), 3);
  EXPECT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStatusRequest) & 0x40, 0);
  CScpiStatus::EndOfMessage();
  EXPECT_EQ(client->device.Requests(), 3);
  // MSS stays while the enabled bit is set, whatever became of the request.
  EXPECT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStbQuery) & 0x40, 0x40);
}

TEST_F(CScpiStatusTest, EnablingABitThatIsAlreadySetRequestsService) {
  auto client = NewClient();
  CScpiStatus& s = *client->status;
  s.PushError(kRowQueryError, false);
  EXPECT_EQ(client->device.Requests(), 0);
  std::uint16_t sre = 0x04;
  s.SetEnable(kStatusByteRegister, sre, false);
  EXPECT_EQ(client->device.Requests(), 1);
}

TEST_F(CScpiStatusTest, ObjectWithoutDeviceRequestsNothing) {
  CScpiStatus s(nullptr, nullptr, nullptr);
  SetEnable(s, kStatusByteRegister, 0x04);
  s.PushError(kRowQueryError, false);
  CScpiStatus::EndOfMessage();
  EXPECT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStatusRequest), 0x04 | 0x40);
  EXPECT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStbQuery), 0x04 | 0x40);
}

TEST_F(CScpiStatusTest, MessageAvailableFollowsTheResponseSlot) {
  auto client = NewClient();
  CScpiStatus& s = *client->status;
  SetEnable(s, kStatusByteRegister, 0x10);
  int reply = 0;
  client->slot.store(&reply);
  CScpiStatus::EndOfMessage();
  EXPECT_EQ(client->device.Requests(), 1);
  EXPECT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStbQuery), 0x10 | 0x40);
  client->slot.store(nullptr);
  EXPECT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStbQuery), 0);
}

// --- enables, preset, clear --------------------------------------------------------------------------

struct EnableCase {
  std::uint32_t reg;
  std::uint16_t written;
  std::uint16_t stored;
};

void PrintTo(const EnableCase& c, std::ostream* os) {
  *os << "register " << c.reg << ": " << c.written << " -> " << c.stored;
}

class EnableTest : public CScpiStatusTest, public ::testing::WithParamInterface<EnableCase> {};

TEST_P(EnableTest, ReservedBitsAreIgnored) {
  const EnableCase& c = GetParam();
  auto client = NewClient();
  std::uint16_t value = c.written;
  client->status->SetEnable(c.reg, value, false);
  EXPECT_EQ(value, c.stored);  // written back to the caller
  EXPECT_EQ(Enable(*client->status, c.reg), c.stored);
}

INSTANTIATE_TEST_SUITE_P(Registers, EnableTest,
                         ::testing::Values(EnableCase{kStatusByteRegister, 255, 191},
                                           EnableCase{kStatusByteRegister, 0x0040, 0},
                                           EnableCase{kStatusByteRegister, 0xFFFF, 0x7FBF},
                                           EnableCase{kStandardEventRegister, 0xFFFF, 0x7FFF},
                                           EnableCase{kStandardEventRegister, 0x0040, 0x0040},
                                           EnableCase{kOperationRegister, 65535, 32767},
                                           EnableCase{kQuestionableRegister, 0x8000, 0},
                                           EnableCase{kQuestionableBit12Register, 0x1234, 0x1234},
                                           EnableCase{kOperationBit11Register, 0xFFFF, 0x7FFF},
                                           EnableCase{kOperationBit12Register, 0xC001, 0x4001}));

TEST_F(CScpiStatusTest, PresetKeepsServiceAndEventEnables) {
  auto client = NewClient();
  CScpiStatus& s = *client->status;
  SetEnable(s, kStatusByteRegister, 0x24);
  SetEnable(s, kStandardEventRegister, 0x3C);
  for (std::uint32_t reg = 0; reg < kScpiStatusRegisterCount; ++reg) {
    if (reg >= kOperationRegister) SetEnable(s, reg, 0x0101);
    s.SetPositiveTransitionFilter(reg, 0x0F0F);
    s.SetNegativeTransitionFilter(reg, 0xF0F0);
  }
  s.Preset();

  EXPECT_EQ(Enable(s, kStatusByteRegister), 0x24);
  EXPECT_EQ(Enable(s, kStandardEventRegister), 0x3C);
  const std::uint16_t expectedEnable[] = {0x24, 0x3C, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF};
  for (std::uint32_t reg = 0; reg < kScpiStatusRegisterCount; ++reg) {
    SCOPED_TRACE(reg);
    std::uint16_t ptr = 0;
    std::uint16_t ntr = 1;
    s.GetPositiveTransitionFilter(reg, ptr);
    s.GetNegativeTransitionFilter(reg, ntr);
    EXPECT_EQ(ptr, reg <= kStandardEventRegister ? 0x00FF : 0xFFFF);
    EXPECT_EQ(ntr, 0);
    EXPECT_EQ(Enable(s, reg), expectedEnable[reg]);
  }
  EXPECT_EQ(client->device.Requests(), 0);
}

TEST_F(CScpiStatusTest, ClearEmptiesEventsAndQueueButKeepsConditionsAndMav) {
  auto client = NewClient();
  CScpiStatus& s = *client->status;
  SetEnable(s, kOperationRegister, 0x0002);
  SetEnable(s, kStandardEventRegister, 0x04);
  SetEnable(s, kStatusByteRegister, 0x10);
  s.SetBitRow(16, true, false);
  s.SetBitRow(30, true, false);
  s.PushError(kRowQueryError, false);
  int reply = 0;
  client->slot.store(&reply);  // a reply is still queued

  s.Clear();
  EXPECT_TRUE(DrainErrors(s).empty());
  for (std::uint32_t reg = kStandardEventRegister; reg < kScpiStatusRegisterCount; ++reg) {
    EXPECT_EQ(Event(s, reg), 0) << reg;
  }
  EXPECT_EQ(Condition(s, kOperationRegister), 0x0002);
  EXPECT_EQ(Condition(s, kQuestionableRegister), 0x0002);
  EXPECT_EQ(Enable(s, kOperationRegister), 0x0002);
  EXPECT_EQ(Enable(s, kStandardEventRegister), 0x04);
  EXPECT_EQ(s.ReadStatusByte(CScpiStatus::kReadForStbQuery), 0x10 | 0x40);  // MAV only
}

// --- device-wide rows --------------------------------------------------------------------------------

TEST_F(CScpiStatusTest, DeviceWideErrorIsQueuedInEveryClient) {
  auto a = NewClient();
  auto b = NewClient();
  a->status->ClearEvent(kStandardEventRegister);
  b->status->ClearEvent(kStandardEventRegister);

  a->status->PushError(kRowFirmwareError, false);
  a->status->PushError(kRowQueryError, false);

  EXPECT_EQ(DrainErrors(*a->status), (std::vector<std::uint32_t>{kRowFirmwareError, kRowQueryError}));
  EXPECT_EQ(DrainErrors(*b->status), (std::vector<std::uint32_t>{kRowFirmwareError}));
  EXPECT_EQ(DrainErrors(g_ScpiStatusTemplate), (std::vector<std::uint32_t>{kRowFirmwareError}));
  EXPECT_EQ(TakeEvent(*a->status, kStandardEventRegister), 0x08 | 0x04);  // DDE and QYE
  EXPECT_EQ(TakeEvent(*b->status, kStandardEventRegister), 0x08);         // DDE only
}

TEST_F(CScpiStatusTest, DeviceWidePulseReachesEveryClientOnce) {
  auto a = NewClient();
  auto b = NewClient();
  CScpiStatus::SetDeviceBitRow(66, true, false);  // NMR path broken
  for (Client* c : {a.get(), b.get()}) {
    EXPECT_EQ(Condition(*c->status, kOperationBit12Register), 0);
    EXPECT_EQ(TakeEvent(*c->status, kOperationBit12Register), 0x0020);
    EXPECT_EQ(TakeEvent(*c->status, kOperationBit12Register), 0);
  }
}

TEST_F(CScpiStatusTest, DeviceWideConditionReachesLaterClientsThroughTheTemplate) {
  auto early = NewClient();
  SetEnable(*early->status, kOperationRegister, 0x0008);
  SetEnable(*early->status, kStatusByteRegister, 0x80);
  CScpiStatus::SetDeviceBitRow(18, true, false);  // searching
  EXPECT_EQ(early->device.Requests(), 1);
  g_ScpiStatusTemplate.SetBitRow(63, true, false);  // main's "measurement system not started"

  auto late = NewClient();
  for (Client* c : {early.get(), late.get()}) {
    EXPECT_EQ(Condition(*c->status, kOperationRegister) & 0x0008, 0x0008);
    EXPECT_EQ(Condition(*c->status, kOperationBit12Register), 0x0001);
  }
  // The early client saw OPERation:BIT12 rise, so its event feeds the OPERation summary bit. The late
  // client saw no transition: the conditions were there when it connected, its events are empty.
  EXPECT_EQ(Condition(*early->status, kOperationRegister), 0x0008 | 0x1000);
  EXPECT_EQ(Condition(*late->status, kOperationRegister), 0x0008);
  EXPECT_EQ(Event(*late->status, kOperationRegister), 0);
  EXPECT_EQ(Event(*late->status, kOperationBit12Register), 0);
  EXPECT_EQ(TakeEvent(*late->status, kStandardEventRegister), 0x80);

  CScpiStatus::SetDeviceBitRow(18, false, false);
  EXPECT_EQ(Condition(*early->status, kOperationRegister), 0x1000);
  EXPECT_EQ(Condition(*late->status, kOperationRegister), 0);
}

TEST_F(CScpiStatusTest, ClientRowGivenToSetDeviceBitRowReachesNoClient) {
  auto a = NewClient();
  CScpiStatus::SetDeviceBitRow(16, true, false);  // not device-wide
  EXPECT_EQ(Condition(*a->status, kOperationRegister), 0);
  EXPECT_EQ(Condition(g_ScpiStatusTemplate, kOperationRegister), 0);
  EXPECT_EQ(Condition(CScpiStatus::ModuleObject(), kOperationRegister), 0x0002);
}

TEST_F(CScpiStatusTest, ClientRowSetOnOneClientStaysThere) {
  auto a = NewClient();
  auto b = NewClient();
  a->status->SetBitRow(30, true, false);
  EXPECT_EQ(Condition(*a->status, kQuestionableRegister), 0x0002);
  EXPECT_EQ(Condition(*b->status, kQuestionableRegister), 0);
}

TEST_F(CScpiStatusTest, DestroyedClientLeavesTheList) {
  auto a = NewClient();
  auto b = NewClient();
  a.reset();  // the broadcast below must not reach freed memory (checked under the sanitizers)
  b->status->PushError(kRowFirmwareError, false);
  CScpiStatus::SetDeviceBitRow(19, true, false);
  CScpiStatus::EndOfMessage();
  EXPECT_EQ(DrainErrors(*b->status), (std::vector<std::uint32_t>{kRowFirmwareError}));
}

TEST_F(CScpiStatusTest, TemplateConditionsAreCopied) {
  CScpiStatus base(nullptr, nullptr, nullptr);
  base.SetBitRow(30, true, false);  // a client row, only on this template
  CFakeDevice device;
  CScpiStatus copy(&device, nullptr, &base);
  EXPECT_EQ(Condition(copy, kQuestionableRegister), 0x0002);
  EXPECT_EQ(Event(copy, kQuestionableRegister), 0);
  CScpiStatus fresh(&device, nullptr, nullptr);
  EXPECT_EQ(Condition(fresh, kQuestionableRegister), 0);
}

}  // namespace
}  // namespace Torvex
