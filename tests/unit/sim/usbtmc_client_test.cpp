// The USBTMC client against a scripted device that follows USBTMC 1.0 and USB488 1.0 at the level of
// transfers: what the client puts on the bus, what it makes of the device's replies, and how it fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "sim/usbtmc_client.h"

namespace {

using sim::UsbOutcome;
using sim::UsbtmcError;
namespace tmc = sim::usbtmc;

constexpr std::uint8_t kBulkOut = 1;
constexpr std::uint8_t kBulkIn = 2;
constexpr std::uint8_t kInterruptIn = 3;

std::vector<std::uint8_t> Interface(std::uint8_t number, std::uint8_t alternate, std::uint8_t cls, std::uint8_t sub,
                                    std::uint8_t endpoints) {
  return {9, 4, number, alternate, endpoints, cls, sub, 1, 0};
}
std::vector<std::uint8_t> Endpoint(std::uint8_t address, std::uint8_t kind, std::uint16_t max_packet) {
  return {7, 5, address, kind, static_cast<std::uint8_t>(max_packet), static_cast<std::uint8_t>(max_packet >> 8), 1};
}
std::vector<std::uint8_t> Configuration(const std::vector<std::vector<std::uint8_t>>& parts) {
  std::vector<std::uint8_t> c = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
  for (const auto& p : parts) c.insert(c.end(), p.begin(), p.end());
  c[2] = static_cast<std::uint8_t>(c.size());
  c[3] = static_cast<std::uint8_t>(c.size() >> 8);
  return c;
}
std::vector<std::uint8_t> TmcConfiguration(bool interrupt_in = true) {
  std::vector<std::vector<std::uint8_t>> parts = {Interface(0, 0, 0xFE, 3, interrupt_in ? 3 : 2),
                                                  Endpoint(kBulkOut, 2, 64), Endpoint(0x80 | kBulkIn, 2, 64)};
  if (interrupt_in) parts.push_back(Endpoint(0x80 | kInterruptIn, 3, 2));
  return Configuration(parts);
}

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// A USBTMC device behind the client's bus interface. Messages ending in '?' are answered by `answer`.
class ScriptedDevice final : public sim::UsbBus {
 public:
  explicit ScriptedDevice(std::vector<std::uint8_t> configuration = TmcConfiguration())
      : configuration_(std::move(configuration)) {}

  // --- script ----------------------------------------------------------------------------------------
  std::function<std::string(const std::string&)> answer = [](const std::string& m) { return "reply to " + m; };
  bool zero_length_after_full = true;  // a ZLP ends a transfer that fills its last packet
  int pending_polls = 0;               // CHECK_*_STATUS answers STATUS_PENDING this often first
  bool clear_reports_queued_data = false;
  std::uint8_t abort_out_received = 0;
  std::map<std::uint8_t, std::uint8_t> status_of;  // bRequest -> USBTMC status answered instead of success
  std::uint8_t status_byte = 0x10;
  std::deque<std::vector<std::uint8_t>> interrupt;  // interrupt-IN packets queued
  // Faults of the next DEV_DEP_MSG_IN header.
  int tag_offset = 0;
  std::uint32_t size_extra = 0;
  bool stall_bulk_in = false;
  bool short_control_reply = false;
  // A slow device: each bulk-OUT call waits `out_delay`, then takes at most `out_packets_per_call`
  // packets (0: every one at once, with no wait) and reports a time-out for the rest.
  std::size_t out_packets_per_call = 0;
  std::chrono::milliseconds out_delay{0};

  // --- observed ----------------------------------------------------------------------------------------
  std::vector<std::vector<std::uint8_t>> transfers;  // every bulk-OUT transfer as written
  std::vector<std::string> messages;
  std::vector<std::vector<std::uint8_t>> request_headers;
  std::vector<sim::UsbSetup> setups;
  int triggers = 0;

  sim::UsbEnumeration Enumerate(std::uint8_t) override {
    sim::UsbEnumeration e;
    e.configuration = configuration_;
    return e;
  }

  sim::UsbTransfer Control(const sim::UsbSetup& s) override {
    setups.push_back(s);
    sim::UsbTransfer t;
    std::vector<std::uint8_t> reply(s.length, 0);
    const std::uint8_t status = status_of.count(s.request) != 0 ? status_of[s.request] : tmc::kStatusSuccess;
    if (s.request_type == 0x02) return t;  // CLEAR_FEATURE
    if (!reply.empty()) reply[0] = status;
    const bool pending = status == tmc::kStatusSuccess && polls_ < pending_polls;
    switch (s.request) {
      case tmc::kInitiateAbortBulkIn:
        if (status == tmc::kStatusSuccess) {
          request_open_ = false;
          QueueTransfer(Header(tag_in_, 0, 0));  // the header-only reply ends the host's read
        }
        reply[1] = tag_in_;
        break;
      case tmc::kCheckAbortBulkOutStatus:
      case tmc::kCheckAbortBulkInStatus:
      case tmc::kCheckClearStatus:
        if (pending) {
          ++polls_;
          reply[0] = tmc::kStatusPending;
          if (clear_reports_queued_data && s.request != tmc::kCheckAbortBulkOutStatus) {
            reply[1] = 1;
            QueueTransfer(Header(tag_in_, 0, 1));
          }
        } else if (s.request == tmc::kCheckAbortBulkOutStatus && status == tmc::kStatusSuccess) {
          reply[4] = abort_out_received;
        }
        break;
      case tmc::kGetCapabilities:
        reply[2] = 0x00;
        reply[3] = 0x01;
        reply[5] = 1;
        reply[14] = 7;
        reply[15] = 4;
        break;
      case tmc::kReadStatusByte:
        reply[1] = static_cast<std::uint8_t>(s.value);
        if (status == tmc::kStatusSuccess) {
          interrupt.push_back({static_cast<std::uint8_t>(0x80 | s.value), status_byte});
        }
        break;
      default: break;
    }
    if (short_control_reply && !reply.empty()) reply.pop_back();
    t.data = reply;
    return t;
  }

  sim::UsbTransfer ReadIn(unsigned endpoint, std::size_t max_bytes, std::uint32_t) override {
    sim::UsbTransfer t;
    if (endpoint != kBulkIn) {
      t.outcome = UsbOutcome::kNoResponse;
      return t;
    }
    if (stall_bulk_in) {
      t.outcome = UsbOutcome::kStall;
      return t;
    }
    while (t.data.size() < max_bytes || t.packets.empty()) {
      if (bulk_in_.empty()) {
        t.outcome = UsbOutcome::kTimeout;  // NAKed until the limit
        return t;
      }
      const std::vector<std::uint8_t> p = bulk_in_.front();
      bulk_in_.pop_front();
      t.packets.push_back(p.size());
      t.data.insert(t.data.end(), p.begin(), p.end());
      if (p.size() < 64) break;
    }
    return t;
  }

  sim::UsbTransfer ReadPacket(unsigned endpoint, std::uint32_t) override {
    sim::UsbTransfer t;
    if (endpoint != kInterruptIn || interrupt.empty()) {
      t.outcome = UsbOutcome::kTimeout;
      return t;
    }
    t.data = interrupt.front();
    interrupt.pop_front();
    t.packets.push_back(t.data.size());
    return t;
  }

  sim::UsbTransfer WriteOut(unsigned endpoint, const std::vector<std::uint8_t>& data, std::uint32_t) override {
    sim::UsbTransfer t;
    if (endpoint != kBulkOut) {
      t.outcome = UsbOutcome::kNoResponse;
      return t;
    }
    if (out_packets_per_call != 0 || out_delay.count() != 0) {
      std::this_thread::sleep_for(out_delay);
      const std::size_t n = std::min(data.size(), out_packets_per_call * 64);
      stream_.insert(stream_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
      Parse();
      t.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
      for (std::size_t at = 0; at < n; at += 64) t.packets.push_back(std::min<std::size_t>(64, n - at));
      if (n < data.size()) t.outcome = UsbOutcome::kTimeout;
      return t;
    }
    transfers.push_back(data);
    stream_.insert(stream_.end(), data.begin(), data.end());
    Parse();
    t.data = data;
    return t;
  }

  std::chrono::microseconds FramePeriod() const override { return std::chrono::microseconds(1000); }
  void WaitFrames(std::uint32_t) override {}

  bool BulkInEmpty() const { return bulk_in_.empty(); }

 private:
  std::vector<std::uint8_t> Header(std::uint8_t tag, std::uint32_t size, std::uint8_t attributes) const {
    const auto t = static_cast<std::uint8_t>(tag + tag_offset);
    return {2,
            t,
            static_cast<std::uint8_t>(~t),
            0,
            static_cast<std::uint8_t>(size),
            static_cast<std::uint8_t>(size >> 8),
            static_cast<std::uint8_t>(size >> 16),
            static_cast<std::uint8_t>(size >> 24),
            attributes,
            0,
            0,
            0};
  }
  void QueueTransfer(const std::vector<std::uint8_t>& bytes) {
    for (std::size_t at = 0; at < bytes.size(); at += 64) {
      bulk_in_.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + 64)));
    }
    if (bytes.size() % 64 == 0 && zero_length_after_full) bulk_in_.emplace_back();
  }
  void Respond(std::uint8_t tag, std::uint32_t limit, bool term_enabled, std::uint8_t term) {
    std::size_t n = std::min<std::size_t>(limit, response_.size() - sent_);
    std::uint8_t attributes = 0;
    if (term_enabled) {
      const std::size_t at = response_.find(static_cast<char>(term), sent_);
      if (at != std::string::npos && at < sent_ + n) {
        n = at + 1 - sent_;
        attributes |= 2;
      }
    }
    if (sent_ + n == response_.size()) attributes |= 1;
    const std::vector<std::uint8_t> header = Header(tag, static_cast<std::uint32_t>(n + size_extra), attributes);
    std::vector<std::uint8_t> bytes(header.size() + n);
    std::copy(header.begin(), header.end(), bytes.begin());
    std::copy_n(response_.begin() + static_cast<std::ptrdiff_t>(sent_), n,
                bytes.begin() + static_cast<std::ptrdiff_t>(header.size()));
    sent_ += n;
    if (sent_ == response_.size()) response_.clear(), sent_ = 0;
    QueueTransfer(bytes);
  }
  void Parse() {
    for (;;) {
      if (payload_ > 0 || padding_ > 0) {
        while (payload_ > 0 && !stream_.empty()) {
          message_.push_back(static_cast<char>(stream_.front()));
          stream_.pop_front();
          --payload_;
        }
        while (payload_ == 0 && padding_ > 0 && !stream_.empty()) {
          stream_.pop_front();
          --padding_;
        }
        if (payload_ > 0 || padding_ > 0) return;
        if (eom_) {
          messages.push_back(message_);
          if (!message_.empty() && message_.back() == '?') response_ = answer(message_), sent_ = 0;
          message_.clear();
        }
        continue;
      }
      if (stream_.size() < 12) return;
      std::vector<std::uint8_t> h(stream_.begin(), stream_.begin() + 12);
      stream_.erase(stream_.begin(), stream_.begin() + 12);
      const std::uint32_t size = Le32(h, 4);
      if (h[0] == tmc::kDevDepMsgOut) {
        payload_ = size;
        padding_ = (4 - size % 4) % 4;
        eom_ = (h[8] & 1) != 0;
      } else if (h[0] == tmc::kRequestDevDepMsgIn) {
        request_headers.push_back(h);
        tag_in_ = h[1];
        request_open_ = true;
        if (!response_.empty()) Respond(h[1], size, (h[8] & 2) != 0, h[9]);
      } else if (h[0] == tmc::kTrigger) {
        ++triggers;
      }
    }
  }

  std::vector<std::uint8_t> configuration_;
  std::deque<std::uint8_t> stream_;
  std::deque<std::vector<std::uint8_t>> bulk_in_;
  std::uint32_t payload_ = 0;
  std::uint32_t padding_ = 0;
  bool eom_ = false;
  std::string message_;
  std::string response_;
  std::size_t sent_ = 0;
  std::uint8_t tag_in_ = 0;
  bool request_open_ = false;
  int polls_ = 0;
};

class UsbtmcClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(client_.Open().ok()); }
  ScriptedDevice device_;
  sim::UsbtmcClient client_{device_};
};

// --- finding the interface -----------------------------------------------------------------------------

struct InterfaceCase {
  const char* name;
  std::vector<std::uint8_t> configuration;
  bool found;
  std::uint8_t interface_number, bulk_out, bulk_in, interrupt_in;
};

TEST(UsbtmcInterface, IsFoundFromTheConfigurationDescriptors) {
  const std::vector<InterfaceCase> cases = {
      {"usb488 with interrupt-IN", TmcConfiguration(), true, 0, kBulkOut, kBulkIn, kInterruptIn},
      {"without interrupt-IN", TmcConfiguration(false), true, 0, kBulkOut, kBulkIn, 0},
      {"after another class's interface",
       Configuration({Interface(0, 0, 0x08, 6, 2), Endpoint(5, 2, 64), Endpoint(0x86, 2, 64),
                      Interface(1, 0, 0xFE, 3, 2), Endpoint(7, 2, 64), Endpoint(0x88, 2, 64)}),
       true, 1, 7, 8, 0},
      {"firmware-update subclass only", Configuration({Interface(0, 0, 0xFE, 1, 0)}), false, 0, 0, 0, 0},
      {"no bulk-IN", Configuration({Interface(0, 0, 0xFE, 3, 1), Endpoint(1, 2, 64)}), false, 0, 0, 0, 0},
      {"alternate setting 1 only",
       Configuration({Interface(0, 1, 0xFE, 3, 2), Endpoint(1, 2, 64), Endpoint(0x82, 2, 64)}), false, 0, 0, 0, 0},
      {"bLength 0 stops the walk", {9, 2, 20, 0, 1, 1, 0, 0x80, 50, 0, 4, 0, 0, 2, 0xFE, 3, 1, 0}, false, 0, 0, 0, 0},
      {"endpoint cut off at the end",
       {9, 2, 25, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 0xFE, 3, 1, 0, 7, 5, 1, 2, 64},
       false,
       0,
       0,
       0,
       0},
      {"empty", {}, false, 0, 0, 0, 0},
  };
  for (const InterfaceCase& c : cases) {
    SCOPED_TRACE(c.name);
    sim::UsbtmcEndpoints e;
    ASSERT_EQ(sim::FindUsbtmcInterface(c.configuration, &e), c.found);
    if (!c.found) continue;
    EXPECT_EQ(e.interface_number, c.interface_number);
    EXPECT_EQ(e.bulk_out, c.bulk_out);
    EXPECT_EQ(e.bulk_in, c.bulk_in);
    EXPECT_EQ(e.interrupt_in, c.interrupt_in);
  }
}

TEST(UsbtmcInterface, ADeviceWithoutOneIsRefusedAtOpenAndNothingElseRuns) {
  ScriptedDevice device(Configuration({Interface(0, 0, 0xFF, 0, 0)}));
  sim::UsbtmcClient client(device);
  EXPECT_EQ(client.Open().error, UsbtmcError::kNoInterface);
  std::string reply;
  const sim::UsbtmcResult r = client.Query("*IDN?", &reply);
  EXPECT_EQ(r.error, UsbtmcError::kNotOpen);
  EXPECT_TRUE(device.transfers.empty());
  EXPECT_NE(r.Describe().find("not open"), std::string::npos);
}

// --- messages --------------------------------------------------------------------------------------------

TEST_F(UsbtmcClientTest, AQueryGoesOutAsHeaderPayloadAndAlignmentAndTheReplyIsReadToEom) {
  std::string reply;
  ASSERT_TRUE(client_.Query("*IDN?", &reply).ok());
  EXPECT_EQ(reply, "reply to *IDN?");
  ASSERT_EQ(device_.transfers.size(), 2u);
  const std::vector<std::uint8_t> expected = {1, 1, 0xFE, 0, 5, 0, 0, 0, 1, 0, 0, 0, '*', 'I', 'D', 'N', '?', 0, 0, 0};
  EXPECT_EQ(device_.transfers[0], expected);
  const std::vector<std::uint8_t> request = {2, 2, 0xFD, 0, 0x00, 0x10, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(device_.transfers[1], request);
  EXPECT_EQ(client_.last_tag(), 2);
}

TEST_F(UsbtmcClientTest, TheTagRunsFrom1To255AndSkips0) {
  std::vector<int> tags;
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(client_.Write("X").ok());
    tags.push_back(device_.transfers.back()[1]);
    EXPECT_EQ(device_.transfers.back()[2], static_cast<std::uint8_t>(~tags.back()));
  }
  EXPECT_EQ(tags[0], 1);
  EXPECT_EQ(tags[254], 255);
  EXPECT_EQ(tags[255], 1);
  EXPECT_EQ(std::count(tags.begin(), tags.end(), 0), 0);
}

TEST_F(UsbtmcClientTest, ALongMessageIsSplitIntoTransfersWithEomOnTheLastOnly) {
  std::string message(10000, 'a');
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>('a' + i % 26);
  client_.set_max_transfer(4084);
  ASSERT_TRUE(client_.Write(message).ok());
  ASSERT_EQ(device_.transfers.size(), 3u);
  const std::uint32_t sizes[] = {4084, 4084, 1832};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Le32(device_.transfers[i], 4), sizes[i]);
    EXPECT_EQ(device_.transfers[i][8], i == 2 ? 1 : 0);
    EXPECT_EQ(device_.transfers[i].size() % 4, 0u);
  }
  ASSERT_EQ(device_.messages.size(), 1u);
  EXPECT_EQ(device_.messages[0], message);
}

TEST_F(UsbtmcClientTest, AWriteEndsWithATimeOutOnlyWhenTheDeviceStopsTakingPackets) {
  client_.set_timeout(std::chrono::milliseconds(30));
  // One packet every 2 ms: the 64 packets of the transfer take longer than the time-out, but the
  // device never keeps the host waiting that long.
  device_.out_packets_per_call = 1;
  device_.out_delay = std::chrono::milliseconds(2);
  const std::string message(64 * 64 - 12, 'm');
  const sim::UsbtmcResult written = client_.Write(message);
  EXPECT_TRUE(written.ok()) << written.Describe();
  ASSERT_EQ(device_.messages.size(), 1u);
  EXPECT_EQ(device_.messages[0], message);
  // A device that takes nothing more: the write ends with a time-out.
  device_.out_packets_per_call = 0;
  const sim::UsbtmcResult refused = client_.Write("*CLS");
  EXPECT_EQ(refused.error, UsbtmcError::kTransfer);
  EXPECT_EQ(refused.outcome, UsbOutcome::kTimeout);
}

TEST(UsbtmcRead, RepliesAreReadInChunksOfTheTransferSizeWhateverEndsThePackets) {
  for (const bool zlp : {true, false}) {
    for (const std::uint32_t size : {100u, 52u, 64u, 1u}) {
      SCOPED_TRACE(std::string(zlp ? "ZLP" : "no ZLP") + " TransferSize " + std::to_string(size));
      ScriptedDevice device;
      device.zero_length_after_full = zlp;
      std::string text(300, 'x');
      for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('0' + i % 10);
      device.answer = [&text](const std::string&) { return text; };
      sim::UsbtmcClient client(device);
      ASSERT_TRUE(client.Open().ok());
      std::string reply;
      sim::UsbtmcReadOptions options;
      options.transfer_size = size;
      ASSERT_TRUE(client.Query("DATA?", &reply, options).ok());
      EXPECT_EQ(reply, text);
      EXPECT_EQ(device.request_headers.size(), (text.size() + size - 1) / size);
      for (const auto& h : device.request_headers) EXPECT_EQ(Le32(h, 4), size);
      // The next exchange is not thrown off by what ended the last transfer.
      ASSERT_TRUE(client.Query("DATA?", &reply, options).ok());
      EXPECT_EQ(reply, text);
    }
  }
}

TEST_F(UsbtmcClientTest, WithATermCharTheReadEndsAfterIt) {
  device_.answer = [](const std::string&) { return std::string("first\nsecond\n"); };
  sim::UsbtmcReadOptions options;
  options.term_char = '\n';
  std::string reply;
  ASSERT_TRUE(client_.Query("LINES?", &reply, options).ok());
  EXPECT_EQ(reply, "first\n");
  ASSERT_EQ(device_.request_headers.size(), 1u);
  EXPECT_EQ(device_.request_headers[0][8], 0x02);
  EXPECT_EQ(device_.request_headers[0][9], '\n');
  sim::UsbtmcChunk chunk;
  ASSERT_TRUE(client_.ReadChunk(options, &chunk).ok());
  EXPECT_EQ(chunk.data, "second\n");
  EXPECT_TRUE(chunk.term_char);
  EXPECT_TRUE(chunk.eom);
}

TEST_F(UsbtmcClientTest, ATriggerIsAHeaderOfItsOwn) {
  ASSERT_TRUE(client_.Trigger().ok());
  ASSERT_EQ(device_.transfers.size(), 1u);
  const std::vector<std::uint8_t> expected = {128, 1, 0xFE, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(device_.transfers[0], expected);
  EXPECT_EQ(device_.triggers, 1);
}

struct ReadFault {
  const char* name;
  std::function<void(ScriptedDevice&)> inject;
  UsbtmcError error;
  UsbOutcome outcome;
};

TEST(UsbtmcRead, ABadReplyIsAClearErrorNeverACrash) {
  const std::vector<ReadFault> cases = {
      {"wrong bTag", [](ScriptedDevice& d) { d.tag_offset = 1; }, UsbtmcError::kBadReply, UsbOutcome::kOk},
      {"TransferSize above the one asked", [](ScriptedDevice& d) { d.size_extra = 5000; }, UsbtmcError::kBadReply,
       UsbOutcome::kOk},
      {"TransferSize above the bytes sent", [](ScriptedDevice& d) { d.size_extra = 3; }, UsbtmcError::kBadReply,
       UsbOutcome::kOk},
      {"bulk-IN stalls", [](ScriptedDevice& d) { d.stall_bulk_in = true; }, UsbtmcError::kTransfer, UsbOutcome::kStall},
      {"no response", [](ScriptedDevice& d) { d.answer = [](const std::string&) { return std::string(); }; },
       UsbtmcError::kTransfer, UsbOutcome::kTimeout},
  };
  for (const ReadFault& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDevice device;
    c.inject(device);
    sim::UsbtmcClient client(device);
    client.set_timeout(std::chrono::milliseconds(50));
    ASSERT_TRUE(client.Open().ok());
    std::string reply;
    const sim::UsbtmcResult r = client.Query("*IDN?", &reply);
    EXPECT_EQ(r.error, c.error) << r.Describe();
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_FALSE(r.Describe().empty());
  }
}

TEST_F(UsbtmcClientTest, WhatUsbtmcCannotCarryIsRefusedBeforeTheBus) {
  EXPECT_EQ(client_.Write("").error, UsbtmcError::kInvalidArgument);
  sim::UsbtmcReadOptions zero;
  zero.transfer_size = 0;
  std::string reply;
  EXPECT_EQ(client_.Read(&reply, zero).error, UsbtmcError::kInvalidArgument);
  EXPECT_EQ(client_.WritePartial("abc", 3).error, UsbtmcError::kInvalidArgument);
  EXPECT_TRUE(device_.transfers.empty());
}

// --- aborts and clear --------------------------------------------------------------------------------

TEST_F(UsbtmcClientTest, AbortBulkOutPollsWhilePendingThenClearsTheHalt) {
  ASSERT_TRUE(client_.WritePartial(std::string(100, 'z'), 64).ok());
  EXPECT_EQ(Le32(device_.transfers[0], 4), 100u);
  device_.pending_polls = 2;
  device_.abort_out_received = 64;
  std::uint32_t received = 0;
  ASSERT_TRUE(client_.AbortBulkOut(&received).ok());
  EXPECT_EQ(received, 64u);
  ASSERT_EQ(device_.setups.size(), 5u);
  EXPECT_EQ(device_.setups[0].request_type, 0xA2);
  EXPECT_EQ(device_.setups[0].request, tmc::kInitiateAbortBulkOut);
  EXPECT_EQ(device_.setups[0].value, 1);  // the bTag of the aborted transfer
  EXPECT_EQ(device_.setups[0].index, kBulkOut);
  EXPECT_EQ(device_.setups[0].length, 2);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(device_.setups[i].request, tmc::kCheckAbortBulkOutStatus);
  EXPECT_EQ(device_.setups[4].request_type, 0x02);
  EXPECT_EQ(device_.setups[4].request, 1);  // CLEAR_FEATURE(ENDPOINT_HALT)
  EXPECT_EQ(device_.setups[4].index, kBulkOut);
}

TEST_F(UsbtmcClientTest, AbortBulkInReadsTheShortTransferOutAndChecksUntilDone) {
  device_.answer = [](const std::string&) { return std::string(); };
  ASSERT_TRUE(client_.Write("SLOW?").ok());
  ASSERT_TRUE(client_.RequestIn({}).ok());
  device_.pending_polls = 1;
  device_.clear_reports_queued_data = true;
  std::uint32_t sent = 99;
  ASSERT_TRUE(client_.AbortBulkIn(&sent).ok());
  EXPECT_EQ(sent, 0u);
  EXPECT_TRUE(device_.BulkInEmpty());
  EXPECT_EQ(device_.setups[0].request, tmc::kInitiateAbortBulkIn);
  EXPECT_EQ(device_.setups[0].value, 2);
  EXPECT_EQ(device_.setups[0].index, 0x80 | kBulkIn);
  EXPECT_EQ(device_.setups.back().request, tmc::kCheckAbortBulkInStatus);
}

TEST_F(UsbtmcClientTest, AReadThatTimesOutEndsItsRequestOnlyWhenAskedTo) {
  device_.answer = [](const std::string&) { return std::string(); };  // nothing ever answers
  client_.set_timeout(std::chrono::milliseconds(20));
  struct Case {
    bool abort;
    std::uint8_t request_tag;
  };
  for (const Case c : {Case{false, 2}, Case{true, 4}}) {
    SCOPED_TRACE(c.abort ? "abort on time-out" : "no abort");
    device_.setups.clear();
    client_.set_abort_on_timeout(c.abort);
    std::string reply;
    const sim::UsbtmcResult r = client_.Query("NO:SUCH?", &reply);
    EXPECT_EQ(r.error, UsbtmcError::kTransfer);
    EXPECT_EQ(r.outcome, UsbOutcome::kTimeout);
    if (!c.abort) {
      EXPECT_TRUE(device_.setups.empty());
      continue;
    }
    // INITIATE_ABORT_BULK_IN with the open request's bTag, its short transfer read out, the check.
    ASSERT_EQ(device_.setups.size(), 2u);
    EXPECT_EQ(device_.setups[0].request, tmc::kInitiateAbortBulkIn);
    EXPECT_EQ(device_.setups[0].value, c.request_tag);
    EXPECT_EQ(device_.setups[1].request, tmc::kCheckAbortBulkInStatus);
    EXPECT_TRUE(device_.BulkInEmpty());
    EXPECT_NE(r.Describe().find("request aborted"), std::string::npos) << r.Describe();
  }
}

TEST_F(UsbtmcClientTest, AbortBulkInWithNothingInProgressIsNotAnError) {
  device_.status_of[tmc::kInitiateAbortBulkIn] = tmc::kStatusFailed;
  const sim::UsbtmcResult r = client_.AbortBulkIn();
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.status, tmc::kStatusFailed);
  EXPECT_EQ(device_.setups.size(), 1u);
}

TEST_F(UsbtmcClientTest, ClearWaitsForTheDeviceReadsOutWhatItReportsAndClearsTheBulkOutHalt) {
  device_.pending_polls = 2;
  device_.clear_reports_queued_data = true;
  ASSERT_TRUE(client_.Clear().ok());
  EXPECT_TRUE(device_.BulkInEmpty());
  ASSERT_EQ(device_.setups.size(), 5u);
  EXPECT_EQ(device_.setups[0].request_type, 0xA1);
  EXPECT_EQ(device_.setups[0].request, tmc::kInitiateClear);
  EXPECT_EQ(device_.setups[3].request, tmc::kCheckClearStatus);
  EXPECT_EQ(device_.setups[4].request, 1);
  EXPECT_EQ(device_.setups[4].index, kBulkOut);
}

struct StatusFault {
  const char* name;
  std::uint8_t request;
  std::uint8_t status;
  std::function<sim::UsbtmcResult(sim::UsbtmcClient&)> run;
};

TEST_F(UsbtmcClientTest, AStatusOtherThanSuccessIsReportedWithItsValue) {
  const std::vector<StatusFault> cases = {
      {"abort-OUT refused", tmc::kInitiateAbortBulkOut, tmc::kStatusTransferNotInProgress,
       [](sim::UsbtmcClient& c) { return c.AbortBulkOut(); }},
      {"abort-OUT check", tmc::kCheckAbortBulkOutStatus, tmc::kStatusSplitNotInProgress,
       [](sim::UsbtmcClient& c) { return c.AbortBulkOut(); }},
      {"abort-IN wrong tag", tmc::kInitiateAbortBulkIn, tmc::kStatusTransferNotInProgress,
       [](sim::UsbtmcClient& c) { return c.AbortBulkIn(); }},
      {"clear split", tmc::kInitiateClear, tmc::kStatusSplitInProgress, [](sim::UsbtmcClient& c) { return c.Clear(); }},
      {"REN_CONTROL", tmc::kRenControl, tmc::kStatusFailed, [](sim::UsbtmcClient& c) { return c.RenControl(true); }},
      {"GO_TO_LOCAL", tmc::kGoToLocal, tmc::kStatusFailed, [](sim::UsbtmcClient& c) { return c.GoToLocal(); }},
      {"LOCAL_LOCKOUT", tmc::kLocalLockout, tmc::kStatusFailed, [](sim::UsbtmcClient& c) { return c.LocalLockout(); }},
      {"status byte busy", tmc::kReadStatusByte, tmc::kStatusInterruptInBusy,
       [](sim::UsbtmcClient& c) {
         std::uint8_t stb = 0;
         return c.ReadStatusByte(&stb);
       }},
  };
  for (const StatusFault& c : cases) {
    SCOPED_TRACE(c.name);
    device_.status_of.clear();
    device_.status_of[c.request] = c.status;
    const sim::UsbtmcResult r = c.run(client_);
    EXPECT_EQ(r.error, UsbtmcError::kStatus) << r.Describe();
    EXPECT_EQ(r.status, c.status);
  }
}

TEST_F(UsbtmcClientTest, AShortControlReplyIsMalformed) {
  device_.short_control_reply = true;
  EXPECT_EQ(client_.RenControl(true).error, UsbtmcError::kBadReply);
  sim::UsbtmcCapabilities caps;
  EXPECT_EQ(client_.GetCapabilities(&caps).error, UsbtmcError::kBadReply);
}

// --- USB488 ----------------------------------------------------------------------------------------------

TEST_F(UsbtmcClientTest, CapabilitiesAreReadFromTheirFields) {
  sim::UsbtmcCapabilities caps;
  ASSERT_TRUE(client_.GetCapabilities(&caps).ok());
  EXPECT_EQ(caps.bcd_usbtmc, 0x0100);
  EXPECT_EQ(caps.device_capabilities, 1);
  EXPECT_EQ(caps.usb488_interface_capabilities, 7);
  EXPECT_EQ(caps.usb488_device_capabilities, 4);
  EXPECT_EQ(device_.setups[0].length, 24);
}

TEST_F(UsbtmcClientTest, TheStatusByteComesOnInterruptInWithItsTagAndTagsRunFrom2To127) {
  std::vector<int> tags;
  for (int i = 0; i < 130; ++i) {
    device_.status_byte = static_cast<std::uint8_t>(i);
    std::uint8_t stb = 0xFF;
    ASSERT_TRUE(client_.ReadStatusByte(&stb).ok());
    EXPECT_EQ(stb, i);
    tags.push_back(device_.setups.back().value);
  }
  EXPECT_EQ(tags[0], 2);
  EXPECT_EQ(tags[125], 127);
  EXPECT_EQ(tags[126], 2);
  EXPECT_EQ(device_.setups.back().length, 3);
}

TEST_F(UsbtmcClientTest, AServiceRequestMetWhileReadingTheStatusByteIsKept) {
  device_.interrupt.push_back({0x81, 0x50});
  std::uint8_t stb = 0;
  ASSERT_TRUE(client_.ReadStatusByte(&stb).ok());
  EXPECT_EQ(stb, 0x10);
  std::uint8_t srq = 0;
  ASSERT_TRUE(client_.WaitServiceRequest(std::chrono::milliseconds(100), &srq).ok());
  EXPECT_EQ(srq, 0x50);
  const sim::UsbtmcResult none = client_.WaitServiceRequest(std::chrono::milliseconds(10), &srq);
  EXPECT_EQ(none.error, UsbtmcError::kTransfer);
  EXPECT_EQ(none.outcome, UsbOutcome::kTimeout);
}

TEST_F(UsbtmcClientTest, ANotificationForAnotherTagIsMalformed) {
  device_.interrupt.push_back({0x80 | 9, 0x00});
  std::uint8_t stb = 0;
  EXPECT_EQ(client_.ReadStatusByte(&stb).error, UsbtmcError::kBadReply);
}

TEST(UsbtmcStatusByte, WithoutInterruptInItComesInTheControlReply) {
  ScriptedDevice device(TmcConfiguration(false));
  sim::UsbtmcClient client(device);
  ASSERT_TRUE(client.Open().ok());
  std::uint8_t stb = 0;
  ASSERT_TRUE(client.ReadStatusByte(&stb).ok());
  EXPECT_EQ(stb, 0);  // byte 2 of the reply
  EXPECT_EQ(client.WaitServiceRequest(std::chrono::milliseconds(1), &stb).error, UsbtmcError::kNoInterruptIn);
}

TEST_F(UsbtmcClientTest, RemoteLocalRequestsCarryTheirValues) {
  ASSERT_TRUE(client_.RenControl(true).ok());
  ASSERT_TRUE(client_.LocalLockout().ok());
  ASSERT_TRUE(client_.GoToLocal().ok());
  ASSERT_TRUE(client_.RenControl(false).ok());
  const std::vector<std::pair<int, int>> expected = {{160, 1}, {162, 0}, {161, 0}, {160, 0}};
  ASSERT_EQ(device_.setups.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(device_.setups[i].request_type, 0xA1);
    EXPECT_EQ(device_.setups[i].request, expected[i].first);
    EXPECT_EQ(device_.setups[i].value, expected[i].second);
    EXPECT_EQ(device_.setups[i].length, 1);
  }
}

}  // namespace
