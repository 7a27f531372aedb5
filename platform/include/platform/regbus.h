// The register bus: drivers read and write peripheral registers by address; each address range is
// served by a model (the hardware models of sim/, or the platform's own interrupt controller).
//
// An access to an address no model serves is a bus error: it is counted (UnmappedAccesses), raised as
// signals::kSigBus on the accessing thread with the access in the saved registers (platform/signals.h),
// and then reads 0 and writes nothing. The trace, when switched on, records every access in order,
// for tests that check what a driver wrote.
#pragma once

#include <cstdint>
#include <vector>

namespace platform::regbus {

class Model {
 public:
  virtual ~Model() = default;
  // `width` is 1, 2 or 4 bytes; `address` is the absolute address.
  virtual std::uint32_t Read(std::uint32_t address, unsigned width) = 0;
  virtual void Write(std::uint32_t address, std::uint32_t value, unsigned width) = 0;
};

// Serves [base, base + size) with `model` until Unmap. A later mapping over the same range wins.
void Map(std::uint32_t base, std::uint32_t size, Model* model);
void Unmap(Model* model);

std::uint8_t Read8(std::uint32_t address);
std::uint16_t Read16(std::uint32_t address);
std::uint32_t Read32(std::uint32_t address);
void Write8(std::uint32_t address, std::uint8_t value);
void Write16(std::uint32_t address, std::uint16_t value);
void Write32(std::uint32_t address, std::uint32_t value);

struct Access {
  bool write;
  unsigned width;
  std::uint32_t address;
  std::uint32_t value;
};

void SetTrace(bool on);
// Returns the accesses recorded since the last call and empties the record.
std::vector<Access> TakeTrace();
std::uint64_t UnmappedAccesses();

}  // namespace platform::regbus
