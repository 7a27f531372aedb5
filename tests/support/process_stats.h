// What a running process holds, read from /proc: resident memory, threads and open descriptors. For
// tests and soaks that watch the board program while clients come and go.
#pragma once

#include <dirent.h>

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

}  // namespace torvex_test
