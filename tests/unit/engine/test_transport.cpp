#include "test_transport.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sstream>

#include "engine/CDataBuffer.h"
#include "engine/DoVovuriStatus.h"

namespace torvex_test {

CTestTransport::CTestTransport(const TestTransportConfig& config, std::uint32_t plugin_id, std::uint32_t* status)
    : CPhysicalInterface(nullptr, 0, plugin_id, status), config_(config) {
  if (config_.kind == SuspensionKind::kCounter) config_.delivery_threads = 1;
  for (int i = 0; i < config_.delivery_threads; ++i) threads_.emplace_back([this] { DeliveryLoop(); });
}

CTestTransport::~CTestTransport() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

// ---------------------------------------------------------------------------------------------------
// Delivery threads

void CTestTransport::Queue(Action action) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    actions_.push_back(std::move(action));
  }
  changed_.notify_all();
}

void CTestTransport::DeliveryLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !actions_.empty(); });
    if (stopping_) return;
    Action action = std::move(actions_.front());
    actions_.pop_front();
    ++running_actions_;
    lock.unlock();
    Deliver(action);
    lock.lock();
    --running_actions_;
    changed_.notify_all();
  }
}

void CTestTransport::Deliver(const Action& action) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (config_.kind == SuspensionKind::kGate) {
    changed_.wait(lock, [this] { return stopping_ || !enabled_ || tokens_ == 1; });
    if (stopping_ || !enabled_) return;  // a disabled transport delivers nothing
    tokens_ = 0;
  } else {
    changed_.wait(lock, [this] { return stopping_ || !enabled_ || (depth_ == 0 && !busy_); });
    if (stopping_ || !enabled_) return;
  }
  if (depth_ != 0 || busy_) violations_.fetch_add(1);
  busy_ = true;
  owner_ = std::this_thread::get_id();
  lock.unlock();
  action();
  lock.lock();
  busy_ = false;
  owner_ = std::thread::id();
  if (config_.kind == SuspensionKind::kGate && enabled_ && depth_ == 0) {
    // The token comes back to the gate; while a suspension is in effect it stays with that.
    if (++tokens_ > 1) violations_.fetch_add(1);
  }
  changed_.notify_all();
}

bool CTestTransport::WaitIdle(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [this] { return actions_.empty() && running_actions_ == 0; });
}

// ---------------------------------------------------------------------------------------------------
// Suspension

void CTestTransport::SuspendEvents(std::uint32_t* status) {
  std::unique_lock<std::mutex> lock(mutex_);
  suspends_.fetch_add(1);
  const bool own_handler = busy_ && owner_ == std::this_thread::get_id();
  if (!own_handler && enabled_) {
    if (config_.kind == SuspensionKind::kCounter) {
      // Mask first, so no new entry point starts, then wait for the one that runs.
      ++depth_;
      changed_.wait(lock, [this] { return !busy_ || stopping_; });
      --depth_;
    } else {
      changed_.wait(lock, [this] { return !busy_ || stopping_ || !enabled_; });
      if (depth_ == 0 && enabled_) {
        if (tokens_ != 1) violations_.fetch_add(1);
        tokens_ = 0;  // the suspension holds the token
      }
    }
  }
  ++depth_;
  max_depth_ = std::max(max_depth_, depth_);
  *status = kStatusSuccess;
}

void CTestTransport::ResumeEvents(std::uint32_t* status) {
  std::unique_lock<std::mutex> lock(mutex_);
  resumes_.fetch_add(1);
  *status = kStatusSuccess;
  if (depth_ == 0) {
    violations_.fetch_add(1);  // a resume without a suspension
    return;
  }
  --depth_;
  if (depth_ == 0 && config_.kind == SuspensionKind::kGate && enabled_ && !busy_) {
    // Back to the gate; while an entry point still runs, it brings the token back when it leaves.
    if (++tokens_ > 1) violations_.fetch_add(1);
  }
  changed_.notify_all();
}

// ---------------------------------------------------------------------------------------------------
// Enable, disable

bool CTestTransport::IsEnabled() {
  std::lock_guard<std::mutex> lock(mutex_);
  return enabled_;
}

void CTestTransport::Enable(const void*, std::uint32_t* status) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (depth_ != 0) violations_.fetch_add(1);  // a suspension left over from before
  enabled_ = true;
  enables_.fetch_add(1);
  // Enabled with the events suspended once; the engine's Enable hands them out.
  depth_ += 1;
  tokens_ = 0;
  max_depth_ = std::max(max_depth_, depth_);
  *status = kStatusSuccess;
}

void CTestTransport::Disable(std::uint32_t* status) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    enabled_ = false;
    tokens_ = 0;
    receive_pending_ = false;
    ++receive_generation_;
    send_pending_ = false;
    ++send_generation_;
    read_active_ = false;
    write_data_.clear();
    write_unconsumed_ = 0;
  }
  changed_.notify_all();
  *status = kStatusSuccess;
}

void CTestTransport::DeviceClearDone(std::uint32_t* status) {
  clears_done_.fetch_add(1);
  *status = kStatusSuccess;
}

// ---------------------------------------------------------------------------------------------------
// Transfers

void CTestTransport::Receive(CDataBuffer* buffer, std::uint32_t* status) {
  std::uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    receive_pending_ = true;
    receive_buffer_ = buffer;
    generation = ++receive_generation_;
  }
  Queue([this, generation] { CompleteReceive(generation); });
  *status = kStatusSuccess;
}

void CTestTransport::CompleteReceive(std::uint64_t generation) {
  std::uint32_t count = 0;
  bool end = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!receive_pending_ || generation != receive_generation_ || write_data_.empty()) return;
    CDataBuffer* buffer = receive_buffer_;
    const std::uint32_t room = buffer->WindowEnd() - buffer->WindowStart();
    count = std::min<std::uint32_t>(room, static_cast<std::uint32_t>(write_data_.size()));
    std::memcpy(buffer->Data() + buffer->WindowStart(), write_data_.data(), count);
    write_data_.erase(0, count);
    write_unconsumed_ -= std::min<std::size_t>(write_unconsumed_, count);
    end = write_end_ && write_data_.empty();
    receive_pending_ = false;
  }
  DataReceived(count, end);
  changed_.notify_all();
}

void CTestTransport::CancelReceive(std::uint32_t* count, bool* end, std::uint32_t* status) {
  std::lock_guard<std::mutex> lock(mutex_);
  receive_pending_ = false;
  ++receive_generation_;
  *count = 0;  // bytes are moved only when a receive completes
  *end = false;
  *status = kStatusSuccess;
}

void CTestTransport::Send(CDataBuffer* buffer, bool term_char_found, bool end, std::uint32_t* status) {
  std::uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    send_pending_ = true;
    send_chunk_.bytes.assign(reinterpret_cast<const char*>(buffer->Data() + buffer->WindowStart()),
                             buffer->WindowEnd() - buffer->WindowStart());
    send_chunk_.term_char_found = term_char_found;
    send_chunk_.end = end;
    generation = ++send_generation_;
  }
  Queue([this, generation] { CompleteSend(generation); });
  *status = kStatusSuccess;
}

void CTestTransport::CompleteSend(std::uint64_t generation) {
  std::uint32_t count = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!send_pending_ || generation != send_generation_) return;
    received_ += send_chunk_.bytes;
    chunks_.push_back(send_chunk_);
    changed_.notify_all();
    count = static_cast<std::uint32_t>(send_chunk_.bytes.size());
    send_pending_ = false;
    read_active_ = false;  // one chunk per host read
  }
  DataSent(count);
}

void CTestTransport::CancelSend(std::uint32_t* count, std::uint32_t* status) {
  std::lock_guard<std::mutex> lock(mutex_);
  send_pending_ = false;
  ++send_generation_;
  *count = 0;
  *status = kStatusSuccess;
}

bool CTestTransport::IsReceiveActive() {
  std::lock_guard<std::mutex> lock(mutex_);
  return enabled_ && !write_data_.empty();
}

bool CTestTransport::IsSendActive() {
  std::lock_guard<std::mutex> lock(mutex_);
  return enabled_ && read_active_ && !send_pending_;
}

void CTestTransport::ClampTransfer(CDataBuffer* buffer) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint32_t most = config_.clamp;
  const std::uint32_t start = buffer->WindowStart();
  std::uint32_t end = buffer->WindowEnd();
  if (read_active_ && !send_pending_) most = std::min(most, read_max_);
  if (end - start > most) end = start + most;
  buffer->SetWindow(start, end);
}

bool CTestTransport::IsTermCharEnabled() {
  std::lock_guard<std::mutex> lock(mutex_);
  return read_term_enabled_;
}

std::uint8_t CTestTransport::GetTermChar() {
  std::lock_guard<std::mutex> lock(mutex_);
  return read_term_char_;
}

void CTestTransport::AssertServiceRequest(std::uint32_t* status) {
  srq_asserted_.fetch_add(1);
  *status = kStatusSuccess;
}

void CTestTransport::WithdrawServiceRequest(std::uint32_t* status) {
  srq_withdrawn_.fetch_add(1);
  *status = kStatusSuccess;
}

void CTestTransport::ReportStatusByte(std::uint8_t byte, std::uint32_t* status) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    status_bytes_.push_back(byte);
  }
  Queue([this] { StatusReadEnd(); });
  *status = kStatusSuccess;
}

// ---------------------------------------------------------------------------------------------------
// Host side

void CTestTransport::HostWrite(const std::string& bytes, bool end) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    write_unconsumed_ += bytes.size();
  }
  Queue([this, bytes, end] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      write_data_ += bytes;
      write_end_ = end;
    }
    BeginReceive();
    ArmReceive();
    std::uint64_t generation = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      generation = receive_generation_;
    }
    CompleteReceive(generation);  // a receive that waited for bytes
  });
}

void CTestTransport::HostRead(std::uint32_t max, bool use_term_char, std::uint8_t term_char) {
  Queue([this, max, use_term_char, term_char] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      read_active_ = true;
      read_max_ = max;
      read_term_enabled_ = use_term_char;
      read_term_char_ = term_char;
    }
    ArmSend();
  });
}

void CTestTransport::HostTrigger() {
  Queue([this] { Trigger(); });
}

void CTestTransport::HostDeviceClear() {
  Queue([this] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      read_active_ = false;
      write_unconsumed_ -= std::min(write_unconsumed_, write_data_.size());
      write_data_.clear();
    }
    DeviceClear();
  });
}

void CTestTransport::HostStatusRead() {
  Queue([this] { StatusReadBegin(); });
}

void CTestTransport::HostRemoteLocal(std::uint32_t state) {
  Queue([this, state] { RemoteLocalChanged(state); });
}

void CTestTransport::HostCall(std::function<void(CTestTransport&)> call) {
  Queue([this, call] { call(*this); });
}

void CTestTransport::HostException(std::uint32_t code) {
  Queue([this, code] { NotifyException(code); });
}

void CTestTransport::ExceptionFromOutside(std::uint32_t code) { NotifyExceptionOutsideEvents(code); }

std::string CTestTransport::Received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool CTestTransport::WaitWritten(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return write_unconsumed_ == 0; });
}

bool CTestTransport::WaitReceived(std::size_t count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [this, count] { return received_.size() >= count; });
}

std::vector<SentChunk> CTestTransport::Chunks() {
  std::lock_guard<std::mutex> lock(mutex_);
  return chunks_;
}

std::vector<std::uint8_t> CTestTransport::StatusBytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_bytes_;
}

int CTestTransport::PendingWriteBytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(write_data_.size());
}

int CTestTransport::Depth() {
  std::lock_guard<std::mutex> lock(mutex_);
  return depth_;
}

int CTestTransport::MaxDepth() {
  std::lock_guard<std::mutex> lock(mutex_);
  return max_depth_;
}

std::string CTestTransport::Describe() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ostringstream out;
  out << "transport: enabled " << enabled_ << " depth " << depth_ << " tokens " << tokens_ << " busy " << busy_
      << " actions " << actions_.size() << " running " << running_actions_ << " write bytes " << write_data_.size()
      << " receive pending " << receive_pending_ << " read active " << read_active_ << " send pending " << send_pending_
      << " suspends " << suspends_.load() << " resumes " << resumes_.load() << " violations " << violations_.load();
  return out.str();
}

// ---------------------------------------------------------------------------------------------------
// Factory

CPhysicalInterface* CTestTransportFactory::CreateInterface(const DoVovuriDeviceDescriptor* descriptor,
                                                           std::uint32_t context, std::uint32_t* status) {
  if (fail_next_.exchange(false)) {
    *status = kStatusOutOfMemory;
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  *status = kStatusSuccess;
  CTestTransport* transport = new CTestTransport(config_, descriptor->plugin_id, status);
  if (*status != kStatusSuccess) {
    delete transport;
    return nullptr;
  }
  alive_.emplace_back(transport, context);
  return transport;
}

void CTestTransportFactory::DestroyInterface(CPhysicalInterface* physical_interface) {
  std::lock_guard<std::mutex> lock(mutex_);
  alive_.erase(std::remove_if(alive_.begin(), alive_.end(),
                              [physical_interface](const auto& made) { return made.first == physical_interface; }),
               alive_.end());
  delete physical_interface;
}

CTestTransport* CTestTransportFactory::Last() {
  std::lock_guard<std::mutex> lock(mutex_);
  return alive_.empty() ? nullptr : alive_.back().first;
}

CTestTransport* CTestTransportFactory::ByContext(std::uint32_t context) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& made : alive_) {
    if (made.second == context) return made.first;
  }
  return nullptr;
}

int CTestTransportFactory::Alive() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(alive_.size());
}

void CTestTransportFactory::SetConfig(TestTransportConfig config) {
  std::lock_guard<std::mutex> lock(mutex_);
  config_ = config;
}

}  // namespace torvex_test
