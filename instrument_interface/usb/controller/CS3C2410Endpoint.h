// What the four endpoint classes of the S3C2410 driver share: registers, controller, hold flag, the
// clear-stall sequence and the endpoint state words.
//
// Endpoint state words: 0 idle, 0x8400 write with packets to load, 0x4480 write whose last packet is
// loaded, 0x2410/0x2440 control data stage sent (last packet full/short) awaiting its status stage,
// 0x4420 control data stage overtaken by a setup packet while a packet was loaded, 0x8800 read in
// progress, 0x4880 read whose chain is full. Completions go to the endpoint's observer
// with result 1 (completed), 3 (aborted by Deconfigure) or 4 (control data stage overtaken by a new
// setup packet).
#pragma once

#include <cstdint>

#include "usb/controller/CS3C2410Registers.h"
#include "usb/controller/CUsbControllerEndpoint.h"

class CS3C2410Controller;

// What the four endpoint classes share: registers, controller, hold flag, the clear-stall sequence.
class CS3C2410Endpoint : public CUsbControllerEndpoint {
 public:
  CS3C2410Endpoint(std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate, unsigned number,
                   std::int32_t kind, CUsbEndpointEventObserver* observer, CS3C2410Registers* registers,
                   CS3C2410Controller* controller, std::uint32_t* status)
      : CUsbControllerEndpoint(configuration, interface, alternate, static_cast<std::uint8_t>(number), kind, observer,
                               status),
        number_(number),
        registers_(registers),
        controller_(controller) {}

  void PrepareAlternate(std::uint32_t*) override {}
  bool IsInterruptPending() override;
  bool IsHeld() const { return hold_ != 0; }

 protected:
  // Endpoint state words: an activity bit, a direction bit and the step reached.
  static constexpr std::uint32_t kActive = 0x8000;         // a transfer is in progress
  static constexpr std::uint32_t kDone = 0x4000;           // finished, its completion not yet reported
  static constexpr std::uint32_t kDataStageSent = 0x2000;  // control data stage sent, status stage due
  static constexpr std::uint32_t kReadBit = 0x0800;
  static constexpr std::uint32_t kWriteBit = 0x0400;
  static constexpr std::uint32_t kStepLast = 0x0080;       // the last packet is loaded, or the chain is full
  static constexpr std::uint32_t kStepOvertaken = 0x0020;  // a setup packet overtook the data stage
  static constexpr std::uint32_t kStepSentFull = 0x0010;   // the last packet sent was full
  static constexpr std::uint32_t kStepSentShort = 0x0040;  // the last packet sent was short
  static constexpr std::uint32_t kStateWriting = kActive | kWriteBit;
  static constexpr std::uint32_t kStateWriteLast = kDone | kWriteBit | kStepLast;
  static constexpr std::uint32_t kStateSentFull = kDataStageSent | kWriteBit | kStepSentFull;
  static constexpr std::uint32_t kStateSentShort = kDataStageSent | kWriteBit | kStepSentShort;
  static constexpr std::uint32_t kStateOvertaken = kDone | kWriteBit | kStepOvertaken;
  static constexpr std::uint32_t kStateReading = kActive | kReadBit;
  static constexpr std::uint32_t kStateReadFull = kDone | kReadBit | kStepLast;
  static_assert(kStateWriting == 0x8400 && kStateWriteLast == 0x4480 && kStateSentFull == 0x2410 &&
                    kStateSentShort == 0x2440 && kStateOvertaken == 0x4420 && kStateReading == 0x8800 &&
                    kStateReadFull == 0x4880,
                "the state words the driver's notes name");

  // True when the service pass should look at the endpoint: clears its interrupt flag.
  void TakeInterrupt();
  // Repeats clearing SEND_STALL (bounded) and resets the data toggle.
  // reset_toggle: the host cleared the halt (CLEAR_FEATURE resets its toggle too); a hold that the
  // class releases before the host saw a STALL keeps the toggle, or the next packet would be taken
  // by the host as a repeat and dropped.
  void ClearStallSequence(std::uint32_t* status, bool reset_toggle = true);
  bool SendStallSet();
  void SetSendStall();

  unsigned number_;
  CS3C2410Registers* registers_;
  CS3C2410Controller* controller_;
  std::uint8_t hold_ = 0;
  // A stall set by the host (SET_FEATURE): kept until ClearStall.
  std::uint8_t host_halt_ = 0;
};
