#include "usb/controller/CS3C2410FifoManager.h"

#include "platform/hw_registers.h"
#include "platform/regbus.h"
#include "usb/controller/CS3C2410InterruptMask.h"
#include "usb/controller/CS3C2410Registers.h"

namespace u = hw::usbd;
using platform::regbus::Read8;
using platform::regbus::Write8;

std::uint32_t CS3C2410FifoManager::Left() const {
  std::uint32_t left = 0;
  for (const CDataBuffer* b = chain_; b != nullptr; b = b->next) {
    if (b->cursor < b->WindowEnd()) left += b->WindowEnd() - b->cursor;
  }
  return left;
}

void CS3C2410FifoManager::Attach(CDataBuffer* chain) {
  chain_ = chain;
  for (CDataBuffer* b = chain_; b != nullptr; b = b->next) b->cursor = b->WindowStart();
  remaining_ = Left();
  write_count_ = 0;
  read_count_ = 0;
  total_ = 0;
  limited_ = false;
  expected_ = 0;
  last_ = short_ = full_ = false;
}

void CS3C2410FifoManager::WritePacket() {
  CDataBuffer* b = chain_;
  while (write_count_ < packet_size_ && b != nullptr) {
    if (b->cursor >= b->WindowEnd() || b->Data() == nullptr || b->cursor >= b->Length()) {
      b = b->next;
      continue;
    }
    const std::uint8_t byte = b->Data()[b->cursor++];
    {
      CS3C2410InterruptMask masked;
      platform::kernel::DelayMicroseconds(1);
      Write8(u::EpFifo(endpoint_), byte);
    }
    ++write_count_;
  }
  remaining_ = Left();
}

void CS3C2410FifoManager::ReadPacket() {
  CDataBuffer* b = chain_;
  while (b != nullptr) {
    if (b->cursor >= b->WindowEnd() || b->Data() == nullptr || b->cursor >= b->Length()) {
      b = b->next;
      continue;
    }
    if (registers_->OutFifoCount(endpoint_) == 0) break;
    std::uint8_t byte = 0;
    {
      CS3C2410InterruptMask masked;
      platform::kernel::DelayMicroseconds(1);
      byte = Read8(u::EpFifo(endpoint_));
    }
    b->Data()[b->cursor++] = byte;
    ++read_count_;
  }
  remaining_ = Left();
}

bool CS3C2410FifoManager::FinishPacket() {
  const std::uint32_t count = direction_ == 0 ? write_count_ : read_count_;
  const std::uint32_t packet = direction_ == 0 ? count : count + packet_taken_;
  packet_taken_ = 0;
  last_packet_ = count;
  short_ = packet < packet_size_;
  full_ = packet == packet_size_;
  total_ += count;
  last_ = short_ || (limited_ && total_ >= expected_);
  write_count_ = 0;
  read_count_ = 0;
  CS3C2410InterruptMask masked;
  Write8(u::INDEX_REG, static_cast<std::uint8_t>(endpoint_));
  platform::kernel::DelayMicroseconds(1);
  if (direction_ == 0 && endpoint_ == 0) {
    // A setup packet that arrived while the packet was loaded ends this data stage: the packet is
    // not handed over, and the next service pass reports the stage as overtaken.
    if ((Read8(u::EP0_CSR) & (u::kEp0OutPktRdy | u::kEp0SetupEnd)) != 0) return false;
    Write8(u::EP0_CSR, last_ ? (u::kEp0InPktRdy | u::kEp0DataEnd) : u::kEp0InPktRdy);
  } else if (direction_ == 0) {
    const std::uint8_t v = static_cast<std::uint8_t>(Read8(u::IN_CSR1_REG) & ~CS3C2410Registers::kInActionBits);
    Write8(u::IN_CSR1_REG, static_cast<std::uint8_t>(v | u::kInPktRdy));
  } else {
    const std::uint8_t v = static_cast<std::uint8_t>(Read8(u::OUT_CSR1_REG) & ~CS3C2410Registers::kOutActionBits);
    Write8(u::OUT_CSR1_REG, static_cast<std::uint8_t>(v & ~u::kOutPktRdy));
  }
  return true;
}

void CS3C2410FifoManager::Flush(std::int32_t kind) {
  total_ += direction_ == 0 ? write_count_ : read_count_;
  packet_taken_ = 0;
  write_count_ = 0;
  read_count_ = 0;
  if (kind == kUsbKindBulkOut) {
    registers_->ModifyOutCsr(endpoint_, u::kOutFifoFlush, 0);
  } else {
    registers_->ModifyInCsr(endpoint_, u::kInFifoFlush, 0);
  }
}

void CS3C2410FifoManager::Clear() {
  chain_ = nullptr;
  write_count_ = read_count_ = remaining_ = total_ = 0;
  limited_ = false;
  expected_ = 0;
  last_ = short_ = full_ = false;
}
