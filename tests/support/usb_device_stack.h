// The device side of USB on the simulated board, as the USB tests, fuzz targets and benchmarks build
// it: the controller model wired to a GPIO block, the simulated host on the cable (optional: a
// usbredir bridge can be the host instead), an OS USB device, the S3C2410 driver and the device
// manager. Build and TearDown work in that order and its reverse.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/COSUsbDeviceManager.h"
#include "platform/hw_registers.h"
#include "platform/regbus.h"
#include "sim/gpio.h"
#include "sim/usb_device.h"
#include "usb/controller/CS3C2410Controller.h"
#include "usb/device/CUsbDeviceManager.h"

namespace torvex_test {

// Makes OS USB devices for the stack and deletes them again.
class CUsbTestDeviceMaker : public COSUsbDeviceManager {
 public:
  void RemoveDevice(COSUsbDevice* device) override { delete device; }
};

// Ignores the exceptions of service passes (for stacks that check the outcome elsewhere).
class CIgnoredUsbExceptions : public CUsbExceptionEventObserver {
 public:
  void OnUsbException(COSUsbDevice*, std::uint32_t) override {}
};

// An interface class for stacks that need one but test something else: acknowledges class request 1
// without a data stage, stalls every other, ignores the rest of its events. `io` is set by its user
// once the interface is configured.
class CUsbMinimalClass : public CUsbInterfaceClassEventObserver {
 public:
  CUsbInterfaceClassIoManager* io = nullptr;
  void OnSetup(const UsbSetupPacket& setup, std::uint32_t* status) override {
    if (setup.bRequest == 1 && setup.wLength == 0) {
      io->AcknowledgeStatus(status);
    } else {
      io->Halt(kUsbKindControl, status);
    }
  }
  void OnReadComplete(std::int32_t, std::uint32_t, std::uint32_t, std::uint32_t*) override {}
  void OnWriteComplete(std::int32_t, std::uint32_t, std::uint32_t, std::uint32_t*) override {}
  void OnInterfaceEnabled(std::uint32_t*) override {}
  void OnInterfaceDisabled(std::uint32_t*) override {}
  void OnSuspend(std::uint32_t*) override {}
};

struct UsbDeviceSide {
  sim::Gpio gpio;
  std::unique_ptr<sim::UsbDeviceController> model;
  std::unique_ptr<sim::UsbHost> host;
  CUsbTestDeviceMaker maker;
  COSUsbDevice* device = nullptr;
  std::unique_ptr<CS3C2410Controller> controller;
  std::unique_ptr<CUsbDeviceManager> manager;
  CUsbInterfaceClassIoManager* io = nullptr;

  // The model (and the host when asked), the OS device, the driver and the device manager; the
  // status of the first step that failed, 0 when all came up.
  std::uint32_t Build(CUsbExceptionEventObserver* exceptions, bool with_host = true) {
    platform::regbus::Map(sim::Gpio::kBase, sim::Gpio::kSize, &gpio);
    gpio.Preset(hw::line::kUsbPullup, hw::gpio::kFunctionOutput, false);
    model = std::make_unique<sim::UsbDeviceController>(gpio);
    if (with_host) host = std::make_unique<sim::UsbHost>(*model);
    std::uint32_t s = 0;
    device = maker.CreateDevice(0, &s);
    if (s != 0) return s;
    controller = std::make_unique<CS3C2410Controller>(device, exceptions, &s);
    if (s != 0) return s;
    manager = std::make_unique<CUsbDeviceManager>(controller.get(), &s);
    return s;
  }

  // The interface configured with the class attached, the device connected and its events flowing.
  std::uint32_t BringUp(const UsbDeviceSettings& settings, const UsbInterfaceDescription& description,
                        CUsbInterfaceClassEventObserver* cls) {
    std::uint32_t s = 0;
    io = manager->Configure(settings, description, &s);
    if (io != nullptr) io->AttachClass(cls, &s);
    manager->Connect(settings, &s);
    manager->ResumeEvents(&s);
    return s;
  }

  // Disconnected, the interface removed, everything gone; after a Build that stopped half-way too.
  void TearDown() {
    std::uint32_t s = 0;
    if (manager != nullptr && manager->IsConnected()) manager->Disconnect(&s);
    if (manager != nullptr && io != nullptr) {
      s = 0;
      manager->RemoveInterface(io, &s);
    }
    io = nullptr;
    manager.reset();
    controller.reset();
    if (device != nullptr) maker.RemoveDevice(device);
    device = nullptr;
    host.reset();
    model.reset();
    platform::regbus::Unmap(&gpio);
  }
};

}  // namespace torvex_test
