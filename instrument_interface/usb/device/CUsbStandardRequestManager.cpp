#include "usb/device/CUsbStandardRequestManager.h"

#include <algorithm>
#include <new>

namespace {

enum : std::uint8_t {
  kGetStatus = 0,
  kClearFeature = 1,
  kSetFeature = 3,
  kSetAddress = 5,
  kGetDescriptor = 6,
  kGetConfiguration = 8,
  kSetConfiguration = 9,
  kGetInterface = 10,
  kSetInterface = 11,
};

enum : std::uint8_t {
  kDescriptorDevice = 1,
  kDescriptorConfiguration = 2,
  kDescriptorString = 3,
};

constexpr std::uint16_t kEndpointHalt = 0;

void Refuse(std::uint32_t* status) {
  if (*status == 0) *status = kUsbStatusBadRequest;
}

}  // namespace

CUsbStandardRequestManager::~CUsbStandardRequestManager() { Reset(); }

void CUsbStandardRequestManager::SetDescriptorSet(CUsbDescriptorSet* descriptors, std::uint32_t* status) {
  if (*status != 0) return;
  Reset();
  reply_ = new (std::nothrow) CDataBuffer(static_cast<std::int32_t>(descriptors->GetMaxDescriptorLength()));
  if (reply_ == nullptr || reply_->IsFailed()) {
    delete reply_;
    reply_ = nullptr;
    *status = kStatusOutOfMemory;
    return;
  }
  descriptors_ = descriptors;
  endpoint0_->RegisterWriteBuffer(reply_);
}

void CUsbStandardRequestManager::Reset() {
  descriptors_ = nullptr;
  delete reply_;
  reply_ = nullptr;
  data_stage_ = 0;
}

void CUsbStandardRequestManager::SetPowerSource(std::uint32_t source, std::uint32_t* status) {
  if (*status != 0) return;
  controller_->SetPowerSource(source);
}

void CUsbStandardRequestManager::HandleRequest(const UsbSetupPacket& setup, std::uint32_t* status) {
  if (*status != 0) return;
  if (descriptors_ == nullptr || reply_ == nullptr) {
    Refuse(status);  // not connected: nothing to answer with
  } else {
    switch (setup.bRequest) {
      case kGetStatus: GetStatus(setup, status); break;
      case kClearFeature: Feature(setup, false, status); break;
      case kSetFeature: Feature(setup, true, status); break;
      case kSetAddress: SetAddress(setup, status); break;
      case kGetDescriptor: GetDescriptor(setup, status); break;
      case kGetConfiguration: GetConfiguration(setup, status); break;
      case kSetConfiguration: SetConfiguration(setup, status); break;
      case kGetInterface: GetInterface(setup, status); break;
      case kSetInterface: SetInterface(setup, status); break;
      default:
        Refuse(status);  // reserved, SET_DESCRIPTOR, SYNCH_FRAME and every other number
        break;
    }
  }
  if (UsbIsRequestError(*status)) {
    *status = 0;
    endpoint0_->Halt(status);
  }
}

void CUsbStandardRequestManager::OnDataStageRead(std::uint32_t, std::uint32_t, std::uint32_t* status) {
  data_stage_ = 0;
  if (*status == 0) *status = kStatusNotReported;
}

void CUsbStandardRequestManager::OnDataStageWritten(std::uint32_t result, std::uint32_t, std::uint32_t* status) {
  data_stage_ = 0;
  if (*status != 0) return;
  if (result == kUsbResultCompleted) endpoint0_->AcknowledgeStatus(status);
}

void CUsbStandardRequestManager::Reply(std::uint32_t length, std::uint32_t* status) {
  if (*status != 0) return;
  reply_->SetWindow(0, length);
  reply_->next = nullptr;
  endpoint0_->StartWrite(reply_, status);
  if (*status == 0) data_stage_ = 1;
}

void CUsbStandardRequestManager::GetStatus(const UsbSetupPacket& setup, std::uint32_t* status) {
  if ((setup.bmRequestType & 0xE0) != 0x80 || setup.wValue != 0 || setup.wLength != 2) return Refuse(status);
  std::uint8_t first = 0;
  switch (setup.bmRequestType & 0x1F) {
    case 0:  // device
      if (setup.wIndex != 0) return Refuse(status);
      first = descriptors_->GetDeviceStatus(controller_->GetSpeed(), controller_->GetConfiguration());
      break;
    case 1:  // interface
      if (setup.wIndex > 0xFF || !controller_->IsInterfaceActive(static_cast<std::uint8_t>(setup.wIndex)))
        return Refuse(status);
      break;
    case 2: {  // endpoint
      if (setup.wIndex > 0xFF) return Refuse(status);
      const bool stalled = controller_->IsEndpointStalled(static_cast<std::uint8_t>(setup.wIndex), status);
      if (*status != 0) return;
      first = stalled ? 1 : 0;
      break;
    }
    default: return Refuse(status);
  }
  reply_->Data()[0] = first;
  reply_->Data()[1] = 0;
  Reply(2, status);
}

void CUsbStandardRequestManager::Feature(const UsbSetupPacket& setup, bool set, std::uint32_t* status) {
  // Endpoint halt only: device features (remote wake-up, test mode) and interface features are refused.
  if (setup.bmRequestType != 0x02 || setup.wValue != kEndpointHalt || setup.wLength != 0) return Refuse(status);
  if (setup.wIndex > 0xFF || (setup.wIndex & 0x70) != 0 || (setup.wIndex & 0x0F) == 0) return Refuse(status);
  const std::uint8_t address = static_cast<std::uint8_t>(setup.wIndex);
  if (set) {
    controller_->StallEndpoint(address, status);
  } else {
    controller_->ClearEndpointStall(address, status);
  }
  endpoint0_->AcknowledgeStatus(status);
}

void CUsbStandardRequestManager::SetAddress(const UsbSetupPacket& setup, std::uint32_t* status) {
  if (setup.bmRequestType != 0 || setup.wLength != 0 || setup.wIndex != 0 || setup.wValue > 127) return Refuse(status);
  controller_->SetAddress(static_cast<std::uint8_t>(setup.wValue));
  endpoint0_->AcknowledgeStatus(status);
}

void CUsbStandardRequestManager::GetDescriptor(const UsbSetupPacket& setup, std::uint32_t* status) {
  if (setup.bmRequestType != 0x80) return Refuse(status);
  const std::uint8_t type = static_cast<std::uint8_t>(setup.wValue >> 8);
  const std::uint8_t index = static_cast<std::uint8_t>(setup.wValue & 0xFF);
  switch (type) {
    case kDescriptorDevice:
      if (index != 0 || setup.wIndex != 0) return Refuse(status);
      break;
    case kDescriptorConfiguration:
      if (setup.wIndex != 0) return Refuse(status);
      break;
    case kDescriptorString: break;
    default: return Refuse(status);  // device qualifier, other-speed configuration and the rest
  }
  if (setup.wLength == 0) {
    endpoint0_->AcknowledgeStatus(status);
    return;
  }
  const std::uint32_t limit =
      std::min<std::uint32_t>(setup.wLength, static_cast<std::uint32_t>(std::max(reply_->Size(), 0)));
  reply_->SetWindow(0, limit);
  std::uint32_t length = 0;
  const std::uint32_t speed = controller_->GetSpeed();
  if (type == kDescriptorDevice) {
    descriptors_->WriteDeviceDescriptor(speed, reply_, &length, status);
  } else if (type == kDescriptorConfiguration) {
    descriptors_->WriteConfiguration(speed, index, reply_, &length, status);
  } else {
    descriptors_->WriteString(index, setup.wIndex, reply_, &length, status);
  }
  Reply(length, status);
}

void CUsbStandardRequestManager::GetConfiguration(const UsbSetupPacket& setup, std::uint32_t* status) {
  if (setup.bmRequestType != 0x80 || setup.wValue != 0 || setup.wIndex != 0 || setup.wLength != 1)
    return Refuse(status);
  reply_->Data()[0] = controller_->GetConfiguration();
  Reply(1, status);
}

void CUsbStandardRequestManager::SetConfiguration(const UsbSetupPacket& setup, std::uint32_t* status) {
  if (setup.bmRequestType != 0 || setup.wValue > 0xFF || setup.wIndex != 0 || setup.wLength != 0) return Refuse(status);
  const std::uint8_t value = static_cast<std::uint8_t>(setup.wValue);
  if (!controller_->HasConfiguration(value)) return Refuse(status);
  controller_->SetConfiguration(value, status);
  endpoint0_->AcknowledgeStatus(status);
}

void CUsbStandardRequestManager::GetInterface(const UsbSetupPacket& setup, std::uint32_t* status) {
  if (setup.bmRequestType != 0x81 || setup.wValue != 0 || setup.wIndex > 0xFF || setup.wLength != 1)
    return Refuse(status);
  // Only a configured device has interfaces.
  if (controller_->GetConfiguration() == 0) return Refuse(status);
  const std::uint8_t interface = static_cast<std::uint8_t>(setup.wIndex);
  if (!controller_->IsInterfaceActive(interface)) return Refuse(status);
  reply_->Data()[0] = controller_->GetAlternateSetting(interface);
  Reply(1, status);
}

void CUsbStandardRequestManager::SetInterface(const UsbSetupPacket& setup, std::uint32_t* status) {
  if (setup.bmRequestType != 0x01 || setup.wValue > 0xFF || setup.wIndex > 0xFF || setup.wLength != 0)
    return Refuse(status);
  const std::uint8_t configuration = controller_->GetConfiguration();
  if (configuration == 0) return Refuse(status);
  const std::uint8_t interface = static_cast<std::uint8_t>(setup.wIndex);
  const std::uint8_t alternate = static_cast<std::uint8_t>(setup.wValue);
  if (!controller_->HasAlternateSetting(configuration, interface, alternate)) return Refuse(status);
  controller_->SetInterface(configuration, interface, alternate, status);
  endpoint0_->AcknowledgeStatus(status);
}
