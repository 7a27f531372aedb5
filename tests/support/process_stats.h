// What a running process holds, read from /proc: resident memory, threads and open descriptors. For
// tests and soaks that watch the board program while clients come and go; also a free TCP port on the
// loopback for a board's own portmapper.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace torvex_test {

struct ProcessStats {
  long rss_kb = -1;
  int threads = -1;
  int descriptors = -1;
};

// -1 in a field that could not be read (the process has gone).
inline ProcessStats ReadProcessStats(int pid) {
  ProcessStats stats;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") status >> stats.rss_kb;
    if (key == "Threads:") status >> stats.threads;
  }
  if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    stats.descriptors = 0;
    while (dirent* e = ::readdir(d)) stats.descriptors += e->d_name[0] != '.';
    ::closedir(d);
  }
  return stats;
}

inline std::string Describe(const ProcessStats& stats) {
  return "RSS " + std::to_string(stats.rss_kb) + " KiB, " + std::to_string(stats.threads) + " threads, " +
         std::to_string(stats.descriptors) + " descriptors";
}

// A TCP port free on the loopback just now; 0 when none could be had.
inline std::uint16_t FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  std::uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

}  // namespace torvex_test
