// The board's DHCP client (RFC 2131) over the back end's DHCP transport: discover, offer, request and
// acknowledgement; renewal at T1 (to the server), rebinding at T2 (broadcast); lease alarms that post
// dhcp_needs_attention at T1, T2 and expiry.
#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "net_internal.h"
#include "platform/net.h"

namespace platform::net {
namespace {

// Seconds to wait for the server's answer to each discover (servers may check an address before they
// offer it), and to a request.
constexpr std::uint32_t kDiscoverWaits[] = {2, 4, 4};
constexpr std::uint32_t kRequestWait = 4;
constexpr std::size_t kHostNameMax = 60;

enum : std::uint8_t {
  kDiscover = 1,
  kOffer = 2,
  kRequest = 3,
  kAck = 5,
  kNak = 6,
};

std::mutex g_host_lock;
std::string g_host_name;

// Lease alarms: each pending time posts dhcp_needs_attention once. The state lives for the whole
// process (its thread never ends).
struct Alarms {
  std::mutex lock;
  std::condition_variable changed;
  cyg_tick_count_t pending[3] = {0, 0, 0};
  bool started = false;
};
Alarms& TheAlarms() {
  static Alarms* alarms = new Alarms;
  return *alarms;
}

void AlarmThread() {
  Alarms& a = TheAlarms();
  std::unique_lock<std::mutex> g(a.lock);
  for (;;) {
    cyg_tick_count_t next = 0;
    int which = -1;
    for (int i = 0; i < 3; ++i) {
      if (a.pending[i] != 0 && (which < 0 || a.pending[i] < next)) {
        next = a.pending[i];
        which = i;
      }
    }
    if (which < 0) {
      a.changed.wait(g);
      continue;
    }
    const cyg_tick_count_t now = cyg_current_time();
    if (now < next) {
      a.changed.wait_for(g, std::chrono::microseconds((next - now) * kernel::TickMicroseconds()));
      continue;
    }
    a.pending[which] = 0;
    g.unlock();
    cyg_semaphore_post(&dhcp_needs_attention);
    g.lock();
  }
}

void ArmAlarms(const dhcp_lease& lease) {
  Alarms& a = TheAlarms();
  std::lock_guard<std::mutex> g(a.lock);
  a.pending[0] = lease.t1;
  a.pending[1] = lease.t2;
  a.pending[2] = lease.expiry;
  if (!a.started) {
    a.started = true;
    std::thread(AlarmThread).detach();
  }
  a.changed.notify_all();
}

void DisarmAlarms() {
  Alarms& a = TheAlarms();
  std::lock_guard<std::mutex> g(a.lock);
  a.pending[0] = a.pending[1] = a.pending[2] = 0;
  a.changed.notify_all();
}

cyg_tick_count_t SecondsToTicks(std::uint32_t seconds) {
  return std::max<cyg_tick_count_t>(1, static_cast<cyg_tick_count_t>(seconds) * 1000000u / kernel::TickMicroseconds());
}

std::uint32_t NewXid(const std::uint8_t mac[6]) {
  static std::atomic<std::uint32_t> counter{0};
  std::uint32_t x = static_cast<std::uint32_t>(cyg_current_time()) * 2654435761u;
  for (int i = 0; i < 6; ++i) x = x * 31u + mac[i];
  return x + counter.fetch_add(0x9E3779B9u);
}

class Message {
 public:
  Message(std::uint8_t type, std::uint32_t xid, const std::uint8_t mac[6], bool broadcast_reply) {
    std::memset(&m_, 0, sizeof m_);
    m_.bp_op = 1;
    m_.bp_htype = 1;
    m_.bp_hlen = 6;
    m_.bp_xid = xid;
    m_.bp_flags = broadcast_reply ? htons(0x8000) : 0;
    std::memcpy(m_.bp_chaddr, mac, 6);
    std::memcpy(m_.bp_vend, kDhcpMagicCookie, 4);
    at_ = 4;
    Add(kDhcpOptionMessageType, &type, 1);
    std::uint8_t id[7] = {1};
    std::memcpy(id + 1, mac, 6);
    Add(kDhcpOptionClientIdentifier, id, 7);
  }
  void Add(std::uint8_t tag, const void* value, std::size_t length) {
    length = std::min<std::size_t>(length, 255);
    if (at_ + 2 + length >= kBootpVendorSize) return;  // always room for the end tag
    m_.bp_vend[at_++] = tag;
    m_.bp_vend[at_++] = static_cast<std::uint8_t>(length);
    std::memcpy(m_.bp_vend + at_, value, length);
    at_ += length;
  }
  void AddAddress(std::uint8_t tag, std::uint32_t address) { Add(tag, &address, 4); }
  void AddCommon() {
    const std::string host = DhcpHostName();
    if (!host.empty()) Add(kDhcpOptionHostName, host.data(), host.size());
    const std::uint8_t wanted[] = {
        kDhcpOptionSubnetMask,       kDhcpOptionRouter,           kDhcpOptionDomainNameServer,
        kDhcpOptionDomainName,       kDhcpOptionBroadcastAddress, kDhcpOptionLeaseTime,
        kDhcpOptionServerIdentifier, kDhcpOptionRenewalTime,      kDhcpOptionRebindingTime};
    Add(kDhcpOptionParameterRequestList, wanted, sizeof wanted);
  }
  bootp& record() { return m_; }
  const std::uint8_t* data() {
    m_.bp_vend[at_] = kDhcpOptionEnd;
    return reinterpret_cast<const std::uint8_t*>(&m_);
  }
  std::size_t size() const { return sizeof m_; }

 private:
  bootp m_;
  std::size_t at_ = 0;
};

// A server's reply of our exchange: its message type, or 0 when it is not one.
struct Reply {
  std::uint8_t type = 0;
  bootp record{};
  std::uint32_t server = 0;
};

Reply ParseReply(const std::uint8_t* data, std::size_t length, std::uint32_t xid) {
  Reply r;
  constexpr std::size_t kFixed = offsetof(bootp, bp_vend);
  if (length < kFixed + 4) return r;
  std::memcpy(&r.record, data, std::min(length, sizeof r.record));
  if (r.record.bp_op != 2 || r.record.bp_xid != xid || std::memcmp(r.record.bp_vend, kDhcpMagicCookie, 4) != 0)
    return r;
  const std::size_t area = std::min(length, sizeof r.record) - kFixed - 4;
  std::uint8_t len = 0;
  const std::uint8_t* v = FindDhcpOption(r.record.bp_vend + 4, area, kDhcpOptionMessageType, &len);
  if (v == nullptr || len != 1) return r;
  const std::uint8_t type = v[0];
  if ((v = FindDhcpOption(r.record.bp_vend + 4, area, kDhcpOptionServerIdentifier, &len)) != nullptr && len == 4)
    std::memcpy(&r.server, v, 4);
  r.type = type;
  return r;
}

// Sends `message` and waits for a reply of one of the two types until `wait` ticks have passed.
Reply Exchange(Backend* b, Message& message, std::uint32_t destination, std::uint8_t type_a, std::uint8_t type_b,
               cyg_tick_count_t wait) {
  Reply none;
  const std::uint32_t xid = message.record().bp_xid;
  if (!b->DhcpSend(message.data(), message.size(), destination)) return none;
  const cyg_tick_count_t deadline = cyg_current_time() + wait;
  std::uint8_t buffer[1500];
  for (;;) {
    const int n = b->DhcpReceive(buffer, sizeof buffer, deadline);
    if (n < 0) return none;
    Reply r = ParseReply(buffer, static_cast<std::size_t>(n), xid);
    if (r.type != 0 && (r.type == type_a || r.type == type_b)) return r;
  }
}

void TakeLease(const Reply& ack, bootp* bp, dhcp_lease* lease) {
  *bp = ack.record;
  const std::size_t area = kBootpVendorSize - 4;
  std::uint8_t len = 0;
  std::uint32_t seconds = 3600, t1 = 0, t2 = 0;
  const std::uint8_t* v = nullptr;
  if ((v = FindDhcpOption(bp->bp_vend + 4, area, kDhcpOptionLeaseTime, &len)) != nullptr && len == 4) {
    std::memcpy(&seconds, v, 4);
    seconds = ntohl(seconds);
  }
  if ((v = FindDhcpOption(bp->bp_vend + 4, area, kDhcpOptionRenewalTime, &len)) != nullptr && len == 4) {
    std::memcpy(&t1, v, 4);
    t1 = ntohl(t1);
  }
  if ((v = FindDhcpOption(bp->bp_vend + 4, area, kDhcpOptionRebindingTime, &len)) != nullptr && len == 4) {
    std::memcpy(&t2, v, 4);
    t2 = ntohl(t2);
  }
  if (seconds == 0) seconds = 1;
  if (t1 == 0 || t1 >= seconds) t1 = seconds / 2;
  if (t2 == 0 || t2 >= seconds || t2 < t1) t2 = seconds - seconds / 8;
  const cyg_tick_count_t now = cyg_current_time();
  lease->start = now;
  lease->t1 = now + std::max<cyg_tick_count_t>(1, SecondsToTicks(t1));
  lease->t2 = now + std::max<cyg_tick_count_t>(2, SecondsToTicks(t2));
  lease->expiry = now + std::max<cyg_tick_count_t>(3, SecondsToTicks(seconds));
  lease->server = ack.server != 0 ? ack.server : ack.record.bp_siaddr.s_addr;
  ArmAlarms(*lease);
}

}  // namespace

std::string DhcpHostName() {
  std::lock_guard<std::mutex> g(g_host_lock);
  return g_host_name;
}

}  // namespace platform::net

using namespace platform::net;

void dhcp_set_hostname(const char* name) {
  std::lock_guard<std::mutex> g(g_host_lock);
  g_host_name = name == nullptr ? std::string() : std::string(name).substr(0, kHostNameMax);
}

bool do_dhcp(const char* intf, bootp* bp, std::uint8_t* state, dhcp_lease* lease) {
  Backend* b = CurrentBackend();
  *state = DHCPSTATE_FAILED;
  if (b == nullptr || intf == nullptr || std::strcmp(intf, eth0_name) != 0) return false;
  std::uint8_t mac[6] = {};
  if (!b->GetHardwareAddress(mac) || !b->DhcpOpen()) return false;
  bool bound = false;
  // One transaction for the whole exchange: a late offer to an earlier discover is still taken.
  const std::uint32_t xid = NewXid(mac);
  for (const std::uint32_t wait : kDiscoverWaits) {
    if (bound) break;
    *state = DHCPSTATE_SELECTING;
    Message discover(kDiscover, xid, mac, true);
    discover.AddCommon();
    const Reply offer = Exchange(b, discover, INADDR_BROADCAST, kOffer, kOffer, SecondsToTicks(wait));
    if (offer.type != kOffer || offer.record.bp_yiaddr.s_addr == 0) continue;
    *state = DHCPSTATE_REQUESTING;
    Message request(kRequest, xid, mac, true);
    request.AddAddress(50, offer.record.bp_yiaddr.s_addr);
    if (offer.server != 0) request.AddAddress(54, offer.server);
    request.AddCommon();
    const Reply ack = Exchange(b, request, INADDR_BROADCAST, kAck, kNak, SecondsToTicks(kRequestWait));
    if (ack.type != kAck || ack.record.bp_yiaddr.s_addr == 0) continue;
    TakeLease(ack, bp, lease);
    *state = DHCPSTATE_BOUND;
    bound = true;
  }
  b->DhcpClose();
  if (!bound) *state = DHCPSTATE_FAILED;
  return bound;
}

bool dhcp_bind() {
  const std::uint8_t state = eth0_dhcpstate;
  if (state != DHCPSTATE_BOUND && state != DHCPSTATE_RENEWING && state != DHCPSTATE_REBINDING) return true;
  const cyg_tick_count_t now = cyg_current_time();
  if (now >= eth0_lease.expiry) {
    eth0_dhcpstate = DHCPSTATE_NOTBOUND;
    DisarmAlarms();
    return false;
  }
  if (now < eth0_lease.t1) return true;
  Backend* b = CurrentBackend();
  if (b == nullptr) return true;
  const bool rebinding = now >= eth0_lease.t2;
  eth0_dhcpstate = rebinding ? DHCPSTATE_REBINDING : DHCPSTATE_RENEWING;
  std::uint8_t mac[6] = {};
  if (!b->GetHardwareAddress(mac) || !b->DhcpOpen()) return true;
  Message request(kRequest, NewXid(mac), mac, false);
  request.record().bp_ciaddr = eth0_bootp_data.bp_yiaddr;
  request.AddCommon();
  const std::uint32_t destination = rebinding || eth0_lease.server == 0 ? INADDR_BROADCAST : eth0_lease.server;
  const Reply reply = Exchange(b, request, destination, kAck, kNak,
                               std::min<cyg_tick_count_t>(SecondsToTicks(kRequestWait), eth0_lease.expiry - now));
  b->DhcpClose();
  if (reply.type == kAck && reply.record.bp_yiaddr.s_addr != 0) {
    TakeLease(reply, &eth0_bootp_data, &eth0_lease);
    eth0_dhcpstate = DHCPSTATE_BOUND;
    return true;
  }
  if (reply.type == kNak) {
    eth0_dhcpstate = DHCPSTATE_NOTBOUND;
    DisarmAlarms();
    return false;
  }
  return true;  // no answer: the next alarm tries again (rebinding at T2) until the lease expires
}

void dhcp_halt() {
  DisarmAlarms();
  if (eth0_up && eth0_dhcpstate != DHCPSTATE_FAILED) {
    if (Backend* b = CurrentBackend()) b->Down();
  }
  // A lease is not kept on a halted interface: an alarm still on its way finds nothing to renew.
  if (eth0_dhcpstate == DHCPSTATE_BOUND || eth0_dhcpstate == DHCPSTATE_RENEWING ||
      eth0_dhcpstate == DHCPSTATE_REBINDING) {
    eth0_dhcpstate = DHCPSTATE_NOTBOUND;
  }
  eth0_up = false;
}
