// A configuration descriptor with its interface descriptors, ordered by number and alternate
// setting (it owns them); wTotalLength follows what it holds.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/CDataBuffer.h"
#include "usb/device/CUsbInterfaceDescriptor.h"

class CUsbConfigurationDescriptor : public CUsbDescriptor {
 public:
  CUsbConfigurationDescriptor(std::uint8_t value, bool self_powered, bool remote_wakeup, std::uint8_t max_power,
                              std::uint8_t string_index, std::uint32_t* status);
  ~CUsbConfigurationDescriptor() override;
  std::uint8_t Value() const { return Byte(5); }
  std::uint8_t Attributes() const { return Byte(7); }
  std::uint8_t StringIndex() const { return Byte(6); }
  std::uint16_t TotalLength() const { return Word(2); }
  void AddInterface(CUsbInterfaceDescriptor* interface, std::uint32_t* status);
  CUsbInterfaceDescriptor* FindInterface(std::uint8_t number, std::uint8_t alternate) const;
  // Takes the interface out (its endpoints with it) and deletes it; false when there is none.
  bool RemoveInterface(std::uint8_t number, std::uint8_t alternate);
  void AddEndpointLength();
  bool Serialize(CDataBuffer* buffer);
  bool ValidNumbering() const;
  const std::vector<CUsbInterfaceDescriptor*>& interfaces() const { return interfaces_; }

 private:
  void Recount();
  std::vector<CUsbInterfaceDescriptor*> interfaces_;
};
