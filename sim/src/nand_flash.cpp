// The NAND flash model (see sim/nand_flash.h).
#include "sim/nand_flash.h"

#include <cerrno>

namespace sim {

NandFlash::NandFlash() : NandFlash(platform::nand::kFlashDeviceName, Geometry{}, {{0, Geometry{}.block_count - 1}}) {}

NandFlash::NandFlash(std::string name, Geometry geometry, std::vector<platform::nand::Partition> partitions)
    : m_Name(std::move(name)),
      m_Geometry(geometry),
      m_Partitions(std::move(partitions)),
      m_Blocks(geometry.block_count) {}

NandFlash::~NandFlash() { Unregister(); }

void NandFlash::Register() {
  platform::nand::Register(this);
  m_Registered = true;
}

void NandFlash::Unregister() {
  if (m_Registered) platform::nand::Unregister(this);
  m_Registered = false;
}

void NandFlash::MarkBad(std::uint32_t block) {
  std::lock_guard<std::mutex> g(m_Lock);
  if (block < m_Blocks.size()) m_Blocks[block].bad = true;
}

void NandFlash::FailErases(std::uint32_t block) {
  std::lock_guard<std::mutex> g(m_Lock);
  if (block < m_Blocks.size()) m_Blocks[block].failing = true;
}

std::uint64_t NandFlash::EraseCount(std::uint32_t block) const {
  std::lock_guard<std::mutex> g(m_Lock);
  return block < m_Blocks.size() ? m_Blocks[block].erases : 0;
}

std::uint64_t NandFlash::TotalErases() const {
  std::lock_guard<std::mutex> g(m_Lock);
  std::uint64_t n = 0;
  for (const Block& b : m_Blocks) n += b.erases;
  return n;
}

const char* NandFlash::Name() const { return m_Name.c_str(); }

std::uint32_t NandFlash::PageSize() const { return m_Geometry.page_size; }

std::uint32_t NandFlash::BlockSize() const { return m_Geometry.page_size * m_Geometry.pages_per_block; }

unsigned NandFlash::PartitionCount() const { return static_cast<unsigned>(m_Partitions.size()); }

bool NandFlash::GetPartition(unsigned index, platform::nand::Partition* out) const {
  if (index >= m_Partitions.size() || out == nullptr) return false;
  *out = m_Partitions[index];
  return true;
}

bool NandFlash::IsBadBlock(std::uint32_t block) const {
  std::lock_guard<std::mutex> g(m_Lock);
  return block >= m_Blocks.size() || m_Blocks[block].bad;
}

int NandFlash::EraseBlock(std::uint32_t block) {
  std::lock_guard<std::mutex> g(m_Lock);
  if (block >= m_Blocks.size() || m_Blocks[block].bad || m_Blocks[block].failing) return -EIO;
  ++m_Blocks[block].erases;
  return 0;
}

}  // namespace sim
