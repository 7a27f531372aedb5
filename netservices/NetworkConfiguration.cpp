// Network configuration thread and DHCP lease thread (see NetworkConfiguration.h).
#include "netservices/NetworkConfiguration.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "netservices/ipv4ll.h"
#include "platform/net.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {

std::atomic<std::uint8_t> g_NetworkPassRunning{0};
std::atomic<int> g_NetworkAddressMode{kNetModeNone};
DhcpLeaseRecord g_DhcpLeaseRecord{nullptr, {}};

namespace {

constexpr std::size_t kAddressText = 16;
constexpr std::size_t kDomainText = 256;

// The configuration lock (passes, the lease thread's work) and the lock of the pass requests. Built
// on first use and kept for the life of the process (the threads that use them never end).
struct NetLocks {
  cyg_mutex_t configure;
  cyg_mutex_t request;
  NetLocks() {
    cyg_mutex_init(&configure);
    cyg_mutex_init(&request);
  }
};
NetLocks& Locks() {
  static NetLocks* locks = new NetLocks;
  return *locks;
}

class Hold {
 public:
  explicit Hold(cyg_mutex_t& m) : m_(m) {
    while (!cyg_mutex_lock(&m_)) {
    }
  }
  ~Hold() { cyg_mutex_unlock(&m_); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  cyg_mutex_t& m_;
};

bool g_PassAgain = false;  // guarded by the request lock
std::atomic<std::uint32_t> g_PassCount{0};

cyg_thread g_NetworkThread;
cyg_handle_t g_NetworkThreadHandle = 0;
alignas(8) unsigned char g_NetworkStack[10000];

cyg_thread g_LeaseThread;
cyg_handle_t g_LeaseThreadHandle = 0;
alignas(8) unsigned char g_LeaseStack[5524];

bool ReadBoolean(CParameterNode* node) { return node != nullptr && node->GetBooleanAttribute(eAttrValue); }
std::string ReadString(CParameterNode* node) {
  return node != nullptr ? node->GetStringAttribute(eAttrValue) : std::string();
}
void WriteString(CParameterNode* node, const char* value) {
  if (node != nullptr) node->SetStringAttribute(eAttrValue, value);
}
void SetEthernetActive(bool active) {
  if (g_node_host_if_communication_ethernet_active != nullptr) {
    g_node_host_if_communication_ethernet_active->SetBooleanAttribute(eAttrValue, active);
  }
}

// The MAC address from its "%x:%x:%x:%x:%x:%x" text; bytes that do not scan are 0.
void ScanMac(const std::string& text, std::uint8_t mac[6]) {
  unsigned int v[6] = {0, 0, 0, 0, 0, 0};
  std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<std::uint8_t>(v[i] & 0xFF);
}

// The conflict callback handed to the link-local monitor: it only asks for a pass, which runs on the
// network thread and stops the monitor there.
void OnLinkLocalConflict(cyg_addrword_t) { StartNetworkThread(); }

// One configuration pass; the caller holds the configuration lock.
void RunPass() {
  SetEthernetActive(false);
  if (g_NetworkAddressMode == kNetModeLinkLocal) ipv4ll_stop_monitor();
  dhcp_halt();
  if (!ReadBoolean(g_node_comm_parms_ethernet_enabled)) return;

  std::uint8_t mac[6];
  ScanMac(ReadString(g_node_system_esa), mac);
  const std::string id = ReadString(g_node_comm_parms_ethernet_id);
  const char* host = id.empty() ? nullptr : id.c_str();

  int result;
  if (!ReadBoolean(g_node_comm_parms_ethernet_auto_address)) {
    const std::string ip = ReadString(g_node_comm_parms_ethernet_ip_address);
    const std::string mask = ReadString(g_node_comm_parms_ethernet_net_mask);
    const std::string broadcast = ReadString(g_node_comm_parms_ethernet_broadcast);
    const std::string gateway = ReadString(g_node_comm_parms_ethernet_gateway);
    const std::string dns = ReadString(g_node_comm_parms_ethernet_dns_server);
    result =
        ConfigureNetworkInterface(mac, host, ip.c_str(), mask.c_str(), broadcast.c_str(), gateway.c_str(), dns.c_str());
  } else {
    result = ConfigureNetworkInterface(mac, host, nullptr, nullptr, nullptr, nullptr, nullptr);
    PublishInterfaceAddresses();
  }
  SetEthernetActive(result == kNetConfigured);
}

}  // namespace

std::uint32_t NetworkPassCount() { return g_PassCount.load(); }

void StartNetworkThread() {
  NetLocks& locks = Locks();
  Hold hold(locks.request);
  if (g_NetworkPassRunning != 0) {
    g_PassAgain = true;  // the running pass runs once more when it ends
    return;
  }
  g_NetworkPassRunning = 1;
  if (g_NetworkThreadHandle != 0) cyg_thread_delete(g_NetworkThreadHandle);  // the last pass's, ended
  cyg_thread_create(15, NetworkThreadMain, 0, "Torvex network thread", g_NetworkStack, sizeof g_NetworkStack,
                    &g_NetworkThreadHandle, &g_NetworkThread);
  cyg_thread_resume(g_NetworkThreadHandle);
}

void NetworkThreadMain(cyg_addrword_t) {
  NetLocks& locks = Locks();
  g_NetworkPassRunning = 1;
  for (;;) {
    {
      Hold hold(locks.configure);
      RunPass();
    }
    g_PassCount.fetch_add(1);
    Hold hold(locks.request);
    if (!g_PassAgain) {
      g_NetworkPassRunning = 0;
      return;
    }
    g_PassAgain = false;
  }
}

int ConfigureNetworkInterface(const std::uint8_t mac[6], const char* host, const char* ip, const char* mask,
                              const char* broadcast, const char* gateway, const char* dns) {
  ifreq req{};
  std::strncpy(req.ifr_name, eth0_name, IFNAMSIZ - 1);
  req.ifr_hwaddr.sa_family = 1;  // Ethernet
  std::memcpy(req.ifr_hwaddr.sa_data, mac, 6);
  const int fd = platform::net::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return kNetHardwareAddressFailed;
  if (platform::net::ioctl(fd, SIOCSIFHWADDR, &req) != 0) {
    platform::net::close(fd);
    return kNetHardwareAddressFailed;
  }
  platform::net::close(fd);

  if (!eth0_up) {
    eth0_up = true;
    if (ip != nullptr) {
      g_NetworkAddressMode = kNetModeStatic;
      build_bootp_record(&eth0_bootp_data, eth0_name, ip, mask, broadcast, gateway, dns);
    } else {
      g_NetworkAddressMode = kNetModeDhcp;
      eth0_dhcpstate = DHCPSTATE_INIT;
      if (host != nullptr) dhcp_set_hostname(host);
      if (!do_dhcp(eth0_name, &eth0_bootp_data, &eth0_dhcpstate, &eth0_lease)) {
        g_NetworkAddressMode = kNetModeLinkLocal;
        const std::uint32_t address = ipv4ll_claim_address(mac);
        char text[kAddressText];
        platform::net::AddressText(address, text);
        ipv4ll_start_monitor(OnLinkLocalConflict);
        build_bootp_record(&eth0_bootp_data, eth0_name, text, "255.255.0.0", "169.254.255.255", "0.0.0.0", "0.0.0.0");
      }
    }
  }
  if (!init_net(eth0_name, &eth0_bootp_data)) return kNetInterfaceUpFailed;
  if (g_NetworkAddressMode == kNetModeDhcp) StartDhcpLeaseThread(mac, host);
  init_loopback_interface(0);
  return kNetConfigured;
}

void StartDhcpLeaseThread(const std::uint8_t mac[6], const char* host) {
  DhcpLeaseRecord& r = g_DhcpLeaseRecord;
  std::memmove(r.mac, mac, 6);
  if (host != nullptr) {
    if (host != r.host) {
      const std::size_t n = std::strlen(host) + 1;
      char* copy = static_cast<char*>(std::realloc(r.host, n));
      if (copy != nullptr) {
        std::memcpy(copy, host, n);
        r.host = copy;
      }
    }
  } else {
    std::free(r.host);
    r.host = nullptr;
  }
  if (g_LeaseThreadHandle != 0) return;
  cyg_semaphore_init(&dhcp_needs_attention, 0);
  cyg_thread_create(8, DhcpLeaseThreadMain, reinterpret_cast<cyg_addrword_t>(&r), "Torvex DHCP lease mgt", g_LeaseStack,
                    sizeof g_LeaseStack, &g_LeaseThreadHandle, &g_LeaseThread);
  cyg_thread_resume(g_LeaseThreadHandle);
}

void DhcpLeaseThreadMain(cyg_addrword_t data) {
  auto* record = reinterpret_cast<DhcpLeaseRecord*>(data);
  NetLocks& locks = Locks();
  for (;;) {
    if (!cyg_semaphore_wait(&dhcp_needs_attention)) continue;
    bool new_address = false;
    {
      Hold hold(locks.configure);
      // An alarm of a lease that a pass has since given up (static or link-local now) is stale.
      if (g_NetworkAddressMode != kNetModeDhcp) continue;
      const std::uint32_t before = eth0_bootp_data.bp_yiaddr.s_addr;
      if (dhcp_bind()) {
        new_address = eth0_bootp_data.bp_yiaddr.s_addr != before;
      } else {
        dhcp_halt();
        if (g_NetworkAddressMode == kNetModeLinkLocal) ipv4ll_stop_monitor();
        dhcp_halt();
        ConfigureNetworkInterface(record->mac, record->host, nullptr, nullptr, nullptr, nullptr, nullptr);
      }
    }
    // The services answer with the interface's address: a renewal that changed it needs a pass.
    if (new_address) StartNetworkThread();
  }
}

void GetInterfaceAddresses(char* address, char* mask, char* broadcast, char* gateway, char* server, char* domain) {
  const bootp& bp = eth0_bootp_data;
  const std::uint32_t yiaddr = bp.bp_yiaddr.s_addr;
  std::uint32_t gw = bp.bp_giaddr.s_addr;
  std::uint32_t dns = bp.bp_siaddr.s_addr;
  // Without a subnet-mask option: the class mask of the address.
  const std::uint8_t first = static_cast<std::uint8_t>(ntohl(yiaddr) >> 24);
  std::uint32_t m = htonl(first < 128 ? 0xFF000000u : first < 192 ? 0xFFFF0000u : 0xFFFFFF00u);
  std::memset(domain, 0, kDomainText);
  std::strcpy(domain, "local");

  if (bp.bp_vend[0] != 0) {
    // The first copy of each option counts; the lookup stays inside the vendor area and each option's
    // stated length.
    using namespace platform::net;
    const std::uint8_t* opts = bp.bp_vend + 4;
    const std::size_t size = kBootpVendorSize - 4;
    std::uint8_t len = 0;
    const std::uint8_t* value = nullptr;
    if ((value = FindDhcpOption(opts, size, kDhcpOptionSubnetMask, &len)) != nullptr && len >= 4)
      std::memcpy(&m, value, 4);
    if ((value = FindDhcpOption(opts, size, kDhcpOptionRouter, &len)) != nullptr && len >= 4)
      std::memcpy(&gw, value, 4);
    if ((value = FindDhcpOption(opts, size, kDhcpOptionDomainNameServer, &len)) != nullptr && len >= 4) {
      std::memcpy(&dns, value, 4);
    }
    if ((value = FindDhcpOption(opts, size, kDhcpOptionDomainName, &len)) != nullptr) {
      std::memset(domain, 0, kDomainText);
      std::size_t n = 0;
      while (n < len && n < kDomainText - 1 && value[n] != 0) {
        domain[n] = static_cast<char>(value[n]);
        ++n;
      }
      if (n == 0) std::strcpy(domain, "local");
    }
  }
  platform::net::AddressText(yiaddr, address);
  platform::net::AddressText(gw, gateway);
  platform::net::AddressText(dns, server);
  platform::net::AddressText(m, mask);
  platform::net::AddressText(~m | yiaddr, broadcast);
}

void PublishInterfaceAddresses() {
  char address[kAddressText], mask[kAddressText], broadcast[kAddressText], gateway[kAddressText], server[kAddressText],
      domain[kDomainText];
  GetInterfaceAddresses(address, mask, broadcast, gateway, server, domain);
  WriteString(g_node_comm_parms_ethernet_ip_address, address);
  WriteString(g_node_comm_parms_ethernet_net_mask, mask);
  WriteString(g_node_comm_parms_ethernet_broadcast, broadcast);
  WriteString(g_node_comm_parms_ethernet_gateway, gateway);
  WriteString(g_node_comm_parms_ethernet_dns_server, server);
  WriteString(g_node_comm_parms_ethernet_domain, domain);
}

}  // namespace Torvex
