// Fixtures of the VXI-11 link-side tests: a connection that records what the link table sends it, a
// small application device that answers *IDN?, and the engine started with the VXI-11 plug-in (without
// its TCP side: the tests call the link table directly, as the core channel does).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/C4882Device.h"
#include "engine/DoVovuriEngine.h"
#include "support/wait_for.h"
#include "vxi11/CVxi11LinkManager.h"
#include "vxi11/Vxi11Plugin.h"

namespace torvex_test {

constexpr const char kIdnReply[] = "TORVEX,TESLAMETER,0,1.0\n";

class FakeConnection : public CVxi11Connection {
 public:
  struct StbReply {
    std::uint32_t xid;
    std::uint8_t status_byte;
    std::uint32_t internal_status;
  };

  void SendSrq(std::uint32_t handle_length, const std::uint8_t* handle, std::uint32_t* status) override {
    if (before_srq) before_srq();
    std::lock_guard<std::mutex> lock(mutex_);
    srqs_.emplace_back(reinterpret_cast<const char*>(handle), handle_length);
    *status = 0;
  }
  void SendReadStbReply(std::uint32_t xid, std::uint8_t status_byte, std::uint32_t internal_status,
                        std::uint32_t* status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    stb_replies_.push_back({xid, status_byte, internal_status});
    *status = 0;
  }
  bool IsGone() override { return gone.load(); }

  // Set when the client "closed the connection".
  std::atomic<bool> gone{false};

  std::vector<std::string> Srqs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return srqs_;
  }
  std::vector<StbReply> StbReplies() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stb_replies_;
  }

  // Runs inside SendSrq before it records (set before the test's threads start).
  std::function<void()> before_srq;

 private:
  std::mutex mutex_;
  std::vector<std::string> srqs_;
  std::vector<StbReply> stb_replies_;
};

// The application's device: answers *IDN? and takes every other message as a command.
class IdnInstrument : public CTcpIpDevice {
 public:
  IdnInstrument() {
    MessageBufferDescriptor::Init(&input_, 16384, nullptr);
    MessageBufferDescriptor::Init(&response_, 16384, nullptr);
  }
  ~IdnInstrument() override {
    Disable();
    MessageBufferDescriptor::Release(&input_);
    MessageBufferDescriptor::Release(&response_);
  }

  // Enables the device (index 0, so "inst0"; alias null for none) and posts its input buffer.
  std::uint32_t Start(const char* alias = nullptr) {
    const std::uint32_t status = Enable(0, alias, 1);
    if (status != 0) return status;
    return PostInputBuffer(&input_);
  }

  void OnInputComplete(std::int32_t reason, MessageBufferDescriptor* descriptor) override {
    if (reason == kInputReasonUnterminated) {
      // A read came without a query: acknowledged, and the buffer is posted again.
      AcknowledgeUnterminated();
      PostInputBuffer(&input_);
      return;
    }
    std::string text;
    if (descriptor != nullptr) text.assign(reinterpret_cast<const char*>(descriptor->data), descriptor->count);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      inputs_.push_back(text);
    }
    if (text.rfind("*IDN?", 0) == 0 || text.rfind("LONG?", 0) == 0) {
      QueryDetected();
      std::string reply = kIdnReply;
      if (text.rfind("LONG?", 0) == 0) reply = long_reply;
      std::memcpy(response_.data, reply.data(), reply.size());
      response_.count = static_cast<std::uint32_t>(reply.size());
      QueueResponse(&response_, 1);
      if (post_input_with_response) {
        // As the firmware's host does: the message is done once its answer is queued.
        MessageProcessed();
        PostInputBuffer(&input_);
      }
      return;
    }
    MessageProcessed();
    PostInputBuffer(&input_);
  }
  void OnResponseComplete(std::int32_t reason, MessageBufferDescriptor*) override {
    if (reason == kResponseReasonInterrupted) Count(&interrupted_);
    if (post_input_with_response) return;
    MessageProcessed();
    PostInputBuffer(&input_);
  }
  void OnDeviceClear(std::uint32_t) override { Count(&clears_); }
  void OnTrigger(std::uint32_t) override {
    Count(&triggers_);
    MessageProcessed();  // the trigger's work is done
  }
  void OnRemoteLocalChange(std::int32_t state) override {
    std::lock_guard<std::mutex> lock(mutex_);
    remote_local_.push_back(state);
  }

  std::vector<std::string> Inputs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return inputs_;
  }
  int Clears() { return Read(&clears_); }
  int Interrupted() { return Read(&interrupted_); }  // responses discarded by a new message
  int Triggers() { return Read(&triggers_); }
  std::vector<std::int32_t> RemoteLocal() {
    std::lock_guard<std::mutex> lock(mutex_);
    return remote_local_;
  }

  std::string long_reply;  // the answer of "LONG?" (set before Start)
  // The input buffer is posted again as soon as a query's answer is queued (not once it was sent).
  bool post_input_with_response = false;

 private:
  void Count(int* counter) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++*counter;
  }
  int Read(int* counter) {
    std::lock_guard<std::mutex> lock(mutex_);
    return *counter;
  }

  MessageBufferDescriptor input_{};
  MessageBufferDescriptor response_{};
  std::mutex mutex_;
  std::vector<std::string> inputs_;
  std::vector<std::int32_t> remote_local_;
  int clears_ = 0;
  int triggers_ = 0;
  int interrupted_ = 0;
};

// The engine with the VXI-11 plug-in (link table and interface manager, no TCP side).
class Vxi11EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Vxi11ProvidePlugin(nullptr);
    ASSERT_EQ(DoVovuriStartEngine(), 0);
    ASSERT_EQ(DoVovuriStartVxi11Plugin(), 0);
    table_ = Vxi11LinkTable();
    ASSERT_NE(table_, nullptr);
  }
  void TearDown() override { DoVovuriStopAll(); }

  std::uint32_t Link(FakeConnection* connection, const char* name = "inst0") {
    std::uint32_t status = 0xFFFFFFFF;
    const std::uint32_t lid = Vxi11CreateLinkHandler(connection, false, 0, name, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_NE(lid, 0u);
    return lid;
  }
  std::uint32_t Write(FakeConnection* connection, std::uint32_t lid, const std::string& text,
                      std::uint32_t io_timeout = 5000, std::uint32_t* status_out = nullptr) {
    std::uint32_t status = 0xFFFFFFFF;
    const std::uint32_t n =
        Vxi11DeviceWriteHandler(connection, {lid, false, 0, io_timeout}, true, static_cast<std::uint32_t>(text.size()),
                                reinterpret_cast<const std::uint8_t*>(text.data()), &status);
    if (status_out != nullptr) {
      *status_out = status;
    } else {
      EXPECT_EQ(status, 0u);
    }
    return n;
  }
  std::string Read(FakeConnection* connection, std::uint32_t lid, std::uint32_t count, std::uint32_t* reason,
                   std::uint32_t* status, std::uint32_t io_timeout = 5000, bool termchar_set = false,
                   std::uint8_t termchar = '\n') {
    std::vector<std::uint8_t> buffer(count + 1);
    *reason = 0;
    const std::uint32_t n = Vxi11DeviceReadHandler(connection, {lid, false, 0, io_timeout}, termchar_set, termchar,
                                                   count, buffer.data(), reason, status);
    return std::string(reinterpret_cast<const char*>(buffer.data()), n);
  }

  CVxi11LinkManager* table_ = nullptr;
};

}  // namespace torvex_test
