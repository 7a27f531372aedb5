// CEngineSuspension: the suspensions of a transport's events that one engine device holds (its
// suspension depth), with contract checks.
//
// The engine device holds one suspension for each operation in progress (operations are serialised
// by its mutex, so at most one) and one for the flow-control hold of its event queue: the depth is 0 at
// rest and never above kMostHeld. A transport's Enable leaves its events suspended once; the engine's
// Enable adopts that suspension and hands it out. Misuse stops the process (EngineContract.h): a resume
// without a suspension, more suspensions than the engine ever holds, an Enable while suspensions are
// held, a Disable that leaves one behind. A transport that refuses a suspension is a status, as before.
//
// Called by CEngineDevice: by operations (device mutex held) and by handlers on transport threads (the
// flow-control hold). The transport's suspension keeps those apart; the depth is atomic so that a
// check never reads a torn value.
#pragma once

#include <atomic>
#include <cstdint>

class CPhysicalInterface;

class CEngineSuspension {
 public:
  static constexpr int kMostHeld = 2;

  // Suspends the interface's events; counts the suspension when the transport reports success.
  bool Suspend(CPhysicalInterface* physical_interface, const char* call, std::uint32_t* status);
  // Gives one suspension back to the interface. Stops the process when none is held.
  void Resume(CPhysicalInterface* physical_interface, const char* call, std::uint32_t* status);
  // The suspension a transport's Enable leaves becomes the engine's. Stops when any is still held.
  void AdoptEnableSuspension(const char* call);
  // Stops the process unless exactly `held` suspensions are held.
  void ExpectHeld(int held, const char* call) const;
  // The interface is gone (the hardware was removed): what was held on it is forgotten, not resumed.
  void Forget() { depth_.store(0); }

  int Depth() const { return depth_.load(); }

 private:
  std::atomic<int> depth_{0};
};
