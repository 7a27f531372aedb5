// The class-specific control requests of USBTMC and USB488 on endpoint 0, the split transactions of
// the abort and clear requests, and the interrupt-IN status notifications.
//
// Requests and endpoint-0 and interrupt-IN completions run on the "USB Interrupt Handler" thread;
// AssertServiceRequest, WithdrawServiceRequest, SendStatusNotification and DeviceClearDone come from
// the engine (an operation with USB events suspended, or nested inside an engine entry point called
// from here). No lock of its own.
//
// Every request must be device-to-host with the recipient and wLength of its row; anything else, and
// every bRequest without a row, stalls endpoint 0 and changes nothing.
#pragma once

#include <cstdint>

#include "engine/CDataBuffer.h"
#include "usb/controller/UsbTypes.h"

class CUsb488Class;
class CUsbInterfaceClassIoManager;

// USBTMC_status values of the replies.
enum : std::uint8_t {
  kUsbTmcStatusSuccess = 0x01,
  kUsbTmcStatusPending = 0x02,
  kUsbTmcStatusInterruptInBusy = 0x20,
  kUsbTmcStatusFailed = 0x80,
  kUsbTmcStatusTransferNotInProgress = 0x81,
  kUsbTmcStatusSplitNotInProgress = 0x82,
  kUsbTmcStatusSplitInProgress = 0x83,
};

// bRequest values.
enum : std::uint8_t {
  kUsbTmcInitiateAbortBulkOut = 1,
  kUsbTmcCheckAbortBulkOutStatus = 2,
  kUsbTmcInitiateAbortBulkIn = 3,
  kUsbTmcCheckAbortBulkInStatus = 4,
  kUsbTmcInitiateClear = 5,
  kUsbTmcCheckClearStatus = 6,
  kUsbTmcGetCapabilities = 7,
  kUsbTmcIndicatorPulse = 64,
  kUsb488ReadStatusByte = 128,
  kUsb488RenControl = 160,
  kUsb488GoToLocal = 161,
  kUsb488LocalLockout = 162,
};

class CUsb488ClassRequests {
 public:
  using Handler = void (*)(CUsb488ClassRequests& self, const UsbSetupPacket& setup, std::uint32_t* status);
  static constexpr std::uint32_t kHandlerCount = 255;  // bRequest 0 to 254

  CUsb488ClassRequests(CUsb488Class* owner, std::uint32_t* status);
  virtual ~CUsb488ClassRequests() = default;
  CUsb488ClassRequests(const CUsb488ClassRequests&) = delete;
  CUsb488ClassRequests& operator=(const CUsb488ClassRequests&) = delete;

  void Dispatch(const UsbSetupPacket& setup, std::uint32_t* status);
  void Stall(std::uint32_t* status);
  void Attach(CUsbInterfaceClassIoManager* io, std::uint32_t* status);
  void Detach() { io_ = nullptr; }
  void Enable(std::uint32_t* status);
  void Disable(std::uint32_t* status);
  void OnControlWriteComplete(std::uint32_t result, std::uint32_t* status);
  void EndSplitTransactions();
  void DeviceClearDone(std::uint32_t* status);
  void AssertServiceRequest(std::uint32_t* status);
  void WithdrawServiceRequest(std::uint32_t* status);
  void SendStatusNotification(std::uint8_t status_byte, std::uint32_t* status);
  void OnNotificationComplete(std::uint32_t result, std::uint32_t* status);

  // State, for the class and tests.
  std::int32_t ClearCount() const { return clear_count_; }
  bool IsStatusReadActive() const { return status_read_active_ != 0; }
  bool IsSrqPending() const { return srq_pending_ != 0; }
  bool IsSplitInProgress() const {
    return clear_in_progress_ != 0 || abort_in_in_progress_ != 0 || abort_out_in_progress_ != 0;
  }

  // The handlers of the request table.
  void InitiateAbortBulkOut(const UsbSetupPacket& setup, std::uint32_t* status);
  void CheckAbortBulkOutStatus(const UsbSetupPacket& setup, std::uint32_t* status);
  void InitiateAbortBulkIn(const UsbSetupPacket& setup, std::uint32_t* status);
  void CheckAbortBulkInStatus(const UsbSetupPacket& setup, std::uint32_t* status);
  void InitiateClear(const UsbSetupPacket& setup, std::uint32_t* status);
  void CheckClearStatus(const UsbSetupPacket& setup, std::uint32_t* status);
  void GetCapabilities(const UsbSetupPacket& setup, std::uint32_t* status);
  void IndicatorPulse(const UsbSetupPacket& setup, std::uint32_t* status);
  void ReadStatusByte(const UsbSetupPacket& setup, std::uint32_t* status);
  void RenControl(const UsbSetupPacket& setup, std::uint32_t* status);
  void GoToLocal(const UsbSetupPacket& setup, std::uint32_t* status);
  void LocalLockout(const UsbSetupPacket& setup, std::uint32_t* status);

 private:
  // True when a split transaction in progress stops the request (it is then answered 0x83).
  bool SplitBlocks();
  void Reply(const std::uint8_t* bytes, std::uint32_t length, std::uint32_t* status);
  void BeginStatusRead(bool service_request);
  void ReleaseClearHold(std::uint32_t* status);

  Handler handlers_[kHandlerCount];
  CUsb488Class* owner_;
  CUsbInterfaceClassIoManager* io_ = nullptr;
  CDataBuffer reply_{24};
  CDataBuffer notification_{2};
  std::int32_t clear_count_ = 0;
  std::uint8_t clear_in_progress_ = 0;
  std::uint8_t abort_in_in_progress_ = 0;
  std::uint8_t abort_out_in_progress_ = 0;
  std::uint32_t nbytes_rxd_ = 0;
  std::uint8_t status_read_active_ = 0;
  std::uint8_t status_read_for_srq_ = 0;  // the active status read was begun by a service request
  std::uint8_t srq_pending_ = 0;
  std::uint8_t status_tag_ = 0;
  std::uint8_t enabled_ = 0;
};
