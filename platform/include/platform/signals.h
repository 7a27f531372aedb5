// The target C library's signal table, kept by the platform. A handler installed here runs when a
// model of the board raises that signal on a fault (the register bus raises a bus error on an access
// that no device decodes); the host process's own signals are never touched.
//
// Install and Raise may be called from any thread. A handler runs on the thread that made the faulty
// access, at once, with FaultFrame() giving the registers saved at the fault; it may install another
// handler (its own signal's included).
#pragma once

#include <cstdint>

namespace platform::signals {

inline constexpr int kSigBus = 10;       // the bus-error signal, numbered as the target's C library does
inline constexpr int kSignalCount = 32;  // signals 1 to 31

using Handler = void (*)(int signal);

// The default entry: nothing happens beyond the fault's own effect (a bus error's access reads 0 and
// writes nothing).
inline constexpr Handler kDefault = nullptr;
// The "ignore" entry: a raise does nothing.
void Ignore(int signal);

// Makes `handler` the entry of `signal` and returns the previous entry. A signal outside 1 to 31 is a
// misuse: the process stops with a message.
Handler Install(int signal, Handler handler);
Handler Installed(int signal);

// The registers as the processor saves them when a fault is raised: R0 to R10, FP, IP, SP, LR, PC and
// CPSR, then words the frame keeps free, 128 bytes in all. A bus error from the register bus carries
// the access as the accessor's arguments: R0 the address, R1 the value written (0 for a read), R2 the
// width in bytes, R3 1 for a write and 0 for a read; PC is the accessor, LR the return address into
// its caller, SP and FP the accessor's stack (each the low 32 bits of the host's address); CPSR is 0.
struct SavedRegisters {
  std::uint32_t r[11];
  std::uint32_t fp;
  std::uint32_t ip;
  std::uint32_t sp;
  std::uint32_t lr;
  std::uint32_t pc;
  std::uint32_t cpsr;
  std::uint32_t unused[15];
};
static_assert(sizeof(SavedRegisters) == 128, "the saved register frame is 128 bytes");

// Raises `signal` on the calling thread with `frame` as the saved registers: runs its handler, unless
// the entry is the default or Ignore.
void Raise(int signal, const SavedRegisters& frame);

// The frame of the fault whose handler runs on the calling thread; null outside a handler.
const SavedRegisters* FaultFrame();

}  // namespace platform::signals
