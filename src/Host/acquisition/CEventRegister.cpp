#include "acquisition/CEventRegister.h"

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "acquisition/CTorvexException.h"
#include "acquisition/CTorvexHostAcquisition.h"
#include "platform/io.h"

namespace Torvex {

// --- devices ------------------------------------------------------------------------------------------

CRegistrableObject::CRegistrableObject(const char* devicePath) : m_Path(devicePath) { Open(); }

bool CRegistrableObject::Open() {
  if (IsOpened()) return true;
  if (!platform::IsMounted("/dev")) return false;
  const int fd = platform::open(m_Path, O_RDWR);
  if (fd == -1) return false;
  m_Descriptor.store(fd);
  return true;
}

CRegistrableObject::~CRegistrableObject() {
  if (IsOpened()) platform::close(m_Descriptor.load());
}

template <typename T>
bool CMailBox<T>::Send(const T& message) {
  if (!IsOpened()) return false;
  return platform::write(Descriptor(), &message, sizeof(T)) == static_cast<ssize_t>(sizeof(T));
}

template <typename T>
bool CMailBox<T>::Receive(T* message) {
  if (!IsOpened()) return false;
  return platform::read(Descriptor(), message, sizeof(T)) == static_cast<ssize_t>(sizeof(T));
}

template <typename T>
bool CMailBox<T>::TryReceive(T* message) {
  if (!IsOpened()) return false;
  const int fd = Descriptor();
  fd_set read_set;
  FD_ZERO(&read_set);
  FD_SET(fd, &read_set);
  timeval poll{0, 0};
  if (platform::select(fd + 1, &read_set, nullptr, nullptr, &poll) != 1) return false;
  return Receive(message);
}

template class CMailBox<CTorvexHostAcquisition::AbortMsg>;
template class CMailBox<CTorvexHostAcquisition::PipeMsg>;

// --- event register -------------------------------------------------------------------------------------

namespace {

std::atomic<CEventRegister::SelectFunction> s_Select{nullptr};

int CallSelect(int nfds, fd_set* read_set, timeval* timeout) {
  CEventRegister::SelectFunction function = s_Select.load();
  if (function == nullptr) return platform::select(nfds, read_set, nullptr, nullptr, timeout);
  return function(nfds, read_set, nullptr, nullptr, timeout);
}

}  // namespace

void CEventRegister::SetSelectFunction(SelectFunction function) { s_Select.store(function); }

CEventRegister::CEventRegister() { cyg_mutex_init(&m_Mutex); }

CEventRegister::~CEventRegister() { cyg_mutex_destroy(&m_Mutex); }

void CEventRegister::Register(CRegistrableObject* object) {
  cyg_mutex_lock(&m_Mutex);
  m_Objects.push_back(object);
  cyg_mutex_unlock(&m_Mutex);
}

eAcqEvent CEventRegister::WaitForEvent(std::uint8_t sources, std::int16_t timeoutMs, bool abortable) {
  if (AcquisitionStopRequested()) throw CAcquisitionStopped();
  CEventRegister reg;
  // Registration order is the priority order of the result.
  if (abortable) reg.Register(&g_AbortMailBox);
  if ((sources & kAcqSourceDsp) != 0) reg.Register(&g_DspIntr);
  if ((sources & kAcqSourceCommand) != 0) reg.Register(&g_CommandMailBox);

  // Board milliseconds follow the kernel tick (ten to a tick), as every DSP time-out does.
  using Clock = std::chrono::steady_clock;
  const bool limited = timeoutMs >= 0;
  const auto wait = std::chrono::microseconds(static_cast<std::int64_t>(limited ? timeoutMs : 0) *
                                              platform::kernel::TickMicroseconds() / 10);
  const Clock::time_point deadline = Clock::now() + wait;

  fd_set ready;
  int found = -1;
  cyg_mutex_lock(&reg.m_Mutex);
  for (;;) {
    FD_ZERO(&ready);
    int highest = -1;
    for (CRegistrableObject* object : reg.m_Objects) {
      // A device that did not open has no descriptor; the thread body refuses to run without them,
      // so here it only stays out of the set.
      if (object->Descriptor() < 0) continue;
      FD_SET(object->Descriptor(), &ready);
      if (object->Descriptor() > highest) highest = object->Descriptor();
    }
    timeval tv{};
    timeval* timeout = nullptr;
    if (limited) {
      auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
      if (left.count() < 0) left = std::chrono::microseconds(0);
      tv.tv_sec = static_cast<time_t>(left.count() / 1000000);
      tv.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
      timeout = &tv;
    }
    const int selected = CallSelect(highest + 1, &ready, timeout);
    if (selected == 0) {
      cyg_mutex_unlock(&reg.m_Mutex);
      return kAcqEventTimeout;
    }
    if (selected > 0) {
      for (std::size_t i = 0; i < reg.m_Objects.size() && found < 0; ++i) {
        const int fd = reg.m_Objects[i]->Descriptor();
        if (fd >= 0 && FD_ISSET(fd, &ready)) found = static_cast<int>(i);
      }
      break;
    }
    // A signal that interrupts the wait is no failure: wait again for the time left.
    if (errno == EINTR) continue;
    std::fprintf(stderr, "%s: %s\n", "CEventRegister::WaitForEvent", std::strerror(errno));
    break;
  }
  CRegistrableObject* object = found >= 0 ? reg.m_Objects[static_cast<std::size_t>(found)] : nullptr;
  cyg_mutex_unlock(&reg.m_Mutex);
  if (AcquisitionStopRequested()) throw CAcquisitionStopped();

  if (object == &g_AbortMailBox) {
    CTorvexHostAcquisition::AbortMsg message{};
    if (!g_AbortMailBox.Receive(&message)) throw CFatalAcqException(TORVEX_LOCATION);
    if (message.code == kAbortMsgAbort) throw CAbortException(message.replySemaphore);
    throw CAcqError(message.code);
  }
  if (object == &g_DspIntr) return kAcqEventDsp;
  if (object == &g_CommandMailBox) return kAcqEventMessage;
  throw CFatalAcqException(TORVEX_LOCATION);
}

}  // namespace Torvex
