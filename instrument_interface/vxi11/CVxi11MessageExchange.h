// CVxi11MessageExchange: which link the device's one message exchange belongs to, and the responses
// kept aside for links that have not read them yet. One per VXI-11 physical interface.
//
// The device (engine and application) takes one program message at a time and answers it with at most
// one response. The links share it:
//  - A link's write claims the exchange. Its message, once delivered with END, is the one the device
//    works on; the response the device queues next belongs to that link (the owner), and to no other.
//  - The exchange is free again when the device owes the owner nothing: the owner read its response to
//    END, the device took its next message without queuing a response, a device clear, or the response
//    was set aside (below). A link whose write finds the exchange taken waits for it (passively, within
//    its I/O time); it never writes into another link's message nor reads another link's response.
//  - Set aside: when the owner's response is queued and another link wants to write, that link takes
//    the response out of the device into the owner's mailbox and goes on; the owner's reads are then
//    served from its mailbox. The mailboxes together hold at most kVxi11SetAsideBudget bytes; beyond it
//    the owner's response is not set aside but interrupted by the next message (the device reports
//    "Query INTERRUPTED"), and the owner's next read fails with kVxi11StatusResponseLost (VXI-11 error 17).
//  - A read of a link that the device owes nothing, or whose response is not queued yet, waits without
//    holding the device (its I/O time, or until its response comes).
//
// Per link it also keeps what cancels an operation of the link: a device_abort while the operation
// runs, the link's end, its connection's end (CVxi11Connection::IsGone).
//
// Threads: the link operations (client connection threads, with the link's mutex held), the abort
// channels (Abort), the engine's threads (InputPosted, ResponseQueued, inside engine operations). Every
// method takes the object's mutex for its own duration only; it calls out to nothing but the
// connection's IsGone (outside the mutex) and waits only in Wait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

class CVxi11Connection;
class CVxi11WaitCancel;

// The most the mailboxes of one device hold together (one response may pass it).
constexpr std::size_t kVxi11SetAsideBudget = 4u << 20;

class CVxi11MessageExchange {
 public:
  CVxi11MessageExchange() = default;
  CVxi11MessageExchange(const CVxi11MessageExchange&) = delete;
  CVxi11MessageExchange& operator=(const CVxi11MessageExchange&) = delete;

  // Interface enable and disable: disable forgets the owner and every mailbox and ends every wait.
  void Enable();
  void Disable();
  bool IsEnabled();

  // ---- links ----
  // A link and the connection it belongs to (null: none that could go away by itself).
  void Open(std::uint32_t lid, CVxi11Connection* connection);
  // The link goes: its operation is cancelled at once (Cancelled), and it is forgotten once its
  // operation has ended (Close). When it owns the exchange, its response is dropped when it comes.
  void Going(std::uint32_t lid);
  void Close(std::uint32_t lid);

  // ---- the operation of a link ----
  void BeginOperation(std::uint32_t lid);
  void EndOperation(std::uint32_t lid);
  // device_abort: cancels lid's operation when one runs (none: no effect).
  void Abort(std::uint32_t lid);
  // The operation was aborted, the link or its connection went, or the exchange is disabled.
  bool Cancelled(std::uint32_t lid);

  // ---- what a write or a device clear of lid may do next (under the link's turn or before it) ----
  enum class WriteStep {
    kProceed,    // the exchange is free or lid's own, and the device takes input
    kSetAside,   // another link's response is queued: take it out into that link's mailbox first
    kInterrupt,  // the mailboxes are full (or the owner went): lid takes the exchange; the owner's response
                 // is lost
    kWait,       // another link's message is being processed (or written), or the device is busy
  };
  // `owner` gets the link to set aside for. kSetAside is given to one link at a time (FinishSetAside).
  // need_input: a write needs the device's input buffer posted; a clear does not. *seen: the state the
  // step was chosen in, for Wait.
  WriteStep NextWriteStep(std::uint32_t lid, bool need_input, std::uint32_t* owner, std::uint64_t* seen);
  // With the turn held: the exchange becomes lid's (false when another link owns it meanwhile, or an
  // earlier write waits for it). A kInterrupt claim marks the former owner's response lost.
  bool Claim(std::uint32_t lid, bool need_input, bool interrupt);
  // The set-aside ended: `bytes` of owner's response (to its END when `end`) go to owner's mailbox
  // (dropped when owner went); with END the exchange is free.
  void FinishSetAside(std::uint32_t owner, std::vector<std::uint8_t>* bytes, bool end);
  // owner still has a queued response in the device (checked again with the turn held).
  bool CanSetAside(std::uint32_t owner);

  // ---- what a read of lid may do next ----
  enum class ReadStep {
    kMailbox,     // serve from lid's mailbox
    kLost,        // lid's response was discarded: report it (once)
    kDevice,      // lid's response is in the device: read it
    kEndMessage,  // lid's message has no END yet: the read ends it (the device reports it unterminated)
    kProbe,       // the device owes lid nothing and is free: show it the read (query unterminated)
    kWait,        // lid's response is not queued yet, or the device owes lid nothing and is busy
  };
  // probed: the read already showed itself to the device (kProbe is given once per read).
  ReadStep NextReadStep(std::uint32_t lid, bool probed, std::uint64_t* seen);
  // Copies from lid's mailbox (as a device read would: count, termination character, END on the last
  // byte of a complete response). Returns the bytes copied; *end / *termchar_found for the reason.
  // *drained: the mailbox is empty now.
  std::uint32_t ReadMailbox(std::uint32_t lid, bool termchar_set, std::uint8_t termchar, std::uint32_t count,
                            std::uint8_t* destination, bool* end, bool* termchar_found, bool* drained);
  // Drops lid's mailbox and lost mark (a new message of lid, or lid's device clear).
  void DropMailbox(std::uint32_t lid);
  bool HasMailbox(std::uint32_t lid);
  std::size_t SetAsideBytes();

  // ---- what happens to the exchange ----
  // lid's message starts (with the turn held): a response of lid's still in the device is discarded
  // by the device (interrupted) and no longer counts.
  void MessageStarting(std::uint32_t lid);
  // Bytes of lid's message reached the device (without END: the message is incomplete).
  void PartDelivered(std::uint32_t lid);
  // lid's message reached the device with END (or a read ended it).
  void MessageDelivered(std::uint32_t lid);
  // lid's write ended before anything reached the device: its claim goes.
  void Abandon(std::uint32_t lid);
  // lid read its response to END out of the device.
  void ResponseTaken(std::uint32_t lid);
  // A device clear reset the device: the exchange is free (mailboxes stay).
  void Cleared();
  // Engine side: the device's input buffer was posted; a response was queued.
  void InputPosted();
  void ResponseQueued();

  // Waits, at most timeout_ms and until cancelled, for anything above to change after the state `seen`
  // (from the last step). False when the time ran out or the wait was cancelled.
  bool Wait(std::uint64_t seen, std::uint32_t timeout_ms, CVxi11WaitCancel* cancel);

  // For tests and diagnostics.
  std::uint32_t Owner();
  int Waiting();  // operations in Wait
  bool OwnerHasPartialMessage();

 private:
  // Under mutex_: the exchange free, nothing owed, no input posted.
  void ResetLocked(std::uint8_t enabled);
  struct Link {
    CVxi11Connection* connection = nullptr;
    std::uint8_t busy = 0;     // an operation of the link runs
    std::uint8_t aborted = 0;  // ... and was aborted
    std::uint8_t going = 0;
    std::uint8_t reading = 0;  // a read waits for the link's response
    std::uint8_t lost = 0;     // the link's response was discarded
    std::uint8_t mailbox_end = 0;
    std::vector<std::uint8_t> mailbox;
    std::size_t mailbox_offset = 0;
  };
  Link& At(std::uint32_t lid);  // mutex held; made when missing
  void Release();               // mutex held: the exchange is free
  void ForgetMailbox(Link& link);
  void LeaveWriters(std::uint32_t lid);
  void Changed() {
    generation_.fetch_add(1);
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<std::uint64_t> generation_{0};  // counts the changes (changed under the mutex)
  int waiting_ = 0;
  std::uint8_t enabled_ = 0;
  std::uint32_t owner_ = 0;
  std::uint8_t owner_gone_ = 0;         // the owner went while the device still owed it an answer
  std::uint8_t partial_ = 0;            // part of the owner's message is in the device, without END
  std::uint8_t delivered_ = 0;          // the owner's message reached the device with END
  std::uint8_t response_ = 0;           // the device queued a response (the owner's) not yet taken out
  std::uint8_t input_ready_ = 0;        // the device's input buffer is posted
  std::uint8_t setting_aside_ = 0;      // a link takes the owner's response out of the device
  std::size_t set_aside_bytes_ = 0;     // the mailboxes together
  std::vector<std::uint32_t> writers_;  // writes waiting for the exchange, in arrival order
  std::map<std::uint32_t, Link> links_;
};
