// A VXI-11 client over raw ONC RPC on TCP, for whole-firmware tests that behave as careless or hostile
// clients do: every call can be sent without waiting for its reply (and the reply read later, or
// never), the abort channel is a connection of its own, and a connection can be closed in the middle
// of a call. Replies are decoded only as far as the tests look at them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/vxi11_wire_client.h"

namespace torvex_test {

constexpr std::uint32_t kVxi11CoreProgram = 0x0607AF;
constexpr std::uint32_t kVxi11AbortProgram = 0x0607B0;
constexpr std::uint32_t kVxi11NoTimeout = 0xFFFFFFFFu;
// device_write / device_read flags.
constexpr std::uint32_t kVxi11FlagWaitLock = 0x01;
constexpr std::uint32_t kVxi11FlagEnd = 0x08;
constexpr std::uint32_t kVxi11FlagTermChar = 0x80;
// device_read reasons.
constexpr std::uint32_t kVxi11ReasonEnd = 0x04;
// VXI-11 errors the tests look for.
constexpr std::uint32_t kVxi11ErrorLocked = 11;
constexpr std::uint32_t kVxi11ErrorIoTimeout = 15;
constexpr std::uint32_t kVxi11ErrorIo = 17;
constexpr std::uint32_t kVxi11ErrorAbort = 23;

// Procedures of the core channel.
enum : std::uint32_t {
  kVxi11CreateLink = 10,
  kVxi11DeviceWrite = 11,
  kVxi11DeviceRead = 12,
  kVxi11DeviceReadStb = 13,
  kVxi11DeviceTrigger = 14,
  kVxi11DeviceClear = 15,
  kVxi11DeviceLock = 18,
  kVxi11DeviceUnlock = 19,
  kVxi11DestroyLink = 23,
};

// One TCP connection carrying record-marked ONC RPC calls, on the raw client and call builders of
// vxi11_wire_client.h.
class RpcConnection {
 public:
  bool Connect(std::uint16_t port) {
    if (client_.Connect(port)) return true;
    client_.Close();
    return false;
  }
  void Close() { client_.Close(); }
  bool IsOpen() const { return client_.fd() >= 0; }

  // Sends one call (one record of one fragment); returns its xid, 0 when the send failed.
  std::uint32_t Send(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                     const std::vector<std::uint8_t>& args) {
    vxi11_test::CallSpec spec;
    spec.xid = ++xid_;
    spec.prog = prog;
    spec.vers = vers;
    spec.proc = proc;
    return client_.SendRecord(vxi11_test::Call(spec, args)) ? spec.xid : 0;
  }

  // Reads the next reply; `results` gets what follows an accepted SUCCESS header. False when none came
  // within the limit, the connection ended, or the call was not accepted.
  bool Receive(std::vector<std::uint8_t>* results, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<std::uint8_t> record;
    for (bool last = false; !last;) {
      std::uint8_t h[4];
      if (!ReceiveExact(h, 4, deadline)) return false;
      const std::uint32_t word = Get(std::vector<std::uint8_t>(h, h + 4), 0);
      last = (word & 0x80000000u) != 0;
      const std::size_t n = word & 0x7FFFFFFFu;
      if (n > (1u << 20)) return false;
      const std::size_t at = record.size();
      record.resize(at + n);
      if (n > 0 && !ReceiveExact(record.data() + at, n, deadline)) return false;
    }
    // xid, REPLY, MSG_ACCEPTED, verifier (flavour, length, body), SUCCESS.
    if (record.size() < 24 || Get(record, 4) != 1 || Get(record, 8) != 0) return false;
    const std::size_t verifier = (Get(record, 16) + 3) & ~std::size_t{3};
    const std::size_t at = 20 + verifier;
    if (record.size() < at + 4 || Get(record, at) != 0) return false;
    results->assign(record.begin() + static_cast<std::ptrdiff_t>(at + 4), record.end());
    return true;
  }

  bool Call(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc, const std::vector<std::uint8_t>& args,
            std::vector<std::uint8_t>* results, std::chrono::milliseconds limit) {
    return Send(prog, vers, proc, args) != 0 && Receive(results, limit);
  }

  static void Put(std::vector<std::uint8_t>* out, std::uint32_t w) { vxi11_test::Put(out, w); }
  static void PutOpaque(std::vector<std::uint8_t>* out, const std::string& s) { vxi11_test::PutOpaque(out, s); }
  static std::uint32_t Get(const std::vector<std::uint8_t>& in, std::size_t at) { return vxi11_test::Get(in, at); }

 private:
  // Exactly n bytes before the deadline.
  bool ReceiveExact(std::uint8_t* out, std::size_t n, std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 && client_.ReceiveExact(out, n, static_cast<int>(left.count()));
  }

  vxi11_test::RawClient client_;
  std::uint32_t xid_ = 0x7100;
};

// The TCP port of the VXI-11 core channel, asked of the portmapper at `portmapper_port` over TCP; 0
// when none is registered (yet).
inline std::uint16_t Vxi11CorePort(std::uint16_t portmapper_port) {
  RpcConnection portmapper;
  if (!portmapper.Connect(portmapper_port)) return 0;
  std::vector<std::uint8_t> args;
  for (std::uint32_t w : {kVxi11CoreProgram, 1u, 6u, 0u}) RpcConnection::Put(&args, w);
  std::vector<std::uint8_t> reply;
  if (!portmapper.Call(100000, 2, 3, args, &reply, std::chrono::seconds(5))) return 0;
  const std::uint32_t port = RpcConnection::Get(reply, 0);
  return port > 0 && port <= 65535 ? static_cast<std::uint16_t>(port) : 0;
}

// One client connection of the core channel, its calls decoded, and its abort channel.
class Vxi11Client {
 public:
  struct Reply {
    bool answered = false;  // a reply came in time
    std::uint32_t error = 0;
    std::uint32_t value = 0;  // create_link: lid; device_write: size; device_read: reason; readstb: byte
    std::string data;         // device_read
    std::chrono::milliseconds took{0};
    bool Ok() const { return answered && error == 0; }
  };

  bool Connect(std::uint16_t core_port) { return core_.Connect(core_port); }
  void Close() {
    core_.Close();
    abort_.Close();
  }
  RpcConnection& Core() { return core_; }

  // create_link; on success remembers the link and its abort port.
  Reply CreateLink(bool lock_device = false, std::uint32_t lock_timeout = 0, const std::string& name = "inst0") {
    std::vector<std::uint8_t> args;
    for (std::uint32_t w : {1u, lock_device ? 1u : 0u, lock_timeout}) RpcConnection::Put(&args, w);
    RpcConnection::PutOpaque(&args, name);
    Reply reply = Run(kVxi11CreateLink, args, lock_timeout);
    if (reply.answered) {
      reply.value = RpcConnection::Get(last_, 4);
      if (reply.error == 0) {
        lid_ = reply.value;
        abort_port_ = static_cast<std::uint16_t>(RpcConnection::Get(last_, 8));
      }
    }
    return reply;
  }
  std::uint32_t Lid() const { return lid_; }
  void UseLid(std::uint32_t lid) { lid_ = lid; }

  Reply Write(const std::string& data, std::uint32_t io_timeout = 5000, std::uint32_t flags = kVxi11FlagEnd,
              std::uint32_t lock_timeout = 0) {
    Reply reply = Run(kVxi11DeviceWrite, WriteArgs(data, io_timeout, flags, lock_timeout), io_timeout, lock_timeout);
    if (reply.answered) reply.value = RpcConnection::Get(last_, 4);
    return reply;
  }
  Reply Read(std::uint32_t io_timeout = 5000, std::uint32_t request_size = 4096, std::uint32_t flags = 0,
             std::uint32_t lock_timeout = 0, std::uint8_t termchar = '\n') {
    Reply reply = Run(kVxi11DeviceRead, ReadArgs(io_timeout, request_size, flags, lock_timeout, termchar), io_timeout,
                      lock_timeout);
    DecodeRead(&reply);
    return reply;
  }
  // A write with END and a read of the whole reply, timed together.
  Reply Query(const std::string& message, std::uint32_t io_timeout = 5000) {
    const auto begin = std::chrono::steady_clock::now();
    Reply written = Write(message, io_timeout);
    if (!written.Ok()) return written;
    Reply read = Read(io_timeout);
    read.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
    return read;
  }
  Reply ReadStb(std::uint32_t io_timeout = 5000, std::uint32_t flags = 0, std::uint32_t lock_timeout = 0) {
    Reply reply = Run(kVxi11DeviceReadStb, GenericArgs(flags, lock_timeout, io_timeout), io_timeout, lock_timeout);
    if (reply.answered) reply.value = RpcConnection::Get(last_, 4);
    return reply;
  }
  Reply Trigger(std::uint32_t io_timeout = 5000, std::uint32_t flags = 0, std::uint32_t lock_timeout = 0) {
    return Run(kVxi11DeviceTrigger, GenericArgs(flags, lock_timeout, io_timeout), io_timeout, lock_timeout);
  }
  Reply Clear(std::uint32_t io_timeout = 5000, std::uint32_t flags = 0, std::uint32_t lock_timeout = 0) {
    return Run(kVxi11DeviceClear, GenericArgs(flags, lock_timeout, io_timeout), io_timeout, lock_timeout);
  }
  Reply Lock(std::uint32_t flags = 0, std::uint32_t lock_timeout = 0) {
    std::vector<std::uint8_t> args;
    for (std::uint32_t w : {lid_, flags, lock_timeout}) RpcConnection::Put(&args, w);
    return Run(kVxi11DeviceLock, args, lock_timeout);
  }
  Reply Unlock() {
    std::vector<std::uint8_t> args;
    RpcConnection::Put(&args, lid_);
    return Run(kVxi11DeviceUnlock, args, 0);
  }
  Reply DestroyLink() {
    std::vector<std::uint8_t> args;
    RpcConnection::Put(&args, lid_);
    return Run(kVxi11DestroyLink, args, 0);
  }

  // Calls sent now whose replies are read later (or never).
  bool SendRead(std::uint32_t io_timeout, std::uint32_t request_size = 4096) {
    return core_.Send(kVxi11CoreProgram, 1, kVxi11DeviceRead, ReadArgs(io_timeout, request_size, 0, 0, '\n')) != 0;
  }
  bool SendWrite(const std::string& data, std::uint32_t io_timeout = 5000) {
    return core_.Send(kVxi11CoreProgram, 1, kVxi11DeviceWrite, WriteArgs(data, io_timeout, kVxi11FlagEnd, 0)) != 0;
  }
  Reply ReceiveRead(std::chrono::milliseconds limit) {
    Reply reply;
    reply.answered = core_.Receive(&last_, limit);
    if (reply.answered) reply.error = RpcConnection::Get(last_, 0);
    DecodeRead(&reply);
    return reply;
  }

  // The abort channel: connect once, then device_abort of this client's link.
  bool ConnectAbort() { return abort_port_ != 0 && abort_.Connect(abort_port_); }
  Reply Abort() {
    std::vector<std::uint8_t> args;
    RpcConnection::Put(&args, lid_);
    std::vector<std::uint8_t> results;
    Reply reply;
    reply.answered = abort_.Call(kVxi11AbortProgram, 1, 1, args, &results, std::chrono::seconds(10));
    if (reply.answered) reply.error = RpcConnection::Get(results, 0);
    return reply;
  }

 private:
  // How long to wait for a reply: the call's own time-outs and a margin for a loaded machine.
  static std::chrono::milliseconds Limit(std::uint32_t a, std::uint32_t b) {
    const std::uint64_t longest = a == kVxi11NoTimeout || b == kVxi11NoTimeout ? 600000 : std::uint64_t{a} + b;
    return std::chrono::milliseconds(longest + 15000);
  }
  Reply Run(std::uint32_t proc, const std::vector<std::uint8_t>& args, std::uint32_t timeout_a,
            std::uint32_t timeout_b = 0) {
    Reply reply;
    const auto begin = std::chrono::steady_clock::now();
    reply.answered = core_.Call(kVxi11CoreProgram, 1, proc, args, &last_, Limit(timeout_a, timeout_b));
    reply.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
    if (reply.answered) reply.error = RpcConnection::Get(last_, 0);
    return reply;
  }
  void DecodeRead(Reply* reply) {
    if (!reply->answered) return;
    reply->value = RpcConnection::Get(last_, 4);
    const std::uint32_t length = RpcConnection::Get(last_, 8);
    if (last_.size() >= 12 && length <= last_.size() - 12) {
      reply->data.assign(reinterpret_cast<const char*>(last_.data()) + 12, length);
    }
  }
  std::vector<std::uint8_t> WriteArgs(const std::string& data, std::uint32_t io_timeout, std::uint32_t flags,
                                      std::uint32_t lock_timeout) const {
    std::vector<std::uint8_t> args;
    for (std::uint32_t w : {lid_, io_timeout, lock_timeout, flags}) RpcConnection::Put(&args, w);
    RpcConnection::PutOpaque(&args, data);
    return args;
  }
  std::vector<std::uint8_t> ReadArgs(std::uint32_t io_timeout, std::uint32_t request_size, std::uint32_t flags,
                                     std::uint32_t lock_timeout, std::uint8_t termchar) const {
    std::vector<std::uint8_t> args;
    for (std::uint32_t w : {lid_, request_size, io_timeout, lock_timeout, flags, std::uint32_t{termchar}}) {
      RpcConnection::Put(&args, w);
    }
    return args;
  }
  std::vector<std::uint8_t> GenericArgs(std::uint32_t flags, std::uint32_t lock_timeout,
                                        std::uint32_t io_timeout) const {
    std::vector<std::uint8_t> args;
    for (std::uint32_t w : {lid_, flags, lock_timeout, io_timeout}) RpcConnection::Put(&args, w);
    return args;
  }

  RpcConnection core_;
  RpcConnection abort_;
  std::uint32_t lid_ = 0;
  std::uint16_t abort_port_ = 0;
  std::vector<std::uint8_t> last_;
};

}  // namespace torvex_test
