// CTestTransport: a physical interface of the tests, standing in for a VXI-11 or USB transport.
//
// The "host" side is scripted from any test thread (HostWrite, HostRead, HostTrigger, ...); each host
// action is queued and carried out by the transport's own delivery threads, which are the only threads
// that call the engine's entry points. The engine's Receive and Send are completed the same way, from
// the delivery threads, never from inside the engine's call.
//
// Two kinds of suspension, as the real transports have them:
//  - kGate: a one-token gate that several delivery threads pass (as the VXI-11 server threads do). The
//    token is with at most one holder: a delivery thread running an entry point, or the engine's
//    suspension. A resume from another thread than the one that suspended never makes a second token.
//  - kCounter: a nesting mask counter over one delivery thread (as the USB interrupt thread).
// Both nest, let an entry point suspend without waiting for itself, and keep figures: suspension depth,
// suspend and resume calls, and violations (an entry point running while the engine holds the
// transport back from another thread, a resume without a suspension, a second token).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/CPhysicalInterface.h"
#include "engine/CPhysicalInterfaceFactory.h"

namespace torvex_test {

enum class SuspensionKind { kGate, kCounter };

struct TestTransportConfig {
  SuspensionKind kind = SuspensionKind::kGate;
  int delivery_threads = 1;       // kCounter always uses one
  std::uint32_t buffer_size = 0;  // the transport's own input and output buffers (0: none)
  std::uint32_t clamp = 4096;     // the most one transfer takes
};

// One chunk the host received.
struct SentChunk {
  std::string bytes;
  bool term_char_found;
  bool end;
};

class CTestTransport : public CPhysicalInterface {
 public:
  CTestTransport(const TestTransportConfig& config, std::uint32_t plugin_id, std::uint32_t* status);
  ~CTestTransport() override;

  // ---- host side (any test thread) ----
  // A host write of `bytes`; END goes with the last byte when `end`.
  void HostWrite(const std::string& bytes, bool end);
  // A host read of at most `max` bytes, stopping after `term_char` when `use_term_char`.
  void HostRead(std::uint32_t max, bool use_term_char = false, std::uint8_t term_char = '\n');
  void HostTrigger();
  void HostDeviceClear();
  void HostStatusRead();  // begin; the end follows once the status byte has been reported
  void HostRemoteLocal(std::uint32_t state);
  // Any entry-point call, made on a delivery thread as a misbehaving transport would make it.
  void HostCall(std::function<void(CTestTransport&)> call);
  // A transport exception raised on a delivery thread, or from the calling thread outside the events.
  void HostException(std::uint32_t code);
  void ExceptionFromOutside(std::uint32_t code);

  // Waits until every queued host action and completion has been carried out.
  bool WaitIdle(int timeout_ms = 10000);

  // ---- what the host has seen ----
  std::string Received();  // all bytes sent to the host, in order
  // Waits until the device has taken every byte the host wrote.
  bool WaitWritten(int timeout_ms = 10000);
  // Waits until the host has received at least `count` bytes in all.
  bool WaitReceived(std::size_t count, int timeout_ms = 10000);
  std::vector<SentChunk> Chunks();
  std::vector<std::uint8_t> StatusBytes();
  int ServiceRequestsAsserted() const { return srq_asserted_.load(); }
  int ServiceRequestsWithdrawn() const { return srq_withdrawn_.load(); }
  int DeviceClearsDone() const { return clears_done_.load(); }
  int PendingWriteBytes();
  bool IsTransportEnabled() { return IsEnabled(); }

  // ---- suspension figures ----
  int Depth();
  int MaxDepth();
  int Suspends() const { return suspends_.load(); }
  int Resumes() const { return resumes_.load(); }
  // Enable leaves one suspension that the engine's Enable resumes: at rest Resumes == Suspends + Enables.
  int Enables() const { return enables_.load(); }
  int Violations() const { return violations_.load(); }
  std::string Describe();  // one line of state, for a watchdog's dump

  // ---- CPhysicalInterface ----
  bool IsEnabled() override;
  void Enable(const void* settings, std::uint32_t* status) override;
  void Disable(std::uint32_t* status) override;
  void ResumeEvents(std::uint32_t* status) override;
  void SuspendEvents(std::uint32_t* status) override;
  void EnableTrigger(std::uint32_t* status) override { *status = 0; }
  void DisableTrigger(std::uint32_t* status) override { *status = 0; }
  void EnableRemoteLocal(std::uint32_t* status) override { *status = 0; }
  void DisableRemoteLocal(std::uint32_t* status) override { *status = 0; }
  void InputBufferReady(std::uint32_t* status) override { *status = 0; }
  void DeviceClearDone(std::uint32_t* status) override;
  void ReturnToLocal(std::uint32_t* status) override { *status = 0; }
  std::uint32_t GetInputBufferSize() override { return config_.buffer_size; }
  std::uint32_t GetOutputBufferSize() override { return config_.buffer_size; }
  void Receive(CDataBuffer* buffer, std::uint32_t* status) override;
  void CancelReceive(std::uint32_t* count, bool* end, std::uint32_t* status) override;
  void Send(CDataBuffer* buffer, bool term_char_found, bool end, std::uint32_t* status) override;
  void CancelSend(std::uint32_t* count, std::uint32_t* status) override;
  bool IsReceiveActive() override;
  bool IsSendActive() override;
  void ClampTransfer(CDataBuffer* buffer) override;
  bool IsTermCharEnabled() override;
  std::uint8_t GetTermChar() override;
  bool IsConstructed() override { return true; }
  void AssertServiceRequest(std::uint32_t* status) override;
  void WithdrawServiceRequest(std::uint32_t* status) override;
  void ReportStatusByte(std::uint8_t byte, std::uint32_t* status) override;

 private:
  using Action = std::function<void()>;
  void Queue(Action action);
  void DeliveryLoop();
  // Runs one entry-point action under the transport's exclusion.
  void Deliver(const Action& action);
  void EnterHandler(std::unique_lock<std::mutex>& lock);
  void LeaveHandler(std::unique_lock<std::mutex>& lock);
  void CompleteReceive(std::uint64_t generation);
  void CompleteSend(std::uint64_t generation);

  TestTransportConfig config_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Action> actions_;
  int running_actions_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;

  // Exclusion state (under mutex_).
  bool enabled_ = false;
  int depth_ = 0;
  int max_depth_ = 0;
  int tokens_ = 0;          // kGate: 0 or 1
  bool busy_ = false;       // a delivery thread runs an entry point
  std::thread::id owner_;   // that thread
  int held_by_others_ = 0;  // suspensions made outside the entry points

  // Host transfer state (under mutex_).
  std::string write_data_;
  std::size_t write_unconsumed_ = 0;  // bytes the host wrote that the device has not taken yet
  bool write_end_ = false;
  bool receive_pending_ = false;
  CDataBuffer* receive_buffer_ = nullptr;
  std::uint64_t receive_generation_ = 0;
  bool read_active_ = false;
  std::uint32_t read_max_ = 0;
  bool read_term_enabled_ = false;
  std::uint8_t read_term_char_ = '\n';
  bool send_pending_ = false;
  std::string send_bytes_;
  SentChunk send_chunk_;
  std::uint64_t send_generation_ = 0;
  std::string received_;
  std::vector<SentChunk> chunks_;
  std::vector<std::uint8_t> status_bytes_;

  std::atomic<int> suspends_{0};
  std::atomic<int> resumes_{0};
  std::atomic<int> enables_{0};
  std::atomic<int> violations_{0};
  std::atomic<int> srq_asserted_{0};
  std::atomic<int> srq_withdrawn_{0};
  std::atomic<int> clears_done_{0};
};

class CTestTransportFactory : public CPhysicalInterfaceFactory {
 public:
  explicit CTestTransportFactory(TestTransportConfig config) : config_(config) {}
  CPhysicalInterface* CreateInterface(const DoVovuriDeviceDescriptor* descriptor, std::uint32_t context,
                                      std::uint32_t* status) override;
  void DestroyInterface(CPhysicalInterface* physical_interface) override;

  // The transport made last (null when none is alive), or the live one made for a context word.
  CTestTransport* Last();
  CTestTransport* ByContext(std::uint32_t context);
  int Alive();
  void SetConfig(TestTransportConfig config);
  // The next CreateInterface fails (a transport that could not be made).
  void FailNextCreate() { fail_next_.store(true); }

 private:
  std::mutex mutex_;
  TestTransportConfig config_;
  std::vector<std::pair<CTestTransport*, std::uint32_t>> alive_;
  std::atomic<bool> fail_next_{false};
};

}  // namespace torvex_test
