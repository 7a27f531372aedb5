#include "platform/signals.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace platform::signals {
namespace {

std::atomic<Handler> g_table[kSignalCount];
thread_local const SavedRegisters* t_frame = nullptr;

std::atomic<Handler>& Entry(const char* call, int signal) {
  if (signal <= 0 || signal >= kSignalCount) {
    std::fprintf(stderr, "%s: signal %d does not exist\n", call, signal);
    std::fflush(stderr);
    std::abort();
  }
  return g_table[signal];
}

}  // namespace

void Ignore(int) {}

Handler Install(int signal, Handler handler) { return Entry("signals::Install", signal).exchange(handler); }

Handler Installed(int signal) { return Entry("signals::Installed", signal).load(); }

void Raise(int signal, const SavedRegisters& frame) {
  const Handler handler = Entry("signals::Raise", signal).load();
  if (handler == kDefault || handler == &Ignore) return;
  const SavedRegisters* outer = t_frame;
  t_frame = &frame;
  handler(signal);
  t_frame = outer;
}

const SavedRegisters* FaultFrame() { return t_frame; }

}  // namespace platform::signals
