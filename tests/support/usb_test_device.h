// The device the USB fuzz targets and benchmark bring up on the controller model: a USBTMC-shaped
// interface with bulk-OUT, bulk-IN and a 2-byte interrupt-IN endpoint.
#pragma once

#include "usb/device/CUsbDeviceManager.h"

namespace torvex_test {

inline UsbDeviceSettings TestDeviceSettings() {
  UsbDeviceSettings settings;
  settings.vendor_id = 0x1234;
  settings.product_id = 0x5678;
  settings.max_power = 50;
  settings.self_powered = 1;
  settings.manufacturer = "Maker";
  settings.product = "Product";
  settings.serial_number = "1";
  return settings;
}

inline UsbInterfaceDescription TestTmcDescription() {
  UsbInterfaceDescription description;
  description.interface_class = 0xFE;
  description.subclass = 3;
  description.protocol = 1;
  description.interface_string = "Interface";
  description.endpoint_count = 3;
  description.endpoint_kinds[0] = kUsbKindBulkOut;
  description.endpoint_kinds[1] = kUsbKindBulkIn;
  description.endpoint_kinds[2] = kUsbKindInterruptIn;
  description.packet_size[kUsbKindInterruptIn] = 2;
  description.interval_full[kUsbKindInterruptIn] = 1;
  return description;
}

}  // namespace torvex_test
