// Mutex of the instrument-interface layer, over a kernel mutex (not recursive).
//
// Users embed it or allocate it, call Init and treat a set failed flag as out of memory. It adds no
// locking of its own; any thread may lock it.
#pragma once

#include <cstdint>

#include "platform/kernel.h"

class COSMutex {
 public:
  void Init();
  void Destroy();
  bool IsFailed() const { return failed_ != 0; }
  // Sets the status to 0 in every case; returns the kernel's result (false when the wait was broken).
  bool Lock(std::uint32_t* status);
  void Unlock();

 private:
  std::uint8_t failed_ = 1;
  cyg_mutex_t mutex_;
};
