#include "engine/CEngineSuspension.h"

#include <string>

#include "engine/CPhysicalInterface.h"
#include "engine/DoVovuriStatus.h"
#include "engine/EngineContract.h"

bool CEngineSuspension::Suspend(CPhysicalInterface* physical_interface, const char* call, std::uint32_t* status) {
  std::uint32_t suspend_status = kStatusNotReported;
  physical_interface->SuspendEvents(&suspend_status);
  *status = suspend_status;
  if (suspend_status != kStatusSuccess) return false;
  if (depth_.fetch_add(1) + 1 > kMostHeld) {
    EngineContractViolation(call, "more suspensions than the engine holds: one was not given back");
  }
  return true;
}

void CEngineSuspension::Resume(CPhysicalInterface* physical_interface, const char* call, std::uint32_t* status) {
  int depth = depth_.load();
  do {
    if (depth <= 0) EngineContractViolation(call, "a resume without a suspension");
  } while (!depth_.compare_exchange_weak(depth, depth - 1));
  physical_interface->ResumeEvents(status);
}

void CEngineSuspension::AdoptEnableSuspension(const char* call) {
  int none = 0;
  if (!depth_.compare_exchange_strong(none, 1)) {
    EngineContractViolation(call, "an enable while the engine still holds suspensions");
  }
}

void CEngineSuspension::ExpectHeld(int held, const char* call) const {
  const int depth = depth_.load();
  if (depth == held) return;
  const std::string what =
      "the engine holds " + std::to_string(depth) + " suspensions where it should hold " + std::to_string(held);
  EngineContractViolation(call, what.c_str());
}
