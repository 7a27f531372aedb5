#include "BoardControl.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace board {

namespace {
constexpr char kLineSeparator = 0x1e;  // stands for a line break inside a reply on the wire
}
namespace {

constexpr std::size_t kMaxRequest = 4096;
constexpr std::size_t kMaxReply = 1 << 20;  // a reply may carry a long device answer (usb)
constexpr int kRequestTimeoutMs = 5000;     // a request line must be complete within this
// The longest wait for a request's reply: every board operation bounds its own waits, but a USB
// message of a megabyte takes several seconds over the simulated cable, more on a loaded machine.
constexpr int kReplyTimeoutMs = 60000;
constexpr int kMaxClients = 8;  // clients served at once; more are refused
constexpr const char* kSocketName = "control.sock";

// A socket address names the socket file relative to an open descriptor of the board root
// ("/proc/self/fd/N/control.sock"), so a root path of any length fits the address.
bool MakeAddress(int root_fd, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const std::string path = "/proc/self/fd/" + std::to_string(root_fd) + "/" + kSocketName;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

int OpenRoot(const std::string& root) { return ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// Reads one line, bounded in size and in total time. Empty on failure, and for a line longer than
// `max_size` (never a line cut short).
std::string ReadLine(int fd, int timeout_ms, std::size_t max_size = kMaxRequest) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string line;
  char c;
  for (;;) {
    if (line.size() > max_size) return {};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
    const ssize_t n = ::recv(fd, &c, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (c == '\n') break;
    line.push_back(c);
  }
  return line;
}

}  // namespace

std::string ControlSocketPath(const std::string& root) { return root + "/" + kSocketName; }

namespace {
thread_local std::function<void()> t_after_reply;  // set by a handler on its client's thread
}

ControlServer::~ControlServer() { Stop(); }

void ControlServer::AfterReply(std::function<void()> action) { t_after_reply = std::move(action); }

void ControlServer::Add(const std::string& command, Handler handler) {
  std::lock_guard<std::mutex> g(lock_);
  handlers_[command] = std::move(handler);
}

std::string ControlServer::Execute(const std::string& line) {
  std::vector<std::string> words = Words(line);
  if (words.empty()) return "error empty request";
  Handler handler;
  {
    std::lock_guard<std::mutex> g(lock_);
    auto it = handlers_.find(words[0]);
    if (it == handlers_.end()) return "error unknown command " + words[0];
    handler = it->second;
  }
  words.erase(words.begin());
  try {
    // Handlers change the board: one runs at a time, whichever client asked.
    std::lock_guard<std::mutex> g(execute_lock_);
    const std::string reply = handler(words);
    return reply.empty() ? "ok" : "ok " + reply;
  } catch (const std::exception& e) {
    return std::string("error ") + e.what();
  }
}

bool ControlServer::Start(const std::string& root, std::string& error) {
  root_fd_ = OpenRoot(root);
  sockaddr_un addr;
  if (root_fd_ < 0) {
    error = "control socket: cannot open " + root + ": " + std::strerror(errno);
    return false;
  }
  MakeAddress(root_fd_, addr);
  ::unlinkat(root_fd_, kSocketName, 0);  // a stale one from a process that ended without removing it
  listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, kMaxClients) != 0 || ::pipe2(wake_fd_, O_CLOEXEC) != 0) {
    error = "control socket " + ControlSocketPath(root) + ": " + std::strerror(errno);
    return false;
  }
  bound_ = true;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void ControlServer::RemoveSocketFile() {
  if (bound_.exchange(false) && root_fd_ >= 0) ::unlinkat(root_fd_, kSocketName, 0);
}

void ControlServer::Stop() {
  if (thread_.joinable()) {
    const char c = 0;
    [[maybe_unused]] ssize_t n = ::write(wake_fd_[1], &c, 1);
    thread_.join();
  }
  {
    // Clients end within the request time-out; none may outlive the server.
    std::unique_lock<std::mutex> g(clients_lock_);
    clients_done_.wait(g, [this] { return clients_ == 0; });
  }
  RemoveSocketFile();
  for (int* fd : {&listen_fd_, &wake_fd_[0], &wake_fd_[1], &root_fd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void ControlServer::Serve() {
  for (;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents) return;
    if (!(p[0].revents & POLLIN)) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      std::lock_guard<std::mutex> g(clients_lock_);
      if (clients_ >= kMaxClients) {
        WriteAll(fd, "error busy: too many clients\n");
        ::close(fd);
        continue;
      }
      ++clients_;
    }
    // Each client on its own thread: a slow one never holds up another.
    std::thread([this, fd] {
      ServeClient(fd);
      std::lock_guard<std::mutex> g(clients_lock_);
      if (--clients_ == 0) clients_done_.notify_all();
    }).detach();
  }
}

void ControlServer::ServeClient(int fd) {
  const std::string line = ReadLine(fd, kRequestTimeoutMs);
  if (line.empty()) {
    WriteAll(fd, "error no request line\n");
    ::close(fd);
    return;
  }
  t_after_reply = nullptr;
  // A reply of several lines travels as one: its line breaks are sent as record separators.
  std::string reply = Execute(line);
  for (char& c : reply)
    if (c == '\n') c = kLineSeparator;
  WriteAll(fd, reply + "\n");
  ::close(fd);
  if (t_after_reply) {
    auto action = std::move(t_after_reply);
    t_after_reply = nullptr;
    action();
  }
}

std::string SendRequest(const std::string& root, const std::string& line) {
  const int root_fd = OpenRoot(root);
  if (root_fd < 0) throw std::runtime_error("no board root " + root + " (" + std::strerror(errno) + ")");
  sockaddr_un addr;
  MakeAddress(root_fd, addr);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ::close(root_fd);
    throw std::runtime_error(std::strerror(errno));
  }
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  const std::string why = std::strerror(errno);
  ::close(root_fd);
  if (!connected) {
    ::close(fd);
    throw std::runtime_error("no board running in " + root + " (" + why + ")");
  }
  WriteAll(fd, line + "\n");
  std::string reply = ReadLine(fd, kReplyTimeoutMs, kMaxReply);
  ::close(fd);
  if (reply.empty()) throw std::runtime_error("no reply from the board");
  for (char& c : reply)
    if (c == kLineSeparator) c = '\n';
  return reply;
}

}  // namespace board
