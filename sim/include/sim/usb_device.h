// The full-speed USB device controller of the board's processor (register range 0x52000140), and the
// USB host on the other end of its cable.
//
// UsbDeviceController models the registers as the firmware sees them: endpoint 0 with its 8-byte
// FIFO and control CSR, endpoints 1 to 4 with 64-byte FIFOs, single-buffered (no double buffering),
// the IN/OUT CSR bits, write-1-to-clear interrupt flag registers, the function address (a new address
// with ADDR_UPDATE takes effect when the status stage of the current control transfer is over), bus
// reset, suspend and resume. Endpoint 0's FIFO belongs to an arrived setup packet until the firmware
// has read it (and acknowledged SETUP_END): packet bytes and IN_PKT_RDY written meanwhile are lost. The interrupt on
// vector 25 is a level: any endpoint flag whose enable is set, or a reset or suspend flag whose enable is set. The
// device is on the bus while the pull-up line (GPE9) is driven high.
//
// Bus side (called by UsbHost): one call is one transaction. Setup packets are always acknowledged;
// IN and OUT tokens are answered with ACK (and data), NAK or STALL from the CSR state; an endpoint
// keeps one data toggle per direction, and an OUT packet with the wrong toggle is acknowledged and
// dropped (a retransmission). A detached device, a wrong address or a bus in reset gives kNone.
//
// UsbHost drives transactions on a 1 ms frame clock scaled like the kernel's tick (one frame lasts
// TickMicroseconds() / 10 real microseconds, at least 20; see UsbFrameClock). Each transaction takes
// the bit times it puts on the wire from the frame's budget. A NAKed bulk or control token is tried
// again at once (as soon as the firmware has touched the controller) while the frame has room for
// it, then in the next frame; an interrupt endpoint is polled once per bInterval frames. A control
// transfer must meet USB 2.0's limits (each data packet within 500 frames, the status stage within
// 50); bulk and interrupt transfers follow their toggles and stop at a short packet.
//
// Thread safety: every call may come from any thread; the model has one lock. A UsbHost is used by one
// thread at a time.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hw_registers.h"
#include "platform/regbus.h"
#include "sim/gpio.h"

namespace sim {

enum class UsbHandshake { kAck, kNak, kStall, kNone };

class UsbDeviceController final : public platform::regbus::Model {
 public:
  static constexpr unsigned kEndpoints = hw::usbd::kEndpointCount;

  // Maps the registers on the bus; the pull-up line is read from `gpio`.
  explicit UsbDeviceController(Gpio& gpio);
  ~UsbDeviceController() override;
  UsbDeviceController(const UsbDeviceController&) = delete;
  UsbDeviceController& operator=(const UsbDeviceController&) = delete;

  // --- bus side ------------------------------------------------------------------------------------
  bool Attached();
  // Reset signalling: the device's state goes back to its defaults and USB_RESET reads 1 in PWR_REG
  // until EndReset.
  void BeginReset();
  void EndReset();
  void Suspend();
  void Resume();
  UsbHandshake Setup(std::uint8_t address, const std::array<std::uint8_t, 8>& packet);
  // IN token: on kAck, `data` holds the packet and `toggle` its data toggle (0 or 1).
  UsbHandshake In(std::uint8_t address, unsigned endpoint, std::vector<std::uint8_t>* data, unsigned* toggle);
  UsbHandshake Out(std::uint8_t address, unsigned endpoint, const std::uint8_t* data, std::size_t size,
                   unsigned toggle);

  // --- observation (tests) ---------------------------------------------------------------------------
  std::uint8_t Address();
  bool InterruptAsserted();
  // Bytes written to a full FIFO or read from an empty one (a driver fault).
  std::uint64_t FifoFaults();
  std::uint8_t InCsr(unsigned endpoint);
  std::uint8_t OutCsr(unsigned endpoint);
  std::uint8_t Ep0Csr();
  std::size_t OutFifoCount(unsigned endpoint);

  // --- waiting for the firmware (hosts) --------------------------------------------------------------
  // Counts the firmware's register writes other than FIFO bytes (only those change how a token is
  // answered) and Pokes.
  std::uint64_t Changes();
  // Until Changes() differs from `seen` or `until` has passed.
  void WaitForChange(std::uint64_t seen, std::chrono::steady_clock::time_point until);
  // Wakes the waiters of WaitForChange (a host that has new work for its bus thread).
  void Poke();

  std::uint32_t Read(std::uint32_t address, unsigned width) override;
  void Write(std::uint32_t address, std::uint32_t value, unsigned width) override;

 private:
  enum class Ep0Phase { kIdle, kSetup, kDataIn, kDataOut, kNoData };
  struct Endpoint {
    std::uint8_t maxp = 1;
    std::uint8_t in_csr1 = 0;
    std::uint8_t in_csr2 = 0;
    std::uint8_t out_csr1 = 0;
    std::uint8_t out_csr2 = 0;
    std::deque<std::uint8_t> in_fifo;
    std::deque<std::uint8_t> out_fifo;
    unsigned in_toggle = 0;
    unsigned out_toggle = 0;
  };

  bool AttachedLocked();
  bool AddressedLocked(std::uint8_t address);
  void ResetLocked();
  void RaiseEndpointLocked(unsigned n);
  void UpdateLineLocked();
  void StatusDoneLocked();
  std::size_t FifoCapacity(unsigned n) const { return n == 0 ? hw::usbd::kEp0PacketSize : hw::usbd::kFifoSize; }
  void WriteEp0CsrLocked(std::uint8_t value);
  void WriteInCsr1Locked(Endpoint& ep, std::uint8_t value);
  void WriteOutCsr1Locked(Endpoint& ep, std::uint8_t value);

  Gpio& gpio_;
  std::mutex lock_;
  std::uint8_t address_ = 0;
  std::uint8_t pending_address_ = 0;
  bool address_update_ = false;
  std::uint8_t pwr_ = 0;
  std::uint8_t ep_int_ = 0;
  std::uint8_t usb_int_ = 0;
  std::uint8_t ep_int_en_ = 0;
  std::uint8_t usb_int_en_ = 0;
  std::uint8_t index_ = 0;
  bool in_reset_ = false;
  std::uint8_t ep0_csr_ = 0;
  Ep0Phase ep0_phase_ = Ep0Phase::kIdle;
  std::array<Endpoint, kEndpoints> eps_{};
  std::uint64_t fifo_faults_ = 0;
  bool line_ = false;
  std::uint64_t changes_ = 0;
  std::condition_variable changed_;
};

// A host's frame clock: frames of FramePeriod() (1 ms scaled like the kernel's tick), each 12,000 bit
// times of full speed, of which transactions get what the start-of-frame packet and the end-of-frame
// guard leave: 19 bulk packets of 64 bytes. A transaction takes its bit times from the current frame
// when they fit; the frame's bus time that has passed idle is gone. One thread at a time.
class UsbFrameClock {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::uint32_t kBitTimesPerFrame = 12000;
  static constexpr std::uint32_t kFrameOverheadBitTimes = 200;  // SOF packet and end-of-frame guard
  static constexpr std::uint32_t kUsableBitTimes = kBitTimesPerFrame - kFrameOverheadBitTimes;
  // A transaction with a data packet: token, data PID and CRC, handshake, SYNCs, EOPs and bus
  // turn-arounds come to 13 bytes besides the payload.
  static constexpr std::uint32_t DataBitTimes(std::size_t payload) {
    return static_cast<std::uint32_t>((payload + 13) * 8);
  }
  // A token answered by a handshake alone (NAK or STALL).
  static constexpr std::uint32_t kHandshakeBitTimes = 8 * 8;

  static std::chrono::microseconds Period();
  UsbFrameClock();
  // The current frame's number.
  std::uint64_t Frame();
  // Whether a transaction of `bit_times` starting now still fits in the current frame.
  bool Fits(std::uint32_t bit_times);
  // Takes `bit_times` of the current frame for a transaction starting now (it fitted).
  void Take(std::uint32_t bit_times);
  // The last moment a transaction of `bit_times` can start in the current frame.
  Clock::time_point LastStart(std::uint32_t bit_times);
  // When the next frame begins.
  Clock::time_point NextFrameStart();
  // Sleeps until frame `frame` has begun.
  void WaitForFrame(std::uint64_t frame);

 private:
  void Sync(Clock::time_point now);
  std::uint32_t Elapsed(Clock::time_point now) const;

  std::chrono::nanoseconds period_;
  Clock::time_point start_;
  std::uint64_t frame_ = 0;
  std::uint32_t used_ = 0;
};
static_assert(UsbFrameClock::kUsableBitTimes / UsbFrameClock::DataBitTimes(64) == 19,
              "a full-speed frame carries 19 bulk packets of 64 bytes");

// One control request as the host sends it.
struct UsbSetup {
  std::uint8_t request_type;
  std::uint8_t request;
  std::uint16_t value;
  std::uint16_t index;
  std::uint16_t length;
  std::array<std::uint8_t, 8> Bytes() const;
};

enum class UsbOutcome { kOk, kStall, kTimeout, kNoResponse, kProtocolError };
const char* UsbOutcomeName(UsbOutcome outcome);

struct UsbTransfer {
  UsbOutcome outcome = UsbOutcome::kOk;
  std::vector<std::uint8_t> data;
  std::vector<std::size_t> packets;  // size of each data packet taken (IN) or sent (OUT)
  std::uint32_t naks = 0;
  std::uint32_t toggle_errors = 0;  // IN packets dropped for a repeated toggle
};

// What enumeration found.
struct UsbEnumeration {
  UsbOutcome outcome = UsbOutcome::kOk;
  std::string failed_step;  // the step that failed, empty on success
  std::vector<std::uint8_t> device_descriptor;
  std::vector<std::uint8_t> configuration;  // the whole configuration, wTotalLength bytes
  std::vector<std::uint16_t> language_ids;
  std::vector<std::string> strings;  // manufacturer, product, serial number (empty for index 0)
};

class UsbHost {
 public:
  static constexpr std::uint32_t kDataStageFrames = 500;
  static constexpr std::uint32_t kStatusStageFrames = 50;

  explicit UsbHost(UsbDeviceController& device) : device_(device) {}

  // Real time of one frame.
  static std::chrono::microseconds FramePeriod() { return UsbFrameClock::Period(); }
  void WaitFrames(std::uint32_t frames);
  // Waits up to `frames` frames for the device to pull D+ up.
  bool WaitAttached(std::uint32_t frames);
  // Bus reset of 10 frames and 10 frames of recovery; the host then talks to address 0.
  void Reset();
  void Suspend() { device_.Suspend(); }
  void Resume() { device_.Resume(); }

  std::uint8_t address() const { return address_; }
  void set_address(std::uint8_t address) { address_ = address; }

  // A control transfer on endpoint 0 with an IN data stage (wLength > 0 and bit 7 set) or none.
  // A successful SET_ADDRESS moves the host to the new address; SET_CONFIGURATION and
  // CLEAR_FEATURE(ENDPOINT_HALT) reset the host's toggles as the device resets its own.
  UsbTransfer Control(const UsbSetup& setup);
  // Only the setup transaction and the first `packets` IN data packets, then nothing: for tests that
  // overtake a data stage with the next setup.
  UsbTransfer ControlPartial(const UsbSetup& setup, std::uint32_t packets);

  // Bulk or interrupt IN: packets until a short one (shorter than `max_packet`) or `max_bytes`,
  // retrying NAKs for `frames` frames. A packet longer than `max_packet` is a protocol error.
  UsbTransfer ReadIn(unsigned endpoint, std::size_t max_bytes, std::uint32_t frames,
                     std::size_t max_packet = hw::usbd::kFifoSize);
  // One IN transaction retried until data or STALL within `frames` frames.
  UsbTransfer ReadPacket(unsigned endpoint, std::uint32_t frames);
  // Bulk OUT of `data` in 64-byte packets (a zero-length packet when asked and the length is a
  // multiple of 64, or the data is empty), retrying NAKs for `frames` frames per packet.
  UsbTransfer WriteOut(unsigned endpoint, const std::vector<std::uint8_t>& data, std::uint32_t frames,
                       bool zero_length_packet = false);

  // Enumeration as a host does it: reset, the first 8 bytes of the device descriptor at address 0
  // (asked with wLength 64), reset, SET_ADDRESS, the device descriptor, the configuration header and
  // then the whole configuration, the language IDs and the three device strings, SET_CONFIGURATION.
  // The interrupt IN endpoints of the configuration are polled at their bInterval from then on.
  UsbEnumeration Enumerate(std::uint8_t address);
  // Polls IN endpoint `endpoint` once per `frames` frames (an interrupt endpoint's bInterval); 0 makes
  // it a bulk endpoint again.
  void set_interval(unsigned endpoint, std::uint32_t frames);

  void ResetToggles();

 private:
  UsbTransfer ControlImpl(const UsbSetup& setup, std::uint32_t max_packets);
  // IN tokens until the device answers with a packet (true: the packet and its toggle), a STALL or
  // nothing, or NAKs for more than `frames` frames (false: t->outcome says which). NAKs count in t.
  bool InTransaction(unsigned endpoint, std::uint32_t frames, std::size_t max_packet, std::vector<std::uint8_t>* packet,
                     unsigned* toggle, UsbTransfer* t);
  // One OUT packet (or a control status stage) retried on NAK for `frames` frames; false when it
  // failed (t->outcome says how).
  bool OutTransaction(unsigned endpoint, const std::uint8_t* data, std::size_t size, unsigned toggle,
                      std::uint32_t frames, UsbTransfer* t);
  // One token tried until the device acknowledges it or answers with data (true), answers with a
  // STALL or nothing, or NAKs for more than `frames` frames (false: t->outcome says which; NAKs count
  // in t). `bits` is what the transaction needs of a frame; `interval` > 0 sends the token once per
  // `interval` frames (an interrupt endpoint), 0 retries a NAK within the frame. `token` puts the token
  // on the bus and gives the handshake and the bit times it took.
  bool Transaction(std::uint32_t bits, std::uint32_t interval, std::uint64_t* next_poll, std::uint32_t frames,
                   UsbTransfer* t, const std::function<UsbHandshake(std::uint32_t* used)>& token);
  // After a NAK: waits until the device changes or the frame has no room for `bit_times` left.
  void WaitAfterNak(std::uint64_t seen, std::uint32_t bit_times);
  // The stages of a control transfer; false when the transfer ends there (t->outcome says how; a
  // data stage cut at `max_packets` ends it with kOk).
  bool ControlDataIn(const UsbSetup& setup, std::uint32_t max_packets, UsbTransfer* t);
  bool ControlStatusOut(UsbTransfer* t);
  bool ControlStatusIn(UsbTransfer* t);
  // SET_ADDRESS, SET_CONFIGURATION and CLEAR_FEATURE(ENDPOINT_HALT) done: the host follows them.
  void FollowStandardRequest(const UsbSetup& setup);

  UsbDeviceController& device_;
  UsbFrameClock clock_;
  std::uint8_t address_ = 0;
  std::array<std::uint32_t, UsbDeviceController::kEndpoints> interval_{};   // 0: bulk
  std::array<std::uint64_t, UsbDeviceController::kEndpoints> next_poll_{};  // interrupt: frame
  std::array<unsigned, UsbDeviceController::kEndpoints> in_toggle_{};
  std::array<unsigned, UsbDeviceController::kEndpoints> out_toggle_{};
};

}  // namespace sim
