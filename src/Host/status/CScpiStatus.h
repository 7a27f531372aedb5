// CScpiStatus: the IEEE 488.2 / SCPI status model of one host client.
//
// One object holds the status byte, the standard event status register, OPERation, QUEStionable and
// the three device-specific sub-registers (QUEStionable:BIT12, OPERation:BIT11, OPERation:BIT12), and
// the client's error queue (at most 10 entries). Subsystems report by row name: an eScpiErrorRow of
// kScpiErrorTable (PushError, e.g. kScpiErrorFirmwareError) and an eStatusBitRow of kStatusBitRows
// (SetBitRow, SetDeviceBitRow, e.g. kStatusRowNmrPathBroken). Device-wide rows reach every object,
// because every object is linked in one global list:
//  - each host object embeds one (built with its device, its response slot and the template);
//  - g_ScpiStatusTemplate holds every device-wide condition; new clients copy its conditions;
//  - the status unit's own module object collects the rows that SetDeviceBitRow is given without a
//    client (rows that are not device-wide).
// When an enabled status-byte bit rises, the object asks its device for a service request.
//
// Callers and threads: the parser thread (commands, EndOfMessage after every program message), the
// engine event-loop threads of the host objects (status-byte requests, device clear, triggers), the
// measurement thread and the topology monitor (SetDeviceBitRow, PushError), and main (the template).
//
// Locking: every operation runs under one re-entrant status lock shared by all objects, so operations
// nest (a bit-row change broadcasts, which updates each object). The global list has its own mutex,
// always taken inside the status lock; construction registers and the destructor unregisters under
// the list mutex alone. CDevice::RequestService is called with the status lock held (and, for the
// broadcasts and UpdateAll, the list mutex): a device must not wait there for a thread that may be
// waiting for the status lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "platform/kernel.h"
#include "status/ScpiErrorTable.h"
#include "status/ScpiStatusBitRows.h"

namespace Torvex {

class CScpiStatus {
 public:
  // The client's instrument-interface device as the status object sees it: the one operation it
  // needs. The host objects hand in their engine device through this interface (an adapter over
  // C4882Device::RequestService). A status object without a device requests no service.
  class CDevice {
   public:
    // Asks the engine to assert a service request; 0 when it was accepted. Any other result leaves
    // the request pending, and it is asked again at the next update with service request.
    virtual cyg_uint32 RequestService() = 0;

   protected:
    ~CDevice() = default;
  };

  // The host object's pending-response pointer: non-null while a reply is queued with the engine.
  // The host object writes it under its own mutex; status updates on other threads read it for MAV,
  // hence atomic.
  using ResponseSlot = std::atomic<const void*>;

  static constexpr std::size_t kErrorQueueCapacity = 10;
  static constexpr std::uint16_t kRequestServiceMask = 0x40;  // bit 6 of the status byte: MSS / RQS

  // ReadStatusByte modes: what bit 6 of the answer holds.
  static constexpr std::uint32_t kReadForStbQuery = 0;       // MSS (*STB?)
  static constexpr std::uint32_t kReadForStatusRequest = 1;  // request pending (serial poll)

  // Power-on values; with a constructed template, its conditions are copied. Each argument may be
  // null. The object is in the global list when the constructor returns.
  CScpiStatus(CDevice* device, const ResponseSlot* responseSlot, const CScpiStatus* statusTemplate);
  // Leaves the global list. The owner makes sure no other thread still uses this object directly.
  ~CScpiStatus();

  CScpiStatus(const CScpiStatus&) = delete;
  CScpiStatus& operator=(const CScpiStatus&) = delete;

  // Queues an error row (0 does nothing; an unknown row is logged and does nothing). A device-wide
  // row is queued in every object.
  // Unless noUpdate, each object concerned updates its summary and requests service if pending.
  void PushError(std::uint32_t errorRow, bool noUpdate);
  // QueueError on every object, each followed (unless noUpdate) by update and service request.
  static void BroadcastError(std::uint32_t errorRow, bool noUpdate);

  // Sets or clears a status row's mask in this object's condition; a device-wide row goes to every
  // object. Unless noUpdate, update and service request. An unknown row is logged and does nothing.
  void SetBitRow(std::uint32_t statusRow, bool set, bool noUpdate);
  // As SetBitRow for the measuring side, which has no client: a row that is not device-wide goes to
  // the module object. Any thread.
  static void SetDeviceBitRow(std::uint32_t statusRow, bool set, bool noUpdate);
  // The change on every object, each followed (unless noUpdate) by update and service request.
  static void BroadcastBitRow(std::uint32_t statusRow, bool set, bool noUpdate);

  // Recomputes MAV, EAV, the summary chain, MSS and the request-pending flag.
  void UpdateSummary();
  // Update and service request on every object.
  static void UpdateAll();
  // UpdateAll under the status lock; the parser thread calls it after every program message.
  static void EndOfMessage();

  // Update, then the status byte with bit 6 = MSS (kReadForStbQuery), the request-pending flag
  // (kReadForStatusRequest) or 0 (any other mode).
  std::uint8_t ReadStatusByte(std::uint32_t mode);

  // Clears the reserved bits (bit 15 of every register, bit 6 of the status byte enable), writes the
  // stored value back to `value`; unless noUpdate, update and service request.
  void SetEnable(std::uint32_t reg, std::uint16_t& value, bool noUpdate);
  void GetEnable(std::uint32_t reg, std::uint16_t& value);
  void GetPositiveTransitionFilter(std::uint32_t reg, std::uint16_t& value);
  void GetNegativeTransitionFilter(std::uint32_t reg, std::uint16_t& value);
  // All 16 bits stored, no update.
  void SetPositiveTransitionFilter(std::uint32_t reg, std::uint16_t value);
  void SetNegativeTransitionFilter(std::uint32_t reg, std::uint16_t value);
  // Update, then the value. Event queries read, then ClearEvent.
  void GetEvent(std::uint32_t reg, std::uint16_t& value);
  void GetCondition(std::uint32_t reg, std::uint16_t& value);
  void ClearEvent(std::uint32_t reg);
  // An unknown register reads 0 and is never written.

  // STATus:PRESet: filters and the enables of registers 2 to 6; SRE and ESE stay. Update only.
  void Preset();
  // *CLS: events of registers 1 to 6, the error queue and the last status byte; conditions, enables
  // and filters stay. Update only.
  void Clear();

  // The oldest queued row, removed; 0 when the queue is empty.
  void PopError(std::uint32_t& errorRow);
  // Code and text of an error row; false (code 0, empty text) for an unknown row.
  static bool GetErrorText(std::uint32_t errorRow, std::int16_t& code, const char*& text);

  // The status unit's own object (rows given to SetDeviceBitRow that are not device-wide).
  static CScpiStatus& ModuleObject();

 private:
  void Register();
  void QueueError(std::uint32_t errorRow);
  void ApplyBitRow(const StatusBitRow& row, bool set);
  void RequestServiceIfPending();
  void UpdateAndRequest(bool noUpdate);

  std::uint8_t m_Constructed = 0;
  CDevice* m_Device;
  const ResponseSlot* m_ResponseSlot;
  // Per register. For register 0 the event holds the status byte of the last summary update and the
  // enable is SRE; for register 1 the enable is ESE.
  std::uint16_t m_Condition[kScpiStatusRegisterCount] = {};
  std::uint16_t m_PreviousCondition[kScpiStatusRegisterCount] = {};
  std::uint16_t m_PositiveTransition[kScpiStatusRegisterCount] = {};
  std::uint16_t m_NegativeTransition[kScpiStatusRegisterCount] = {};
  std::uint16_t m_Event[kScpiStatusRegisterCount] = {};
  std::uint16_t m_Enable[kScpiStatusRegisterCount] = {};
  std::uint16_t m_Persistence[kScpiStatusRegisterCount] = {};
  std::deque<std::uint32_t> m_ErrorQueue;  // kScpiErrorTable rows, oldest first
  std::uint8_t m_MasterSummary = 0;
  std::uint8_t m_RequestPending = 0;
  std::uint16_t m_PreviousSre = 0;
};

// The status template: no device, no response slot. Host objects copy their initial conditions from
// it; device-wide rows reach it like every other object. Built at static initialisation.
extern CScpiStatus g_ScpiStatusTemplate;

}  // namespace Torvex
