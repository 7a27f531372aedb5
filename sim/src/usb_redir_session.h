// The usbredir bridge's connection, shared by its parts: usb_redir_session.cpp (the parser's side
// on the server thread and the hand-off between the threads), usb_redir_enumeration.cpp (the bridge
// enumerating the device and announcing it to the guest) and usb_redir_bus.cpp (the bus thread
// moving the guest's transfers). Built only with libusbredirparser.
#pragma once

#if TORVEX_HAVE_USBREDIR

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "sim/usb_device.h"

#include "sim/usb_redir.h"

namespace sim {

// The parser's callbacks reach the connection through this record.
struct UsbRedirServer::Impl {
  Impl(UsbDeviceController& d, Log l) : device(d), log(std::move(l)) {}

  UsbDeviceController& device;
  Log log;
  int listen_fd = -1;
  int stop_fd = -1;
  std::uint16_t port = 0;
  std::thread server;
  std::atomic<bool> stopping{false};
  std::atomic<unsigned> sessions{0};
  std::atomic<unsigned> announcements{0};

  void Say(const std::string& line) {
    if (log) {
      log(line);
    } else {
      std::fprintf(stderr, "usbredir: %s\n", line.c_str());
    }
  }

  void Serve();
  void RunSession(int fd);
};

namespace redir {

constexpr std::uint8_t kRequestClearFeature = 1;
constexpr std::uint8_t kRequestSetAddress = 5;
constexpr std::uint8_t kRequestGetDescriptor = 6;
constexpr std::uint8_t kRequestGetConfiguration = 8;
constexpr std::uint8_t kRequestSetConfiguration = 9;
constexpr std::uint8_t kRequestGetInterface = 10;
constexpr std::uint8_t kRequestSetInterface = 11;
constexpr std::uint16_t kFeatureEndpointHalt = 0;

// USB 2.0's limits for a control transfer: each data packet within 500 frames, the status stage
// within 50. Bulk and interrupt transfers have none: the guest cancels what it no longer wants.
constexpr std::uint32_t kDataStageFrames = 500;
constexpr std::uint32_t kStatusStageFrames = 50;
// Frames between seeing the pull-up and resetting the device (the host's debounce), and between
// enumeration attempts that failed.
constexpr std::uint32_t kAttachDebounceFrames = 20;
constexpr std::uint32_t kEnumerationRetryFrames = 200;
// Frames the bus thread sleeps when nothing is pending (it still watches the pull-up).
constexpr std::uint32_t kIdleFrames = 5;
// What one connection may have queued on the bus: transfers per endpoint, and OUT bytes in all.
constexpr std::size_t kMaxQueuedTransfers = 256;
constexpr std::size_t kMaxQueuedOutBytes = 16u << 20;

// The ep_info index of an endpoint address: OUT endpoints 0 to 15, IN endpoints 16 to 31.
inline unsigned EpIndex(std::uint8_t address) { return ((address & 0x80) >> 3) | (address & 0x0F); }

inline std::uint8_t SetupType(const std::array<std::uint8_t, 8>& s) { return s[0]; }
inline std::uint8_t SetupRequest(const std::array<std::uint8_t, 8>& s) { return s[1]; }
inline std::uint16_t SetupValue(const std::array<std::uint8_t, 8>& s) {
  return static_cast<std::uint16_t>(s[2] | (s[3] << 8));
}
inline std::uint16_t SetupIndex(const std::array<std::uint8_t, 8>& s) {
  return static_cast<std::uint16_t>(s[4] | (s[5] << 8));
}
inline std::uint16_t SetupLength(const std::array<std::uint8_t, 8>& s) {
  return static_cast<std::uint16_t>(s[6] | (s[7] << 8));
}

inline std::array<std::uint8_t, 8> MakeSetup(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                                             std::uint16_t index, std::uint16_t length) {
  return UsbSetup{type, request, value, index, length}.Bytes();
}

inline const char* StatusName(std::uint8_t status) {
  switch (status) {
    case usb_redir_success: return "success";
    case usb_redir_cancelled: return "cancelled";
    case usb_redir_inval: return "invalid";
    case usb_redir_ioerror: return "I/O error";
    case usb_redir_stall: return "stall";
    case usb_redir_timeout: return "timeout";
    case usb_redir_babble: return "babble";
    default: return "?";
  }
}

// Why a transfer was put on endpoint 0: the guest's control packet, or one of the usbredir requests
// that the bridge turns into a standard request.
enum class ControlPurpose { kPacket, kSetConfiguration, kGetConfiguration, kSetAltSetting, kGetAltSetting, kInternal };

enum class TransferKind { kControl, kBulk, kInterruptOut };

// One transfer on the bus, from the guest's packet to its completion.
struct Transfer {
  std::uint64_t id = 0;
  TransferKind kind = TransferKind::kControl;
  ControlPurpose purpose = ControlPurpose::kPacket;
  std::uint8_t endpoint = 0;  // with the direction bit
  std::array<std::uint8_t, 8> setup{};
  std::uint32_t length = 0;        // bytes asked for (IN) or given (OUT)
  std::vector<std::uint8_t> data;  // OUT data, or what came IN
  // Progress.
  enum class Stage { kSetup, kData, kStatus, kDone } stage = Stage::kSetup;
  std::size_t offset = 0;         // OUT bytes sent
  unsigned toggle = 1;            // control stages' toggle
  std::uint64_t stage_frame = 0;  // the frame the current stage (or its last packet) began in
  bool zero_length_sent = false;
  std::uint8_t status = usb_redir_success;

  bool In() const { return kind == TransferKind::kControl ? (setup[0] & 0x80) != 0 : (endpoint & 0x80) != 0; }
};

// A completion handed from the bus thread to the server thread, which owns the parser.
using Completion = std::function<void(usbredirparser*)>;

// One connection: the parser (server thread) and the bus (its own thread).
class Session {
 public:
  Session(UsbRedirServer::Impl& owner, int fd) : owner_(owner), fd_(fd) {}
  ~Session() {
    StopBus();
    if (parser_ != nullptr) usbredirparser_destroy(parser_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool Init();
  // Serves until the peer goes, a protocol error, or the server stops.
  void Run();

 private:
  // --- server thread: the parser's side -----------------------------------------------------------------
  static Session* Of(void* priv) { return static_cast<Session*>(priv); }
  static void OnLog(void* priv, int level, const char* msg);
  static int OnRead(void* priv, std::uint8_t* data, int count);
  static int OnWrite(void* priv, std::uint8_t* data, int count);
  static void OnHello(void* priv, usb_redir_hello_header* hello);
  static void OnReset(void* priv);
  static void OnSetConfiguration(void* priv, std::uint64_t id, usb_redir_set_configuration_header* h);
  static void OnGetConfiguration(void* priv, std::uint64_t id);
  static void OnSetAltSetting(void* priv, std::uint64_t id, usb_redir_set_alt_setting_header* h);
  static void OnGetAltSetting(void* priv, std::uint64_t id, usb_redir_get_alt_setting_header* h);
  static void OnStartIso(void* priv, std::uint64_t id, usb_redir_start_iso_stream_header* h);
  static void OnStopIso(void* priv, std::uint64_t id, usb_redir_stop_iso_stream_header* h);
  static void OnStartInterrupt(void* priv, std::uint64_t id, usb_redir_start_interrupt_receiving_header* h);
  static void OnStopInterrupt(void* priv, std::uint64_t id, usb_redir_stop_interrupt_receiving_header* h);
  static void OnAllocStreams(void* priv, std::uint64_t id, usb_redir_alloc_bulk_streams_header* h);
  static void OnFreeStreams(void* priv, std::uint64_t id, usb_redir_free_bulk_streams_header* h);
  static void OnCancel(void* priv, std::uint64_t id);
  static void OnFilterReject(void* priv);
  static void OnFilterFilter(void* priv, usbredirfilter_rule* rules, int count);
  static void OnDisconnectAck(void* priv);
  static void OnStartBulkReceiving(void* priv, std::uint64_t id, usb_redir_start_bulk_receiving_header* h);
  static void OnStopBulkReceiving(void* priv, std::uint64_t id, usb_redir_stop_bulk_receiving_header* h);
  static void OnControl(void* priv, std::uint64_t id, usb_redir_control_packet_header* h, std::uint8_t* data, int len);
  static void OnBulk(void* priv, std::uint64_t id, usb_redir_bulk_packet_header* h, std::uint8_t* data, int len);
  static void OnIso(void* priv, std::uint64_t id, usb_redir_iso_packet_header* h, std::uint8_t* data, int len);
  static void OnInterrupt(void* priv, std::uint64_t id, usb_redir_interrupt_packet_header* h, std::uint8_t* data,
                          int len);

  void TakePacketData(std::uint8_t* data, int len, std::vector<std::uint8_t>* out);
  void Unexpected(const char* what) {
    if (!unexpected_reported_)
      owner_.Say(std::string("dropped a ") + what + " packet from the guest (the device's side sends those)");
    unexpected_reported_ = true;
  }
  void DrainCompletions();

  // --- handing work to the bus thread ------------------------------------------------------------------
  void Post(std::function<void()> work);
  void Complete(Completion c);

  // --- bus thread ------------------------------------------------------------------------------------
  void BusLoop();
  void StopBus();
  // Until the device changes or work comes: when `busy`, no later than the frame's room for a packet
  // lasts (or the next frame, when it has none left); else for kIdleFrames frames.
  void WaitForBusOrWork(bool busy);
  // Whether a transaction of `bit_times` fits in the current frame; if so, it takes them.
  bool TakeBus(std::uint32_t bit_times);
  bool Enumerate(std::string* failed_step);
  void BusReset();
  std::uint8_t RunControlNow(const std::array<std::uint8_t, 8>& setup, std::vector<std::uint8_t>* in);
  void Queue(Transfer t);
  void Dequeued(const Transfer& t) { queued_out_bytes_ -= std::min(queued_out_bytes_, t.In() ? 0 : t.data.size()); }
  // One frame's worth of transactions for the transfer; true when it is over.
  bool Step(Transfer& t);
  bool StepControl(Transfer& t);
  bool StepBulkIn(Transfer& t);
  bool StepOut(Transfer& t);
  void Finish(Transfer& t);
  void FailAll(std::uint8_t status);
  void PollInterrupts();
  void SendDeviceInfo(bool connect);
  const UsbRedirDeviceInfo::Endpoint* FindEndpoint(std::uint8_t address) const;
  void ResetToggles(std::optional<std::uint8_t> interface);

  UsbRedirServer::Impl& owner_;
  int fd_;
  int wake_fd_ = -1;
  usbredirparser* parser_ = nullptr;
  bool peer_gone_ = false;
  bool failed_ = false;
  bool unexpected_reported_ = false;

  // Shared between the two threads.
  std::mutex lock_;
  std::condition_variable work_cv_;
  std::deque<std::function<void()>> inbox_;  // run on the bus thread
  std::deque<Completion> outbox_;            // run on the server thread
  bool bus_stop_ = false;
  std::thread bus_;

  // Bus thread only.
  bool started_ = false;          // the peer's hello came
  bool announced_ = false;        // device_connect sent for the device on the bus
  bool device_lost_ = false;      // endpoint 0 went silent: announce the device again
  std::uint8_t bus_address_ = 0;  // 0 after a reset until the bridge's SET_ADDRESS is done
  UsbFrameClock clock_;
  std::optional<std::uint64_t> attached_since_;  // the frame the pull-up was first seen high
  std::uint64_t retry_frame_ = 0;                // no enumeration before this frame
  UsbRedirDeviceInfo info_;
  std::uint8_t configuration_ = 0;
  std::map<unsigned, std::deque<Transfer>> queues_;  // by ep_info index; control on 0
  std::array<unsigned, 32> toggles_{};               // by ep_info index
  struct InterruptIn {
    bool receiving = false;
    bool halted = false;
    std::uint64_t next_frame = 0;  // polled once per bInterval frames
  };
  std::array<InterruptIn, 16> interrupts_{};
  std::uint64_t interrupt_id_ = 0;
  std::size_t queued_out_bytes_ = 0;
  bool overload_reported_ = false;
};

}  // namespace redir
}  // namespace sim

#endif  // TORVEX_HAVE_USBREDIR
