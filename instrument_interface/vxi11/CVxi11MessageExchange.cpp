#include "vxi11/CVxi11MessageExchange.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "vxi11/CVxi11LinkManager.h"
#include "vxi11/CVxi11IoCompletionWaiter.h"
#include "vxi11/CVxi11LinkOperationGuard.h"

namespace {
constexpr int kSpinMicroseconds = 30;
}  // namespace

void CVxi11MessageExchange::ResetLocked(std::uint8_t enabled) {
  enabled_ = enabled;
  owner_ = 0;
  owner_gone_ = 0;
  partial_ = 0;
  delivered_ = 0;
  response_ = 0;
  setting_aside_ = 0;
  // The device posts its input buffer after an enable.
  input_ready_ = 0;
}

void CVxi11MessageExchange::Enable() {
  std::lock_guard<std::mutex> hold(mutex_);
  ResetLocked(1);
  Changed();
}

void CVxi11MessageExchange::Disable() {
  std::lock_guard<std::mutex> hold(mutex_);
  ResetLocked(0);
  writers_.clear();
  for (auto& entry : links_) ForgetMailbox(entry.second);
  Changed();
}

bool CVxi11MessageExchange::IsEnabled() {
  std::lock_guard<std::mutex> hold(mutex_);
  return enabled_ != 0;
}

CVxi11MessageExchange::Link& CVxi11MessageExchange::At(std::uint32_t lid) { return links_[lid]; }

void CVxi11MessageExchange::Release() {
  owner_ = 0;
  owner_gone_ = 0;
  partial_ = 0;
  delivered_ = 0;
  response_ = 0;
  Changed();
}

void CVxi11MessageExchange::ForgetMailbox(Link& link) {
  set_aside_bytes_ -= std::min(set_aside_bytes_, link.mailbox.size());
  std::vector<std::uint8_t>().swap(link.mailbox);
  link.mailbox_offset = 0;
  link.mailbox_end = 0;
}

// ---------------------------------------------------------------------------------------------------
// Links and their operations

void CVxi11MessageExchange::Open(std::uint32_t lid, CVxi11Connection* connection) {
  std::lock_guard<std::mutex> hold(mutex_);
  Link& link = At(lid);
  link.connection = connection;
  link.going = 0;
}

void CVxi11MessageExchange::Going(std::uint32_t lid) {
  std::lock_guard<std::mutex> hold(mutex_);
  At(lid).going = 1;
  // What the device still owes the link goes nowhere now.
  if (owner_ == lid) owner_gone_ = 1;
  Changed();
}

void CVxi11MessageExchange::Close(std::uint32_t lid) {
  std::lock_guard<std::mutex> hold(mutex_);
  LeaveWriters(lid);
  auto found = links_.find(lid);
  if (found != links_.end()) {
    ForgetMailbox(found->second);
    links_.erase(found);
  }
  if (owner_ == lid) {
    owner_gone_ = 1;
    // A claim that delivered nothing, or an answer already complete: nothing stays to be owed.
    if (partial_ == 0 && delivered_ == 0 && response_ == 0) Release();
  }
  Changed();
}

void CVxi11MessageExchange::BeginOperation(std::uint32_t lid) {
  std::lock_guard<std::mutex> hold(mutex_);
  Link& link = At(lid);
  link.busy = 1;
  link.aborted = 0;
  link.reading = 0;
}

void CVxi11MessageExchange::EndOperation(std::uint32_t lid) {
  std::lock_guard<std::mutex> hold(mutex_);
  LeaveWriters(lid);  // a write that gave up waiting
  auto found = links_.find(lid);
  if (found == links_.end()) return;
  found->second.busy = 0;
  found->second.aborted = 0;
  if (found->second.reading != 0) {
    found->second.reading = 0;
    Changed();  // a link that waited for the owner to read its response may set it aside now
  }
}

void CVxi11MessageExchange::Abort(std::uint32_t lid) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto found = links_.find(lid);
  if (found == links_.end() || found->second.busy == 0) return;
  found->second.aborted = 1;
  Changed();
}

bool CVxi11MessageExchange::Cancelled(std::uint32_t lid) {
  CVxi11Connection* connection = nullptr;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (enabled_ == 0) return true;
    auto found = links_.find(lid);
    if (found == links_.end()) return false;
    if (found->second.aborted != 0 || found->second.going != 0) return true;
    connection = found->second.connection;
  }
  // The connection outlives the link's operations (its links go before it does).
  return connection != nullptr && connection->IsGone();
}

// ---------------------------------------------------------------------------------------------------
// Writes and clears

CVxi11MessageExchange::WriteStep CVxi11MessageExchange::NextWriteStep(std::uint32_t lid, bool need_input,
                                                                      std::uint32_t* owner, std::uint64_t* seen) {
  std::lock_guard<std::mutex> hold(mutex_);
  *owner = 0;
  *seen = generation_.load();
  if (enabled_ == 0) return WriteStep::kWait;
  if (owner_ == lid) {
    // The link's own previous message may still be with the device: its next one follows it.
    return need_input && input_ready_ == 0 ? WriteStep::kWait : WriteStep::kProceed;
  }
  // Writes take the exchange in the order they came; a device clear does not queue behind them.
  bool first = true;
  if (need_input) {
    if (std::find(writers_.begin(), writers_.end(), lid) == writers_.end()) writers_.push_back(lid);
    first = writers_.front() == lid;
  }
  const bool can_write = first && (!need_input || input_ready_ != 0);
  if (owner_ == 0 && response_ == 0) return can_write ? WriteStep::kProceed : WriteStep::kWait;
  // A link that went owes nobody an answer: a device clear takes its place at once.
  if (!need_input && owner_gone_ != 0 && setting_aside_ == 0) return WriteStep::kInterrupt;
  if (response_ == 0 || setting_aside_ != 0) return WriteStep::kWait;
  // Another link's response (or one whose link went) waits in the device.
  if (owner_ != 0 && owner_gone_ == 0) {
    auto found = links_.find(owner_);
    if (found != links_.end() && found->second.reading != 0) return WriteStep::kWait;  // it reads it itself
    if (set_aside_bytes_ >= kVxi11SetAsideBudget) return can_write ? WriteStep::kInterrupt : WriteStep::kWait;
  }
  setting_aside_ = 1;
  *owner = owner_;
  return WriteStep::kSetAside;
}

bool CVxi11MessageExchange::Claim(std::uint32_t lid, bool need_input, bool interrupt) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (enabled_ == 0) return false;
  if (owner_ != lid) {
    if (need_input && (writers_.empty() || writers_.front() != lid)) return false;
    if (owner_ != 0 || response_ != 0) {
      if (!interrupt || setting_aside_ != 0 || (response_ == 0 && owner_gone_ == 0)) return false;
      // No room to keep the owner's response (or its link went): lid's message or clear discards it,
      // and a link still there hears so at its next read.
      if (owner_ != 0 && owner_gone_ == 0) {
        auto found = links_.find(owner_);
        if (found != links_.end()) {
          ForgetMailbox(found->second);
          found->second.lost = 1;
        }
      }
    }
    owner_ = lid;
    owner_gone_ = 0;
    partial_ = 0;
    delivered_ = 0;
  }
  LeaveWriters(lid);
  Changed();
  return true;
}

void CVxi11MessageExchange::LeaveWriters(std::uint32_t lid) {
  auto found = std::find(writers_.begin(), writers_.end(), lid);
  if (found == writers_.end()) return;
  writers_.erase(found);
  Changed();
}

bool CVxi11MessageExchange::CanSetAside(std::uint32_t owner) {
  std::lock_guard<std::mutex> hold(mutex_);
  return enabled_ != 0 && owner_ == owner && response_ != 0;
}

void CVxi11MessageExchange::FinishSetAside(std::uint32_t owner, std::vector<std::uint8_t>* bytes, bool end) {
  std::lock_guard<std::mutex> hold(mutex_);
  setting_aside_ = 0;
  if (enabled_ != 0 && owner_ == owner) {
    if (owner != 0 && owner_gone_ == 0 && (!bytes->empty() || end)) {
      Link& link = At(owner);
      if (link.mailbox_offset == link.mailbox.size()) ForgetMailbox(link);
      link.mailbox.insert(link.mailbox.end(), bytes->begin(), bytes->end());
      set_aside_bytes_ += bytes->size();
      link.mailbox_end = end ? 1 : 0;
      link.lost = 0;
    }
    if (end) Release();
  }
  bytes->clear();
  Changed();
}

// ---------------------------------------------------------------------------------------------------
// Reads

CVxi11MessageExchange::ReadStep CVxi11MessageExchange::NextReadStep(std::uint32_t lid, bool probed,
                                                                    std::uint64_t* seen) {
  std::lock_guard<std::mutex> hold(mutex_);
  *seen = generation_.load();
  Link& link = At(lid);
  link.reading = 0;
  if (link.mailbox_offset < link.mailbox.size()) return ReadStep::kMailbox;
  if (link.lost != 0) return ReadStep::kLost;
  if (enabled_ == 0) return ReadStep::kWait;
  if (owner_ == lid) {
    if (response_ != 0) return ReadStep::kDevice;
    if (partial_ != 0 && delivered_ == 0) return ReadStep::kEndMessage;
    // The device works on the link's message: its response is the link's to read.
    link.reading = 1;
    return ReadStep::kWait;
  }
  if (owner_ == 0 && response_ == 0 && !probed) return ReadStep::kProbe;
  return ReadStep::kWait;
}

std::uint32_t CVxi11MessageExchange::ReadMailbox(std::uint32_t lid, bool termchar_set, std::uint8_t termchar,
                                                 std::uint32_t count, std::uint8_t* destination, bool* end,
                                                 bool* termchar_found, bool* drained) {
  std::lock_guard<std::mutex> hold(mutex_);
  *end = false;
  *termchar_found = false;
  *drained = true;
  auto found = links_.find(lid);
  if (found == links_.end()) return 0;
  Link& link = found->second;
  const std::size_t left = link.mailbox.size() - link.mailbox_offset;
  std::size_t n = std::min<std::size_t>(left, count);
  const std::uint8_t* from = link.mailbox.data() + link.mailbox_offset;
  if (termchar_set && n > 0) {
    const void* hit = std::memchr(from, termchar, n);
    if (hit != nullptr) {
      n = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - from) + 1;
      *termchar_found = true;
    }
  }
  if (n > 0) std::memcpy(destination, from, n);
  link.mailbox_offset += n;
  *drained = link.mailbox_offset == link.mailbox.size();
  if (*drained) {
    // END belongs to the last byte of a response set aside whole; without it, the rest is still in the
    // device.
    *end = link.mailbox_end != 0;
    ForgetMailbox(link);
  }
  return static_cast<std::uint32_t>(n);
}

void CVxi11MessageExchange::DropMailbox(std::uint32_t lid) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto found = links_.find(lid);
  if (found == links_.end()) return;
  ForgetMailbox(found->second);
  found->second.lost = 0;
}

bool CVxi11MessageExchange::HasMailbox(std::uint32_t lid) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto found = links_.find(lid);
  return found != links_.end() && found->second.mailbox_offset < found->second.mailbox.size();
}

std::size_t CVxi11MessageExchange::SetAsideBytes() {
  std::lock_guard<std::mutex> hold(mutex_);
  return set_aside_bytes_;
}

// ---------------------------------------------------------------------------------------------------
// The exchange

void CVxi11MessageExchange::MessageStarting(std::uint32_t lid) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto found = links_.find(lid);
  if (found != links_.end()) {
    // The host gave up the unread rest of its last response.
    ForgetMailbox(found->second);
    found->second.lost = 0;
  }
  if (owner_ == lid && response_ != 0) {
    response_ = 0;  // the device discards it as interrupted
    delivered_ = 0;
    Changed();
  }
}

void CVxi11MessageExchange::PartDelivered(std::uint32_t lid) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (owner_ != lid) return;
  partial_ = 1;
  delivered_ = 0;
}

void CVxi11MessageExchange::MessageDelivered(std::uint32_t lid) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (enabled_ == 0 || owner_ != lid) return;
  partial_ = 0;
  delivered_ = 1;
  response_ = 0;
  input_ready_ = 0;
  Changed();
}

void CVxi11MessageExchange::Abandon(std::uint32_t lid) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (owner_ == lid && partial_ == 0 && delivered_ == 0 && response_ == 0) Release();
}

void CVxi11MessageExchange::ResponseTaken(std::uint32_t lid) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (owner_ == lid) Release();
}

void CVxi11MessageExchange::Cleared() {
  std::lock_guard<std::mutex> hold(mutex_);
  Release();
}

void CVxi11MessageExchange::InputPosted() {
  std::lock_guard<std::mutex> hold(mutex_);
  input_ready_ = 1;
  // The device took the owner's message and queued no response for it: it owes nothing.
  if (owner_ != 0 && delivered_ != 0 && response_ == 0) Release();
  Changed();
}

void CVxi11MessageExchange::ResponseQueued() {
  std::lock_guard<std::mutex> hold(mutex_);
  response_ = 1;
  Changed();
}

bool CVxi11MessageExchange::Wait(std::uint64_t seen, std::uint32_t timeout_ms, CVxi11WaitCancel* cancel) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const auto changed = [&] { return generation_.load() != seen; };
  if (timeout_ms != 0) {
    // The device mostly answers within microseconds (a response queued, the input buffer posted):
    // look a few times before going to sleep, which saves the wake-up's latency.
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinMicroseconds);
    do {
      if (changed()) return true;
      std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < until);
  }
  std::unique_lock<std::mutex> hold(mutex_);
  ++waiting_;
  bool result = false;
  for (;;) {
    auto slice = std::chrono::milliseconds(kVxi11WaitSliceMs);
    if (timeout_ms != kVxi11WaitForever) {
      const auto left = deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) {
        result = changed();
        break;
      }
      const auto left_ms = std::chrono::duration_cast<std::chrono::milliseconds>(left) + std::chrono::milliseconds(1);
      if (left_ms < slice) slice = left_ms;
    }
    if (changed_.wait_for(hold, slice, changed)) {
      result = true;
      break;
    }
    if (cancel != nullptr) {
      hold.unlock();
      const bool cancelled = cancel->Cancelled();
      hold.lock();
      if (cancelled) break;
    }
  }
  --waiting_;
  return result;
}

std::uint32_t CVxi11MessageExchange::Owner() {
  std::lock_guard<std::mutex> hold(mutex_);
  return owner_;
}

bool CVxi11MessageExchange::OwnerHasPartialMessage() {
  std::lock_guard<std::mutex> hold(mutex_);
  return owner_ != 0 && partial_ != 0 && delivered_ == 0;
}

int CVxi11MessageExchange::Waiting() {
  std::lock_guard<std::mutex> hold(mutex_);
  return waiting_;
}
