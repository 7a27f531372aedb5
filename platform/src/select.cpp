// select() over devices, files and sockets, and the select waiters that drivers wake (see
// platform/io.h and select_internal.h).
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "io_internal.h"
#include "kernel_internal.h"
#include "platform/devtab.h"
#include "platform/io.h"
#include "select_internal.h"

namespace platform {

using io_internal::DeviceOf;

namespace {

using Clock = std::chrono::steady_clock;

// The end of a select's wait; a time-out beyond the clock's range waits as long as it can (no wrap
// into the past).
Clock::time_point Deadline(const timeval& timeout) {
  const Clock::time_point now = Clock::now();
  const auto room = std::chrono::duration_cast<std::chrono::seconds>(Clock::time_point::max() - now).count() - 1;
  const long long seconds = static_cast<long long>(timeout.tv_sec) + timeout.tv_usec / 1000000;
  if (seconds >= room) return Clock::time_point::max();
  return now + std::chrono::seconds(seconds) + std::chrono::microseconds(timeout.tv_usec % 1000000);
}

// A descriptor of the call's sets and what is asked of it.
struct Want {
  int fd;
  cyg_io_handle_t device;  // 0: a file or socket of the host
  bool r, w, e;
};

std::vector<Want> Wanted(int nfds, const fd_set* readfds, const fd_set* writefds, const fd_set* exceptfds) {
  std::vector<Want> wants;
  for (int fd = 0; fd < nfds; ++fd) {
    const bool r = readfds != nullptr && FD_ISSET(fd, readfds);
    const bool w = writefds != nullptr && FD_ISSET(fd, writefds);
    const bool e = exceptfds != nullptr && FD_ISSET(fd, exceptfds);
    if (r || w || e) wants.push_back(Want{fd, DeviceOf(fd), r, w, e});
  }
  return wants;
}

}  // namespace

int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout) {
  kernel::CheckMayBlock("select");
  const bool infinite = timeout == nullptr;
  if (nfds < 0 || nfds > FD_SETSIZE || (!infinite && (timeout->tv_sec < 0 || timeout->tv_usec < 0))) {
    errno = EINVAL;
    return -1;
  }
  const Clock::time_point deadline = infinite ? Clock::time_point::max() : Deadline(*timeout);
  const selectwait::Waiter& waiter = selectwait::ThisThreadWaiter();

  const std::vector<Want> wants = Wanted(nfds, readfds, writefds, exceptfds);
  // A descriptor that is not open is refused before any device is asked, so that no device event
  // is consumed by a call that fails.
  for (const Want& want : wants) {
    if (want.device == 0 && ::fcntl(want.fd, F_GETFD) < 0) {
      errno = EBADF;
      return -1;
    }
  }

  for (;;) {
    selectwait::Drain(waiter);
    fd_set ro, wo, eo;
    FD_ZERO(&ro);
    FD_ZERO(&wo);
    FD_ZERO(&eo);
    int ready = 0;
    std::vector<pollfd> polls;
    std::vector<const Want*> polled;
    for (const Want& want : wants) {
      if (want.device != 0) {
        const auto info = static_cast<cyg_addrword_t>(waiter.id);
        if (want.r && cyg_io_select(want.device, CYG_FREAD, info)) {
          FD_SET(want.fd, &ro);
          ++ready;
        }
        if (want.w && cyg_io_select(want.device, CYG_FWRITE, info)) {
          FD_SET(want.fd, &wo);
          ++ready;
        }
        if (want.e && cyg_io_select(want.device, 0, info)) {
          FD_SET(want.fd, &eo);
          ++ready;
        }
      } else {
        short events = 0;
        if (want.r) events |= POLLIN;
        if (want.w) events |= POLLOUT;
        if (want.e) events |= POLLPRI;
        polls.push_back(pollfd{want.fd, events, 0});
        polled.push_back(&want);
      }
    }
    polls.push_back(pollfd{waiter.event_fd, POLLIN, 0});

    int wait_ms = 0;
    if (ready == 0) {
      if (infinite) {
        wait_ms = -1;
      } else {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        wait_ms = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left + 1, 1 << 30));
      }
    }
    const int n = ::poll(polls.data(), polls.size(), wait_ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    for (std::size_t k = 0; k + 1 < polls.size(); ++k) {
      const pollfd& p = polls[k];
      const Want& want = *polled[k];
      if (p.revents & POLLNVAL) {
        // Closed while we waited. Events the devices gave up in this pass are reported, not lost.
        if (ready > 0) continue;
        errno = EBADF;
        return -1;
      }
      if (want.r && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
        FD_SET(want.fd, &ro);
        ++ready;
      }
      if (want.w && (p.revents & (POLLOUT | POLLERR))) {
        FD_SET(want.fd, &wo);
        ++ready;
      }
      if (want.e && (p.revents & POLLPRI)) {
        FD_SET(want.fd, &eo);
        ++ready;
      }
    }
    if (ready > 0 || (!infinite && Clock::now() >= deadline)) {
      if (readfds != nullptr) *readfds = ro;
      if (writefds != nullptr) *writefds = wo;
      if (exceptfds != nullptr) *exceptfds = eo;
      return ready;
    }
    // Woken by a device (or by nothing, at a time-out rounding): ask the devices again.
  }
}

// --- select waiters --------------------------------------------------------------------------------

namespace selectwait {
namespace {

struct Registry {
  std::mutex lock;
  std::unordered_map<std::uint64_t, int> live;  // id -> eventfd
  std::uint64_t next = 1;
};

Registry& TheRegistry() {
  static Registry* r = new Registry;
  return *r;
}

struct ThreadWaiter {
  Waiter waiter{0, -1};
  ~ThreadWaiter() {
    if (waiter.event_fd < 0) return;
    Registry& r = TheRegistry();
    {
      std::lock_guard<std::mutex> g(r.lock);
      r.live.erase(waiter.id);
    }
    ::close(waiter.event_fd);
  }
};

thread_local ThreadWaiter t_waiter;

void Signal(int fd) {
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

}  // namespace

std::mutex& Lock() { return TheRegistry().lock; }

void WakeLocked(std::uint64_t id) {
  Registry& r = TheRegistry();
  auto it = r.live.find(id);
  if (it != r.live.end()) Signal(it->second);
}

void WakeAllLocked() {
  for (auto& [id, fd] : TheRegistry().live) Signal(fd);
}

const Waiter& ThisThreadWaiter() {
  if (t_waiter.waiter.event_fd < 0) {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
      std::perror("select: eventfd");
      std::abort();
    }
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    t_waiter.waiter = Waiter{r.next++, fd};
    r.live[t_waiter.waiter.id] = fd;
  }
  return t_waiter.waiter;
}

void Drain(const Waiter& waiter) {
  std::uint64_t value = 0;
  [[maybe_unused]] ssize_t n = ::read(waiter.event_fd, &value, sizeof value);
}

}  // namespace selectwait
}  // namespace platform
