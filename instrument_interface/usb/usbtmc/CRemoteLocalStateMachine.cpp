#include "usb/usbtmc/CRemoteLocalStateMachine.h"

#include <new>

#include "usb/controller/UsbTypes.h"

namespace {

// LOCS without REN: only REN changes anything.
class CLocalState : public CRemoteLocalState {
 public:
  using CRemoteLocalState::CRemoteLocalState;
  void OnRenAsserted(std::uint32_t) override { machine_->SetState(CRemoteLocalStateMachine::kLocalWithRenState); }
  std::uint32_t GetId() const override { return CRemoteLocalStateMachine::kIdLocs; }
};

// LOCS with REN: the first message makes the device remote; LLO locks it out while local. Both are
// LOCS to the engine, so going back and forth between them is never reported.
class CLocalWithRenState : public CRemoteLocalState {
 public:
  using CRemoteLocalState::CRemoteLocalState;
  void OnRenDeasserted(std::uint32_t) override { machine_->SetState(CRemoteLocalStateMachine::kLocalState); }
  void OnAddressed(std::uint32_t) override { Go(CRemoteLocalStateMachine::kRemoteState); }
  void OnLocalLockout(std::uint32_t) override { Go(CRemoteLocalStateMachine::kLocalWithLockoutState); }
  std::uint32_t GetId() const override { return CRemoteLocalStateMachine::kIdLocs; }

 private:
  void Go(std::uint32_t index) {
    machine_->SetState(index);
    machine_->NotifyObserver();
  }
};

class CLocalWithLockoutState : public CRemoteLocalState {
 public:
  using CRemoteLocalState::CRemoteLocalState;
  void OnRenDeasserted(std::uint32_t) override { Go(CRemoteLocalStateMachine::kLocalState); }
  void OnAddressed(std::uint32_t) override { Go(CRemoteLocalStateMachine::kRemoteWithLockoutState); }
  std::uint32_t GetId() const override { return CRemoteLocalStateMachine::kIdLwls; }

 private:
  void Go(std::uint32_t index) {
    machine_->SetState(index);
    machine_->NotifyObserver();
  }
};

class CRemoteState : public CRemoteLocalState {
 public:
  using CRemoteLocalState::CRemoteLocalState;
  void OnRenDeasserted(std::uint32_t) override { Go(CRemoteLocalStateMachine::kLocalState); }
  void OnReturnToLocal(std::uint32_t) override { Go(CRemoteLocalStateMachine::kLocalWithRenState); }
  void OnLocalLockout(std::uint32_t) override { Go(CRemoteLocalStateMachine::kRemoteWithLockoutState); }
  void OnGoToLocal(std::uint32_t) override { Go(CRemoteLocalStateMachine::kLocalWithRenState); }
  std::uint32_t GetId() const override { return CRemoteLocalStateMachine::kIdRems; }

 private:
  void Go(std::uint32_t index) {
    machine_->SetState(index);
    machine_->NotifyObserver();
  }
};

// RWLS: neither a message nor the application's return to local changes it; only GTL or REN off.
class CRemoteWithLockoutState : public CRemoteLocalState {
 public:
  using CRemoteLocalState::CRemoteLocalState;
  void OnRenDeasserted(std::uint32_t) override { Go(CRemoteLocalStateMachine::kLocalState); }
  void OnGoToLocal(std::uint32_t) override { Go(CRemoteLocalStateMachine::kLocalWithLockoutState); }
  std::uint32_t GetId() const override { return CRemoteLocalStateMachine::kIdRwls; }

 private:
  void Go(std::uint32_t index) {
    machine_->SetState(index);
    machine_->NotifyObserver();
  }
};

}  // namespace

CRemoteLocalStateMachine::CRemoteLocalStateMachine(CRemoteLocalStateMachineObserver* observer, std::uint32_t* status)
    : observer_(observer) {
  if (*status != 0) return;
  states_[kLocalState] = new (std::nothrow) CLocalState(this);
  states_[kLocalWithRenState] = new (std::nothrow) CLocalWithRenState(this);
  states_[kLocalWithLockoutState] = new (std::nothrow) CLocalWithLockoutState(this);
  states_[kRemoteState] = new (std::nothrow) CRemoteState(this);
  states_[kRemoteWithLockoutState] = new (std::nothrow) CRemoteWithLockoutState(this);
  for (CRemoteLocalState* state : states_) {
    if (state == nullptr) {
      *status = kStatusOutOfMemory;
      return;
    }
  }
  current_ = states_[kLocalState];
}

CRemoteLocalStateMachine::~CRemoteLocalStateMachine() {
  for (CRemoteLocalState*& state : states_) {
    delete state;
    state = nullptr;
  }
}

void CRemoteLocalStateMachine::RenAsserted() {
  if (current_ != nullptr) current_->OnRenAsserted(0);
}
void CRemoteLocalStateMachine::RenDeasserted() {
  if (current_ != nullptr) current_->OnRenDeasserted(0);
}
void CRemoteLocalStateMachine::Addressed() {
  if (current_ != nullptr) current_->OnAddressed(0);
}
void CRemoteLocalStateMachine::ReturnToLocal() {
  if (current_ != nullptr) current_->OnReturnToLocal(0);
}
void CRemoteLocalStateMachine::LocalLockout() {
  if (current_ != nullptr) current_->OnLocalLockout(0);
}
void CRemoteLocalStateMachine::GoToLocal() {
  if (current_ != nullptr) current_->OnGoToLocal(0);
}

std::uint32_t CRemoteLocalStateMachine::GetStateId() const {
  return current_ != nullptr ? current_->GetId() : static_cast<std::uint32_t>(kIdLocs);
}

std::uint32_t CRemoteLocalStateMachine::GetStateIndex() const {
  for (std::uint32_t i = 0; i < kStateCount; ++i) {
    if (states_[i] == current_) return i;
  }
  return kLocalState;
}

void CRemoteLocalStateMachine::SetState(std::uint32_t index) {
  if (index < kStateCount && states_[index] != nullptr) current_ = states_[index];
}

void CRemoteLocalStateMachine::NotifyObserver() {
  if (notifications_ != 0 && observer_ != nullptr && current_ != nullptr) {
    observer_->OnRemoteLocalStateChanged(current_->GetId());
  }
}
