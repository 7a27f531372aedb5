// CTorvexHost: the transport-independent state of one SCPI client (a host object).
//
// A transport host object (CTorvexHostEthernet, CTorvexHostUsb) derives from its engine device class
// and from this class, through CTorvexHostClient. The engine's event-loop thread of the device calls
// the event overrides there, which forward here: a complete program message becomes an entry of the parser queue,
// status-byte requests are answered from the embedded CScpiStatus, device clears drop what the client
// has queued.
//
// Ownership of the reply text: only the parser thread writes it (commands, the ";"/"\n" joins).
// SendResponse hands the finished text over to a response buffer that the engine sends from and that
// nobody touches until the engine reports the response complete. A device clear on the event-loop
// thread never touches the reply: under the host mutex it marks the client's executing message
// cleared in the parser, which drops the reply at the end of that message.
//
// Locking: the host mutex guards the flags and the hand-over of the reply; the status lock and the
// parser's queue mutex are taken inside it, never the other way round.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <cstdint>
#include <string>

#include "core/CRecursiveMutex.h"
#include "engine/C4882Device.h"
#include "status/CScpiStatus.h"

namespace Torvex {

class CTorvexHostParser;

// Transport kinds.
inline constexpr std::uint32_t kHostKindUsb = 0;
inline constexpr std::uint32_t kHostKindVxi11 = 1;

// Results of the client operations the parser calls.
inline constexpr std::uint32_t kHostMessageProcessedFailed = 17;
inline constexpr std::uint32_t kHostQueryRefused = 18;
inline constexpr std::uint32_t kHostResponseFailed = 19;

// Size of the receive buffer and the storage reserved for the reply text.
inline constexpr std::size_t kHostReceiveBufferSize = 4096;
inline constexpr std::size_t kHostReplyReserve = 4096;
// The largest program message a client may send (in buffer-full pieces and the final piece). A longer
// one queues -363 "Input buffer overrun" and is discarded up to its END.
inline constexpr std::size_t kHostMaxProgramMessage = 1024 * 1024;

class CTorvexHost {
 public:
  CTorvexHost(std::uint32_t kind, C4882Device* device, CTorvexHostParser* parser, const CScpiStatus* statusTemplate);
  // Removes the client's queued messages and waits until the parser is not executing it (deferred
  // to the end of the message when called on the parser thread); releases the instrument lock when
  // this client holds it; destroys the status object.
  ~CTorvexHost();

  CTorvexHost(const CTorvexHost&) = delete;
  CTorvexHost& operator=(const CTorvexHost&) = delete;

  bool IsReady() const { return m_Ready != 0; }
  std::uint32_t Kind() const { return m_Kind; }
  C4882Device& Device() { return *m_Device; }
  CTorvexHostParser& Parser() { return *m_Parser; }
  CScpiStatus& Status() { return m_Status; }

  // ---- called by the parser thread ----
  // Announces a query to the engine once per message: 0, or kHostQueryRefused.
  std::uint32_t QueryDetected();
  // Tells the engine the message is done and posts the receive buffer again: 0 or
  // kHostMessageProcessedFailed.
  std::uint32_t MessageProcessed();
  // Pads the reply text (already ended by "\n") and queues it with END: 0 or kHostResponseFailed. A
  // failed hand-over releases the descriptor and clears the pending response. While the engine still
  // holds the previous reply (a new message interrupts it, and the engine reports that on its own
  // thread), it waits a bounded time for that reply to be given back.
  std::uint32_t SendResponse();
  // The reply text; parser thread only.
  std::string& ReplyText() { return m_ReplyText; }
  bool ResponsePending() const { return m_ResponsePending.load() != 0; }
  // True while a reply is with the engine (queued, not yet reported complete).
  bool ResponseQueued() const { return m_PendingResponse.load() != nullptr; }
  void ClearResponsePending();
  // Program messages this client has had processed (for tests and the benchmark).
  std::uint64_t MessagesProcessed() const { return m_MessagesProcessed.load(); }

  // ---- called by the transport object ----
  // First step of a transport object's destructor, before it disables its device: no further message
  // is queued, and the parser is done with the client (the engine device must not be disabled while
  // the parser still calls it).
  void BeginTeardown();

  // ---- called by the transport object on the event-loop thread ----
  // False when there is no buffer.
  bool DeliverInput(MessageBufferDescriptor* received);
  void HandleInputComplete(std::int32_t reason, MessageBufferDescriptor* received);
  void HandleResponseComplete(std::int32_t reason);
  void HandleStatusByteRequest();
  void HandleDeviceClear();
  void HandleTrigger();
  void HandleRemoteLocalChange();

 protected:
  // The transports' constructors: set after enabling succeeded.
  void SetReady(bool ready) { m_Ready = ready ? 1 : 0; }
  MessageBufferDescriptor* ReceiveRequest() { return &m_ReceiveRequest; }

 private:
  // Adapter from the status object's device interface to the engine device.
  class CStatusDevice : public CScpiStatus::CDevice {
   public:
    explicit CStatusDevice(C4882Device* device) : m_Device(device) {}
    cyg_uint32 RequestService() override;

   private:
    C4882Device* m_Device;
  };

  // Releases the pending response descriptor (if any) and clears the pointer; host mutex held.
  void ReleasePendingResponse();
  // Keeps the received part of a message that goes on (an overlong one is dropped with -363); host
  // mutex held.
  void KeepPartialInput(const MessageBufferDescriptor* received);
  void PostReceiveRequest();

  std::uint32_t m_Kind;
  std::uint8_t m_Ready = 0;
  CRecursiveMutex m_Mutex;
  C4882Device* m_Device;
  CTorvexHostParser* m_Parser;
  std::string m_ReplyText;
  std::string m_ResponseText;  // the reply being sent (engine's storage while a response is pending)
  MessageBufferDescriptor m_ReceiveRequest{};
  MessageBufferDescriptor m_ResponseDescriptor{};
  CScpiStatus::ResponseSlot m_PendingResponse{nullptr};
  std::string m_PartialInput;
  bool m_DiscardingInput = false;  // an overlong message is being skipped up to its END
  std::atomic<std::uint8_t> m_ResponsePending{0};
  std::atomic<std::uint64_t> m_MessagesProcessed{0};
  bool m_Closing = false;     // teardown has begun: input is no longer queued (host mutex)
  std::mutex m_ReleaseMutex;  // with m_ResponseReleased: the pending reply given back
  std::condition_variable m_ResponseReleased;
  CStatusDevice m_StatusDevice;
  CScpiStatus m_Status;

  friend class CTorvexHostParser;
};

}  // namespace Torvex
