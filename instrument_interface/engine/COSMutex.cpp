#include "engine/COSMutex.h"

void COSMutex::Init() {
  failed_ = 1;
  cyg_mutex_init(&mutex_);
  failed_ = 0;
}

void COSMutex::Destroy() { cyg_mutex_destroy(&mutex_); }

bool COSMutex::Lock(std::uint32_t* status) {
  const bool locked = cyg_mutex_lock(&mutex_);
  if (status != nullptr) *status = 0;
  return locked;
}

void COSMutex::Unlock() { cyg_mutex_unlock(&mutex_); }
