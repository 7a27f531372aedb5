#include "BoardControl.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace board {

namespace {
constexpr char kLineSeparator = 0x1e;  // stands for a line break inside a reply on the wire
}
namespace {

constexpr std::size_t kMaxRequest = 4096;

bool MakeAddress(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

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

// Reads one line (bounded in size and time). Empty on failure.
std::string ReadLine(int fd, int timeout_ms) {
  std::string line;
  char c;
  while (line.size() < kMaxRequest) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return {};
    const ssize_t n = ::recv(fd, &c, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (c == '\n') break;
    line.push_back(c);
  }
  return line;
}

}  // namespace

std::string ControlSocketPath(const std::string& root) { return root + "/control.sock"; }

ControlServer::~ControlServer() { Stop(); }

void ControlServer::AfterReply(std::function<void()> action) { after_reply_ = std::move(action); }

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
    const std::string reply = handler(words);
    return reply.empty() ? "ok" : "ok " + reply;
  } catch (const std::exception& e) {
    return std::string("error ") + e.what();
  }
}

bool ControlServer::Start(const std::string& root, std::string& error) {
  path_ = ControlSocketPath(root);
  sockaddr_un addr;
  if (!MakeAddress(path_, addr)) {
    error = "control socket path too long: " + path_;
    return false;
  }
  ::unlink(path_.c_str());
  listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 8) != 0 || ::pipe2(wake_fd_, O_CLOEXEC) != 0) {
    error = std::string("control socket: ") + std::strerror(errno);
    return false;
  }
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void ControlServer::Stop() {
  if (thread_.joinable()) {
    const char c = 0;
    [[maybe_unused]] ssize_t n = ::write(wake_fd_[1], &c, 1);
    thread_.join();
  }
  for (int* fd : {&listen_fd_, &wake_fd_[0], &wake_fd_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
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
    const std::string line = ReadLine(fd, 2000);
    // A reply of several lines travels as one: its line breaks are sent as record separators.
    std::string reply = Execute(line);
    for (char& c : reply)
      if (c == '\n') c = kLineSeparator;
    WriteAll(fd, reply + "\n");
    ::close(fd);
    if (after_reply_) {
      auto action = std::move(after_reply_);
      after_reply_ = nullptr;
      action();
    }
  }
}

std::string SendRequest(const std::string& root, const std::string& line) {
  sockaddr_un addr;
  const std::string path = ControlSocketPath(root);
  if (!MakeAddress(path, addr)) throw std::runtime_error("control socket path too long: " + path);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::strerror(errno));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const std::string why = std::strerror(errno);
    ::close(fd);
    throw std::runtime_error("no board running in " + root + " (" + why + ")");
  }
  WriteAll(fd, line + "\n");
  std::string reply = ReadLine(fd, 10000);
  ::close(fd);
  if (reply.empty()) throw std::runtime_error("no reply from the board");
  for (char& c : reply)
    if (c == kLineSeparator) c = '\n';
  return reply;
}

}  // namespace board
