#include "status/CScpiStatus.h"

#include <algorithm>
#include <vector>

#include "core/CLogger.h"
#include "core/CRecursiveMutex.h"

namespace Torvex {

namespace {

// Shared by every status object. Made on first use and never destroyed, so that objects built and
// destroyed during static initialisation and destruction (the template, the module object) always
// find it, whatever the order of the units.
struct SharedState {
  SharedState() { cyg_mutex_init(&listMutex); }
  CRecursiveMutex statusLock;
  cyg_mutex_t listMutex;
  std::vector<CScpiStatus*> list;  // guarded by listMutex
};

SharedState& Shared() {
  static SharedState* state = new SharedState;
  return *state;
}

// A released thread (cyg_thread_release) breaks out of one wait; status sections are short and must
// not be skipped, so the locks are simply taken again.
class CStatusLock {
 public:
  CStatusLock() {
    while (!Shared().statusLock.Lock()) {
    }
  }
  ~CStatusLock() { Shared().statusLock.Unlock(); }
  CStatusLock(const CStatusLock&) = delete;
  CStatusLock& operator=(const CStatusLock&) = delete;
};

class CListLock {
 public:
  CListLock() {
    while (!cyg_mutex_lock(&Shared().listMutex)) {
    }
  }
  ~CListLock() { cyg_mutex_unlock(&Shared().listMutex); }
  CListLock(const CListLock&) = delete;
  CListLock& operator=(const CListLock&) = delete;
};

// Summary chain, applied in this order: the summary of `reg` is the bit of status row `summaryRow`.
struct SummaryLink {
  eScpiStatusRegister reg;
  eStatusBitRow summaryRow;
};
constexpr SummaryLink kSummaryChain[] = {
    {kOperationBit11Register, kStatusRowOperationBit11Summary},
    {kOperationBit12Register, kStatusRowOperationBit12Summary},
    {kQuestionableBit12Register, kStatusRowQuestionableBit12Summary},
    {kQuestionableRegister, kStatusRowQuestionableSummary},
    {kOperationRegister, kStatusRowOperationSummary},
    {kStandardEventRegister, kStatusRowEventSummary},
};
static_assert(kStatusBitRows[kStatusRowOperationBit11Summary].reg == kOperationRegister &&
              kStatusBitRows[kStatusRowOperationBit11Summary].mask == 0x0800);
static_assert(kStatusBitRows[kStatusRowOperationBit12Summary].reg == kOperationRegister &&
              kStatusBitRows[kStatusRowOperationBit12Summary].mask == 0x1000);
static_assert(kStatusBitRows[kStatusRowQuestionableBit12Summary].reg == kQuestionableRegister &&
              kStatusBitRows[kStatusRowQuestionableBit12Summary].mask == 0x1000);
static_assert(kStatusBitRows[kStatusRowQuestionableSummary].reg == kStatusByteRegister &&
              kStatusBitRows[kStatusRowQuestionableSummary].mask == 0x08);
static_assert(kStatusBitRows[kStatusRowOperationSummary].reg == kStatusByteRegister &&
              kStatusBitRows[kStatusRowOperationSummary].mask == 0x80);
static_assert(kStatusBitRows[kStatusRowEventSummary].reg == kStatusByteRegister &&
              kStatusBitRows[kStatusRowEventSummary].mask == 0x20);

constexpr std::uint16_t kMessageAvailable = kStatusBitRows[kStatusRowMessageAvailable].mask;  // MAV
constexpr std::uint16_t kErrorAvailable = kStatusBitRows[kStatusRowErrorAvailable].mask;      // EAV
constexpr std::uint16_t kPowerOn = kStatusBitRows[kStatusRowPowerOn].mask;  // PON of the standard event register
static_assert(kStatusBitRows[kStatusRowMessageAvailable].reg == kStatusByteRegister && kMessageAvailable == 0x10);
static_assert(kStatusBitRows[kStatusRowErrorAvailable].reg == kStatusByteRegister && kErrorAvailable == 0x04);
static_assert(kStatusBitRows[kStatusRowPowerOn].reg == kStandardEventRegister && kPowerOn == 0x80);
constexpr std::uint16_t kReservedBit15 = 0x8000;

bool ValidRegister(std::uint32_t reg) { return reg < kScpiStatusRegisterCount; }

// Row indexes come from the reporting code; an unknown one is logged and changes nothing.
bool KnownErrorRow(const char* operation, std::uint32_t errorRow) {
  if (errorRow < kScpiErrorTableRows) return true;
  g_Logger.Printf("CScpiStatus::%s: unknown error row %u\n", operation, static_cast<unsigned>(errorRow));
  return false;
}

bool KnownStatusRow(const char* operation, std::uint32_t statusRow) {
  if (statusRow < kStatusBitRowCount) return true;
  g_Logger.Printf("CScpiStatus::%s: unknown status row %u\n", operation, static_cast<unsigned>(statusRow));
  return false;
}

// Filters and sub-register enables as at power-on and after STATus:PRESet.
void PresetFilters(std::uint16_t* ptr, std::uint16_t* ntr, std::uint16_t* enable) {
  for (std::uint32_t r = 0; r < kScpiStatusRegisterCount; ++r) {
    ptr[r] = r <= kStandardEventRegister ? 0x00FF : 0xFFFF;
    ntr[r] = 0;
  }
  enable[kOperationRegister] = 0;
  enable[kQuestionableRegister] = 0;
  enable[kQuestionableBit12Register] = 0xFFFF;
  enable[kOperationBit11Register] = 0xFFFF;
  enable[kOperationBit12Register] = 0xFFFF;
}

}  // namespace

CScpiStatus& CScpiStatus::ModuleObject() {
  static CScpiStatus moduleStatus(nullptr, nullptr, nullptr);
  return moduleStatus;
}

namespace {
// Built at static initialisation, before any other thread can ask for it first with locks held.
[[maybe_unused]] CScpiStatus& g_ModuleStatus = CScpiStatus::ModuleObject();
}  // namespace

CScpiStatus::CScpiStatus(CDevice* device, const ResponseSlot* responseSlot, const CScpiStatus* statusTemplate)
    : m_Device(device), m_ResponseSlot(responseSlot) {
  CStatusLock lock;
  m_Constructed = 0;

  m_MasterSummary = 0;
  m_RequestPending = 0;
  m_PreviousSre = 0;
  for (std::uint32_t r = 0; r < kScpiStatusRegisterCount; ++r) {
    m_Condition[r] = 0;
    m_PreviousCondition[r] = 0;
  }
  m_Condition[kStandardEventRegister] = kPowerOn;
  m_PreviousCondition[kStandardEventRegister] = kPowerOn;

  if (statusTemplate != nullptr && statusTemplate->m_Constructed != 0) {
    for (std::uint32_t r = 0; r < kScpiStatusRegisterCount; ++r) {
      m_Condition[r] = statusTemplate->m_Condition[r];
      m_PreviousCondition[r] = statusTemplate->m_PreviousCondition[r];
    }
  }

  PresetFilters(m_PositiveTransition, m_NegativeTransition, m_Enable);
  for (std::uint32_t r = kOperationRegister; r < kScpiStatusRegisterCount; ++r) m_Event[r] = 0;
  m_ErrorQueue.clear();
  m_Enable[kStatusByteRegister] = 0;
  m_Enable[kStandardEventRegister] = 0;
  m_Event[kStatusByteRegister] = 0;
  m_Event[kStandardEventRegister] = kPowerOn;

  for (std::uint32_t r = 0; r < kScpiStatusRegisterCount; ++r) m_Persistence[r] = 0xFFFF;
  for (const StatusBitRow& row : kStatusBitRows) {
    if (row.eventOnly != 0) m_Persistence[row.reg] &= static_cast<std::uint16_t>(~row.mask);
  }

  UpdateSummary();
  Register();
  m_Constructed = 1;
}

CScpiStatus::~CScpiStatus() {
  CListLock lock;
  std::vector<CScpiStatus*>& list = Shared().list;
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

void CScpiStatus::Register() {
  CListLock lock;
  Shared().list.push_back(this);
}

void CScpiStatus::RequestServiceIfPending() {
  if (m_RequestPending == 0 || m_Device == nullptr) return;
  if (m_Device->RequestService() == 0) m_RequestPending = 0;
}

void CScpiStatus::UpdateAndRequest(bool noUpdate) {
  if (noUpdate) return;
  UpdateSummary();
  RequestServiceIfPending();
}

// --- errors ----------------------------------------------------------------------------------------

void CScpiStatus::PushError(std::uint32_t errorRow, bool noUpdate) {
  if (errorRow == kScpiErrorNoError || !KnownErrorRow("PushError", errorRow)) return;
  CStatusLock lock;
  if (kScpiErrorTable[errorRow].deviceWide != 0) {
    BroadcastError(errorRow, noUpdate);
    return;
  }
  QueueError(errorRow);
  UpdateAndRequest(noUpdate);
}

void CScpiStatus::BroadcastError(std::uint32_t errorRow, bool noUpdate) {
  if (errorRow == kScpiErrorNoError || !KnownErrorRow("BroadcastError", errorRow)) return;
  CStatusLock lock;
  CListLock listLock;
  for (CScpiStatus* status : Shared().list) {
    status->QueueError(errorRow);
    status->UpdateAndRequest(noUpdate);
  }
}

void CScpiStatus::QueueError(std::uint32_t errorRow) {
  if (m_ErrorQueue.size() >= kErrorQueueCapacity) {
    // Full: the newest entry becomes "Queue overflow" and the new error is dropped.
    m_ErrorQueue.back() = kScpiErrorQueueOverflow;
  } else {
    m_ErrorQueue.push_back(errorRow);
  }
  // The error's own status bit, on this object only (even when its status row is device-wide).
  ApplyBitRow(kStatusBitRows[kScpiErrorTable[errorRow].statusRow], true);
}

void CScpiStatus::PopError(std::uint32_t& errorRow) {
  CStatusLock lock;
  if (m_ErrorQueue.empty()) {
    errorRow = kScpiErrorNoError;
    return;
  }
  errorRow = m_ErrorQueue.front();
  m_ErrorQueue.pop_front();
}

bool CScpiStatus::GetErrorText(std::uint32_t errorRow, std::int16_t& code, const char*& text) {
  if (errorRow >= kScpiErrorTableRows) {
    code = 0;
    text = "";
    return false;
  }
  code = kScpiErrorTable[errorRow].code;
  text = kScpiErrorTable[errorRow].text;
  return true;
}

// --- status rows -----------------------------------------------------------------------------------

void CScpiStatus::ApplyBitRow(const StatusBitRow& row, bool set) {
  if (set) {
    m_Condition[row.reg] |= row.mask;
  } else {
    m_Condition[row.reg] &= static_cast<std::uint16_t>(~row.mask);
  }
}

void CScpiStatus::SetBitRow(std::uint32_t statusRow, bool set, bool noUpdate) {
  if (!KnownStatusRow("SetBitRow", statusRow)) return;
  CStatusLock lock;
  if (kStatusBitRows[statusRow].deviceWide != 0) {
    BroadcastBitRow(statusRow, set, noUpdate);
    return;
  }
  ApplyBitRow(kStatusBitRows[statusRow], set);
  UpdateAndRequest(noUpdate);
}

void CScpiStatus::SetDeviceBitRow(std::uint32_t statusRow, bool set, bool noUpdate) {
  ModuleObject().SetBitRow(statusRow, set, noUpdate);
}

void CScpiStatus::BroadcastBitRow(std::uint32_t statusRow, bool set, bool noUpdate) {
  if (!KnownStatusRow("BroadcastBitRow", statusRow)) return;
  CStatusLock lock;
  CListLock listLock;
  for (CScpiStatus* status : Shared().list) {
    status->ApplyBitRow(kStatusBitRows[statusRow], set);
    status->UpdateAndRequest(noUpdate);
  }
}

// --- summary ---------------------------------------------------------------------------------------

void CScpiStatus::UpdateSummary() {
  CStatusLock lock;
  std::uint16_t& stb = m_Condition[kStatusByteRegister];
  if (m_ResponseSlot != nullptr) {
    if (m_ResponseSlot->load(std::memory_order_acquire) != nullptr) {
      stb |= kMessageAvailable;
    } else {
      stb &= static_cast<std::uint16_t>(~kMessageAvailable);
    }
  }
  if (!m_ErrorQueue.empty()) {
    stb |= kErrorAvailable;
  } else {
    stb &= static_cast<std::uint16_t>(~kErrorAvailable);
  }

  for (const SummaryLink& link : kSummaryChain) {
    const std::uint32_t r = link.reg;
    const std::uint16_t cond = m_Condition[r];
    const std::uint16_t prev = m_PreviousCondition[r];
    m_Event[r] |=
        static_cast<std::uint16_t>((cond & ~prev & m_PositiveTransition[r]) | (prev & ~cond & m_NegativeTransition[r]));
    ApplyBitRow(kStatusBitRows[link.summaryRow], (m_Enable[r] & m_Event[r]) != 0);
    // Event-only bits leave the condition here: they were latched above, once.
    m_Condition[r] = static_cast<std::uint16_t>(m_Condition[r] & m_Persistence[r]);
    m_PreviousCondition[r] = m_Condition[r];
  }

  const std::uint16_t sre = m_Enable[kStatusByteRegister];
  const std::uint16_t lastStb = m_Event[kStatusByteRegister];
  m_MasterSummary = (stb & sre) != 0 ? 1 : 0;
  // A request rises only for an enabled bit that was not both set and enabled at the last update.
  if ((stb & sre & ~(lastStb & m_PreviousSre)) != 0) m_RequestPending = 1;
  m_Event[kStatusByteRegister] = stb;
  m_PreviousSre = sre;
}

void CScpiStatus::UpdateAll() {
  CStatusLock lock;
  CListLock listLock;
  for (CScpiStatus* status : Shared().list) {
    status->UpdateSummary();
    status->RequestServiceIfPending();
  }
}

void CScpiStatus::EndOfMessage() {
  CStatusLock lock;
  UpdateAll();
}

std::uint8_t CScpiStatus::ReadStatusByte(std::uint32_t mode) {
  CStatusLock lock;
  UpdateSummary();
  std::uint8_t bit6 = 0;
  if (mode == kReadForStbQuery) {
    bit6 = m_MasterSummary != 0 ? kRequestServiceMask : 0;
  } else if (mode == kReadForStatusRequest) {
    bit6 = m_RequestPending != 0 ? kRequestServiceMask : 0;
  }
  const auto low = static_cast<std::uint8_t>(m_Condition[kStatusByteRegister] & 0xFF);
  return static_cast<std::uint8_t>((low & ~kRequestServiceMask) | bit6);
}

// --- registers -------------------------------------------------------------------------------------

void CScpiStatus::SetEnable(std::uint32_t reg, std::uint16_t& value, bool noUpdate) {
  if (!ValidRegister(reg)) return;
  CStatusLock lock;
  if (reg == kStatusByteRegister) value = static_cast<std::uint16_t>(value & ~kRequestServiceMask);
  value = static_cast<std::uint16_t>(value & ~kReservedBit15);
  m_Enable[reg] = value;
  UpdateAndRequest(noUpdate);
}

void CScpiStatus::GetEnable(std::uint32_t reg, std::uint16_t& value) {
  CStatusLock lock;
  value = ValidRegister(reg) ? m_Enable[reg] : 0;
}

void CScpiStatus::GetPositiveTransitionFilter(std::uint32_t reg, std::uint16_t& value) {
  CStatusLock lock;
  value = ValidRegister(reg) ? m_PositiveTransition[reg] : 0;
}

void CScpiStatus::GetNegativeTransitionFilter(std::uint32_t reg, std::uint16_t& value) {
  CStatusLock lock;
  value = ValidRegister(reg) ? m_NegativeTransition[reg] : 0;
}

void CScpiStatus::SetPositiveTransitionFilter(std::uint32_t reg, std::uint16_t value) {
  if (!ValidRegister(reg)) return;
  CStatusLock lock;
  m_PositiveTransition[reg] = value;
}

void CScpiStatus::SetNegativeTransitionFilter(std::uint32_t reg, std::uint16_t value) {
  if (!ValidRegister(reg)) return;
  CStatusLock lock;
  m_NegativeTransition[reg] = value;
}

void CScpiStatus::GetEvent(std::uint32_t reg, std::uint16_t& value) {
  CStatusLock lock;
  UpdateSummary();
  value = ValidRegister(reg) ? m_Event[reg] : 0;
}

void CScpiStatus::GetCondition(std::uint32_t reg, std::uint16_t& value) {
  CStatusLock lock;
  UpdateSummary();
  value = ValidRegister(reg) ? m_Condition[reg] : 0;
}

void CScpiStatus::ClearEvent(std::uint32_t reg) {
  if (!ValidRegister(reg)) return;
  CStatusLock lock;
  m_Event[reg] = 0;
}

void CScpiStatus::Preset() {
  CStatusLock lock;
  PresetFilters(m_PositiveTransition, m_NegativeTransition, m_Enable);
  UpdateSummary();
}

void CScpiStatus::Clear() {
  CStatusLock lock;
  for (std::uint32_t r = kStandardEventRegister; r < kScpiStatusRegisterCount; ++r) m_Event[r] = 0;
  m_ErrorQueue.clear();
  m_Event[kStatusByteRegister] = 0;
  UpdateSummary();
}

// The device-wide conditions that every new client's status starts from.
CScpiStatus g_ScpiStatusTemplate(nullptr, nullptr, nullptr);

}  // namespace Torvex
