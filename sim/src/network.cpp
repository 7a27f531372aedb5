// The simulated link of eth0 (see sim/network.h).
#include "sim/network.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace sim {
namespace {

namespace net = platform::net;

constexpr std::size_t kFixed = offsetof(bootp, bp_vend);

std::uint32_t Address(const std::string& text) {
  std::uint32_t a = 0;
  if (!platform::net::ParseAddress(text.c_str(), &a)) throw std::invalid_argument("not an address: " + text);
  return a;
}

struct Options {
  std::vector<std::uint8_t> bytes;
  void Add(std::uint8_t tag, const void* value, std::size_t length) {
    bytes.push_back(tag);
    bytes.push_back(static_cast<std::uint8_t>(length));
    const auto* p = static_cast<const std::uint8_t*>(value);
    bytes.insert(bytes.end(), p, p + length);
  }
  void AddAddress(std::uint8_t tag, std::uint32_t a) { Add(tag, &a, 4); }
};

}  // namespace

Network::Network() : offer_(DhcpOffer{}) {
  deliverer_ = std::thread([this] { Deliver(); });
}

Network::~Network() {
  {
    std::lock_guard<std::mutex> g(lock_);
    stop_ = true;
    changed_.notify_all();
  }
  deliverer_.join();
  if (platform::net::InstalledBackend() == this) platform::net::InstallBackend(nullptr);
}

void Network::Install() { platform::net::InstallBackend(this); }

void Network::SetDhcpServer(std::optional<DhcpOffer> offer) {
  if (offer) {
    Address(offer->address);
    Address(offer->server);
    Address(offer->relay);
    for (const auto* o : {&offer->mask, &offer->router, &offer->dns}) {
      if (*o) Address(**o);
    }
  }
  std::lock_guard<std::mutex> g(lock_);
  offer_ = std::move(offer);
}

void Network::SetRenewal(Renewal renewal, std::optional<std::string> address) {
  if (address) Address(*address);
  std::lock_guard<std::mutex> g(lock_);
  renewal_ = renewal;
  renewal_address_ = std::move(address);
}

void Network::AddNeighbour(const std::string& address, const std::uint8_t mac[6]) {
  Neighbour n{Address(address), {}};
  std::memcpy(n.mac, mac, 6);
  std::lock_guard<std::mutex> g(lock_);
  neighbours_.push_back(n);
}

void Network::RemoveNeighbours() {
  std::lock_guard<std::mutex> g(lock_);
  neighbours_.clear();
}

void Network::InjectFrame(const std::vector<std::uint8_t>& frame) {
  std::lock_guard<std::mutex> g(lock_);
  inbound_.push_back(frame);
  changed_.notify_all();
}

void Network::SetRefuseHardwareAddress(bool refuse) {
  std::lock_guard<std::mutex> g(lock_);
  refuse_hwaddr_ = refuse;
}

std::vector<Network::SentFrame> Network::SentFrames() const {
  std::lock_guard<std::mutex> g(lock_);
  return sent_;
}

std::vector<std::vector<std::uint8_t>> Network::StackFrames() const {
  std::lock_guard<std::mutex> g(lock_);
  return stack_;
}

std::size_t Network::PendingFrames() const {
  std::lock_guard<std::mutex> g(lock_);
  return inbound_.size() + (delivering_ ? 1 : 0);
}

std::string Network::LastHostName() const {
  std::lock_guard<std::mutex> g(lock_);
  return host_name_;
}

int Network::DhcpRequests(std::uint8_t type) const {
  std::lock_guard<std::mutex> g(lock_);
  return type < 9 ? dhcp_counts_[type] : 0;
}

std::vector<std::string> Network::InterfaceLog() const {
  std::lock_guard<std::mutex> g(lock_);
  return log_;
}

bool Network::Up() const {
  std::lock_guard<std::mutex> g(lock_);
  return up_;
}

platform::net::InterfaceConfig Network::Config() const {
  std::lock_guard<std::mutex> g(lock_);
  return config_;
}

bool Network::HardwareAddress(std::uint8_t mac[6]) const {
  std::lock_guard<std::mutex> g(lock_);
  std::memcpy(mac, mac_, 6);
  return true;
}

void Network::ClearObservations() {
  std::lock_guard<std::mutex> g(lock_);
  sent_.clear();
  stack_.clear();
  log_.clear();
  for (int& c : dhcp_counts_) c = 0;
}

std::vector<std::uint8_t> Network::ArpFrame(std::uint16_t operation, const std::uint8_t sender_mac[6],
                                            const std::string& sender_ip, const std::uint8_t target_mac[6],
                                            const std::string& target_ip) {
  std::vector<std::uint8_t> f(42, 0);
  std::memset(f.data(), 0xFF, 6);
  std::memcpy(f.data() + 6, sender_mac, 6);
  f[12] = 0x08;
  f[13] = 0x06;
  f[15] = 1;
  f[16] = 0x08;
  f[18] = 6;
  f[19] = 4;
  f[20] = static_cast<std::uint8_t>(operation >> 8);
  f[21] = static_cast<std::uint8_t>(operation);
  std::memcpy(f.data() + 22, sender_mac, 6);
  const std::uint32_t s = Address(sender_ip), t = Address(target_ip);
  std::memcpy(f.data() + 28, &s, 4);
  std::memcpy(f.data() + 32, target_mac, 6);
  std::memcpy(f.data() + 38, &t, 4);
  return f;
}

bool Network::SetHardwareAddress(const std::uint8_t mac[6]) {
  std::lock_guard<std::mutex> g(lock_);
  if (refuse_hwaddr_) {
    log_.push_back("hwaddr refused");
    return false;
  }
  std::memcpy(mac_, mac, 6);
  char text[32];
  std::snprintf(text, sizeof text, "hwaddr %02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                mac[5]);
  log_.push_back(text);
  return true;
}

bool Network::GetHardwareAddress(std::uint8_t mac[6]) {
  std::lock_guard<std::mutex> g(lock_);
  std::memcpy(mac, mac_, 6);
  return true;
}

bool Network::Configure(const platform::net::InterfaceConfig& config) {
  char a[16], m[16], b[16], gw[16];
  platform::net::AddressText(config.address, a);
  platform::net::AddressText(config.mask, m);
  platform::net::AddressText(config.broadcast, b);
  platform::net::AddressText(config.gateway, gw);
  std::lock_guard<std::mutex> g(lock_);
  config_ = config;
  up_ = true;
  log_.push_back(std::string("up ") + a + " " + m + " " + b + " " + gw);
  return true;
}

void Network::Down() {
  std::lock_guard<std::mutex> g(lock_);
  up_ = false;
  config_ = {};
  log_.push_back("down");
}

bool Network::LoopbackUp() {
  std::lock_guard<std::mutex> g(lock_);
  log_.push_back("loopback");
  return true;
}

bool Network::DhcpOpen() {
  std::lock_guard<std::mutex> g(lock_);
  dhcp_replies_.clear();
  return true;
}

void Network::DhcpClose() {
  std::lock_guard<std::mutex> g(lock_);
  dhcp_replies_.clear();
}

// The scripted server's answer to one message of the board (empty: none).
std::vector<std::uint8_t> Network::ServerReply(const std::uint8_t* message, std::size_t length) {
  if (length < kFixed + 4 || std::memcmp(message + kFixed, net::kDhcpMagicCookie, 4) != 0) return {};
  bootp request{};
  std::memcpy(&request, message, std::min(length, sizeof request));
  const std::uint8_t* opts = message + kFixed + 4;
  const std::size_t size = std::min(length, sizeof request) - kFixed - 4;
  std::uint8_t len = 0;
  const std::uint8_t* v = platform::net::FindDhcpOption(opts, size, net::kDhcpOptionMessageType, &len);
  if (v == nullptr || len != 1 || v[0] > 8) return {};
  const std::uint8_t type = v[0];
  ++dhcp_counts_[type];
  v = platform::net::FindDhcpOption(opts, size, net::kDhcpOptionHostName, &len);
  host_name_ = v != nullptr ? std::string(reinterpret_cast<const char*>(v), len) : std::string();
  if (!offer_) return {};
  const DhcpOffer& o = *offer_;
  std::uint32_t yiaddr = Address(o.address);
  std::uint8_t answer = 0;
  if (type == 1) {
    answer = 2;
  } else if (type == 3 && request.bp_ciaddr.s_addr == 0) {
    std::uint32_t wanted = 0;
    if ((v = platform::net::FindDhcpOption(opts, size, net::kDhcpOptionRequestedAddress, &len)) != nullptr && len == 4)
      std::memcpy(&wanted, v, 4);
    answer = wanted == yiaddr ? 5 : 6;
  } else if (type == 3) {
    if (renewal_ == Renewal::kSilent) return {};
    answer = renewal_ == Renewal::kNak ? 6 : 5;
    if (renewal_address_) yiaddr = Address(*renewal_address_);
  } else {
    return {};
  }
  bootp reply{};
  reply.bp_op = 2;
  reply.bp_htype = 1;
  reply.bp_hlen = 6;
  reply.bp_xid = request.bp_xid;
  reply.bp_flags = request.bp_flags;
  std::memcpy(reply.bp_chaddr, request.bp_chaddr, sizeof reply.bp_chaddr);
  const std::uint32_t server = Address(o.server);
  if (answer != 6) {
    reply.bp_yiaddr.s_addr = yiaddr;
    reply.bp_siaddr.s_addr = server;
    reply.bp_giaddr.s_addr = Address(o.relay);
  }
  Options out;
  out.Add(net::kDhcpOptionMessageType, &answer, 1);
  out.AddAddress(net::kDhcpOptionServerIdentifier, server);
  if (answer != 6) {
    const std::uint32_t lease = htonl(o.lease_seconds);
    out.Add(net::kDhcpOptionLeaseTime, &lease, 4);
    if (o.mask) out.AddAddress(net::kDhcpOptionSubnetMask, Address(*o.mask));
    if (o.router) out.AddAddress(net::kDhcpOptionRouter, Address(*o.router));
    if (o.dns) out.AddAddress(net::kDhcpOptionDomainNameServer, Address(*o.dns));
    if (o.domain) out.Add(net::kDhcpOptionDomainName, o.domain->data(), std::min<std::size_t>(o.domain->size(), 255));
  }
  out.bytes.push_back(net::kDhcpOptionEnd);
  std::memcpy(reply.bp_vend, net::kDhcpMagicCookie, 4);
  std::memcpy(reply.bp_vend + 4, out.bytes.data(), std::min(out.bytes.size(), kBootpVendorSize - 4));
  const auto* p = reinterpret_cast<const std::uint8_t*>(&reply);
  return std::vector<std::uint8_t>(p, p + sizeof reply);
}

bool Network::DhcpSend(const std::uint8_t* message, std::size_t length, std::uint32_t) {
  std::lock_guard<std::mutex> g(lock_);
  std::vector<std::uint8_t> reply = ServerReply(message, length);
  if (!reply.empty()) {
    dhcp_replies_.push_back(std::move(reply));
    changed_.notify_all();
  }
  return true;
}

int Network::DhcpReceive(std::uint8_t* buffer, std::size_t capacity, cyg_tick_count_t deadline) {
  std::unique_lock<std::mutex> g(lock_);
  for (;;) {
    if (!dhcp_replies_.empty()) {
      const std::vector<std::uint8_t> r = std::move(dhcp_replies_.front());
      dhcp_replies_.pop_front();
      const std::size_t n = std::min(capacity, r.size());
      std::memcpy(buffer, r.data(), n);
      return static_cast<int>(n);
    }
    // Without a server nothing is on its way: the client's wait ends at once (simulated time).
    if (!offer_) return -1;
    const cyg_tick_count_t now = cyg_current_time();
    if (now >= deadline) return -1;
    changed_.wait_for(g, std::chrono::microseconds((deadline - now) * platform::kernel::TickMicroseconds()));
  }
}

bool Network::CanSend() { return true; }

void Network::SendFrame(const std::uint8_t* frame, std::size_t length) {
  std::lock_guard<std::mutex> g(lock_);
  sent_.push_back({std::vector<std::uint8_t>(frame, frame + length), cyg_current_time()});
  // A neighbour answers an ARP request (probe, announcement or plain request) for its address.
  if (length < 42 || frame[12] != 0x08 || frame[13] != 0x06 || frame[20] != 0 || frame[21] != 1) return;
  std::uint32_t target = 0, sender = 0;
  std::memcpy(&target, frame + 38, 4);
  std::memcpy(&sender, frame + 28, 4);
  for (const Neighbour& n : neighbours_) {
    if (n.address != target && n.address != 0) continue;
    const std::uint32_t owned = n.address != 0 ? n.address : target;
    std::vector<std::uint8_t> reply(42, 0);
    std::memcpy(reply.data(), frame + 6, 6);
    std::memcpy(reply.data() + 6, n.mac, 6);
    reply[12] = 0x08;
    reply[13] = 0x06;
    std::memcpy(reply.data() + 14, frame + 14, 6);  // hardware and protocol types and lengths
    reply[21] = 2;
    std::memcpy(reply.data() + 22, n.mac, 6);
    std::memcpy(reply.data() + 28, &owned, 4);
    std::memcpy(reply.data() + 32, frame + 22, 6);
    std::memcpy(reply.data() + 38, &sender, 4);
    inbound_.push_back(std::move(reply));
    changed_.notify_all();
  }
}

void Network::StackInput(const std::uint8_t* frame, std::size_t length) {
  std::lock_guard<std::mutex> g(lock_);
  stack_.emplace_back(frame, frame + length);
}

void Network::Deliver() {
  std::unique_lock<std::mutex> g(lock_);
  for (;;) {
    changed_.wait(g, [this] { return stop_ || !inbound_.empty(); });
    if (stop_) return;
    std::vector<std::uint8_t> frame = std::move(inbound_.front());
    inbound_.pop_front();
    delivering_ = true;
    g.unlock();
    if (platform::net::InstalledBackend() == this) platform::net::ReceiveFrame(frame.data(), frame.size());
    g.lock();
    delivering_ = false;
  }
}

}  // namespace sim
