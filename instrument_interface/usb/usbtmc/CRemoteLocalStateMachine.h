// IEEE 488.1 remote/local state of the USB488 interface, kept as one object per state.
//
// Events come from the USB488 class on the "USB Interrupt Handler" thread (class requests, bulk
// headers, suspend, interface enable) or from an engine operation that has suspended USB events
// first (return to local, the report made when reporting is switched on). No lock of its own.
//
// State ids as the observer sees them: 0 LOCS (with or without REN), 1 REMS, 2 LWLS, 3 RWLS.
#pragma once

#include <cstdint>

class CRemoteLocalStateMachine;

class CRemoteLocalStateMachineObserver {
 public:
  virtual ~CRemoteLocalStateMachineObserver() = default;
  virtual void OnRemoteLocalStateChanged(std::uint32_t state_id) = 0;
};

// Base of the five states: every event is ignored unless a state says otherwise.
class CRemoteLocalState {
 public:
  explicit CRemoteLocalState(CRemoteLocalStateMachine* machine) : machine_(machine) {}
  virtual ~CRemoteLocalState() = default;
  CRemoteLocalState(const CRemoteLocalState&) = delete;
  CRemoteLocalState& operator=(const CRemoteLocalState&) = delete;

  virtual void OnRenAsserted(std::uint32_t) {}
  virtual void OnRenDeasserted(std::uint32_t) {}
  virtual void OnAddressed(std::uint32_t) {}
  virtual void OnReturnToLocal(std::uint32_t) {}
  virtual void OnLocalLockout(std::uint32_t) {}
  virtual void OnGoToLocal(std::uint32_t) {}
  virtual std::uint32_t GetId() const = 0;

 protected:
  CRemoteLocalStateMachine* machine_;
};

class CRemoteLocalStateMachine {
 public:
  // Indexes of SetState.
  enum : std::uint32_t {
    kLocalState = 0,
    kLocalWithRenState = 1,
    kLocalWithLockoutState = 2,
    kRemoteState = 3,
    kRemoteWithLockoutState = 4,
    kStateCount = 5,
  };
  // Ids reported to the observer.
  enum : std::uint32_t { kIdLocs = 0, kIdRems = 1, kIdLwls = 2, kIdRwls = 3 };

  // Starts in LOCS with notifications off. A state that cannot be made leaves kStatusOutOfMemory in the status
  // word and no current state (every event is then ignored).
  CRemoteLocalStateMachine(CRemoteLocalStateMachineObserver* observer, std::uint32_t* status);
  ~CRemoteLocalStateMachine();
  CRemoteLocalStateMachine(const CRemoteLocalStateMachine&) = delete;
  CRemoteLocalStateMachine& operator=(const CRemoteLocalStateMachine&) = delete;

  void RenAsserted();
  void RenDeasserted();
  void Addressed();
  void ReturnToLocal();
  void LocalLockout();
  void GoToLocal();
  std::uint32_t GetStateId() const;
  // The index of the current state (kLocalState ...), for tests and the class.
  std::uint32_t GetStateIndex() const;

  void SetState(std::uint32_t index);
  // Tells the observer the current state's id when notifications are on.
  void NotifyObserver();
  void SetNotifications(bool on) { notifications_ = on ? 1 : 0; }
  bool NotificationsOn() const { return notifications_ != 0; }

 private:
  CRemoteLocalStateMachineObserver* observer_;
  CRemoteLocalState* current_ = nullptr;
  CRemoteLocalState* states_[kStateCount] = {};
  std::uint8_t notifications_ = 0;
};
