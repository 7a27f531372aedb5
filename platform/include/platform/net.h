// Network support of the board: the interface eth0, its BOOTP/DHCP record, the DHCP client with its
// lease, the loopback interface, and the Ethernet driver of eth0 with its send and receive entries.
//
// The calls and the interface state are those the firmware's network configuration uses; what stands
// behind them is a back end (platform::net::Backend) installed by the board before the firmware runs:
//  - the simulated one (sim/network.h): the interface, the DHCP server and the neighbours on the link
//    are a model; nothing goes to the host's network;
//  - the Linux one (MakeLinuxBackend): a real interface of the process's network namespace, the DHCP
//    client speaking on a UDP socket bound to it and ARP through a packet socket.
// Without a back end every call fails (no interface).
//
// Threads: the configuring threads call init_net, do_dhcp, dhcp_bind, dhcp_halt and
// build_bootp_record one at a time (the firmware serialises them); eth0_up may be read and set by any
// thread. The driver's receive entry is called on the back end's receive thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/kernel.h"

// --- BOOTP/DHCP record (the message layout of RFC 951/2131) ---------------------------------------

inline constexpr std::size_t kBootpVendorSize = 312;  // the options area, from the magic cookie on

struct bootp {
  std::uint8_t bp_op;
  std::uint8_t bp_htype;
  std::uint8_t bp_hlen;
  std::uint8_t bp_hops;
  std::uint32_t bp_xid;
  std::uint16_t bp_secs;
  std::uint16_t bp_flags;
  in_addr bp_ciaddr;
  in_addr bp_yiaddr;
  in_addr bp_siaddr;
  in_addr bp_giaddr;
  std::uint8_t bp_chaddr[16];
  char bp_sname[64];
  char bp_file[128];
  std::uint8_t bp_vend[kBootpVendorSize];
};
static_assert(sizeof(bootp) == 236 + kBootpVendorSize);

// DHCP client states (eth0_dhcpstate).
enum : std::uint8_t {
  DHCPSTATE_INIT = 0,
  DHCPSTATE_SELECTING = 1,
  DHCPSTATE_REQUESTING = 2,
  DHCPSTATE_REQUEST_RECV = 3,
  DHCPSTATE_BOUND = 4,
  DHCPSTATE_BOUND_RECV = 5,
  DHCPSTATE_RENEWING = 6,
  DHCPSTATE_RENEW_RECV = 7,
  DHCPSTATE_REBINDING = 8,
  DHCPSTATE_REBIND_RECV = 9,
  DHCPSTATE_BOOTP_FALLBACK = 10,
  DHCPSTATE_NOTBOUND = 11,
  DHCPSTATE_FAILED = 12,
  DHCPSTATE_DO_RELEASE = 13,
};

// Lease times in kernel ticks (absolute); 0 when no lease is held.
struct dhcp_lease {
  cyg_tick_count_t start;
  cyg_tick_count_t t1;
  cyg_tick_count_t t2;
  cyg_tick_count_t expiry;
  std::uint32_t server;  // server identifier, network order
};

// --- interface state of eth0 ----------------------------------------------------------------------

extern const char eth0_name[];  // "eth0"
extern std::atomic<bool> eth0_up;
extern bootp eth0_bootp_data;
extern std::uint8_t eth0_dhcpstate;
extern dhcp_lease eth0_lease;
// Posted by the DHCP client's lease alarms (renewal time, rebinding time, expiry). Never destroyed:
// the lease thread still waits on it when the process ends.
extern cyg_sem_t& dhcp_needs_attention;

// Configures address, netmask, broadcast and default route of `intf` from `bp` and marks it up.
// The mask and broadcast come from options 1 and 28 (else the address's class mask and the
// directed broadcast), the route from option 3 (else giaddr). False when the record holds no
// address or the interface refuses it.
bool init_net(const char* intf, bootp* bp);
// Fills `bp` for static addressing from dotted texts (any may be null or empty: 0.0.0.0; a text that
// is not a dotted quad reads as 0.0.0.0 too): yiaddr ip, giaddr gateway, siaddr server, and the
// options subnet mask and broadcast.
void build_bootp_record(bootp* bp, const char* if_name, const char* ip, const char* mask, const char* broadcast,
                        const char* gateway, const char* server);
// Runs the DHCP exchange on `intf` (discover, offer, request, ack, with retries). True when a lease
// is bound: `bp` holds the server's acknowledgement, `state` is DHCPSTATE_BOUND and the lease alarms
// are armed. False with `state` DHCPSTATE_FAILED.
bool do_dhcp(const char* intf, bootp* bp, std::uint8_t* state, dhcp_lease* lease);
// Runs the lease's state machine after an alarm: renews (or rebinds) when its time has come. True
// while the lease is kept (renewed, or its time has not come, or none is held); false when a bound
// lease was lost (refused or expired). A renewal may change eth0_bootp_data (even its address).
bool dhcp_bind();
// Takes eth0 down when it is up and the DHCP state is not DHCPSTATE_FAILED, stops the lease alarms,
// gives up a bound lease (state DHCPSTATE_NOTBOUND) and clears eth0_up.
void dhcp_halt();
// The host name the DHCP client sends (up to 60 characters kept); null or empty: none.
void dhcp_set_hostname(const char* name);
// Brings the loopback interface up. True on success.
bool init_loopback_interface(int instance);

// --- Ethernet driver of eth0 ----------------------------------------------------------------------

struct eth_drv_sg {
  cyg_addrword_t buf;
  cyg_int32 len;
};

struct eth_drv_sc;

struct eth_hwr_funs {
  int (*can_send)(eth_drv_sc* sc);
  void (*send)(eth_drv_sc* sc, eth_drv_sg* sg_list, int sg_len, int total_len, unsigned long key);
  // Copies the frame being received into the stack's scatter list. Replaceable while frames arrive.
  std::atomic<void (*)(eth_drv_sc* sc, eth_drv_sg* sg_list, int sg_len)> recv;
};

struct eth_drv_sc {
  eth_hwr_funs* funs;
  const char* dev_name;
};

// The network device table: every Ethernet driver instance of the board, ended by a null entry.
extern eth_drv_sc* const netdev_table[];

// --- interface requests -----------------------------------------------------------------------------

namespace platform::net {

// socket/ioctl/close of the board's stack: SIOCSIFHWADDR and SIOCGIFHWADDR on a struct ifreq naming
// eth0 (the hardware address in ifr_hwaddr.sa_data). POSIX results: -1 with errno on failure.
int socket(int domain, int type, int protocol);
int ioctl(int fd, unsigned long request, void* arg);
int close(int fd);

// Dotted text of a network-order address into `out` (at least 16 bytes).
void AddressText(std::uint32_t address, char* out);
// Parses a dotted quad; false (and 0) when the text is not one.
bool ParseAddress(const char* text, std::uint32_t* address);

// Addresses an interface is configured with, network order.
struct InterfaceConfig {
  std::uint32_t address = 0;
  std::uint32_t mask = 0;
  std::uint32_t broadcast = 0;
  std::uint32_t gateway = 0;
};

// What stands behind the calls above. Every method is called with no platform lock held.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual bool SetHardwareAddress(const std::uint8_t mac[6]) = 0;
  virtual bool GetHardwareAddress(std::uint8_t mac[6]) = 0;
  virtual bool Configure(const InterfaceConfig& config) = 0;
  virtual void Down() = 0;
  virtual bool LoopbackUp() = 0;
  // DHCP messages: sent to `destination` (network order; INADDR_BROADCAST for a broadcast) and
  // received until the absolute tick `deadline`. Receive returns the length, or -1 at the deadline.
  virtual bool DhcpOpen() = 0;
  virtual bool DhcpSend(const std::uint8_t* message, std::size_t length, std::uint32_t destination) = 0;
  virtual int DhcpReceive(std::uint8_t* buffer, std::size_t capacity, cyg_tick_count_t deadline) = 0;
  virtual void DhcpClose() = 0;
  // The driver: true when a frame can be queued; sends one whole frame.
  virtual bool CanSend() = 0;
  virtual void SendFrame(const std::uint8_t* frame, std::size_t length) = 0;
  // A received frame as the stack got it from the driver's receive entry.
  virtual void StackInput(const std::uint8_t* frame, std::size_t length) = 0;
};

// Installs the back end (null: none). The board does it before the firmware runs; tests may swap it
// while no network call is in progress.
void InstallBackend(Backend* backend);
Backend* InstalledBackend();

// The driver's receive path, called by a back end for every frame that arrives on eth0: the stack's
// scatter list is the 14-byte header and the body; the driver's receive entry (or whatever replaced
// it) fills it, then the frame goes to the stack (Backend::StackInput). Frames shorter than an
// Ethernet header are dropped.
void ReceiveFrame(const std::uint8_t* frame, std::size_t length);

// The host name the DHCP client currently sends ("" for none).
std::string DhcpHostName();

// The magic cookie that opens a DHCP options area (bp_vend).
inline constexpr std::uint8_t kDhcpMagicCookie[4] = {99, 130, 83, 99};

// DHCP option tags (RFC 2132) the client, the network configuration and the simulated server use.
enum DhcpOptionTag : std::uint8_t {
  kDhcpOptionPad = 0,
  kDhcpOptionSubnetMask = 1,
  kDhcpOptionRouter = 3,
  kDhcpOptionDomainNameServer = 6,
  kDhcpOptionHostName = 12,
  kDhcpOptionDomainName = 15,
  kDhcpOptionBroadcastAddress = 28,
  kDhcpOptionRequestedAddress = 50,
  kDhcpOptionLeaseTime = 51,
  kDhcpOptionMessageType = 53,
  kDhcpOptionServerIdentifier = 54,
  kDhcpOptionParameterRequestList = 55,
  kDhcpOptionRenewalTime = 58,
  kDhcpOptionRebindingTime = 59,
  kDhcpOptionClientIdentifier = 61,
  kDhcpOptionEnd = 255,
};

// Looks a DHCP option up in an options area (after the magic cookie): the walk stops at the area's
// end, at the end tag, and at an option whose length passes the end. Returns the value and its length
// of the option's first copy (a repeated option counts once, as it first appears).
const std::uint8_t* FindDhcpOption(const std::uint8_t* options, std::size_t size, std::uint8_t tag,
                                   std::uint8_t* length);

// A back end on the Linux interface `interface` of the current network namespace (for tests run in
// a namespace of their own). Null with a message when its sockets cannot be made.
std::unique_ptr<Backend> MakeLinuxBackend(const std::string& interface, std::string& error);

}  // namespace platform::net
