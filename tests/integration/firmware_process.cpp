#include "firmware_process.h"
#include "support/temp_dir.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace torvex_test {

FirmwareProcess::FirmwareProcess() : root_(MakeTempDir("it")) {}

FirmwareProcess::FirmwareProcess(std::filesystem::path root) : root_(std::move(root)), owns_root_(false) {}

FirmwareProcess::~FirmwareProcess() {
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    int st;
    ::waitpid(pid_, &st, 0);
  }
  if (reader_.joinable()) reader_.join();
  std::error_code ec;
  if (owns_root_) std::filesystem::remove_all(root_, ec);
}

void FirmwareProcess::Start(const std::vector<std::string>& extra_args, unsigned tick_us) {
  // A previous run still going (its test step failed) is ended first, so that its output pipe closes.
  if (pid_ > 0 && !exited_) {
    ::kill(pid_, SIGKILL);
    WaitForExit();
  }
  if (reader_.joinable()) reader_.join();
  {
    std::lock_guard<std::mutex> g(lock_);
    output_.clear();
  }
  exited_ = false;
  int pipefd[2];
  if (::pipe(pipefd) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> args = {TORVEX_BINARY,           "--root",      root_.string(), "--tick-us",
                                   std::to_string(tick_us), "--log-stderr"};
  // Boards run side by side: their portmappers and name servers take free ports, not 111, 137 and 138.
  if (std::find(extra_args.begin(), extra_args.end(), "--portmapper-port") == extra_args.end()) {
    args.insert(args.end(), {"--portmapper-port", "0"});
  }
  if (std::find(extra_args.begin(), extra_args.end(), "--nbns-ports") == extra_args.end()) {
    args.insert(args.end(), {"--nbns-ports", "0,0"});
  }
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  pid_ = ::fork();
  if (pid_ == 0) {
    if (!romfs_image_.empty()) ::setenv("TORVEX_ROMFS_IMAGE", romfs_image_.c_str(), 1);
    ::dup2(pipefd[1], 2);
    ::close(pipefd[0]);
    ::close(pipefd[1]);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipefd[1]);
  reader_ = std::thread([this, fd = pipefd[0]] { Reader(fd); });
}

void FirmwareProcess::Reader(int fd) {
  std::array<char, 4096> buf;
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n <= 0) break;
    std::lock_guard<std::mutex> g(lock_);
    output_.append(buf.data(), static_cast<std::size_t>(n));
  }
  ::close(fd);
}

bool FirmwareProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
  return WaitForCount(text, 1, limit);
}

bool FirmwareProcess::WaitForCount(const std::string& text, int count, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (CountOutput(text) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

int FirmwareProcess::CountOutput(const std::string& text) {
  std::lock_guard<std::mutex> g(lock_);
  int count = 0;
  for (std::size_t at = output_.find(text); at != std::string::npos; at = output_.find(text, at + 1)) ++count;
  return count;
}

std::string FirmwareProcess::Output() {
  std::lock_guard<std::mutex> g(lock_);
  return output_;
}

int FirmwareProcess::WaitForExit(std::chrono::milliseconds limit) {
  if (exited_) return status_;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    int st = 0;
    const int r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      if (reader_.joinable()) reader_.join();
      return status_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

void FirmwareProcess::Signal(int sig) {
  if (pid_ > 0 && !exited_) ::kill(pid_, sig);
}

bool FirmwareProcess::Running() {
  if (exited_) return false;
  int st = 0;
  const int r = ::waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    exited_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return true;
}

std::string FirmwareProcess::Board(const std::string& command) {
  const std::string cmd = std::string(TORVEX_BINARY) + " board --root '" + root_.string() + "' " + command + " 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return {};
  std::string out;
  std::array<char, 512> buf;
  while (std::fgets(buf.data(), buf.size(), p) != nullptr) out += buf.data();
  ::pclose(p);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string FirmwareProcess::ReadFile(const std::string& relative) {
  std::ifstream in(root_ / relative, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FirmwareProcess::FileExists(const std::string& relative) { return std::filesystem::exists(root_ / relative); }

}  // namespace torvex_test
