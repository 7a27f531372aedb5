// The objects the acquisition waits on, and the one blocking wait of the acquisition code.
//
// CRegistrableObject holds a device descriptor opened for reading and writing when the object is
// built (-1 and the opened flag false when the open failed; nothing is logged or thrown then). On the
// host, static objects are built before the board has registered its devices, so Open tries again
// for an object that is not open yet; the module start calls it before the thread runs.
// CMailBox<T> is a pipe of whole T records: a sender writes one record with a single write, the
// acquisition thread reads one record with a single read. CDspIntr is the DSP interrupt device; it is
// never read or written: a select that finds it readable consumes one interrupt event.
//
// CEventRegister::WaitForEvent waits with a time-out for the command mailbox and/or the DSP interrupt
// and, when abortable, turns a message found in the abort mailbox into an exception, so that every
// abortable wait ends when a measurement is aborted or the NMR path breaks. The register is a local
// object of each call; several threads may wait at once (only one of them waits on the DSP interrupt,
// since every DSP exchange holds the DSP interface lock).
#pragma once

#include <sys/select.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/kernel.h"

namespace Torvex {

class CRegistrableObject {
 public:
  explicit CRegistrableObject(const char* devicePath);
  virtual ~CRegistrableObject();

  CRegistrableObject(const CRegistrableObject&) = delete;
  CRegistrableObject& operator=(const CRegistrableObject&) = delete;

  // Opens the device unless it is open already; the opened flag.
  bool Open();

  int Descriptor() const { return m_Descriptor.load(); }
  bool IsOpened() const { return m_Descriptor.load() >= 0; }

 protected:
  const char* m_Path;
  std::atomic<int> m_Descriptor{-1};
};

// A pipe of whole T records. Send and Receive move exactly sizeof(T) bytes or fail (false): a short
// transfer is never taken for a record.
template <typename T>
class CMailBox : public CRegistrableObject {
 public:
  explicit CMailBox(const char* devicePath) : CRegistrableObject(devicePath) {}
  ~CMailBox() override = default;

  bool Send(const T& message);
  // Blocks while the pipe is empty.
  bool Receive(T* message);
  // Reads one record only when one is waiting; false when the pipe is empty or the read fails.
  bool TryReceive(T* message);
};

class CDspIntr : public CRegistrableObject {
 public:
  explicit CDspIntr(const char* devicePath) : CRegistrableObject(devicePath) {}
  ~CDspIntr() override = default;
};

// Result of WaitForEvent. The value 2 is never returned.
enum eAcqEvent : int {
  kAcqEventMessage = 0,  // the command mailbox holds a message, left unread for the caller
  kAcqEventDsp = 1,      // the DSP interrupt occurred (its event is consumed)
  kAcqEventTimeout = 3,
};

// Source bits of WaitForEvent.
inline constexpr std::uint8_t kAcqSourceCommand = 1;
inline constexpr std::uint8_t kAcqSourceDsp = 2;

class CEventRegister {
 public:
  // Waits for the sources in `sources` (kAcqSource* bits; other bits name nothing) for at most
  // `timeoutMs` board milliseconds (ten to a kernel tick, like every DSP time-out; negative: no
  // limit). When `abortable`, the abort mailbox is watched first: an abort message (code 0) throws
  // CAbortException with its reply semaphore, any other code throws CAcqError with that code. A
  // select interrupted by a signal is retried for the time left; any other select failure, or a
  // select that reports no registered descriptor, throws CFatalAcqException.
  static eAcqEvent WaitForEvent(std::uint8_t sources, std::int16_t timeoutMs, bool abortable);

  // The select the wait calls (platform::select unless a test puts another in place; null restores).
  using SelectFunction = int (*)(int nfds, fd_set* read, fd_set* write, fd_set* except, timeval* timeout);
  static void SetSelectFunction(SelectFunction function);

 private:
  CEventRegister();
  ~CEventRegister();
  CEventRegister(const CEventRegister&) = delete;
  CEventRegister& operator=(const CEventRegister&) = delete;

  void Register(CRegistrableObject* object);

  std::vector<CRegistrableObject*> m_Objects;  // registration order is priority order
  cyg_mutex_t m_Mutex;
};

}  // namespace Torvex
