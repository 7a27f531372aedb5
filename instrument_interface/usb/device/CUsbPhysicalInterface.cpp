#include "usb/device/CUsbPhysicalInterface.h"

#include <cstring>

#include "engine/DoVovuriStatus.h"

namespace {

// Where string n of the application's record is stored (the record keeps them as 2, 0, 1, 3, 4).
constexpr int kStringSlot[5] = {1, 2, 0, 3, 4};
constexpr std::uint8_t kAttributeSelfPowered = 0x40;

const char* StringOf(const DoVovuriUsbSettings& record, int n) {
  const char* text = record.strings[kStringSlot[n]];
  return std::memchr(text, '\0', DoVovuriUsbSettings::kStringLength) != nullptr ? text : "";
}

}  // namespace

UsbDeviceSettings UsbSettingsFromRecord(const DoVovuriUsbSettings& record) {
  UsbDeviceSettings s;
  s.vendor_id = record.vendor_id;
  s.product_id = record.product_id;
  s.device_release = record.device_release;
  s.configuration_value = record.configuration_value;
  s.max_power = record.max_power;
  s.interface_number = 0;
  s.self_powered = (record.attributes & kAttributeSelfPowered) != 0 ? 1 : 0;
  s.manufacturer = StringOf(record, 0);
  s.product = StringOf(record, 1);
  s.serial_number = StringOf(record, 2);
  s.configuration_string = StringOf(record, 3);
  s.interface_string = StringOf(record, 4);
  s.interface_string_set = s.interface_string[0] != '\0' ? 1 : 0;
  return s;
}

CUsbPhysicalInterface::CUsbPhysicalInterface(CUsbDeviceManager* device_manager, CUsbInterfaceClass* interface_class,
                                             COSUsbDevice* os_device, std::uint32_t device_index,
                                             std::uint32_t plugin_id, std::uint32_t* status)
    : CPhysicalInterface(os_device, device_index, plugin_id, status),
      device_manager_(device_manager),
      interface_class_(interface_class) {
  if (*status == kStatusSuccess) interface_class_->SetPhysicalInterface(this);
}

CUsbPhysicalInterface::~CUsbPhysicalInterface() {
  if (handle_ != nullptr) {
    std::uint32_t ignored = 0;
    device_manager_->RemoveInterface(handle_, &ignored);
    handle_ = nullptr;
  }
  interface_class_->SetPhysicalInterface(nullptr);
}

void CUsbPhysicalInterface::Enable(const void* settings, std::uint32_t* status) {
  *status = kStatusSuccess;
  if (settings == nullptr) {
    *status = DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID;
    return;
  }
  std::memcpy(&settings_, settings, sizeof(settings_));
  if (settings_.size != sizeof(DoVovuriUsbSettings)) {
    *status = DOVOVURI_STATUS_DEVICE_SETTINGS_INVALID;
    return;
  }
  const UsbDeviceSettings device_settings = UsbSettingsFromRecord(settings_);
  if (handle_ != nullptr) {
    device_manager_->RemoveInterface(handle_, status);
    handle_ = nullptr;
  }
  // A configured interface leaves the events suspended once; the engine resumes them when ready.
  handle_ = device_manager_->Configure(device_settings, interface_class_->GetDescription(), status);
  if (handle_ == nullptr) return;
  interface_class_->Attach(handle_, status);
  if (*status == kStatusSuccess && settings_.connect_at_enable != 0) device_manager_->Connect(device_settings, status);
  if (*status == kStatusSuccess) {
    enabled_ = 1;
    return;
  }
  // Not enabled: the engine will not resume, so the suspension goes back here.
  std::uint32_t ignored = 0;
  device_manager_->ResumeEvents(&ignored);
}

void CUsbPhysicalInterface::Disable(std::uint32_t* status) {
  *status = kStatusSuccess;
  if (device_manager_->IsConnected()) device_manager_->Disconnect(status);
  interface_class_->Detach(status);
  if (*status == kStatusSuccess) enabled_ = 0;
}

void CUsbPhysicalInterface::ResumeEvents(std::uint32_t* status) {
  *status = kStatusSuccess;
  device_manager_->ResumeEvents(status);
}

void CUsbPhysicalInterface::SuspendEvents(std::uint32_t* status) {
  *status = kStatusSuccess;
  device_manager_->SuspendEvents(status);
}

void CUsbPhysicalInterface::EnableTrigger(std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->EnableTrigger(status);
}

void CUsbPhysicalInterface::DisableTrigger(std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->DisableTrigger(status);
}

void CUsbPhysicalInterface::EnableRemoteLocal(std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->EnableRemoteLocal(status);
}

void CUsbPhysicalInterface::DisableRemoteLocal(std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->DisableRemoteLocal(status);
}

void CUsbPhysicalInterface::InputBufferReady(std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->InputBufferReady(status);
}

void CUsbPhysicalInterface::DeviceClearDone(std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->DeviceClearDone(status);
}

void CUsbPhysicalInterface::ReturnToLocal(std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->ReturnToLocal(status);
}

void CUsbPhysicalInterface::AttachInputBuffer(CDataBuffer* buffer, std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->AttachInputBuffer(buffer, status);
}

void CUsbPhysicalInterface::Receive(CDataBuffer* buffer, std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->Receive(buffer, status);
}

void CUsbPhysicalInterface::CancelReceive(std::uint32_t* count, bool* end, std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->CancelReceive(count, end, status);
}

void CUsbPhysicalInterface::AttachOutputBuffer(CDataBuffer* buffer, std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->AttachOutputBuffer(buffer, status);
}

void CUsbPhysicalInterface::Send(CDataBuffer* buffer, bool term_char_found, bool end, std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->Send(buffer, term_char_found ? 1 : 0, end ? 1 : 0, status);
}

void CUsbPhysicalInterface::CancelSend(std::uint32_t* count, std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->CancelSend(count, status);
}

void CUsbPhysicalInterface::AssertServiceRequest(std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->AssertServiceRequest(status);
}

void CUsbPhysicalInterface::WithdrawServiceRequest(std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->WithdrawServiceRequest(status);
}

void CUsbPhysicalInterface::ReportStatusByte(std::uint8_t byte, std::uint32_t* status) {
  *status = kStatusSuccess;
  interface_class_->ReportStatusByte(byte, status);
}
