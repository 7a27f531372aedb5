// The name server's state and its name table.
#include <cstdio>
#include <cstring>

#include "netservices/nbns_packet.h"
#include "netservices/nbns_state.h"

namespace Torvex {

std::uint32_t g_NbnsOwnAddress = 0;
std::uint32_t g_NbnsNetmask = 0;
std::uint32_t g_NbnsBroadcast = 0;
std::string g_NbnsHostName;
NbnsEndpoint g_NbnsLastSource = {0, 0};
std::uint32_t nbns_num_good_sends = 0;
std::uint32_t nbns_num_good_receives = 0;
std::atomic<int> g_NbnsNameSocket{-1};
std::atomic<int> g_NbnsDatagramSocket{-1};
std::uint16_t g_NbnsNamePort = 137;
std::uint16_t g_NbnsDatagramPort = 138;
std::atomic<std::uint8_t> g_NbnsStartStatus{0};
std::atomic<std::uint8_t> g_NbnsStopRequested{0};
std::vector<NbnsNameRecord> g_NbnsNameTable;

namespace {
std::atomic<std::time_t (*)()> s_Clock{nullptr};
}

std::time_t nbns_now() {
  std::time_t (*clock)() = s_Clock.load();
  return clock ? clock() : std::time(nullptr);
}

void nbns_set_clock(std::time_t (*clock)()) { s_Clock.store(clock); }

void nbns_copy_text(char* destination, std::size_t capacity, const std::string& text) {
  if (capacity == 0) return;
  const std::size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
  std::memcpy(destination, text.data(), n);
  destination[n] = '\0';
}

void nbns_expire_names() {
  const std::time_t now = nbns_now();
  for (NbnsNameRecord& r : g_NbnsNameTable) {
    if (r.in_use && r.ttl > 0 && r.time + r.ttl < now) r.in_use = false;
  }
}

int nbns_find_name(const std::string& name, int type, bool include_groups) {
  nbns_expire_names();
  for (std::size_t i = 0; i < g_NbnsNameTable.size(); ++i) {
    const NbnsNameRecord& r = g_NbnsNameTable[i];
    if (!r.in_use || r.type != type || (r.group && !include_groups)) continue;
    if (nbns_names_equal(r.name, name)) return static_cast<int>(i);
  }
  return -1;
}

int nbns_take_free_entry() {
  std::size_t index = 0;
  while (index < g_NbnsNameTable.size() && g_NbnsNameTable[index].in_use) ++index;
  if (index == g_NbnsNameTable.size()) {
    if (g_NbnsNameTable.size() >= kNbnsMaxNames) {
      std::printf("Can't malloc more names space!\n");
      std::fflush(stdout);
      return -1;
    }
    g_NbnsNameTable.emplace_back();
  }
  NbnsNameRecord& r = g_NbnsNameTable[index];
  std::memset(&r, 0, sizeof r);
  r.in_use = true;
  return static_cast<int>(index);
}

namespace {

int AddOwnName(const std::string& name, int type, std::uint32_t address, bool group) {
  const int existing = nbns_find_name(name, type, true);
  if (existing >= 0) return existing;
  const int index = nbns_take_free_entry();
  if (index < 0) return -1;
  NbnsNameRecord& r = g_NbnsNameTable[static_cast<std::size_t>(index)];
  nbns_copy_text(r.name, sizeof r.name, name);
  r.type = type;
  r.address = address;
  r.group = group;
  r.time = nbns_now();
  r.ttl = 0;
  r.source = kNbnsSourceOwn;
  return index;
}

}  // namespace

int nbns_add_name(const std::string& name, int type, std::uint32_t address) {
  return AddOwnName(name, type, address, false);
}

int nbns_add_group_name(const std::string& name, std::uint32_t address) {
  return AddOwnName(name, kNbnsGroupType, address, true);
}

void nbns_clear_names() {
  g_NbnsNameTable.clear();
  g_NbnsNameTable.shrink_to_fit();
}

}  // namespace Torvex
