// The board's USB port joined to a real USB host over the usbredir protocol (Debian's
// libusbredirparser), on a loopback TCP port: a virtual machine's usb-redir device (or any usbredir
// guest) connects and sees the board's device as one redirected USB device.
//
// UsbRedirServer plays the usbredir "USB host" side, the side that owns the device. It stands where a
// hub and a host controller would: it resets the device once the firmware pulls D+ up, gives it its
// address (the guest's SET_ADDRESS never reaches the wire, as with any redirected device), reads the
// device and configuration descriptors, and announces the device with interface_info, ep_info and
// device_connect. Then it carries the guest's control, bulk and interrupt packets, its resets and
// its configuration and alternate-setting requests to the device as transactions on
// UsbDeviceController's bus side, with ACK, NAK and STALL and the data toggles of each endpoint.
//
// Threads: one server thread accepts connections and runs the parser of the one connection it serves
// (its socket is non-blocking; a second connection while one is served is closed at once). A bus
// thread per connection runs the transactions on a 1 ms frame clock (UsbFrameClock, with the frame's
// bit budget): a NAKed bulk or control token stays pending and is tried again as soon as the device
// changes while the frame has room, else in the next frame; an interrupt IN endpoint is polled once
// per bInterval frames. The parser never waits for the device and completions go back asynchronously. The bus thread never touches the parser: it
// hands completions to the server thread through a queue and an eventfd.
//
// A guest that disconnects ends its connection only: the device stays on the bus and the next
// connection enumerates it again. A detach by the firmware (pull-up low) is sent as device_disconnect,
// a new attach as a new device_connect.
//
// Without libusbredirparser at build time Available() is false and Start fails with a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class UsbDeviceController;

// What the bridge learns from the device's descriptors (alternate setting 0 of each interface).
struct UsbRedirDeviceInfo {
  struct Interface {
    std::uint8_t number = 0;
    std::uint8_t interface_class = 0;
    std::uint8_t subclass = 0;
    std::uint8_t protocol = 0;
  };
  struct Endpoint {
    std::uint8_t address = 0;  // with the direction bit 0x80 for IN
    std::uint8_t type = 0;     // 1 isochronous, 2 bulk, 3 interrupt
    std::uint8_t interval = 0;
    std::uint8_t interface = 0;
    std::uint16_t max_packet = 0;
  };
  static constexpr std::size_t kMaxInterfaces = 32;
  static constexpr std::size_t kMaxEndpoints = 30;  // 15 OUT and 15 IN besides endpoint 0

  std::uint8_t device_class = 0;
  std::uint8_t device_subclass = 0;
  std::uint8_t device_protocol = 0;
  std::uint8_t max_packet0 = 8;
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::uint16_t device_release = 0;
  std::uint8_t configuration_value = 0;  // of the first (only) configuration
  std::vector<Interface> interfaces;
  std::vector<Endpoint> endpoints;
};

// Reads a device descriptor (at least its first 8 bytes for max_packet0; all 18 for the rest). False
// with `error` set when the bytes are not one.
bool ParseUsbDeviceDescriptor(const std::uint8_t* data, std::size_t size, UsbRedirDeviceInfo* info, std::string* error);
// Reads a whole configuration (wTotalLength bytes): interfaces and endpoints of alternate setting 0.
// Every descriptor's length is checked against what is left; an endpoint 0, an endpoint named twice,
// or too many interfaces or endpoints are refused. False with `error` set; `info` is then unchanged.
bool ParseUsbConfiguration(const std::uint8_t* data, std::size_t size, UsbRedirDeviceInfo* info, std::string* error);

class UsbRedirServer {
 public:
  // Bus address the bridge gives the device.
  static constexpr std::uint8_t kDeviceAddress = 1;

  using Log = std::function<void(const std::string& line)>;

  // `log` receives one line per event (connections, enumeration, protocol errors); it may be called
  // from the server and bus threads. Without one, lines go to standard error as "usbredir: ...".
  explicit UsbRedirServer(UsbDeviceController& device, Log log = nullptr);
  ~UsbRedirServer();
  UsbRedirServer(const UsbRedirServer&) = delete;
  UsbRedirServer& operator=(const UsbRedirServer&) = delete;

  static bool Available();

  // Listens on 127.0.0.1:`port` (0: any free port) and starts the server thread.
  bool Start(std::uint16_t port, std::string* error);
  // The port listened on, once started.
  std::uint16_t Port() const;
  // Ends the connection being served and the server thread. Safe to call twice.
  void Stop();

  // --- observation (tests) ---------------------------------------------------------------------------
  // Connections served so far (refused second connections not counted).
  unsigned Sessions() const;
  // Times the device was announced with device_connect.
  unsigned Announcements() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
