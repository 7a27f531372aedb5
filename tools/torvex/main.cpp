// torvex: runs the firmware on the simulated board.
//
//   torvex --root DIR [--tick-us N] [--log-stderr]
//
// Signals: SIGTERM and SIGINT end the run with status 0.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/io.h"
#include "platform/kernel.h"

namespace {

[[noreturn]] void Usage(const char* message) {
  std::fprintf(stderr, "torvex: %s\nusage: torvex --root DIR [--tick-us N] [--log-stderr]\n", message);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::string root;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--root" && i + 1 < argc) {
      root = argv[++i];
    } else if (arg == "--tick-us" && i + 1 < argc) {
      char* end = nullptr;
      const unsigned long us = std::strtoul(argv[++i], &end, 10);
      if (*end != '\0' || us == 0 || us > 10000000UL) Usage("--tick-us takes 1 to 10000000");
      platform::kernel::SetTickMicroseconds(static_cast<std::uint32_t>(us));
    } else if (arg == "--log-stderr") {
      // The firmware's log mirror comes with the logger.
    } else {
      Usage(("unknown argument " + arg).c_str());
    }
  }
  if (root.empty()) Usage("--root is required");
  platform::SetBoardRoot(root);

  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  (void)cyg_current_time();  // starts the kernel clock
  std::fprintf(stderr, "board: ready\n");
  int sig = 0;
  while (sigwait(&set, &sig) != 0) {
  }
  std::fprintf(stderr, "board: stopped by signal %d\n", sig);
  return 0;
}
