// The simulated link of eth0: the board's default network back end (platform/net.h). The interface is
// a model (its hardware address, whether it is up and with which addresses), the DHCP server and the
// hosts on the link are scripted, and every frame stays inside the model: nothing is sent to the
// host's network, and the addresses the default server hands out are loopback addresses
// (127.0.0.0/8), so services bound to them stay on the host's loopback interface.
//
// Script:
//  - the DHCP server: absent, or present with an offer (address, server and relay addresses, which
//    options it carries, lease time) and a behaviour at renewal (acknowledge, acknowledge with
//    another address, refuse, stay silent);
//  - neighbours: hosts that own an address and answer an ARP probe or request for it with a reply
//    (a neighbour added with 0.0.0.0 claims every address asked for);
//  - frames injected by the test (any Ethernet frame), delivered like a received frame.
// Time on the link is the model's: with no DHCP server, the client's waits for an answer end at once.
// Received frames are delivered on the model's own thread, in order, through the driver's receive
// path.
//
// Observations: the frames the board sent (with the tick they left at), the frames that reached the
// stack, the DHCP messages seen, the host name last sent, and a log of interface operations.
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"

namespace sim {

class Network final : public platform::net::Backend {
 public:
  // Addresses are dotted texts in the script (checked: std::invalid_argument when not dotted quads).
  struct DhcpOffer {
    std::string address = "127.0.0.1";
    std::string server = "127.0.0.1";  // siaddr
    std::string relay = "0.0.0.0";     // giaddr
    std::optional<std::string> mask = "255.0.0.0";
    std::optional<std::string> router;  // option 3
    std::optional<std::string> dns;     // option 6
    std::optional<std::string> domain;  // option 15
    std::uint32_t lease_seconds = 86400;
  };
  enum class Renewal { kAck, kNak, kSilent };

  struct SentFrame {
    std::vector<std::uint8_t> frame;
    cyg_tick_count_t tick;
  };

  Network();            // the default server is present with the default offer
  ~Network() override;  // uninstalls itself when installed

  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;

  // Makes this the platform's back end.
  void Install();

  // --- script ---
  void SetDhcpServer(std::optional<DhcpOffer> offer);
  // What the server answers to a renewal; `address` (for kAck) hands out another address.
  void SetRenewal(Renewal renewal, std::optional<std::string> address = std::nullopt);
  void AddNeighbour(const std::string& address, const std::uint8_t mac[6]);
  void RemoveNeighbours();
  void InjectFrame(const std::vector<std::uint8_t>& frame);
  // Makes SIOCSIFHWADDR fail (a driver that refuses the address).
  void SetRefuseHardwareAddress(bool refuse);

  // --- observations ---
  std::vector<SentFrame> SentFrames() const;
  std::vector<std::vector<std::uint8_t>> StackFrames() const;
  // Frames injected or answered that have not been delivered yet.
  std::size_t PendingFrames() const;
  std::string LastHostName() const;
  int DhcpRequests(std::uint8_t type) const;  // messages of that DHCP type received from the board
  std::vector<std::string> InterfaceLog() const;
  bool Up() const;
  platform::net::InterfaceConfig Config() const;
  bool HardwareAddress(std::uint8_t mac[6]) const;
  void ClearObservations();

  // An ARP frame as a host on the link sends it (sender and target as dotted texts).
  static std::vector<std::uint8_t> ArpFrame(std::uint16_t operation, const std::uint8_t sender_mac[6],
                                            const std::string& sender_ip, const std::uint8_t target_mac[6],
                                            const std::string& target_ip);

  // --- platform::net::Backend ---
  bool SetHardwareAddress(const std::uint8_t mac[6]) override;
  bool GetHardwareAddress(std::uint8_t mac[6]) override;
  bool Configure(const platform::net::InterfaceConfig& config) override;
  void Down() override;
  bool LoopbackUp() override;
  bool DhcpOpen() override;
  bool DhcpSend(const std::uint8_t* message, std::size_t length, std::uint32_t destination) override;
  int DhcpReceive(std::uint8_t* buffer, std::size_t capacity, cyg_tick_count_t deadline) override;
  void DhcpClose() override;
  bool CanSend() override;
  void SendFrame(const std::uint8_t* frame, std::size_t length) override;
  void StackInput(const std::uint8_t* frame, std::size_t length) override;

 private:
  void Deliver();
  std::vector<std::uint8_t> ServerReply(const std::uint8_t* message, std::size_t length);

  mutable std::mutex lock_;
  std::condition_variable changed_;
  bool stop_ = false;
  bool installed_ = false;
  std::optional<DhcpOffer> offer_;
  Renewal renewal_ = Renewal::kAck;
  std::optional<std::string> renewal_address_;
  struct Neighbour {
    std::uint32_t address;
    std::uint8_t mac[6];
  };
  std::vector<Neighbour> neighbours_;
  std::deque<std::vector<std::uint8_t>> inbound_;
  bool delivering_ = false;
  std::deque<std::vector<std::uint8_t>> dhcp_replies_;
  bool refuse_hwaddr_ = false;
  std::uint8_t mac_[6] = {0x02, 0, 0, 0, 0, 1};
  bool up_ = false;
  platform::net::InterfaceConfig config_;
  std::vector<SentFrame> sent_;
  std::vector<std::vector<std::uint8_t>> stack_;
  std::string host_name_;
  int dhcp_counts_[9] = {};
  std::vector<std::string> log_;
  std::thread deliverer_;
};

}  // namespace sim
