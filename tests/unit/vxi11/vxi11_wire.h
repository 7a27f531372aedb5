// Helpers of the VXI-11 wire tests: the raw client of support/vxi11_wire_client.h, and a fake link
// table that records what the core and abort channels pass to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "support/vxi11_wire_client.h"
#include "vxi11/CInstrumentServer.h"
#include "vxi11/Vxi11LinkOperations.h"

namespace vxi11_test {

// Records the link operations' arguments; answers from its settings.
struct FakeLinks {
  std::mutex mutex;
  std::string last_name;
  std::uint32_t last_lid = 0;
  std::uint32_t last_lock_timeout = 0;
  std::uint32_t last_io_timeout = 0;
  bool last_waitlock = false;
  bool last_end = false;
  bool last_termchar_set = false;
  std::uint8_t last_termchar = 0;
  Bytes last_data;
  std::uint32_t last_count = 0;
  std::atomic<int> calls{0};
  std::atomic<int> aborts{0};
  std::atomic<int> drops{0};
  std::uint32_t status = 0;  // internal status every operation reports
  std::string read_data = "ABC";
  std::uint32_t read_reason = 4;
  std::uint8_t status_byte = 0x40;
  std::uint32_t next_lid = 7;

  static FakeLinks& Get() {
    static FakeLinks instance;
    return instance;
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    last_name.clear();
    last_lid = last_lock_timeout = last_io_timeout = last_count = 0;
    last_waitlock = last_end = last_termchar_set = false;
    last_termchar = 0;
    last_data.clear();
    calls = 0;
    aborts = 0;
    drops = 0;
    status = 0;
    read_data = "ABC";
    read_reason = 4;
    status_byte = 0x40;
    next_lid = 7;
  }
};

// Records one I/O call (under the mutex) and answers with the set status.
inline void RecordCall(const Vxi11LinkCall& call, const char* name, std::uint32_t* status) {
  auto& f = FakeLinks::Get();
  std::lock_guard<std::mutex> lock(f.mutex);
  ++f.calls;
  f.last_lid = call.lid;
  f.last_waitlock = call.waitlock;
  f.last_lock_timeout = call.lock_timeout;
  f.last_io_timeout = call.io_timeout;
  if (name != nullptr) f.last_name = name;
  *status = f.status;
}

inline const CVxi11LinkOperations* FakeOperations() {
  static const CVxi11LinkOperations ops = {
      .create_link =
          [](CVxi11Connection*, bool, std::uint32_t lock_timeout, const char* name, std::uint32_t* status) {
            auto& f = FakeLinks::Get();
            std::lock_guard<std::mutex> lock(f.mutex);
            ++f.calls;
            f.last_name = name;
            f.last_lock_timeout = lock_timeout;
            *status = f.status;
            return f.status == 0 ? f.next_lid : 0u;
          },
      .destroy_link =
          [](CVxi11Connection*, std::uint32_t lid, std::uint32_t* status) {
            auto& f = FakeLinks::Get();
            std::lock_guard<std::mutex> lock(f.mutex);
            ++f.calls;
            f.last_lid = lid;
            *status = f.status;
          },
      .device_write =
          [](CVxi11Connection*, const Vxi11LinkCall& call, bool end, std::uint32_t length, const std::uint8_t* data,
             std::uint32_t* status) {
            RecordCall(call, nullptr, status);
            auto& f = FakeLinks::Get();
            std::lock_guard<std::mutex> lock(f.mutex);
            f.last_end = end;
            f.last_data.assign(data, data + length);
            return length;
          },
      .device_read =
          [](CVxi11Connection*, const Vxi11LinkCall& call, bool termchar_set, std::uint8_t term_char,
             std::uint32_t count, std::uint8_t* data, std::uint32_t* reason, std::uint32_t* status) {
            RecordCall(call, nullptr, status);
            auto& f = FakeLinks::Get();
            std::lock_guard<std::mutex> lock(f.mutex);
            f.last_termchar_set = termchar_set;
            f.last_termchar = term_char;
            f.last_count = count;
            const auto size = static_cast<std::uint32_t>(f.read_data.size());
            const std::uint32_t n = size < count ? size : count;
            std::memcpy(data, f.read_data.data(), n);
            *reason = f.read_reason;
            return n;
          },
      .device_readstb =
          [](CVxi11Connection* connection, std::uint32_t xid, const Vxi11LinkCall& call, std::uint32_t* status) {
            auto& f = FakeLinks::Get();
            std::uint32_t st = 0;
            std::uint8_t stb = 0;
            {
              std::lock_guard<std::mutex> lock(f.mutex);
              ++f.calls;
              f.last_lid = call.lid;
              st = f.status;
              stb = f.status_byte;
            }
            if (st != 0) {
              *status = st;
              return;
            }
            std::uint32_t send_status = 0;
            connection->SendReadStbReply(xid, stb, 0, &send_status);
            *status = 0;
          },
      .device_trigger = [](CVxi11Connection*, const Vxi11LinkCall& call,
                           std::uint32_t* status) { RecordCall(call, "trigger", status); },
      .device_clear = [](CVxi11Connection*, const Vxi11LinkCall& call,
                         std::uint32_t* status) { RecordCall(call, "clear", status); },
      .device_remote = [](CVxi11Connection*, const Vxi11LinkCall& call,
                          std::uint32_t* status) { RecordCall(call, "remote", status); },
      .device_local = [](CVxi11Connection*, const Vxi11LinkCall& call,
                         std::uint32_t* status) { RecordCall(call, "local", status); },
      .device_lock = [](CVxi11Connection*, const Vxi11LinkCall& call,
                        std::uint32_t* status) { RecordCall(call, "lock", status); },
      .device_unlock =
          [](CVxi11Connection*, std::uint32_t lid, std::uint32_t* status) {
            RecordCall({lid, false, 0, 0}, "unlock", status);
          },
      .enable_srq =
          [](CVxi11Connection*, std::uint32_t lid, bool, std::uint32_t handle_length, const std::uint8_t* handle,
             std::uint32_t* status) {
            auto& f = FakeLinks::Get();
            std::lock_guard<std::mutex> lock(f.mutex);
            ++f.calls;
            f.last_lid = lid;
            f.last_data.assign(handle, handle + handle_length);
            *status = handle_length > 40 ? 0x5434Fu : f.status;
          },
      .device_abort =
          [](CVxi11Connection*, std::uint32_t lid, std::uint32_t* status) {
            auto& f = FakeLinks::Get();
            std::lock_guard<std::mutex> lock(f.mutex);
            ++f.aborts;
            f.last_lid = lid;
            *status = lid == 7 ? 0u : 0x54390u;
          },
      .drop_connection_links = [](CVxi11Connection*) { ++FakeLinks::Get().drops; },
  };
  return &ops;
}

}  // namespace vxi11_test
