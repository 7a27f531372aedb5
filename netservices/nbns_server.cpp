// The name server thread "nbns": its start and stop, the set-up of the own names and sockets, the
// receive loop with registration and refresh of the host name, and the release at the end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "netservices/nbns.h"
#include "netservices/nbns_browse.h"
#include "netservices/nbns_interface_address.h"
#include "netservices/nbns_packet.h"
#include "netservices/nbns_state.h"
#include "platform/kernel.h"

namespace Torvex {

std::string g_NbnsComment;

namespace {

constexpr cyg_priority_t kNbnsPriority = 10;
constexpr cyg_ucount32 kNbnsStackSize = 30720;
constexpr std::size_t kArgumentSize = 1024;
constexpr cyg_tick_count_t kStartWaitTicks = 500;
constexpr cyg_tick_count_t kStopPollTicks = 100;
constexpr cyg_tick_count_t kRegistrationPauseTicks = 25;
constexpr int kReceiveWaitMs = 10000;
constexpr unsigned kRegistrations = 3;
constexpr std::time_t kRefreshSeconds = 599;

// Control of the one server, shared by the callers of nbns_start and nbns_stop.
std::mutex s_ControlMutex;
bool s_Running = false;
cyg_handle_t s_Handle = 0;
cyg_thread s_Thread;
alignas(16) unsigned char s_Stack[kNbnsStackSize];
cyg_sem_t s_DoneSemaphore;
bool s_DoneSemaphoreReady = false;
std::atomic<std::uint8_t> g_NbnsDone{0};
std::uint16_t s_RequestedNamePort = 137;
std::uint16_t s_RequestedDatagramPort = 138;
bool s_LoopbackOnly = true;
std::atomic<std::uint16_t> s_BoundNamePort{0};

// The stop wakes every wait of the server through this pipe: its read end becomes readable.
std::atomic<int> s_WakeRead{-1};
int s_WakeWrite = -1;

char s_HostArgument[kArgumentSize];
char s_WorkgroupArgument[kArgumentSize];
char s_CommentArgument[kArgumentSize];

// Registration state, reset at every start.
unsigned s_RegistrationCount = 0;
std::time_t s_LastRegistration = 0;
std::uint16_t s_RegistrationTrnId = 374;
std::uint16_t s_ReleaseTrnId = 374;

void Say(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

int TicksToMs(cyg_tick_count_t ticks) { return static_cast<int>(ticks * platform::kernel::TickMicroseconds() / 1000); }

std::uint16_t LocalPort(int descriptor) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
  return ntohs(local.sin_port);
}

// Waits up to `milliseconds` for the descriptors (and the stop); returns the poll result with the
// revents filled in, retrying interrupted waits.
int nbns_select(pollfd* fds, nfds_t count, int milliseconds) {
  for (;;) {
    const int n = poll(fds, count, milliseconds);
    if (n >= 0 || errno != EINTR) return n;
  }
}

void ReplaceAll(std::string& text, const std::string& what, const std::string& with) {
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
}

void OnHangUp(int) {
  static const char kText[] = "Got SIGHUP - not implemented\n";
  [[maybe_unused]] ssize_t n = write(1, kText, sizeof kText - 1);
}

void OnBrokenPipe(int) {
  static const char kText[] = "Got SIGPIPE\n";
  [[maybe_unused]] ssize_t n = write(1, kText, sizeof kText - 1);
}

void InstallSignalHandlers() {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  action.sa_handler = OnHangUp;
  sigaction(SIGHUP, &action, nullptr);
  action.sa_handler = OnBrokenPipe;
  sigaction(SIGPIPE, &action, nullptr);
}

void SetUpNames() {
  const NbnsInterfaceAddress interface_address = nbns_read_interface_address();
  g_NbnsOwnAddress = interface_address.up ? interface_address.address : 0;
  g_NbnsNetmask = interface_address.up ? interface_address.netmask : 0;
  g_NbnsBroadcast = ~g_NbnsNetmask | g_NbnsOwnAddress;

  g_NbnsHostName = s_HostArgument;
  // An empty workgroup leaves the table without group, which the fallback below fills.
  if (s_WorkgroupArgument[0] != '\0') nbns_add_group_name(s_WorkgroupArgument, 0);
  g_NbnsComment = s_CommentArgument;

  in_addr own{};
  own.s_addr = g_NbnsOwnAddress;
  char dotted[INET_ADDRSTRLEN] = "0.0.0.0";
  inet_ntop(AF_INET, &own, dotted, sizeof dotted);
  std::string short_name = dotted;
  short_name.resize(short_name.find('.'));
  if (g_NbnsHostName.empty()) g_NbnsHostName = short_name;
  for (int type : {0x20, 0x00, 0x03}) nbns_add_name(g_NbnsHostName, type, g_NbnsOwnAddress);

  if (g_NbnsComment.empty()) g_NbnsComment = "Samba %v";
  ReplaceAll(g_NbnsComment, "%v", "1.9.14");
  ReplaceAll(g_NbnsComment, "%h", short_name);

  nbns_add_name("__SAMBA__", 0x20, g_NbnsOwnAddress);
  nbns_add_name("__SAMBA__", 0x00, g_NbnsOwnAddress);

  bool has_group = false;
  for (const NbnsNameRecord& e : g_NbnsNameTable) has_group = has_group || (e.in_use && e.group);
  if (!has_group) nbns_add_group_name("domainname", 0);

  for (NbnsNameRecord& e : g_NbnsNameTable) {
    if (e.in_use && e.address == 0) e.address = e.group ? g_NbnsBroadcast : g_NbnsOwnAddress;
  }
}

void do_registration_hook() {
  const std::time_t now = nbns_now();
  if (s_RegistrationCount >= kRegistrations && now - s_LastRegistration <= kRefreshSeconds) return;
  s_LastRegistration = now;
  const NbnsNameRequest kind =
      s_RegistrationCount < kRegistrations ? NbnsNameRequest::Registration : NbnsNameRequest::Refresh;
  nbns_send_packet(nbns_build_name_request(kind, s_RegistrationTrnId++, g_NbnsHostName, 0x20, g_NbnsOwnAddress),
                   g_NbnsBroadcast, g_NbnsNamePort);
  if (++s_RegistrationCount > 0xFFFE) s_RegistrationCount = 5;
}

// Datagrams of the datagram port are read and dropped.
void process_138() {
  std::uint8_t buffer[kNbnsMaxDatagram];
  sockaddr_in from{};
  socklen_t size = sizeof from;
  recvfrom(g_NbnsDatagramSocket.load(), buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &size);
}

void PauseTicks(cyg_tick_count_t ticks) {
  pollfd wake{s_WakeRead.load(), POLLIN, 0};
  nbns_select(&wake, 1, TicksToMs(ticks));
}

void nbns_process() {
  std::uint8_t buffer[kNbnsMaxDatagram];
  while (g_NbnsStopRequested.load() == 0) {
    do_registration_hook();
    if (s_RegistrationCount < kRegistrations) {
      PauseTicks(kRegistrationPauseTicks);
    } else {
      do_browse_hook();
    }
    pollfd fds[3] = {{g_NbnsNameSocket.load(), POLLIN, 0},
                     {s_WakeRead.load(), POLLIN, 0},
                     {s_RegistrationCount >= kRegistrations ? g_NbnsDatagramSocket.load() : -1, POLLIN, 0}};
    if (nbns_select(fds, 3, kReceiveWaitMs) <= 0) continue;
    if (fds[2].revents & POLLIN) process_138();
    if (fds[0].revents & POLLIN) {
      const std::size_t length = read_udp_socket(g_NbnsNameSocket.load(), buffer, sizeof buffer);
      if (length == 0) continue;
      ++nbns_num_good_receives;
      if (length >= 4) construct_reply(buffer, length);
    }
  }
}

void CloseSocket(std::atomic<int>& socket) {
  const int descriptor = socket.exchange(-1);
  if (descriptor >= 0) close(descriptor);
}

void nbns_main(cyg_addrword_t) {
  s_RegistrationCount = 0;
  s_LastRegistration = 0;
  s_RegistrationTrnId = 374;
  s_ReleaseTrnId = 374;
  nbns_browse_reset();
  nbns_num_good_sends = 0;
  nbns_num_good_receives = 0;
  nbns_clear_names();
  SetUpNames();

  nbns_set_socket_options(g_NbnsNameSocket.load(), "SO_BROADCAST");
  nbns_set_socket_options(g_NbnsDatagramSocket.load(), "SO_BROADCAST");
  InstallSignalHandlers();
  nbns_process();
  nbns_send_packet(
      nbns_build_name_request(NbnsNameRequest::Release, s_ReleaseTrnId, g_NbnsHostName, 0x20, g_NbnsOwnAddress),
      g_NbnsBroadcast, g_NbnsNamePort);
  CloseSocket(g_NbnsNameSocket);
  CloseSocket(g_NbnsDatagramSocket);
  nbns_clear_names();
  g_NbnsDone.store(1);
  cyg_semaphore_post(&s_DoneSemaphore);
}

// Opens both sockets for a start; false (with nothing left open) when the name-service port cannot
// be bound, since a server without it can neither register nor answer.
bool open_sockets() {
  const int name_socket = nbns_open_udp_socket(SOCK_DGRAM, s_RequestedNamePort, 0);
  if (name_socket < 0) return false;
  const int datagram_socket = nbns_open_udp_socket(SOCK_DGRAM, s_RequestedDatagramPort, 3);
  if (datagram_socket < 0) {
    close(name_socket);
    return false;
  }
  g_NbnsNameSocket.store(name_socket);
  g_NbnsDatagramSocket.store(datagram_socket);
  g_NbnsNamePort = LocalPort(name_socket);
  g_NbnsDatagramPort = s_RequestedDatagramPort == 0 ? LocalPort(datagram_socket) : s_RequestedDatagramPort;
  s_BoundNamePort.store(g_NbnsNamePort);
  return true;
}

bool OpenWakePipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  s_WakeRead.store(ends[0]);
  s_WakeWrite = ends[1];
  return true;
}

void CloseWakePipe() {
  const int read_end = s_WakeRead.exchange(-1);
  if (read_end >= 0) close(read_end);
  if (s_WakeWrite >= 0) close(s_WakeWrite);
  s_WakeWrite = -1;
}

// A socket another thread waits on is shut down for reading; an unconnected UDP socket reports
// ENOTCONN although the shutdown took effect.
bool ShutDownForReading(int descriptor) {
  return descriptor >= 0 && (shutdown(descriptor, SHUT_RD) == 0 || errno == ENOTCONN);
}

std::uint8_t StopLocked() {
  if (!s_Running) return 0;
  std::uint8_t status = 0;
  if (!ShutDownForReading(g_NbnsNameSocket.load())) status = kNbnsStopSocketFailed;
  if (!ShutDownForReading(g_NbnsDatagramSocket.load())) status = kNbnsStopSocketFailed;
  g_NbnsStopRequested.store(1);
  const char wake = 1;
  [[maybe_unused]] ssize_t n = write(s_WakeWrite, &wake, 1);
  while (g_NbnsDone.load() == 0) {
    cyg_semaphore_timed_wait(&s_DoneSemaphore, cyg_current_time() + kStopPollTicks);
  }
  cyg_thread_delete(s_Handle);
  s_Handle = 0;
  s_Running = false;
  s_BoundNamePort.store(0);
  CloseWakePipe();
  return status;
}

}  // namespace

int nbns_open_udp_socket(int type, std::uint16_t port, int report_level) {
  unsigned candidate = port;
  for (;;) {
    const int descriptor = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
      Say("socket failed\n");
      return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(candidate));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (s_LoopbackOnly) {
      // Tied to the loopback interface: its unicasts and broadcasts, nothing from another interface.
      static const char kLoopback[] = "lo";
      if (setsockopt(descriptor, SOL_SOCKET, SO_BINDTODEVICE, kLoopback, sizeof kLoopback) != 0) {
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      }
    }
    if (bind(descriptor, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) {
      const int one = 1;
      setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      return descriptor;
    }
    if ((candidate == 137 || candidate == 139) && report_level == 0) {
      std::printf("bind failed on port %u\n", candidate);
      std::fflush(stdout);
    }
    close(descriptor);
    if (report_level <= 0 || candidate == 0) return -1;
    candidate = candidate < 1000 ? 8000 : candidate + 1;
    if (candidate > 9000) return -1;
  }
}

namespace {

enum class OptionKind { Boolean, Integer, Fixed };
struct NbnsSocketOption {
  const char* name;
  int level;
  int option;
  int value;
  OptionKind kind;
};
const NbnsSocketOption kNbnsSocketOptions[] = {
    {"SO_KEEPALIVE", SOL_SOCKET, SO_KEEPALIVE, 0, OptionKind::Boolean},
    {"SO_REUSEADDR", SOL_SOCKET, SO_REUSEADDR, 0, OptionKind::Boolean},
    {"SO_BROADCAST", SOL_SOCKET, SO_BROADCAST, 0, OptionKind::Boolean},
    {"IPTOS_LOWDELAY", IPPROTO_IP, IP_TOS, 0x10, OptionKind::Fixed},
    {"IPTOS_THROUGHPUT", IPPROTO_IP, IP_TOS, 0x08, OptionKind::Fixed},
    {"SO_SNDBUF", SOL_SOCKET, SO_SNDBUF, 0, OptionKind::Integer},
    {"SO_RCVBUF", SOL_SOCKET, SO_RCVBUF, 0, OptionKind::Integer},
    {"SO_SNDLOWAT", SOL_SOCKET, SO_SNDLOWAT, 0, OptionKind::Integer},
    {"SO_RCVLOWAT", SOL_SOCKET, SO_RCVLOWAT, 0, OptionKind::Integer},
};

bool SameIgnoringCase(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

}  // namespace

int nbns_set_socket_options(int descriptor, const std::string& options) {
  // Tokens are separated by spaces, tabs and commas; double quotes group.
  std::vector<std::string> tokens;
  std::string token;
  bool quoted = false;
  for (char c : options) {
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && (c == ' ' || c == '\t' || c == ',')) {
      if (!token.empty()) tokens.push_back(token);
      token.clear();
    } else {
      token += c;
    }
  }
  if (!token.empty()) tokens.push_back(token);

  int failures = 0;
  for (const std::string& t : tokens) {
    const std::size_t equals = t.find('=');
    const std::string name = t.substr(0, equals);
    const bool has_value = equals != std::string::npos;
    const int value = has_value ? std::atoi(t.c_str() + equals + 1) : 1;
    const NbnsSocketOption* found = nullptr;
    for (const NbnsSocketOption& o : kNbnsSocketOptions) {
      if (SameIgnoringCase(name, o.name)) found = &o;
    }
    if (found == nullptr) {
      std::printf("Unknown socket option %s\n", name.c_str());
      ++failures;
      continue;
    }
    int setting = value;
    if (found->kind == OptionKind::Fixed) {
      if (has_value) {
        std::printf("syntax error - %s does not take a value\n", name.c_str());
        ++failures;
        continue;
      }
      setting = found->value;
    }
    if (setsockopt(descriptor, found->level, found->option, &setting, sizeof setting) != 0) {
      std::printf("Failed to set socket option %s\n", name.c_str());
      ++failures;
    }
  }
  std::fflush(stdout);
  return failures;
}

std::size_t read_udp_socket(int descriptor, std::uint8_t* buffer, std::size_t size) {
  g_NbnsLastSource.address = 0;
  sockaddr_in from{};
  socklen_t from_size = sizeof from;
  const ssize_t n = recvfrom(descriptor, buffer, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_size);
  if (n <= 0) return 0;
  g_NbnsLastSource.address = from.sin_addr.s_addr;
  g_NbnsLastSource.port = ntohs(from.sin_port);
  return static_cast<std::size_t>(n);
}

std::size_t nbns_read_with_timeout(int descriptor, std::uint8_t* buffer, std::size_t size, int milliseconds) {
  pollfd fds[2] = {{descriptor, POLLIN, 0}, {s_WakeRead.load(), POLLIN, 0}};
  if (nbns_select(fds, 2, milliseconds) <= 0 || !(fds[0].revents & POLLIN)) return 0;
  return read_udp_socket(descriptor, buffer, size);
}

std::int64_t nbns_milliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::uint8_t nbns_start(const std::string& host, const std::string& workgroup, const std::string& comment) {
  std::lock_guard<std::mutex> lock(s_ControlMutex);
  StopLocked();
  if (!s_DoneSemaphoreReady) {
    cyg_semaphore_init(&s_DoneSemaphore, 0);
    s_DoneSemaphoreReady = true;
  }
  while (cyg_semaphore_trywait(&s_DoneSemaphore)) {
  }
  g_NbnsStartStatus.store(0);
  g_NbnsStopRequested.store(0);
  g_NbnsDone.store(0);
  nbns_copy_text(s_HostArgument, sizeof s_HostArgument, host);
  nbns_copy_text(s_WorkgroupArgument, sizeof s_WorkgroupArgument, workgroup);
  nbns_copy_text(s_CommentArgument, sizeof s_CommentArgument, comment);
  if (!open_sockets()) return kNbnsStartFailed;
  if (!OpenWakePipe()) {
    CloseSocket(g_NbnsNameSocket);
    CloseSocket(g_NbnsDatagramSocket);
    return kNbnsStartFailed;
  }
  cyg_thread_create(kNbnsPriority, nbns_main, 0, "nbns", s_Stack, kNbnsStackSize, &s_Handle, &s_Thread);
  cyg_thread_resume(s_Handle);
  s_Running = true;
  cyg_thread_delay(kStartWaitTicks);
  return g_NbnsStartStatus.load();
}

std::uint8_t nbns_stop() {
  std::lock_guard<std::mutex> lock(s_ControlMutex);
  return StopLocked();
}

bool nbns_running() {
  std::lock_guard<std::mutex> lock(s_ControlMutex);
  return s_Running;
}

void nbns_set_ports(std::uint16_t name_port, std::uint16_t datagram_port) {
  std::lock_guard<std::mutex> lock(s_ControlMutex);
  s_RequestedNamePort = name_port;
  s_RequestedDatagramPort = datagram_port;
}

void nbns_set_loopback_only(bool loopback_only) {
  std::lock_guard<std::mutex> lock(s_ControlMutex);
  s_LoopbackOnly = loopback_only;
}

std::uint16_t nbns_bound_name_port() { return s_BoundNamePort.load(); }

}  // namespace Torvex
