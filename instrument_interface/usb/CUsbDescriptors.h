// The standard USB descriptors the device presents, kept in wire format so that answering a request
// is a copy: per speed a device descriptor with its configurations, interfaces and endpoints, a
// device qualifier, and the string descriptors with the language-ID descriptor.
//
// CUsbDescriptorSet is filled by the device manager (device fields and strings at connection,
// configuration, interface and endpoint descriptors when an interface is configured, removed again
// with the interface) and read by the standard request manager. Errors: kUsbStatusNoMemory for an
// allocation failure (the tree is left as it was), kUsbStatusDescriptorNotFound for a configuration,
// interface or string that does not exist, and for interface numbering with gaps or repeats.
// Not locked: the device manager serialises changes, and the host reads only while connected.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/CDataBuffer.h"
#include "usb/UsbTypes.h"

class CUsbDescriptor {
 public:
  CUsbDescriptor(std::uint8_t size, std::uint8_t type, std::uint32_t* status);
  virtual ~CUsbDescriptor();
  CUsbDescriptor(const CUsbDescriptor&) = delete;
  CUsbDescriptor& operator=(const CUsbDescriptor&) = delete;

  std::uint8_t Byte(std::uint32_t offset) const { return offset < size_ ? bytes_[offset] : 0; }
  void SetByte(std::uint32_t offset, std::uint8_t value) {
    if (offset < size_) bytes_[offset] = value;
  }
  void SetWord(std::uint32_t offset, std::uint16_t value) {
    SetByte(offset, static_cast<std::uint8_t>(value & 0xFF));
    SetByte(offset + 1, static_cast<std::uint8_t>(value >> 8));
  }
  std::uint16_t Word(std::uint32_t offset) const {
    return static_cast<std::uint16_t>(Byte(offset) | (Byte(offset + 1) << 8));
  }
  std::uint8_t Length() const { return Byte(0); }
  // Copies bLength bytes at the buffer's cursor, never past its window end; false when it filled up.
  bool Serialize(CDataBuffer* buffer) const;

 protected:
  std::uint8_t* bytes_ = nullptr;
  std::uint8_t size_ = 0;
};

class CUsbEndpointDescriptor : public CUsbDescriptor {
 public:
  CUsbEndpointDescriptor(std::int32_t kind, std::uint8_t number, std::uint16_t max_packet, std::uint8_t interval,
                         std::uint32_t* status);
  std::uint8_t Number() const { return Byte(2) & 0x0F; }
};

class CUsbInterfaceDescriptor : public CUsbDescriptor {
 public:
  CUsbInterfaceDescriptor(std::uint8_t number, std::uint8_t alternate, std::uint8_t cls, std::uint8_t subclass,
                          std::uint8_t protocol, std::uint8_t string_index, std::uint32_t* status);
  ~CUsbInterfaceDescriptor() override;
  std::uint8_t Number() const { return Byte(2); }
  std::uint8_t Alternate() const { return Byte(3); }
  std::uint8_t StringIndex() const { return Byte(8); }
  void AddEndpoint(CUsbEndpointDescriptor* endpoint, std::uint32_t* status);
  const std::vector<CUsbEndpointDescriptor*>& endpoints() const { return endpoints_; }

 private:
  std::vector<CUsbEndpointDescriptor*> endpoints_;
};

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

class CUsbDeviceDescriptor : public CUsbDescriptor {
 public:
  explicit CUsbDeviceDescriptor(std::uint32_t* status);
  ~CUsbDeviceDescriptor() override;
  void AddConfiguration(CUsbConfigurationDescriptor* configuration, std::uint32_t* status);
  CUsbConfigurationDescriptor* FindConfiguration(std::uint8_t value) const;
  CUsbConfigurationDescriptor* ConfigurationAt(std::uint32_t index) const {
    return index < configurations_.size() ? configurations_[index] : nullptr;
  }
  bool RemoveConfiguration(std::uint8_t value);
  const std::vector<CUsbConfigurationDescriptor*>& configurations() const { return configurations_; }

 private:
  std::vector<CUsbConfigurationDescriptor*> configurations_;
};

class CUsbDeviceQualifierDescriptor : public CUsbDescriptor {
 public:
  explicit CUsbDeviceQualifierDescriptor(std::uint32_t* status);
};

class CUsbStringDescriptor : public CUsbDescriptor {
 public:
  CUsbStringDescriptor(const char* text, std::uint8_t index, std::uint16_t language, std::uint32_t* status);
  std::uint8_t Index() const { return index_; }
  std::uint16_t Language() const { return language_; }

 private:
  std::uint8_t index_;
  std::uint16_t language_;
};

class CUsbLanguageIdDescriptor : public CUsbDescriptor {
 public:
  static constexpr std::uint8_t kCapacity = 1;
  explicit CUsbLanguageIdDescriptor(std::uint32_t* status);
  bool Has(std::uint16_t language) const;
  void Add(std::uint16_t language, std::uint32_t* status);
};

class CUsbStringDescriptorManager {
 public:
  explicit CUsbStringDescriptorManager(std::uint32_t* status);
  virtual ~CUsbStringDescriptorManager();
  CUsbStringDescriptorManager(const CUsbStringDescriptorManager&) = delete;
  CUsbStringDescriptorManager& operator=(const CUsbStringDescriptorManager&) = delete;

  // 0 without adding anything for an absent or empty text; else the index of the new string, the
  // lowest one that is free (so indexes are reused after RemoveString).
  std::uint8_t AddString(std::uint16_t language, const char* text, std::uint32_t* status);
  void RemoveString(std::uint8_t index);
  const CUsbStringDescriptor* Find(std::uint8_t index, std::uint16_t language) const;
  const CUsbLanguageIdDescriptor* languages() const { return languages_; }
  std::size_t Count() const { return strings_.size(); }
  std::uint8_t MaxLength() const;

 private:
  CUsbLanguageIdDescriptor* languages_ = nullptr;
  std::vector<CUsbStringDescriptor*> strings_;  // ordered by (index, language)
};

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
