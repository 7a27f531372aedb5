// State of the NetBIOS name server shared by its packet handling, its thread and its browse step.
//
// Everything here belongs to the server thread "nbns", except the atomics, which nbns_start and
// nbns_stop share with it. Tests that drive the handlers directly set the fields while no server
// runs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace Torvex {

// An IPv4 address (network byte order) and a UDP port (host byte order).
struct NbnsEndpoint {
  std::uint32_t address;
  std::uint16_t port;
};

extern std::uint32_t g_NbnsOwnAddress;
extern std::uint32_t g_NbnsNetmask;
extern std::uint32_t g_NbnsBroadcast;
extern std::string g_NbnsHostName;
extern std::string g_NbnsComment;  // the announced comment, after %v and %h are replaced
// Source of the last datagram read on the name-service socket (address cleared before each read).
extern NbnsEndpoint g_NbnsLastSource;
extern std::uint32_t nbns_num_good_sends;
extern std::uint32_t nbns_num_good_receives;

// The name-service and datagram sockets (-1 while not open), and the ports their packets go to:
// 137 and 138, or the ports actually bound when the server was told to use others.
extern std::atomic<int> g_NbnsNameSocket;
extern std::atomic<int> g_NbnsDatagramSocket;
extern std::uint16_t g_NbnsNamePort;
extern std::uint16_t g_NbnsDatagramPort;

// 1 once a negative name registration response was received; reset by nbns_start.
extern std::atomic<std::uint8_t> g_NbnsStartStatus;
extern std::atomic<std::uint8_t> g_NbnsStopRequested;

// --- name table ------------------------------------------------------------------------------------

enum NbnsNameSource : int {
  kNbnsSourceHostsFile = 0,
  kNbnsSourceRegistered = 1,  // registered (refreshed) by another host
  kNbnsSourceOwn = 2,
  kNbnsSourceQueried = 3,
};

inline constexpr std::size_t kNbnsNameCapacity = 100;  // 99 characters and a zero byte
inline constexpr int kNbnsGroupType = 0xF0;            // type of the own group names

struct NbnsNameRecord {
  std::time_t time;  // added or refreshed
  long ttl;          // seconds; 0 is permanent
  std::uint32_t address;
  std::uint32_t master_browser;
  bool master_browser_known;
  bool in_use;
  bool group;
  bool other_host_on_subnet;
  char name[kNbnsNameCapacity];
  int type;
  unsigned announcement_count;
  NbnsNameSource source;
};

// The table holds at most this many entries; it never shrinks while the server runs.
inline constexpr std::size_t kNbnsMaxNames = 64;
extern std::vector<NbnsNameRecord> g_NbnsNameTable;

// Calendar seconds; tests may replace the clock (nullptr restores time()).
std::time_t nbns_now();
void nbns_set_clock(std::time_t (*clock)());

// Copies at most capacity - 1 bytes of `text` and a zero byte.
void nbns_copy_text(char* destination, std::size_t capacity, const std::string& text);

// Takes entries whose ttl has run out out of use.
void nbns_expire_names();
// Index of an in-use entry of that name and type (group entries only with include_groups), or -1.
int nbns_find_name(const std::string& name, int type, bool include_groups);
// Adds an own unique name unless that name and type exist. Returns the index, or -1 when the table
// is full.
int nbns_add_name(const std::string& name, int type, std::uint32_t address);
// Adds an own group name (type 0xF0) unless present. Returns the index, or -1 when the table is full.
int nbns_add_group_name(const std::string& name, std::uint32_t address);
// A free entry, cleared and marked in use (the table grows by one when none is free), or -1 when
// the table is full ("Can't malloc more names space!").
int nbns_take_free_entry();
// Empties the table.
void nbns_clear_names();

// --- packets ---------------------------------------------------------------------------------------

// Sends on the name-service socket; counts nbns_num_good_sends. Returns 1 on success, 0 on failure.
int nbns_send_packet(const std::vector<std::uint8_t>& packet, std::uint32_t address, std::uint16_t port);
// Handles one received datagram of the name-service port (short or inconsistent ones are dropped).
void construct_reply(const std::uint8_t* packet, std::size_t length);
void nbns_handle_registration(const std::uint8_t* packet, std::size_t length);

// --- sockets ---------------------------------------------------------------------------------------

// A UDP socket bound to any local address and `port` (0: any free port). With a report level above 0
// a port below 1000 that cannot be bound is retried from 8000, any other at the next port, up to
// 9000. Returns the descriptor or -1.
int nbns_open_udp_socket(int type, std::uint16_t port, int report_level);
// Applies an option text such as "SO_BROADCAST" or "SO_RCVBUF=8192,SO_KEEPALIVE". Returns the number
// of options that could not be applied.
int nbns_set_socket_options(int descriptor, const std::string& options);
// Reads one datagram if one is waiting, recording its source in g_NbnsLastSource; returns its
// length, or 0.
std::size_t read_udp_socket(int descriptor, std::uint8_t* buffer, std::size_t size);
// Waits up to `milliseconds` for a datagram (a stop request ends the wait) and reads it.
std::size_t nbns_read_with_timeout(int descriptor, std::uint8_t* buffer, std::size_t size, int milliseconds);
// Milliseconds of a monotonic clock.
std::int64_t nbns_milliseconds();

}  // namespace Torvex
