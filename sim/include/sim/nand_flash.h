// The board's NAND flash chip: geometry, partitions, bad blocks and block erases.
//
// The flash file system's content is kept by the platform's file layer in <root>/yaffs; this model
// holds what the NAND layer asks of the chip (geometry, partition table, which blocks are bad, erase
// counts) and can be made to fail erases. Register() makes it the platform's NAND device of its name
// (platform/nand.h); the destructor unregisters it.
//
// Used by the board program and by tests, from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/nand.h"

namespace sim {

class NandFlash : public platform::nand::Device {
 public:
  struct Geometry {
    std::uint32_t page_size = 2048;
    std::uint32_t pages_per_block = 64;
    std::uint32_t block_count = 512;  // 64 MiB
  };

  // The board's chip: the default geometry with one partition over every block.
  NandFlash();
  // `partitions` lists each partition's first and last block.
  NandFlash(std::string name, Geometry geometry, std::vector<platform::nand::Partition> partitions);
  ~NandFlash() override;

  NandFlash(const NandFlash&) = delete;
  NandFlash& operator=(const NandFlash&) = delete;

  void Register();
  void Unregister();

  void MarkBad(std::uint32_t block);
  // Every later erase of `block` fails (as a worn block does before it is marked bad).
  void FailErases(std::uint32_t block);
  std::uint64_t EraseCount(std::uint32_t block) const;
  std::uint64_t TotalErases() const;

  // platform::nand::Device
  const char* Name() const override;
  std::uint32_t PageSize() const override;
  std::uint32_t BlockSize() const override;
  unsigned PartitionCount() const override;
  bool GetPartition(unsigned index, platform::nand::Partition* out) const override;
  bool IsBadBlock(std::uint32_t block) const override;
  int EraseBlock(std::uint32_t block) override;

 private:
  struct Block {
    bool bad = false;
    bool failing = false;
    std::uint64_t erases = 0;
  };

  const std::string m_Name;
  const Geometry m_Geometry;
  const std::vector<platform::nand::Partition> m_Partitions;
  mutable std::mutex m_Lock;
  std::vector<Block> m_Blocks;
  bool m_Registered = false;
};

}  // namespace sim
