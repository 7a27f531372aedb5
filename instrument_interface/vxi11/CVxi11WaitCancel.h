// How the waits of the link side are bounded and cancelled.
#pragma once

#include <cstdint>

constexpr std::uint32_t kVxi11WaitForever = 0xFFFFFFFFu;
// How often a waiting link operation looks whether it was cancelled meanwhile.
constexpr std::uint32_t kVxi11WaitSliceMs = 50;

// What ends a link operation's waits early besides the objects' own wake-ups: a device_abort of the
// operation, the link going, the client's connection closing. Asked between the slices of a wait.
class CVxi11WaitCancel {
 public:
  virtual bool Cancelled() = 0;

 protected:
  ~CVxi11WaitCancel() = default;
};
