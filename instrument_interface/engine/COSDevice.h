// Abstract operating-system device of the instrument-interface layer. COSUsbDevice implements the
// construction flag, the device number and the handler attachment; it supports none of the further
// device operations, whose defaults here report that.
#pragma once

#include <cstdint>

class COSInterruptHandler;

class COSDevice {
 public:
  virtual ~COSDevice() = default;
  virtual bool IsFailed() = 0;
  virtual std::int32_t GetDeviceNumber() = 0;
  virtual void AttachHandlers(COSInterruptHandler* primary, COSInterruptHandler* secondary, std::uint32_t* status) = 0;
  virtual void DetachHandlers() = 0;

  // Unsupported operations: status 8 and result 0, or result 0, or nothing.
  virtual std::uint32_t Open(std::uint32_t* status) {
    *status = 8;
    return 0;
  }
  virtual void Close() {}
  virtual std::uint32_t Read(void*, std::uint32_t, std::uint32_t* status) {
    *status = 8;
    return 0;
  }
  virtual void Flush() {}
  virtual std::uint32_t GetConfig() { return 0; }
  virtual std::uint32_t SetConfig() { return 0; }
  virtual std::uint32_t GetInfo() { return 0; }
  virtual void Reset() {}
  virtual void Suspend() {}
  virtual void Resume() {}
};
