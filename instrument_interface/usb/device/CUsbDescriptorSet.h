// The standard USB descriptors the device presents, kept in wire format so that answering a request
// is a copy: per speed a device descriptor with its configurations, interfaces and endpoints, a
// device qualifier, and the string descriptors with the language-ID descriptor.
//
// CUsbDescriptorSet is filled by the device manager (device fields and strings at connection,
// configuration, interface and endpoint descriptors when an interface is configured, removed again
// with the interface) and read by the standard request manager. Errors: kStatusOutOfMemory for an
// allocation failure (the tree is left as it was), kUsbStatusDescriptorNotFound for a configuration,
// interface or string that does not exist, and for interface numbering with gaps or repeats.
// Not locked: the device manager serialises changes, and the host reads only while connected.
#pragma once

#include <cstdint>

#include "engine/CDataBuffer.h"
#include "usb/controller/UsbTypes.h"
#include "usb/device/CUsbDeviceDescriptor.h"
#include "usb/device/CUsbDeviceQualifierDescriptor.h"
#include "usb/device/CUsbStringDescriptorManager.h"

class CUsbDescriptorSet {
 public:
  static constexpr std::uint16_t kLanguage = 0x0409;

  explicit CUsbDescriptorSet(std::uint32_t* status);
  virtual ~CUsbDescriptorSet();
  CUsbDescriptorSet(const CUsbDescriptorSet&) = delete;
  CUsbDescriptorSet& operator=(const CUsbDescriptorSet&) = delete;

  // The device strings are replaced: the strings of an earlier call are removed first.
  void SetProductAndVersion(std::uint16_t product, std::uint16_t release, const char* product_text,
                            const char* serial_text, std::uint32_t* status);
  void SetVendor(std::uint16_t vendor, const char* manufacturer_text, std::uint32_t* status);
  void SetDeviceClass(std::uint32_t speed, std::uint8_t cls, std::uint8_t subclass, std::uint8_t protocol,
                      std::uint8_t max_packet0, std::uint32_t* status);
  void AddConfiguration(std::uint32_t speed, std::uint8_t value, bool self_powered, bool remote_wakeup,
                        std::uint8_t max_power, const char* text, std::uint32_t* status);
  void AddInterface(std::uint32_t speed, std::uint8_t configuration, std::uint8_t number, std::uint8_t alternate,
                    std::uint8_t cls, std::uint8_t subclass, std::uint8_t protocol, const char* text,
                    std::uint32_t* status);
  void AddEndpoint(std::uint32_t speed, std::uint8_t configuration, std::uint8_t interface, std::uint8_t alternate,
                   std::int32_t kind, std::uint8_t number, std::uint16_t max_packet, std::uint8_t interval,
                   std::uint32_t* status);
  // Takes an interface's descriptors out of both trees (with its string); a configuration left
  // without interfaces goes too (with its string).
  void RemoveInterface(std::uint8_t configuration, std::uint8_t number, std::uint8_t alternate);
  bool HasConfiguration(std::uint8_t value) const;
  void ValidateConfigurations(std::uint32_t* status) const;
  std::uint32_t GetMaxDescriptorLength() const;
  void WriteDeviceDescriptor(std::uint32_t speed, CDataBuffer* buffer, std::uint32_t* length, std::uint32_t* status);
  void WriteConfiguration(std::uint32_t speed, std::uint32_t index, CDataBuffer* buffer, std::uint32_t* length,
                          std::uint32_t* status);
  void WriteString(std::uint8_t index, std::uint16_t language, CDataBuffer* buffer, std::uint32_t* length,
                   std::uint32_t* status);
  // GET_STATUS(device): bit 0 self-powered as the configuration says, bit 1 remote wake-up only when
  // the configuration supports it and the host has enabled it (this device never lets it).
  std::uint8_t GetDeviceStatus(std::uint32_t speed, std::uint8_t configuration) const;

  CUsbDeviceDescriptor* Device(std::uint32_t speed) const { return speed == kUsbSpeedHigh ? high_ : full_; }
  CUsbStringDescriptorManager* strings() const { return strings_; }

 private:
  CUsbDeviceDescriptor* high_ = nullptr;
  CUsbDeviceDescriptor* full_ = nullptr;
  CUsbDeviceQualifierDescriptor* qualifier_ = nullptr;
  CUsbStringDescriptorManager* strings_ = nullptr;
};
