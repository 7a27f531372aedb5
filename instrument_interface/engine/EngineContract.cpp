#include "engine/EngineContract.h"

#include <cstdio>
#include <cstdlib>

#include "platform/kernel.h"

void EngineContractViolation(const char* call, const char* what) {
  const cyg_handle_t self = cyg_thread_self();
  std::fprintf(stderr, "%s: %s (thread \"%s\", id %u)\n", call, what, cyg_thread_get_name(self),
               static_cast<unsigned>(cyg_thread_get_id(self)));
  std::fflush(stderr);
  std::abort();
}
