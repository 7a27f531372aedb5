// NAND flash devices of the board: look-up by name, partitions, block erase.
//
// A NAND device is a board model (sim/) registered here under its name ("onboard"). The firmware looks
// a device up, asks for a partition's first and last block and erases blocks; an erase of a bad block
// or of a block outside the partition is refused. The flash file system (/yaffs, see platform/io.h)
// lives on partition 0 of the device "onboard": erasing any good block of that partition destroys it,
// and the file system is found empty at its next mount.
//
// The flash shares the board's external bus with the DSP's host port: every flash access the platform
// makes (a block erase; on the flash file system a file opened, its data read, written or synced
// through a descriptor or a stream, a file or folder made, renamed or removed) runs with interrupts
// disabled (the kernel lock held) between the bus hooks that the drivers library installs, the DSP
// host-port driver's bus hand-over. Without hooks the accesses run with interrupts disabled only.
//
// Every call may be made from any thread. A registered device must stay alive until unregistered.
#pragma once

#include <cstdint>

namespace platform::nand {

struct Partition {
  std::uint32_t first_block;
  std::uint32_t last_block;  // included
};

// Implemented by the board's NAND model.
class Device {
 public:
  virtual ~Device() = default;
  virtual const char* Name() const = 0;
  virtual std::uint32_t PageSize() const = 0;   // bytes
  virtual std::uint32_t BlockSize() const = 0;  // bytes
  virtual unsigned PartitionCount() const = 0;
  // False when there is no such partition.
  virtual bool GetPartition(unsigned index, Partition* out) const = 0;
  virtual bool IsBadBlock(std::uint32_t block) const = 0;
  // 0, or a negative errno value when the erase fails.
  virtual int EraseBlock(std::uint32_t block) = 0;
};

// The device that holds the flash file system, and its partition.
inline constexpr const char* kFlashDeviceName = "onboard";
inline constexpr unsigned kFlashPartition = 0;

// A later registration under the same name replaces the earlier one.
void Register(Device* device);
void Unregister(Device* device);

// --- firmware calls --------------------------------------------------------------------------------

// The device of that name, or nullptr.
Device* Lookup(const char* name);
// 0, or -ENOENT when the device has no such partition (-EINVAL for a null device).
int GetPartition(Device* device, unsigned partition, Partition* out);
// Erases one block of a partition: 0, -EINVAL when the block lies outside the partition, -EIO for a
// bad block or a failed erase.
int EraseBlock(Device* device, unsigned partition, std::uint32_t block);

// Good blocks of a partition (0 when there is no such partition).
std::uint64_t GoodBlocks(Device* device, unsigned partition);

// --- the external bus ------------------------------------------------------------------------------

using BusHook = void (*)();
// Installs the hooks called before (`acquire`) and after (`release`) every flash access; nullptr
// removes them.
void SetBusHooks(BusHook acquire, BusHook release);

// One flash access: interrupts disabled and the bus acquired for the object's life.
class FlashAccess {
 public:
  FlashAccess();
  ~FlashAccess();
  FlashAccess(const FlashAccess&) = delete;
  FlashAccess& operator=(const FlashAccess&) = delete;

 private:
  BusHook release_;
};

}  // namespace platform::nand
