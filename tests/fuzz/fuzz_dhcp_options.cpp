// DHCP server messages: the DHCP client's handling of a reply (message type, server identifier,
// lease times, the record it keeps) and the network configuration's walk of the record's options
// (GetInterfaceAddresses).
//
// Input: a server message as it arrives on the DHCP socket (its transaction id is set to the one of
// the client's request, so that the client reads on); the same bytes serve as the offer and the
// acknowledgement (a message type option right after the magic cookie, as servers put it, is made an
// offer in the answer to the discover). Then the record the client kept, or, when it kept none, the input itself laid
// over the interface record, goes through the option walk.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "netservices/NetworkConfiguration.h"
#include "platform/kernel.h"
#include "platform/net.h"

namespace {

class ReplayServer final : public platform::net::Backend {
 public:
  std::vector<std::uint8_t> reply;
  bool SetHardwareAddress(const std::uint8_t*) override { return true; }
  bool GetHardwareAddress(std::uint8_t mac[6]) override {
    const std::uint8_t m[6] = {0, 0x50, 0xc2, 1, 2, 3};
    std::memcpy(mac, m, 6);
    return true;
  }
  bool Configure(const platform::net::InterfaceConfig&) override { return true; }
  void Down() override {}
  bool LoopbackUp() override { return true; }
  bool DhcpOpen() override { return true; }
  bool DhcpSend(const std::uint8_t* message, std::size_t length, std::uint32_t) override {
    if (length >= 8) std::memcpy(xid_, message + 4, 4);
    discover_ = length > kTypeAt && message[kTypeAt] == 1;
    pending_ = true;
    return true;
  }
  int DhcpReceive(std::uint8_t* buffer, std::size_t capacity, cyg_tick_count_t) override {
    if (!pending_) return -1;
    pending_ = false;
    const std::size_t n = reply.size() < capacity ? reply.size() : capacity;
    std::memcpy(buffer, reply.data(), n);
    if (n >= 8) std::memcpy(buffer + 4, xid_, 4);
    if (discover_ && n > kTypeAt && buffer[kTypeAt - 2] == 53 && buffer[kTypeAt - 1] == 1) buffer[kTypeAt] = 2;
    return static_cast<int>(n);
  }
  void DhcpClose() override {}
  bool CanSend() override { return true; }
  void SendFrame(const std::uint8_t*, std::size_t) override {}
  void StackInput(const std::uint8_t*, std::size_t) override {}

 private:
  static constexpr std::size_t kTypeAt = 242;  // value of an option 53 first after the cookie
  std::uint8_t xid_[4] = {};
  bool pending_ = false;
  bool discover_ = false;
};

void CheckText(const char* text, std::size_t capacity) {
  if (std::memchr(text, 0, capacity) == nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ReplayServer* server = [] {
    platform::kernel::SetTickMicroseconds(1);
    auto* s = new ReplayServer;
    platform::net::InstallBackend(s);
    return s;
  }();
  server->reply.assign(data, data + size);
  bootp record{};
  std::uint8_t state = 0;
  dhcp_lease lease{};
  const bool bound = do_dhcp(eth0_name, &record, &state, &lease);
  if (bound) {
    eth0_bootp_data = record;
  } else {
    std::memset(&eth0_bootp_data, 0, sizeof eth0_bootp_data);
    std::memcpy(&eth0_bootp_data, data, size < sizeof eth0_bootp_data ? size : sizeof eth0_bootp_data);
  }
  dhcp_halt();
  char address[16], mask[16], broadcast[16], gateway[16], dns[16], domain[256];
  Torvex::GetInterfaceAddresses(address, mask, broadcast, gateway, dns, domain);
  for (const char* t : {address, mask, broadcast, gateway, dns}) CheckText(t, 16);
  CheckText(domain, 256);
  return 0;
}
