#include "sim/usb_redir.h"

#include <cstdio>

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

namespace sim {

namespace {

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
// Packets one endpoint may move in one frame (a full-speed frame carries about 19 of 64 bytes).
constexpr unsigned kPacketsPerFrame = 19;
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
unsigned EpIndex(std::uint8_t address) { return ((address & 0x80) >> 3) | (address & 0x0F); }

std::uint8_t SetupType(const std::array<std::uint8_t, 8>& s) { return s[0]; }
std::uint8_t SetupRequest(const std::array<std::uint8_t, 8>& s) { return s[1]; }
std::uint16_t SetupValue(const std::array<std::uint8_t, 8>& s) { return static_cast<std::uint16_t>(s[2] | (s[3] << 8)); }
std::uint16_t SetupIndex(const std::array<std::uint8_t, 8>& s) { return static_cast<std::uint16_t>(s[4] | (s[5] << 8)); }
std::uint16_t SetupLength(const std::array<std::uint8_t, 8>& s) { return static_cast<std::uint16_t>(s[6] | (s[7] << 8)); }

std::array<std::uint8_t, 8> MakeSetup(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                                      std::uint16_t length) {
  return {type,
          request,
          static_cast<std::uint8_t>(value & 0xFF),
          static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(index & 0xFF),
          static_cast<std::uint8_t>(index >> 8),
          static_cast<std::uint8_t>(length & 0xFF),
          static_cast<std::uint8_t>(length >> 8)};
}

const char* StatusName(std::uint8_t status) {
  switch (status) {
    case usb_redir_success:
      return "success";
    case usb_redir_cancelled:
      return "cancelled";
    case usb_redir_inval:
      return "invalid";
    case usb_redir_ioerror:
      return "I/O error";
    case usb_redir_stall:
      return "stall";
    case usb_redir_timeout:
      return "timeout";
    case usb_redir_babble:
      return "babble";
    default:
      return "?";
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
  std::uint32_t length = 0;         // bytes asked for (IN) or given (OUT)
  std::vector<std::uint8_t> data;   // OUT data, or what came IN
  // Progress.
  enum class Stage { kSetup, kData, kStatus, kDone } stage = Stage::kSetup;
  std::size_t offset = 0;  // OUT bytes sent
  unsigned toggle = 1;     // control stages' toggle
  std::uint32_t waited = 0;
  bool zero_length_sent = false;
  std::uint8_t status = usb_redir_success;

  bool In() const { return kind == TransferKind::kControl ? (setup[0] & 0x80) != 0 : (endpoint & 0x80) != 0; }
};

// A completion handed from the bus thread to the server thread, which owns the parser.
using Completion = std::function<void(usbredirparser*)>;

}  // namespace

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

namespace {

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
    if (!unexpected_reported_) owner_.Say(std::string("dropped a ") + what + " packet from the guest (the device's side sends those)");
    unexpected_reported_ = true;
  }
  void DrainCompletions();

  // --- handing work to the bus thread ------------------------------------------------------------------
  void Post(std::function<void()> work);
  void Complete(Completion c);

  // --- bus thread ------------------------------------------------------------------------------------
  void BusLoop();
  void StopBus();
  void WaitFramesOrWork(std::uint32_t frames);
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
  bool started_ = false;    // the peer's hello came
  bool announced_ = false;  // device_connect sent for the device on the bus
  bool device_lost_ = false;  // endpoint 0 went silent: announce the device again
  std::uint8_t bus_address_ = 0;  // 0 after a reset until the bridge's SET_ADDRESS is done
  std::uint32_t attached_frames_ = 0;
  std::uint32_t retry_frames_ = 0;
  UsbRedirDeviceInfo info_;
  std::uint8_t configuration_ = 0;
  std::map<unsigned, std::deque<Transfer>> queues_;  // by ep_info index; control on 0
  std::array<unsigned, 32> toggles_{};               // by ep_info index
  struct InterruptIn {
    bool receiving = false;
    bool halted = false;
    std::uint32_t countdown = 0;
  };
  std::array<InterruptIn, 16> interrupts_{};
  std::uint64_t interrupt_id_ = 0;
  std::size_t queued_out_bytes_ = 0;
  bool overload_reported_ = false;
};

bool Session::Init() {
  wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) return false;
  parser_ = usbredirparser_create();
  if (parser_ == nullptr) return false;
  parser_->priv = this;
  parser_->log_func = OnLog;
  parser_->read_func = OnRead;
  parser_->write_func = OnWrite;
  parser_->hello_func = OnHello;
  parser_->reset_func = OnReset;
  parser_->set_configuration_func = OnSetConfiguration;
  parser_->get_configuration_func = OnGetConfiguration;
  parser_->set_alt_setting_func = OnSetAltSetting;
  parser_->get_alt_setting_func = OnGetAltSetting;
  parser_->start_iso_stream_func = OnStartIso;
  parser_->stop_iso_stream_func = OnStopIso;
  parser_->start_interrupt_receiving_func = OnStartInterrupt;
  parser_->stop_interrupt_receiving_func = OnStopInterrupt;
  parser_->alloc_bulk_streams_func = OnAllocStreams;
  parser_->free_bulk_streams_func = OnFreeStreams;
  parser_->cancel_data_packet_func = OnCancel;
  parser_->filter_reject_func = OnFilterReject;
  parser_->filter_filter_func = OnFilterFilter;
  parser_->device_disconnect_ack_func = OnDisconnectAck;
  parser_->start_bulk_receiving_func = OnStartBulkReceiving;
  parser_->stop_bulk_receiving_func = OnStopBulkReceiving;
  parser_->control_packet_func = OnControl;
  parser_->bulk_packet_func = OnBulk;
  parser_->iso_packet_func = OnIso;
  parser_->interrupt_packet_func = OnInterrupt;
  // The library calls a packet's callback without looking whether it is set: the packets that only
  // the device's side sends are given handlers that drop them, so a guest sending one cannot crash
  // the board.
  parser_->device_connect_func = [](void* priv, usb_redir_device_connect_header*) { Of(priv)->Unexpected("device_connect"); };
  parser_->device_disconnect_func = [](void* priv) { Of(priv)->Unexpected("device_disconnect"); };
  parser_->interface_info_func = [](void* priv, usb_redir_interface_info_header*) { Of(priv)->Unexpected("interface_info"); };
  parser_->ep_info_func = [](void* priv, usb_redir_ep_info_header*) { Of(priv)->Unexpected("ep_info"); };
  parser_->configuration_status_func = [](void* priv, std::uint64_t, usb_redir_configuration_status_header*) {
    Of(priv)->Unexpected("configuration_status");
  };
  parser_->alt_setting_status_func = [](void* priv, std::uint64_t, usb_redir_alt_setting_status_header*) {
    Of(priv)->Unexpected("alt_setting_status");
  };
  parser_->iso_stream_status_func = [](void* priv, std::uint64_t, usb_redir_iso_stream_status_header*) {
    Of(priv)->Unexpected("iso_stream_status");
  };
  parser_->interrupt_receiving_status_func = [](void* priv, std::uint64_t, usb_redir_interrupt_receiving_status_header*) {
    Of(priv)->Unexpected("interrupt_receiving_status");
  };
  parser_->bulk_streams_status_func = [](void* priv, std::uint64_t, usb_redir_bulk_streams_status_header*) {
    Of(priv)->Unexpected("bulk_streams_status");
  };
  parser_->bulk_receiving_status_func = [](void* priv, std::uint64_t, usb_redir_bulk_receiving_status_header*) {
    Of(priv)->Unexpected("bulk_receiving_status");
  };
  parser_->buffered_bulk_packet_func = [](void* priv, std::uint64_t, usb_redir_buffered_bulk_packet_header*,
                                          std::uint8_t* data, int len) {
    Of(priv)->TakePacketData(data, len, nullptr);
    Of(priv)->Unexpected("buffered_bulk_packet");
  };
  std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_init(parser_, "torvex board usbredir", caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
  bus_ = std::thread([this] { BusLoop(); });
  return true;
}

void Session::Run() {
  for (;;) {
    DrainCompletions();
    if (usbredirparser_has_data_to_write(parser_) > 0 && usbredirparser_do_write(parser_) != 0) {
      owner_.Say("connection lost while sending");
      return;
    }
    if (peer_gone_ || failed_) return;
    pollfd fds[4] = {};
    fds[0].fd = fd_;
    fds[0].events = static_cast<short>(POLLIN | (usbredirparser_has_data_to_write(parser_) > 0 ? POLLOUT : 0));
    fds[1].fd = wake_fd_;
    fds[1].events = POLLIN;
    fds[2].fd = owner_.stop_fd;
    fds[2].events = POLLIN;
    fds[3].fd = owner_.listen_fd;
    fds[3].events = POLLIN;
    if (::poll(fds, 4, -1) < 0) {
      if (errno == EINTR) continue;
      owner_.Say(std::string("poll failed: ") + std::strerror(errno));
      return;
    }
    if ((fds[2].revents & POLLIN) != 0 || owner_.stopping.load()) return;
    if ((fds[1].revents & POLLIN) != 0) {
      std::uint64_t v = 0;
      [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &v, sizeof v);
    }
    if ((fds[3].revents & POLLIN) != 0) {
      const int extra = ::accept4(owner_.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (extra >= 0) {
        owner_.Say("refused a second connection: one guest at a time");
        ::close(extra);
      }
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const int r = usbredirparser_do_read(parser_);
      if (r == usbredirparser_read_parse_error) {
        owner_.Say("protocol error from the guest; connection closed");
        return;
      }
      if (r != 0 && !peer_gone_) {
        owner_.Say("connection read failed");
        return;
      }
    }
  }
}

void Session::OnLog(void* priv, int level, const char* msg) {
  if (level <= usbredirparser_warning) Of(priv)->owner_.Say(std::string("parser: ") + msg);
}

int Session::OnRead(void* priv, std::uint8_t* data, int count) {
  Session* s = Of(priv);
  const ssize_t n = ::recv(s->fd_, data, static_cast<std::size_t>(count), MSG_DONTWAIT);
  if (n > 0) return static_cast<int>(n);
  if (n == 0) {
    s->peer_gone_ = true;
    s->owner_.Say("guest disconnected");
    return -1;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  s->peer_gone_ = true;
  s->owner_.Say(std::string("guest connection failed: ") + std::strerror(errno));
  return -1;
}

int Session::OnWrite(void* priv, std::uint8_t* data, int count) {
  Session* s = Of(priv);
  const ssize_t n = ::send(s->fd_, data, static_cast<std::size_t>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  s->peer_gone_ = true;
  return -1;
}

void Session::TakePacketData(std::uint8_t* data, int len, std::vector<std::uint8_t>* out) {
  if (data == nullptr) return;
  if (out != nullptr && len > 0) out->assign(data, data + len);
  usbredirparser_free_packet_data(parser_, data);
}

void Session::OnHello(void* priv, usb_redir_hello_header* hello) {
  Session* s = Of(priv);
  std::string version(hello->version, strnlen(hello->version, sizeof hello->version));
  s->owner_.Say("guest \"" + version + "\" connected");
  s->Post([s] { s->started_ = true; });
}

void Session::OnReset(void* priv) {
  Session* s = Of(priv);
  s->Post([s] {
    if (!s->announced_) return;
    s->owner_.Say("bus reset by the guest");
    s->FailAll(usb_redir_cancelled);
    s->BusReset();
    std::vector<std::uint8_t> none;
    const std::uint8_t status =
        s->RunControlNow(MakeSetup(0x00, kRequestSetAddress, UsbRedirServer::kDeviceAddress, 0, 0), &none);
    if (status != usb_redir_success) s->owner_.Say(std::string("address after reset: ") + StatusName(status));
  });
}

void Session::OnSetConfiguration(void* priv, std::uint64_t id, usb_redir_set_configuration_header* h) {
  Session* s = Of(priv);
  const std::uint8_t value = h->configuration;
  s->Post([s, id, value] {
    Transfer t;
    t.id = id;
    t.purpose = ControlPurpose::kSetConfiguration;
    t.setup = MakeSetup(0x00, kRequestSetConfiguration, value, 0, 0);
    s->Queue(std::move(t));
  });
}

void Session::OnGetConfiguration(void* priv, std::uint64_t id) {
  Session* s = Of(priv);
  s->Post([s, id] {
    Transfer t;
    t.id = id;
    t.purpose = ControlPurpose::kGetConfiguration;
    t.setup = MakeSetup(0x80, kRequestGetConfiguration, 0, 0, 1);
    t.length = 1;
    s->Queue(std::move(t));
  });
}

void Session::OnSetAltSetting(void* priv, std::uint64_t id, usb_redir_set_alt_setting_header* h) {
  Session* s = Of(priv);
  const std::uint8_t interface = h->interface;
  const std::uint8_t alt = h->alt;
  s->Post([s, id, interface, alt] {
    Transfer t;
    t.id = id;
    t.purpose = ControlPurpose::kSetAltSetting;
    t.setup = MakeSetup(0x01, kRequestSetInterface, alt, interface, 0);
    s->Queue(std::move(t));
  });
}

void Session::OnGetAltSetting(void* priv, std::uint64_t id, usb_redir_get_alt_setting_header* h) {
  Session* s = Of(priv);
  const std::uint8_t interface = h->interface;
  s->Post([s, id, interface] {
    Transfer t;
    t.id = id;
    t.purpose = ControlPurpose::kGetAltSetting;
    t.setup = MakeSetup(0x81, kRequestGetInterface, 0, interface, 1);
    t.length = 1;
    s->Queue(std::move(t));
  });
}

void Session::OnStartIso(void* priv, std::uint64_t id, usb_redir_start_iso_stream_header* h) {
  Session* s = Of(priv);
  usb_redir_iso_stream_status_header r{usb_redir_inval, h->endpoint};
  usbredirparser_send_iso_stream_status(s->parser_, id, &r);
}

void Session::OnStopIso(void* priv, std::uint64_t id, usb_redir_stop_iso_stream_header* h) {
  Session* s = Of(priv);
  usb_redir_iso_stream_status_header r{usb_redir_inval, h->endpoint};
  usbredirparser_send_iso_stream_status(s->parser_, id, &r);
}

void Session::OnStartInterrupt(void* priv, std::uint64_t id, usb_redir_start_interrupt_receiving_header* h) {
  Session* s = Of(priv);
  const std::uint8_t ep = h->endpoint;
  s->Post([s, id, ep] {
    const UsbRedirDeviceInfo::Endpoint* e = s->FindEndpoint(ep);
    std::uint8_t status = usb_redir_success;
    if (!s->announced_ || e == nullptr || e->type != usb_redir_type_interrupt || (ep & 0x80) == 0) {
      status = usb_redir_inval;
    } else {
      auto& r = s->interrupts_[ep & 0x0F];
      r.receiving = true;
      r.countdown = 0;
    }
    s->Complete([id, ep, status](usbredirparser* p) {
      usb_redir_interrupt_receiving_status_header r{status, ep};
      usbredirparser_send_interrupt_receiving_status(p, id, &r);
    });
  });
}

void Session::OnStopInterrupt(void* priv, std::uint64_t id, usb_redir_stop_interrupt_receiving_header* h) {
  Session* s = Of(priv);
  const std::uint8_t ep = h->endpoint;
  s->Post([s, id, ep] {
    const UsbRedirDeviceInfo::Endpoint* e = s->FindEndpoint(ep);
    std::uint8_t status = usb_redir_success;
    if (e == nullptr || e->type != usb_redir_type_interrupt || (ep & 0x80) == 0) {
      status = usb_redir_inval;
    } else {
      s->interrupts_[ep & 0x0F].receiving = false;
    }
    s->Complete([id, ep, status](usbredirparser* p) {
      usb_redir_interrupt_receiving_status_header r{status, ep};
      usbredirparser_send_interrupt_receiving_status(p, id, &r);
    });
  });
}

void Session::OnAllocStreams(void* priv, std::uint64_t id, usb_redir_alloc_bulk_streams_header* h) {
  Session* s = Of(priv);
  usb_redir_bulk_streams_status_header r{h->endpoints, 0, usb_redir_inval};
  usbredirparser_send_bulk_streams_status(s->parser_, id, &r);
}

void Session::OnFreeStreams(void* priv, std::uint64_t id, usb_redir_free_bulk_streams_header* h) {
  Session* s = Of(priv);
  usb_redir_bulk_streams_status_header r{h->endpoints, 0, usb_redir_inval};
  usbredirparser_send_bulk_streams_status(s->parser_, id, &r);
}

void Session::OnCancel(void* priv, std::uint64_t id) {
  Session* s = Of(priv);
  s->Post([s, id] {
    for (auto& [index, queue] : s->queues_) {
      for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->id != id) continue;
        Transfer t = std::move(*it);
        queue.erase(it);
        s->Dequeued(t);
        t.status = usb_redir_cancelled;
        s->Finish(t);
        return;
      }
    }
  });
}

void Session::OnFilterReject(void*) {}

void Session::OnFilterFilter(void*, usbredirfilter_rule* rules, int) { std::free(rules); }

void Session::OnDisconnectAck(void*) {}

void Session::OnStartBulkReceiving(void* priv, std::uint64_t id, usb_redir_start_bulk_receiving_header* h) {
  Session* s = Of(priv);
  usb_redir_bulk_receiving_status_header r{h->stream_id, h->endpoint, usb_redir_inval};
  usbredirparser_send_bulk_receiving_status(s->parser_, id, &r);
}

void Session::OnStopBulkReceiving(void* priv, std::uint64_t id, usb_redir_stop_bulk_receiving_header* h) {
  Session* s = Of(priv);
  usb_redir_bulk_receiving_status_header r{h->stream_id, h->endpoint, usb_redir_inval};
  usbredirparser_send_bulk_receiving_status(s->parser_, id, &r);
}

void Session::OnControl(void* priv, std::uint64_t id, usb_redir_control_packet_header* h, std::uint8_t* data,
                        int len) {
  Session* s = Of(priv);
  Transfer t;
  t.id = id;
  t.endpoint = h->endpoint;
  t.setup = MakeSetup(h->requesttype, h->request, h->value, h->index, h->length);
  t.length = h->length;
  s->TakePacketData(data, len, &t.data);
  const bool in = (h->requesttype & 0x80) != 0;
  // Direction in the endpoint field and the request type agree; OUT data is all there, IN has none.
  const bool valid = (h->endpoint & 0x7F) == 0 && ((h->endpoint & 0x80) != 0) == in &&
                     (in ? len <= 0 : static_cast<std::size_t>(std::max(len, 0)) == h->length);
  if (!valid) {
    usb_redir_control_packet_header r = *h;
    r.status = usb_redir_inval;
    r.length = 0;
    usbredirparser_send_control_packet(s->parser_, id, &r, nullptr, 0);
    return;
  }
  s->Post([s, t = std::move(t)]() mutable { s->Queue(std::move(t)); });
}

void Session::OnBulk(void* priv, std::uint64_t id, usb_redir_bulk_packet_header* h, std::uint8_t* data, int len) {
  Session* s = Of(priv);
  Transfer t;
  t.id = id;
  t.kind = TransferKind::kBulk;
  t.endpoint = h->endpoint;
  t.length = static_cast<std::uint32_t>(h->length) | (static_cast<std::uint32_t>(h->length_high) << 16);
  s->TakePacketData(data, len, &t.data);
  const bool in = (h->endpoint & 0x80) != 0;
  const bool valid = h->stream_id == 0 && (in ? len <= 0 : static_cast<std::size_t>(std::max(len, 0)) == t.length);
  if (!valid) {
    usb_redir_bulk_packet_header r = *h;
    r.status = usb_redir_inval;
    r.length = 0;
    r.length_high = 0;
    usbredirparser_send_bulk_packet(s->parser_, id, &r, nullptr, 0);
    return;
  }
  s->Post([s, t = std::move(t)]() mutable { s->Queue(std::move(t)); });
}

void Session::OnIso(void* priv, std::uint64_t id, usb_redir_iso_packet_header* h, std::uint8_t* data, int len) {
  Session* s = Of(priv);
  s->TakePacketData(data, len, nullptr);
  usb_redir_iso_packet_header r{h->endpoint, usb_redir_inval, 0};
  usbredirparser_send_iso_packet(s->parser_, id, &r, nullptr, 0);
}

void Session::OnInterrupt(void* priv, std::uint64_t id, usb_redir_interrupt_packet_header* h, std::uint8_t* data,
                          int len) {
  Session* s = Of(priv);
  Transfer t;
  t.id = id;
  t.kind = TransferKind::kInterruptOut;
  t.endpoint = h->endpoint;
  t.length = h->length;
  s->TakePacketData(data, len, &t.data);
  // Interrupt IN goes through start_interrupt_receiving; a packet carries OUT data only.
  if ((h->endpoint & 0x80) != 0 || static_cast<std::size_t>(std::max(len, 0)) != h->length) {
    usb_redir_interrupt_packet_header r{h->endpoint, usb_redir_inval, 0};
    usbredirparser_send_interrupt_packet(s->parser_, id, &r, nullptr, 0);
    return;
  }
  s->Post([s, t = std::move(t)]() mutable { s->Queue(std::move(t)); });
}

void Session::Post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> g(lock_);
    inbox_.push_back(std::move(work));
  }
  work_cv_.notify_one();
}

void Session::Complete(Completion c) {
  {
    std::lock_guard<std::mutex> g(lock_);
    outbox_.push_back(std::move(c));
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void Session::DrainCompletions() {
  std::deque<Completion> ready;
  {
    std::lock_guard<std::mutex> g(lock_);
    ready.swap(outbox_);
  }
  for (Completion& c : ready) c(parser_);
}

void Session::StopBus() {
  {
    std::lock_guard<std::mutex> g(lock_);
    bus_stop_ = true;
  }
  work_cv_.notify_all();
  if (bus_.joinable()) bus_.join();
}

// --- bus thread ------------------------------------------------------------------------------------------

void Session::WaitFramesOrWork(std::uint32_t frames) {
  std::unique_lock<std::mutex> g(lock_);
  work_cv_.wait_for(g, UsbHost::FramePeriod() * frames, [this] { return bus_stop_ || !inbox_.empty(); });
}

const UsbRedirDeviceInfo::Endpoint* Session::FindEndpoint(std::uint8_t address) const {
  for (const auto& e : info_.endpoints) {
    if (e.address == address) return &e;
  }
  return nullptr;
}

void Session::ResetToggles(std::optional<std::uint8_t> interface) {
  for (const auto& e : info_.endpoints) {
    if (interface.has_value() && e.interface != *interface) continue;
    toggles_[EpIndex(e.address)] = 0;
    if ((e.address & 0x80) != 0) interrupts_[e.address & 0x0F].halted = false;
  }
}

void Session::BusReset() {
  UsbDeviceController& d = owner_.device;
  d.BeginReset();
  std::this_thread::sleep_for(UsbHost::FramePeriod() * 10);
  d.EndReset();
  std::this_thread::sleep_for(UsbHost::FramePeriod() * 10);
  toggles_.fill(0);
  for (auto& r : interrupts_) r.halted = false;
  configuration_ = 0;
  bus_address_ = 0;
}

std::uint8_t Session::RunControlNow(const std::array<std::uint8_t, 8>& setup, std::vector<std::uint8_t>* in) {
  Transfer t;
  t.purpose = ControlPurpose::kInternal;
  t.setup = setup;
  t.length = SetupLength(setup);
  while (!StepControl(t)) {
    {
      std::lock_guard<std::mutex> g(lock_);
      if (bus_stop_) return usb_redir_cancelled;
    }
    std::this_thread::sleep_for(UsbHost::FramePeriod());
  }
  *in = std::move(t.data);
  if (t.status == usb_redir_success && SetupType(setup) == 0x00 && SetupRequest(setup) == kRequestSetAddress) {
    bus_address_ = static_cast<std::uint8_t>(SetupValue(setup));
  }
  return t.status;
}

bool Session::Enumerate(std::string* failed_step) {
  BusReset();
  std::vector<std::uint8_t> data;
  auto step = [&](const char* name, const std::array<std::uint8_t, 8>& setup) {
    data.clear();
    const std::uint8_t status = RunControlNow(setup, &data);
    if (status != usb_redir_success) {
      *failed_step = std::string(name) + ": " + StatusName(status);
      return false;
    }
    return true;
  };
  UsbRedirDeviceInfo info;
  std::string error;
  // The first 8 bytes of the device descriptor at address 0 give endpoint 0's packet size.
  info_.max_packet0 = 8;
  if (!step("device descriptor at address 0", MakeSetup(0x80, kRequestGetDescriptor, 0x0100, 0, 8))) return false;
  if (!ParseUsbDeviceDescriptor(data.data(), data.size(), &info, &error)) {
    *failed_step = "device descriptor: " + error;
    return false;
  }
  info_.max_packet0 = info.max_packet0;
  if (!step("set address", MakeSetup(0x00, kRequestSetAddress, UsbRedirServer::kDeviceAddress, 0, 0))) return false;
  if (!step("device descriptor", MakeSetup(0x80, kRequestGetDescriptor, 0x0100, 0, 18))) return false;
  if (!ParseUsbDeviceDescriptor(data.data(), data.size(), &info, &error) || data.size() < 18) {
    *failed_step = "device descriptor: " + (error.empty() ? std::string("short") : error);
    return false;
  }
  if (!step("configuration header", MakeSetup(0x80, kRequestGetDescriptor, 0x0200, 0, 9))) return false;
  if (data.size() < 9) {
    *failed_step = "configuration header: short";
    return false;
  }
  const std::uint16_t total = static_cast<std::uint16_t>(data[2] | (data[3] << 8));
  if (!step("configuration", MakeSetup(0x80, kRequestGetDescriptor, 0x0200, 0, total))) return false;
  if (!ParseUsbConfiguration(data.data(), data.size(), &info, &error)) {
    *failed_step = "configuration: " + error;
    return false;
  }
  info_ = std::move(info);
  configuration_ = 0;
  return true;
}

void Session::SendDeviceInfo(bool connect) {
  usb_redir_interface_info_header interfaces{};
  usb_redir_ep_info_header eps{};
  std::fill(std::begin(eps.type), std::end(eps.type), static_cast<std::uint8_t>(usb_redir_type_invalid));
  eps.type[0] = eps.type[16] = usb_redir_type_control;
  eps.max_packet_size[0] = eps.max_packet_size[16] = info_.max_packet0;
  // The interfaces and their endpoints exist while the device is configured.
  if (configuration_ != 0 || connect) {
    for (const auto& i : info_.interfaces) {
      const std::uint32_t n = interfaces.interface_count++;
      interfaces.interface[n] = i.number;
      interfaces.interface_class[n] = i.interface_class;
      interfaces.interface_subclass[n] = i.subclass;
      interfaces.interface_protocol[n] = i.protocol;
    }
    for (const auto& e : info_.endpoints) {
      const unsigned n = EpIndex(e.address);
      eps.type[n] = e.type;
      eps.interval[n] = e.interval;
      eps.interface[n] = e.interface;
      eps.max_packet_size[n] = e.max_packet;
    }
  }
  usb_redir_device_connect_header device{};
  device.speed = usb_redir_speed_full;
  device.device_class = info_.device_class;
  device.device_subclass = info_.device_subclass;
  device.device_protocol = info_.device_protocol;
  device.vendor_id = info_.vendor_id;
  device.product_id = info_.product_id;
  device.device_version_bcd = info_.device_release;
  Complete([interfaces, eps, device, connect](usbredirparser* p) mutable {
    usbredirparser_send_interface_info(p, &interfaces);
    usbredirparser_send_ep_info(p, &eps);
    if (connect) usbredirparser_send_device_connect(p, &device);
  });
}

void Session::Queue(Transfer t) {
  unsigned index = 0;
  std::uint8_t status = usb_redir_success;
  if (!announced_) {
    status = usb_redir_ioerror;
  } else if (t.kind == TransferKind::kControl) {
    // The bridge owns the device's address: a SET_ADDRESS from the guest is answered here.
    if (t.purpose == ControlPurpose::kPacket && SetupType(t.setup) == 0x00 && SetupRequest(t.setup) == kRequestSetAddress) {
      Finish(t);
      return;
    }
  } else {
    const UsbRedirDeviceInfo::Endpoint* e = FindEndpoint(t.endpoint);
    const std::uint8_t want = t.kind == TransferKind::kBulk ? usb_redir_type_bulk : usb_redir_type_interrupt;
    if (e == nullptr || e->type != want || configuration_ == 0) {
      status = usb_redir_inval;
    } else {
      index = EpIndex(t.endpoint);
    }
  }
  std::deque<Transfer>& queue = queues_[index];
  // A guest that queues without end (or more OUT data than any transfer needs) is refused, not
  // followed until the board runs out of memory.
  if (status == usb_redir_success &&
      (queue.size() >= kMaxQueuedTransfers || queued_out_bytes_ + t.data.size() > kMaxQueuedOutBytes)) {
    status = usb_redir_ioerror;
    if (!overload_reported_) {
      owner_.Say("too many transfers queued by the guest; refused");
      overload_reported_ = true;
    }
  }
  if (status != usb_redir_success) {
    t.status = status;
    Finish(t);
    return;
  }
  queued_out_bytes_ += t.data.size();
  queue.push_back(std::move(t));
}

bool Session::Step(Transfer& t) {
  if (t.kind == TransferKind::kControl) return StepControl(t);
  return t.In() ? StepBulkIn(t) : StepOut(t);
}

bool Session::StepControl(Transfer& t) {
  UsbDeviceController& d = owner_.device;
  const std::uint8_t a = bus_address_;
  auto fail = [&](UsbHandshake h) {
    t.status = h == UsbHandshake::kStall ? usb_redir_stall : usb_redir_ioerror;
    // Endpoint 0 always answers a device at its address: silence means it has left the bus or come
    // back in its default state (a detach and attach between two looks at the pull-up).
    if (h == UsbHandshake::kNone && announced_) device_lost_ = true;
    t.stage = Transfer::Stage::kDone;
    return true;
  };
  if (t.stage == Transfer::Stage::kSetup) {
    const UsbHandshake h = d.Setup(a, t.setup);
    if (h != UsbHandshake::kAck) return fail(h);
    t.stage = SetupLength(t.setup) == 0 ? Transfer::Stage::kStatus : Transfer::Stage::kData;
    t.toggle = 1;
    t.waited = 0;
    if (t.In()) t.data.clear();
  }
  const std::size_t maxp = info_.max_packet0;
  const std::uint16_t length = SetupLength(t.setup);
  for (unsigned packets = 0; t.stage == Transfer::Stage::kData && packets < kPacketsPerFrame; ++packets) {
    UsbHandshake h;
    if (t.In()) {
      std::vector<std::uint8_t> packet;
      unsigned toggle = 0;
      h = d.In(a, 0, &packet, &toggle);
      if (h == UsbHandshake::kAck) {
        t.waited = 0;
        if (toggle != t.toggle) continue;  // a repeat of a packet already taken
        if (packet.size() > maxp || t.data.size() + packet.size() > length) {
          t.status = usb_redir_babble;
          t.stage = Transfer::Stage::kDone;
          return true;
        }
        t.toggle ^= 1u;
        t.data.insert(t.data.end(), packet.begin(), packet.end());
        if (packet.size() < maxp || t.data.size() == length) {
          t.stage = Transfer::Stage::kStatus;
          t.waited = 0;
        }
        continue;
      }
    } else {
      const std::size_t n = std::min(maxp, t.data.size() - t.offset);
      h = d.Out(a, 0, t.data.data() + t.offset, n, t.toggle);
      if (h == UsbHandshake::kAck) {
        t.waited = 0;
        t.toggle ^= 1u;
        t.offset += n;
        if (t.offset >= t.data.size()) {
          t.stage = Transfer::Stage::kStatus;
          t.waited = 0;
        }
        continue;
      }
    }
    if (h != UsbHandshake::kNak) return fail(h);
    if (++t.waited > kDataStageFrames) {
      t.status = usb_redir_timeout;
      t.stage = Transfer::Stage::kDone;
      return true;
    }
    return false;
  }
  if (t.stage != Transfer::Stage::kStatus) return false;
  UsbHandshake h;
  if (t.In() && length > 0) {
    h = d.Out(a, 0, nullptr, 0, 1);
  } else {
    std::vector<std::uint8_t> packet;
    unsigned toggle = 0;
    h = d.In(a, 0, &packet, &toggle);
    if (h == UsbHandshake::kAck && !packet.empty()) {
      t.status = usb_redir_ioerror;  // data in a status stage
      t.stage = Transfer::Stage::kDone;
      return true;
    }
  }
  if (h == UsbHandshake::kAck) {
    t.status = usb_redir_success;
    t.stage = Transfer::Stage::kDone;
    return true;
  }
  if (h != UsbHandshake::kNak) return fail(h);
  if (++t.waited > kStatusStageFrames) {
    t.status = usb_redir_timeout;
    t.stage = Transfer::Stage::kDone;
    return true;
  }
  return false;
}

bool Session::StepBulkIn(Transfer& t) {
  UsbDeviceController& d = owner_.device;
  const UsbRedirDeviceInfo::Endpoint* e = FindEndpoint(t.endpoint);
  const std::size_t maxp = e != nullptr ? e->max_packet : hw::usbd::kFifoSize;
  unsigned& expected = toggles_[EpIndex(t.endpoint)];
  for (unsigned packets = 0; packets < kPacketsPerFrame; ++packets) {
    std::vector<std::uint8_t> packet;
    unsigned toggle = 0;
    const UsbHandshake h = d.In(bus_address_, t.endpoint & 0x0F, &packet, &toggle);
    if (h == UsbHandshake::kNak) return false;
    if (h != UsbHandshake::kAck) {
      t.status = h == UsbHandshake::kStall ? usb_redir_stall : usb_redir_ioerror;
      return true;
    }
    if (toggle != expected) continue;  // a repeat the host has already taken
    if (packet.size() > maxp || t.data.size() + packet.size() > t.length) {
      t.status = usb_redir_babble;
      return true;
    }
    expected ^= 1u;
    t.data.insert(t.data.end(), packet.begin(), packet.end());
    if (packet.size() < maxp || t.data.size() == t.length) {
      t.status = usb_redir_success;
      return true;
    }
  }
  return false;
}

bool Session::StepOut(Transfer& t) {
  UsbDeviceController& d = owner_.device;
  const UsbRedirDeviceInfo::Endpoint* e = FindEndpoint(t.endpoint);
  const std::size_t maxp = e != nullptr ? e->max_packet : hw::usbd::kFifoSize;
  unsigned& toggle = toggles_[EpIndex(t.endpoint)];
  for (unsigned packets = 0; packets < kPacketsPerFrame; ++packets) {
    if (t.offset >= t.data.size() && (t.zero_length_sent || !t.data.empty())) {
      t.status = usb_redir_success;
      return true;
    }
    const std::size_t n = std::min(maxp, t.data.size() - t.offset);
    const UsbHandshake h = d.Out(bus_address_, t.endpoint & 0x0F, t.data.data() + t.offset, n, toggle);
    if (h == UsbHandshake::kNak) return false;
    if (h != UsbHandshake::kAck) {
      t.status = h == UsbHandshake::kStall ? usb_redir_stall : usb_redir_ioerror;
      return true;
    }
    toggle ^= 1u;
    t.offset += n;
    if (n == 0) t.zero_length_sent = true;
  }
  if (t.offset >= t.data.size() && (t.zero_length_sent || !t.data.empty())) {
    t.status = usb_redir_success;
    return true;
  }
  return false;
}

void Session::Finish(Transfer& t) {
  const std::uint64_t id = t.id;
  const std::uint8_t status = t.status;
  if (t.kind == TransferKind::kControl) {
    const bool ok = status == usb_redir_success;
    const std::array<std::uint8_t, 8>& s = t.setup;
    switch (t.purpose) {
      case ControlPurpose::kInternal:
        return;
      case ControlPurpose::kSetConfiguration: {
        if (ok) {
          configuration_ = static_cast<std::uint8_t>(SetupValue(s));
          ResetToggles(std::nullopt);
          SendDeviceInfo(false);
        }
        usb_redir_configuration_status_header r{status, configuration_};
        Complete([id, r](usbredirparser* p) mutable { usbredirparser_send_configuration_status(p, id, &r); });
        return;
      }
      case ControlPurpose::kGetConfiguration: {
        const std::uint8_t value = ok && !t.data.empty() ? t.data[0] : configuration_;
        usb_redir_configuration_status_header r{ok && t.data.empty() ? static_cast<std::uint8_t>(usb_redir_ioerror) : status,
                                                value};
        Complete([id, r](usbredirparser* p) mutable { usbredirparser_send_configuration_status(p, id, &r); });
        return;
      }
      case ControlPurpose::kSetAltSetting: {
        if (ok) {
          ResetToggles(static_cast<std::uint8_t>(SetupIndex(s)));
          SendDeviceInfo(false);
        }
        usb_redir_alt_setting_status_header r{status, static_cast<std::uint8_t>(SetupIndex(s)),
                                              static_cast<std::uint8_t>(SetupValue(s))};
        Complete([id, r](usbredirparser* p) mutable { usbredirparser_send_alt_setting_status(p, id, &r); });
        return;
      }
      case ControlPurpose::kGetAltSetting: {
        usb_redir_alt_setting_status_header r{ok && t.data.empty() ? static_cast<std::uint8_t>(usb_redir_ioerror) : status,
                                              static_cast<std::uint8_t>(SetupIndex(s)),
                                              ok && !t.data.empty() ? t.data[0] : static_cast<std::uint8_t>(0)};
        Complete([id, r](usbredirparser* p) mutable { usbredirparser_send_alt_setting_status(p, id, &r); });
        return;
      }
      case ControlPurpose::kPacket:
        break;
    }
    // Standard requests whose effect the host side keeps track of.
    if (ok && SetupType(s) == 0x02 && SetupRequest(s) == kRequestClearFeature && SetupValue(s) == kFeatureEndpointHalt) {
      const std::uint8_t ep = static_cast<std::uint8_t>(SetupIndex(s) & 0x8F);
      toggles_[EpIndex(ep)] = 0;
      if ((ep & 0x80) != 0) interrupts_[ep & 0x0F].halted = false;
    }
    if (ok && SetupType(s) == 0x00 && SetupRequest(s) == kRequestSetConfiguration) {
      configuration_ = static_cast<std::uint8_t>(SetupValue(s));
      ResetToggles(std::nullopt);
    }
    if (ok && SetupType(s) == 0x01 && SetupRequest(s) == kRequestSetInterface) {
      ResetToggles(static_cast<std::uint8_t>(SetupIndex(s)));
    }
    usb_redir_control_packet_header r{};
    r.endpoint = t.In() ? 0x80 : 0x00;
    r.requesttype = SetupType(s);
    r.request = SetupRequest(s);
    r.value = SetupValue(s);
    r.index = SetupIndex(s);
    r.status = status;
    const bool in = t.In();
    r.length = static_cast<std::uint16_t>(in ? t.data.size() : (status == usb_redir_success ? t.data.size() : t.offset));
    std::vector<std::uint8_t> data = in ? std::move(t.data) : std::vector<std::uint8_t>();
    Complete([id, r, data = std::move(data)](usbredirparser* p) mutable {
      usbredirparser_send_control_packet(p, id, &r, data.empty() ? nullptr : data.data(), static_cast<int>(data.size()));
    });
    return;
  }
  const bool in = t.In();
  std::vector<std::uint8_t> data = in ? std::move(t.data) : std::vector<std::uint8_t>();
  const std::uint32_t actual = in ? static_cast<std::uint32_t>(data.size())
                                  : static_cast<std::uint32_t>(std::min<std::size_t>(t.offset, t.data.size()));
  if (t.kind == TransferKind::kBulk) {
    usb_redir_bulk_packet_header r{};
    r.endpoint = t.endpoint;
    r.status = status;
    r.length = static_cast<std::uint16_t>(actual & 0xFFFF);
    r.length_high = static_cast<std::uint16_t>(actual >> 16);
    Complete([id, r, data = std::move(data)](usbredirparser* p) mutable {
      usbredirparser_send_bulk_packet(p, id, &r, data.empty() ? nullptr : data.data(), static_cast<int>(data.size()));
    });
  } else {
    usb_redir_interrupt_packet_header r{t.endpoint, status, static_cast<std::uint16_t>(actual)};
    Complete([id, r](usbredirparser* p) mutable { usbredirparser_send_interrupt_packet(p, id, &r, nullptr, 0); });
  }
}

void Session::FailAll(std::uint8_t status) {
  for (auto& [index, queue] : queues_) {
    while (!queue.empty()) {
      Transfer t = std::move(queue.front());
      queue.pop_front();
      Dequeued(t);
      t.status = status;
      Finish(t);
    }
  }
}

void Session::PollInterrupts() {
  UsbDeviceController& d = owner_.device;
  for (unsigned n = 1; n < interrupts_.size(); ++n) {
    InterruptIn& r = interrupts_[n];
    if (!r.receiving || r.halted) continue;
    if (r.countdown > 0) {
      --r.countdown;
      continue;
    }
    const std::uint8_t address = static_cast<std::uint8_t>(0x80 | n);
    const UsbRedirDeviceInfo::Endpoint* e = FindEndpoint(address);
    if (e == nullptr) continue;
    r.countdown = e->interval > 0 ? e->interval - 1u : 0u;
    std::vector<std::uint8_t> packet;
    unsigned toggle = 0;
    const UsbHandshake h = d.In(bus_address_, n, &packet, &toggle);
    // No answer (not configured yet, in reset) is polled again like a NAK.
    if (h == UsbHandshake::kNak || h == UsbHandshake::kNone) continue;
    std::uint8_t status = usb_redir_success;
    unsigned& expected = toggles_[EpIndex(address)];
    if (h == UsbHandshake::kStall) {
      status = usb_redir_stall;
      r.halted = true;  // until CLEAR_FEATURE(ENDPOINT_HALT), a configuration or a reset
      packet.clear();
    } else {
      if (toggle != expected) continue;
      expected ^= 1u;
      if (packet.size() > e->max_packet) {
        status = usb_redir_babble;
        packet.clear();
      }
    }
    usb_redir_interrupt_packet_header hdr{address, status, static_cast<std::uint16_t>(packet.size())};
    const std::uint64_t id = interrupt_id_++;
    Complete([id, hdr, packet = std::move(packet)](usbredirparser* p) mutable {
      usbredirparser_send_interrupt_packet(p, id, &hdr, packet.empty() ? nullptr : packet.data(),
                                           static_cast<int>(packet.size()));
    });
  }
}

void Session::BusLoop() {
  for (;;) {
    std::deque<std::function<void()>> work;
    {
      std::lock_guard<std::mutex> g(lock_);
      if (bus_stop_) break;
      work.swap(inbox_);
    }
    for (auto& w : work) w();
    bool busy = false;
    if (started_) {
      const bool attached = owner_.device.Attached();
      if (!announced_) {
        attached_frames_ = attached ? attached_frames_ + 1 : 0;
        if (retry_frames_ > 0) --retry_frames_;
        if (attached && attached_frames_ >= kAttachDebounceFrames && retry_frames_ == 0) {
          std::string failed;
          if (Enumerate(&failed)) {
            announced_ = true;
            owner_.announcements.fetch_add(1);
            SendDeviceInfo(true);
            char ids[32];
            std::snprintf(ids, sizeof ids, "%04x:%04x", info_.vendor_id, info_.product_id);
            owner_.Say(std::string("device ") + ids + " announced");
          } else {
            owner_.Say("enumeration failed at " + failed);
            retry_frames_ = kEnumerationRetryFrames;
          }
        }
      } else if (!attached || device_lost_) {
        announced_ = false;
        device_lost_ = false;
        attached_frames_ = 0;
        FailAll(usb_redir_ioerror);
        for (auto& r : interrupts_) r = InterruptIn{};
        configuration_ = 0;
        Complete([](usbredirparser* p) { usbredirparser_send_device_disconnect(p); });
        owner_.Say(attached ? "device stopped answering; enumerating it again" : "device left the bus");
      }
      if (announced_) {
        for (auto& [index, queue] : queues_) {
          while (!queue.empty()) {
            if (!Step(queue.front())) {
              busy = true;
              break;
            }
            Transfer t = std::move(queue.front());
            queue.pop_front();
            Dequeued(t);
            Finish(t);
          }
        }
        PollInterrupts();
        for (const auto& r : interrupts_) busy = busy || (r.receiving && !r.halted);
      }
    }
    WaitFramesOrWork(busy ? 1 : kIdleFrames);
  }
}

}  // namespace

void UsbRedirServer::Impl::RunSession(int fd) {
  sessions.fetch_add(1);
  Session session(*this, fd);
  if (!session.Init()) {
    Say("cannot set up the connection's parser");
    return;
  }
  session.Run();
}

void UsbRedirServer::Impl::Serve() {
  while (!stopping.load()) {
    pollfd fds[2] = {};
    fds[0].fd = listen_fd;
    fds[0].events = POLLIN;
    fds[1].fd = stop_fd;
    fds[1].events = POLLIN;
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      Say(std::string("poll failed: ") + std::strerror(errno));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    if ((fds[1].revents & POLLIN) != 0) break;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
        Say(std::string("accept failed: ") + std::strerror(errno));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    RunSession(fd);
    ::close(fd);
    Say("connection ended; waiting for the next");
  }
}

UsbRedirServer::UsbRedirServer(UsbDeviceController& device, Log log)
    : impl_(std::make_unique<Impl>(device, std::move(log))) {}

UsbRedirServer::~UsbRedirServer() { Stop(); }

bool UsbRedirServer::Available() { return true; }

bool UsbRedirServer::Start(std::uint16_t port, std::string* error) {
  Impl& m = *impl_;
  if (m.server.joinable()) {
    *error = "already started";
    return false;
  }
  m.listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (m.listen_fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  ::setsockopt(m.listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (::bind(m.listen_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(m.listen_fd, 4) != 0 ||
      ::getsockname(m.listen_fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(m.listen_fd);
    m.listen_fd = -1;
    return false;
  }
  m.port = ntohs(a.sin_port);
  m.stop_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m.stop_fd < 0) {
    *error = std::string("eventfd: ") + std::strerror(errno);
    ::close(m.listen_fd);
    m.listen_fd = -1;
    return false;
  }
  m.stopping.store(false);
  m.server = std::thread([&m] { m.Serve(); });
  return true;
}

std::uint16_t UsbRedirServer::Port() const { return impl_->port; }

void UsbRedirServer::Stop() {
  Impl& m = *impl_;
  if (!m.server.joinable()) return;
  m.stopping.store(true);
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(m.stop_fd, &one, sizeof one);
  m.server.join();
  ::close(m.listen_fd);
  ::close(m.stop_fd);
  m.listen_fd = m.stop_fd = -1;
}

unsigned UsbRedirServer::Sessions() const { return impl_->sessions.load(); }
unsigned UsbRedirServer::Announcements() const { return impl_->announcements.load(); }

}  // namespace sim

#else  // without libusbredirparser

namespace sim {

struct UsbRedirServer::Impl {};

UsbRedirServer::UsbRedirServer(UsbDeviceController&, Log) {}
UsbRedirServer::~UsbRedirServer() = default;
bool UsbRedirServer::Available() { return false; }
bool UsbRedirServer::Start(std::uint16_t, std::string* error) {
  *error = "built without libusbredirparser (Debian: libusbredirparser-dev)";
  return false;
}
std::uint16_t UsbRedirServer::Port() const { return 0; }
void UsbRedirServer::Stop() {}
unsigned UsbRedirServer::Sessions() const { return 0; }
unsigned UsbRedirServer::Announcements() const { return 0; }

}  // namespace sim

#endif
