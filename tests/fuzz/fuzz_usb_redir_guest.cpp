// What a usbredir guest sends, through the board's bridge to the device side: the simulated device
// controller, the driver, the device manager and a small interface class. Each input is one
// connection: a proper hello from a guest parser, the device's announcement awaited, then the
// input's bytes as the rest of the stream (packet headers with 64-bit ids, as negotiated). The
// connection is then closed from the guest's side, and the bridge must end it and serve the next.
#if TORVEX_HAVE_USBREDIR
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "engine/COSUsbDeviceManager.h"
#include "platform/hw_registers.h"
#include "platform/kernel.h"
#include "platform/regbus.h"
#include "sim/gpio.h"
#include "sim/usb_device.h"
#include "sim/usb_redir.h"
#include "usb/controller/CS3C2410Controller.h"
#include "usb/device/CUsbDeviceManager.h"
#include "support/usb_device_stack.h"
#include "support/usb_test_device.h"

namespace {

struct Stack {
  torvex_test::CIgnoredUsbExceptions exceptions;
  torvex_test::UsbDeviceSide side;
  torvex_test::CUsbMinimalClass cls;
  std::unique_ptr<sim::UsbRedirServer> server;

  Stack() {
    platform::kernel::SetTickMicroseconds(200);  // frames of 20 us: an announcement per input costs about 60 frames
    if (side.Build(&exceptions, false) != 0 ||
        side.BringUp(torvex_test::TestDeviceSettings(), torvex_test::TestTmcDescription(), &cls) != 0)
      std::abort();
    cls.io = side.io;
    server = std::make_unique<sim::UsbRedirServer>(*side.model, [](const std::string& l) {
      if (std::getenv("FUZZ_USBREDIR_LOG")) std::fprintf(stderr, "usbredir: %s\n", l.c_str());
    });
    std::string error;
    if (!server->Start(0, &error)) std::abort();
  }
};

Stack& TheStack() {
  static Stack* stack = new Stack;  // kept for the process: its threads serve every input
  return *stack;
}

struct Guest {
  int fd = -1;
  bool connected = false;
};

bool Wait(int fd, std::chrono::milliseconds limit) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(limit.count())) > 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Stack& st = TheStack();
  Guest guest;
  guest.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(st.server->Port());
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (guest.fd < 0 || ::connect(guest.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::abort();

  usbredirparser* parser = usbredirparser_create();
  parser->priv = &guest;
  parser->read_func = [](void* p, std::uint8_t* d, int count) -> int {
    const ssize_t n = ::recv(static_cast<Guest*>(p)->fd, d, static_cast<std::size_t>(count), MSG_DONTWAIT);
    if (n > 0) return static_cast<int>(n);
    return n == 0 ? -1 : (errno == EAGAIN ? 0 : -1);
  };
  parser->write_func = [](void* p, std::uint8_t* d, int count) -> int {
    const ssize_t n = ::send(static_cast<Guest*>(p)->fd, d, static_cast<std::size_t>(count), MSG_NOSIGNAL);
    return n < 0 ? -1 : static_cast<int>(n);
  };
  parser->device_connect_func = [](void* p, usb_redir_device_connect_header*) {
    static_cast<Guest*>(p)->connected = true;
  };
  // The library calls every callback unchecked: the rest of what the bridge sends is dropped.
  parser->log_func = [](void*, int, const char*) {};
  parser->hello_func = [](void*, usb_redir_hello_header*) {};
  parser->device_disconnect_func = [](void*) {};
  parser->interface_info_func = [](void*, usb_redir_interface_info_header*) {};
  parser->ep_info_func = [](void*, usb_redir_ep_info_header*) {};
  std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_init(parser, "fuzz guest", caps, USB_REDIR_CAPS_SIZE, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!guest.connected && std::chrono::steady_clock::now() < deadline) {
    while (usbredirparser_has_data_to_write(parser) > 0 && usbredirparser_do_write(parser) == 0) {
    }
    if (Wait(guest.fd, std::chrono::milliseconds(5)) && usbredirparser_do_read(parser) != 0) break;
  }
  usbredirparser_destroy(parser);
  if (!guest.connected) std::abort();  // the bridge must announce the device to every connection

  for (std::size_t at = 0; at < size;) {
    const ssize_t n = ::send(guest.fd, data + at, size - at, MSG_NOSIGNAL);
    if (n <= 0) break;  // the bridge closed a connection that broke the protocol
    at += static_cast<std::size_t>(n);
  }
  ::shutdown(guest.fd, SHUT_WR);
  // The bridge ends the connection once it has read everything: drain until it closes.
  const auto closing = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    if (std::chrono::steady_clock::now() > closing) std::abort();  // a connection left hanging
    if (!Wait(guest.fd, std::chrono::milliseconds(20))) continue;
    char buffer[4096];
    const ssize_t n = ::recv(guest.fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
  }
  ::close(guest.fd);
  return 0;
}

#else

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }

#endif
