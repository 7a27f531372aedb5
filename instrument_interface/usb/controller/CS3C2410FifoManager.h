// Moves bytes between a chain of CDataBuffer objects and one endpoint FIFO of the S3C2410 device
// controller, a packet at a time. FIFO loops disable interrupts once per byte.
#pragma once

#include <cstdint>

#include "engine/CDataBuffer.h"
#include "usb/controller/CS3C2410Registers.h"

class CS3C2410FifoManager {
 public:
  CS3C2410FifoManager(unsigned endpoint, std::uint16_t packet_size, unsigned direction, CS3C2410Registers* registers)
      : endpoint_(endpoint), packet_size_(packet_size), direction_(direction), registers_(registers) {}

  void Attach(CDataBuffer* chain);
  void SetPacketSize(std::uint16_t size) { packet_size_ = size; }
  void SetLengthLimit(std::uint32_t expected) {
    limited_ = true;
    expected_ = expected;
  }
  void WritePacket();
  void ReadPacket();
  // False when a setup packet that arrived meanwhile keeps endpoint 0's packet from the host.
  bool FinishPacket();
  // Flushes the endpoint's FIFO (the packet in progress counts as moved).
  void Flush(std::int32_t kind);
  void Clear();

  std::uint32_t remaining() const { return remaining_; }
  std::uint32_t total() const { return total_; }
  std::uint32_t read_count() const { return read_count_; }
  // A read whose chain filled before the packet was empty: the rest of the packet stays in the FIFO
  // for the next read, which then finishes the packet.
  void AddReadToTotal() {
    total_ += read_count_;
    packet_taken_ += read_count_;
    read_count_ = 0;
  }
  // Bytes of the last packet handed to the FIFO.
  std::uint32_t last_packet() const { return last_packet_; }
  bool last() const { return last_; }
  bool is_short() const { return short_; }
  bool full() const { return full_; }
  bool attached() const { return chain_ != nullptr; }

 private:
  std::uint32_t Left() const;

  unsigned endpoint_;
  std::uint16_t packet_size_;
  unsigned direction_;  // 0 device to host, 1 host to device
  CS3C2410Registers* registers_;
  CDataBuffer* chain_ = nullptr;
  std::uint32_t write_count_ = 0;
  std::uint32_t read_count_ = 0;
  std::uint32_t remaining_ = 0;
  std::uint32_t total_ = 0;
  bool limited_ = false;
  std::uint32_t expected_ = 0;
  bool last_ = false;
  bool short_ = false;
  bool full_ = false;
  // Bytes of the OUT packet in the FIFO that earlier reads took (kept across reads, not transfers:
  // a packet is short by its own size, not by what the last read took of it).
  std::uint32_t packet_taken_ = 0;
  std::uint32_t last_packet_ = 0;
};
