// A VXI-11 client session over the raw client of vxi11_wire_client.h, as whole-firmware tests and
// tools use it: the core channel's port from a portmapper (GETPORT over TCP or UDP), one link, and
// device_write, device_read, device_readstb and destroy_link on it. Every call waits for its reply
// with a real-time deadline and checks that the reply carries the call's xid.
//
// Watcher is the well-behaved client of the misbehaviour tests: a thread that asks "*IDN?" again and
// again and keeps what it saw (answers, failures, the slowest answer).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/vxi11_wire_client.h"

namespace vxi11_test {

inline constexpr std::uint32_t kCoreProgram = 0x0607AF;
inline constexpr std::uint32_t kPortMapperProgram = 100000;
inline constexpr std::uint32_t kFlagEnd = 8;
inline constexpr std::uint32_t kReasonEnd = 4;

// The core channel's port from the portmapper at `portmapper_port` on the loopback; 0 when it gave none
// within the deadline.
inline std::uint16_t PortMapperGetPort(std::uint16_t portmapper_port, bool udp, int timeout_ms = 5000) {
  CallSpec spec;
  spec.xid = 0x600D;
  spec.prog = kPortMapperProgram;
  spec.vers = 2;
  spec.proc = 3;
  const Bytes call = Call(spec, ArgWords({kCoreProgram, 1, 6, 0}));
  RawClient client;
  if (!client.Connect(portmapper_port, udp)) return 0;
  const Bytes reply = udp ? client.Datagram(call, timeout_ms)
                          : (client.SendRecord(call) ? client.ReadRecord(nullptr, timeout_ms) : Bytes{});
  if (reply.size() < 28 || Get(reply, 0) != spec.xid || Get(reply, 20) != 0) return 0;
  const std::uint32_t port = Get(reply, 24);
  return port <= 0xFFFF ? static_cast<std::uint16_t>(port) : 0;
}

class Session {
 public:
  struct Reply {
    bool answered = false;  // a reply with the call's xid came within the deadline
    std::uint32_t error = 0;
    std::uint32_t value = 0;  // size (write), reason (read), status byte (readstb)
    std::string data;
  };

  // Connects to the core channel and makes a link to `device` (`receive_buffer`: see RawClient).
  bool Open(std::uint16_t core_port, const std::string& device = "inst0", int timeout_ms = 5000,
            int receive_buffer = 0) {
    if (!client_.Connect(core_port, false, receive_buffer)) return false;
    Bytes args = ArgWords({1, 0, 1000});
    PutOpaque(&args, device);
    const Bytes reply = Exchange(10, args, timeout_ms);
    if (reply.size() < 40 || Get(reply, 24) != 0) return false;
    lid_ = Get(reply, 28);
    abort_port_ = static_cast<std::uint16_t>(Get(reply, 32));
    return true;
  }

  Reply Write(const std::string& text, std::uint32_t io_timeout = 3000, int timeout_ms = 5000) {
    Bytes args = ArgWords({lid_, io_timeout, io_timeout, kFlagEnd});
    PutOpaque(&args, text);
    return Result(Exchange(11, args, timeout_ms), 2);
  }

  // One device_read of up to `count` bytes.
  Reply ReadOnce(std::uint32_t io_timeout = 3000, int timeout_ms = 5000, std::uint32_t count = 4096) {
    const Bytes reply = Exchange(12, ArgWords({lid_, count, io_timeout, io_timeout, 0, 0}), timeout_ms);
    Reply r = Result(reply, 2);
    if (r.answered && reply.size() >= 36) {
      const std::size_t n = std::min<std::size_t>(Get(reply, 32), reply.size() - 36);
      r.data.assign(reply.begin() + 36, reply.begin() + 36 + static_cast<std::ptrdiff_t>(n));
    }
    return r;
  }

  // device_read until END (or an error).
  Reply Read(std::uint32_t io_timeout = 3000, int timeout_ms = 5000) {
    Reply all;
    for (int chunk = 0; chunk < 64; ++chunk) {
      Reply r = ReadOnce(io_timeout, timeout_ms);
      all.answered = r.answered;
      all.error = r.error;
      all.value = r.value;
      all.data += r.data;
      if (!r.answered || r.error != 0 || (r.value & kReasonEnd) != 0) break;
    }
    return all;
  }

  // Write then read; an unanswered or failed write is the result.
  Reply Query(const std::string& text, std::uint32_t io_timeout = 3000, int timeout_ms = 5000) {
    Reply w = Write(text, io_timeout, timeout_ms);
    if (!w.answered || w.error != 0) return w;
    return Read(io_timeout, timeout_ms);
  }

  Reply ReadStb(std::uint32_t io_timeout = 3000, int timeout_ms = 5000) {
    return Result(Exchange(13, ArgWords({lid_, 0, io_timeout, io_timeout}), timeout_ms), 2);
  }

  Reply Destroy(int timeout_ms = 5000) { return Result(Exchange(23, ArgWords({lid_}), timeout_ms), 1); }

  // The call message of `proc` with `args`, for clients that send it themselves.
  Bytes CallMessage(std::uint32_t proc, const Bytes& args) {
    CallSpec spec;
    spec.xid = ++xid_;
    spec.proc = proc;
    return Call(spec, args);
  }

  RawClient& raw() { return client_; }
  std::uint32_t lid() const { return lid_; }
  std::uint16_t abort_port() const { return abort_port_; }

 private:
  // The reply of one call with a fresh xid; empty when none came or its xid is another's.
  Bytes Exchange(std::uint32_t proc, const Bytes& args, int timeout_ms) {
    const Bytes call = CallMessage(proc, args);
    if (!client_.SendRecord(call)) return {};
    Bytes reply = client_.ReadRecord(nullptr, timeout_ms);
    if (reply.size() < 24 || Get(reply, 0) != xid_ || Get(reply, 20) != 0) return {};
    return reply;
  }
  // The error word and the word after it (when `words` is 2).
  static Reply Result(const Bytes& reply, int words) {
    Reply r;
    if (reply.size() < static_cast<std::size_t>(24 + 4 * words)) return r;
    r.answered = true;
    r.error = Get(reply, 24);
    if (words > 1) r.value = Get(reply, 28);
    return r;
  }

  RawClient client_;
  std::uint32_t xid_ = 0x1000;
  std::uint32_t lid_ = 0;
  std::uint16_t abort_port_ = 0;
};

// The well-behaved client: asks "*IDN?" until stopped, each time on its own link or, with
// `fresh_sessions`, on a new session found through the portmapper over TCP (as a VISA library opens
// one). A query counts as answered when its reply came within the client's deadline with error 0 and
// the identity seen first.
class Watcher {
 public:
  struct Options {
    std::uint16_t core_port = 0;
    std::uint16_t portmapper_port = 0;
    bool fresh_sessions = false;
    std::uint32_t io_timeout = 3000;  // the firmware's time-out of each call (in board time)
    int deadline_ms = 5000;           // how long the client waits for each reply (real time)
  };

  explicit Watcher(const Options& options) : options_(options) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Watcher() { Stop(); }

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  int answered() const { return answered_.load(); }
  // Waits until `more` further queries have been answered (or failed); false at the deadline.
  bool WaitForQueries(int more, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const int target = answered_.load() + static_cast<int>(failures_count_.load()) + more;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (answered_.load() + static_cast<int>(failures_count_.load()) < target) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  std::vector<std::string> failures() {
    std::lock_guard<std::mutex> hold(mutex_);
    return failures_;
  }
  double slowest_ms() const { return slowest_us_.load() / 1000.0; }
  std::string identity() {
    std::lock_guard<std::mutex> hold(mutex_);
    return identity_;
  }

 private:
  // Keeps the first failures; the client then takes a breath before it tries again.
  void Fail(const std::string& what) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (failures_.size() < 20) failures_.push_back(what);
      ++failures_count_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  void Run() {
    std::unique_ptr<Session> session;
    bool open = false;
    while (!stop_) {
      const auto start = std::chrono::steady_clock::now();
      if (options_.fresh_sessions || !open) {
        session = std::make_unique<Session>();
        std::uint16_t port = options_.core_port;
        if (options_.fresh_sessions) {
          port = PortMapperGetPort(options_.portmapper_port, false, options_.deadline_ms);
          if (port == 0) {
            Fail("no port from the portmapper over TCP");
            continue;
          }
        }
        open = session->Open(port, "inst0", options_.deadline_ms);
        if (!open) {
          Fail("create_link not answered");
          continue;
        }
      }
      const Session::Reply reply = session->Query("*IDN?\n", options_.io_timeout, options_.deadline_ms);
      if (options_.fresh_sessions) session->Destroy(options_.deadline_ms);
      const auto took =
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
      if (!reply.answered) {
        Fail("*IDN? not answered within " + std::to_string(options_.deadline_ms) + " ms");
        open = false;
        continue;
      }
      if (reply.error != 0) {
        Fail("*IDN? answered error " + std::to_string(reply.error));
        continue;
      }
      {
        std::lock_guard<std::mutex> hold(mutex_);
        if (identity_.empty()) identity_ = reply.data;
        if (reply.data != identity_) {
          if (failures_.size() < 20) failures_.push_back("*IDN? answered \"" + reply.data + "\"");
          ++failures_count_;
          continue;
        }
      }
      if (took > slowest_us_.load()) slowest_us_.store(took);
      ++answered_;
    }
  }

  Options options_;
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0};
  std::atomic<unsigned> failures_count_{0};
  std::atomic<long long> slowest_us_{0};
  std::mutex mutex_;
  std::vector<std::string> failures_;
  std::string identity_;
  std::thread thread_;
};

}  // namespace vxi11_test
