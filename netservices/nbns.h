// The NetBIOS name server: makes the instrument known under its host name on the local network.
//
// nbns_start and nbns_stop are called by the module switching, on the caller's thread; the server
// itself runs on the thread "nbns". At most one server runs: a start stops a running one first.
#pragma once

#include <cstdint>
#include <string>

namespace Torvex {

inline constexpr std::uint8_t kNbnsStartRegistered = 0;  // no objection to the host name was heard
inline constexpr std::uint8_t kNbnsStartRefused = 1;     // a negative registration response arrived
inline constexpr std::uint8_t kNbnsStartFailed = 2;      // sockets or thread not available; nothing runs
inline constexpr std::uint8_t kNbnsStopSocketFailed = 11;

// Starts the server for `host` (empty: the first number of the own address), the group `workgroup`
// and the announced `comment`; texts longer than 1023 characters are cut. Blocks 500 ticks and
// returns kNbnsStartRegistered or kNbnsStartRefused (the server runs in both cases), or
// kNbnsStartFailed when it could not start (nothing runs then).
std::uint8_t nbns_start(const std::string& host, const std::string& workgroup, const std::string& comment);

// Stops a running server after it has released its host name. Returns 0, or kNbnsStopSocketFailed
// when a socket could not be shut down. Without a running server it returns 0 at once.
std::uint8_t nbns_stop();

// True while a server started by nbns_start runs.
bool nbns_running();

// Ports the next start binds: 137 and 138 by default. 0 binds any free port; the server then sends
// its name-service packets to the port it bound (for runs without the privilege to bind 137).
void nbns_set_ports(std::uint16_t name_port, std::uint16_t datagram_port);
// Where the next start listens: true (the default) takes only what arrives on the loopback interface
// (the simulated link: nothing on this machine's own network answers), false every interface (a real
// link). Loopback only means sockets tied to the loopback interface, so that broadcasts on it
// (127.255.255.255) are heard too; where that cannot be set, sockets bound to 127.0.0.1.
void nbns_set_loopback_only(bool loopback_only);
// The name-service port the running server has bound (0 when none runs).
std::uint16_t nbns_bound_name_port();

}  // namespace Torvex
