// Master-browser discovery and host announcements on the datagram port.
#include "netservices/nbns_browse.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "netservices/nbns_packet.h"

namespace Torvex {
namespace {

constexpr std::time_t kBrowseSeconds = 10;
constexpr std::size_t kMaxComment = 47;
constexpr std::size_t kAnnouncementHostName = 16;
constexpr std::uint8_t kMasterBrowserType = 0x1D;
constexpr int kReadWaitMs = 90;

// Browse state, reset at every start.
std::time_t s_LastBrowse = 0;
unsigned s_AnnouncementInterval = 1;
std::uint16_t s_DatagramId = 0;
// Query identifiers, kept across starts.
std::uint16_t s_QueryTrnId = 25154;
std::uint16_t s_StatusTrnId = 16994;

class LittleWriter {
 public:
  void U8(unsigned v) { m_Bytes.push_back(static_cast<std::uint8_t>(v)); }
  void U16(unsigned v) {
    U8(v & 0xFF);
    U8(v >> 8);
  }
  void U16Big(unsigned v) {
    U8(v >> 8);
    U8(v & 0xFF);
  }
  void Zeros(std::size_t n) { m_Bytes.insert(m_Bytes.end(), n, 0); }
  void Bytes(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    m_Bytes.insert(m_Bytes.end(), b, b + n);
  }
  std::vector<std::uint8_t>& Data() { return m_Bytes; }

 private:
  std::vector<std::uint8_t> m_Bytes;
};

// The name "\x01\x02__MSBROWSE__\x02" the master browsers of all groups answer to (type 0x01).
const std::string kMsBrowseName("\x01\x02__MSBROWSE__\x02", 15);

bool IsAnswer(const NbnsHeader& h, std::uint16_t trn_id) {
  return h.trn_id == trn_id && h.response && h.rcode == 0 && h.qdcount == 0 && h.ancount == 1;
}

// Sends `packet` up to 1 + resends times at `interval_ms`, reading between; `answer` is called for
// each datagram of the same identifier and returns 1 (answered, stop sending), 0 (keep waiting) or
// -1 (end now, unanswered); other datagrams go to `handler`. Returns 1 when answered.
template <typename Answer>
int Exchange(const std::vector<std::uint8_t>& packet, std::uint32_t address, int interval_ms, int resends,
             bool end_on_answer, NbnsPacketHandler handler, Answer answer) {
  if (!nbns_send_packet(packet, address, g_NbnsNamePort)) return 0;
  const std::uint16_t trn_id = static_cast<std::uint16_t>((packet[0] << 8) | packet[1]);
  int sent = 1;
  bool answered = false;
  std::int64_t since = nbns_milliseconds();
  std::uint8_t buffer[kNbnsMaxDatagram];
  while (g_NbnsStopRequested.load() == 0) {
    if (nbns_milliseconds() - since >= interval_ms) {
      if (answered || sent > resends) break;
      if (!nbns_send_packet(packet, address, g_NbnsNamePort)) break;
      ++sent;
      since = nbns_milliseconds();
    }
    const std::size_t length = nbns_read_with_timeout(g_NbnsNameSocket.load(), buffer, sizeof buffer, kReadWaitMs);
    if (length == 0) continue;
    ++nbns_num_good_receives;
    NbnsHeader h;
    const NbnsPacketView view{buffer, length};
    if (!answered && nbns_read_header(view, &h) && h.trn_id == trn_id && h.response) {
      const int result = answer(view, h);
      if (result < 0) return 0;
      if (result > 0) {
        answered = true;
        if (end_on_answer) return 1;
      }
      continue;
    }
    if (handler != nullptr && length >= 4) handler(buffer, length);
  }
  return answered ? 1 : 0;
}

}  // namespace

void nbns_browse_reset() {
  s_LastBrowse = 0;
  s_AnnouncementInterval = 1;
  s_DatagramId = 0;
}

std::vector<std::uint8_t> nbns_build_host_announcement(std::uint16_t datagram_id, std::uint16_t source_port,
                                                       const std::string& host_name, const std::string& workgroup,
                                                       const std::string& comment, unsigned interval) {
  const std::string host = host_name.empty() ? "NoName" : host_name;
  const std::string group = workgroup.empty() ? "NoGroup" : workgroup;
  std::string text = comment.empty() ? "NoComment" : comment;
  if (text.size() > kMaxComment) text.resize(kMaxComment);
  const std::size_t data_length = text.size() + 33;

  LittleWriter w;
  w.U8(0x11);
  w.U8(0x02);
  w.U16Big(datagram_id);
  w.Bytes(&g_NbnsOwnAddress, 4);
  w.U16Big(source_port);
  w.U16Big(static_cast<unsigned>(168 + data_length));
  w.U16Big(0);
  std::uint8_t encoded[kNbnsEncodedNameLength];
  w.Bytes(encoded, nbns_encode_name(host, encoded, 0x00));
  w.Bytes(encoded, nbns_encode_name(group, encoded, kMasterBrowserType));
  // SMB transaction header.
  w.Bytes("\xFFSMB", 4);
  w.U8(0x25);
  w.Zeros(27);
  w.U8(17);
  w.U16(0);                                   // total parameter count
  w.U16(static_cast<unsigned>(data_length));  // total data count
  w.U16(0);                                   // maximum parameter count
  w.U16(0);                                   // maximum data count
  w.U8(0);                                    // maximum setup count
  w.U8(0);                                    // reserved
  w.U16(0);                                   // flags
  w.Zeros(4);                                 // time-out
  w.U16(0);                                   // reserved
  w.U16(0);                                   // parameter count
  w.U16(0);                                   // parameter offset
  w.U16(static_cast<unsigned>(data_length));  // data count
  w.U16(86);                                  // data offset
  w.U8(3);                                    // setup count
  w.U8(0);                                    // reserved
  w.U16(1);
  w.U16(1);
  w.U16(2);
  w.U16(static_cast<unsigned>(data_length + 17));  // byte count
  w.Bytes("\\MAILSLOT\\BROWSE", 17);
  // Host announcement.
  w.U8(0x01);
  w.U8(0x06);
  w.U8(0x60);
  w.U8(0xEA);
  w.U16(interval);
  char name[kAnnouncementHostName] = {};
  for (std::size_t i = 0; i < kAnnouncementHostName && i < host.size(); ++i) {
    const char c = host[i];
    name[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  w.Bytes(name, sizeof name);
  w.U8(0x01);
  w.U8(0x33);
  w.U16(0x0B03);
  w.U16(0x0000);
  w.U8(0x0B);
  w.U8(0x03);
  w.U16(0xAA55);
  w.Bytes(text.data(), text.size());
  w.U8(0);
  return std::move(w.Data());
}

void nbns_send_host_announcement(NbnsNameRecord& entry, const std::string& host_name, const std::string& comment) {
  ++entry.announcement_count;
  if (entry.announcement_count % s_AnnouncementInterval != 0) return;
  if (s_AnnouncementInterval == 1) s_AnnouncementInterval = 2;
  const int descriptor = g_NbnsDatagramSocket.load();
  sockaddr_in local{};
  socklen_t local_size = sizeof local;
  const std::uint16_t source_port =
      getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &local_size) == 0 ? ntohs(local.sin_port) : 138;
  const std::vector<std::uint8_t> datagram =
      nbns_build_host_announcement(++s_DatagramId, source_port, host_name, entry.name, comment, s_AnnouncementInterval);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(g_NbnsDatagramPort);
  to.sin_addr.s_addr = entry.address;
  if (sendto(descriptor, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
      static_cast<ssize_t>(datagram.size())) {
    ++nbns_num_good_sends;
  }
}

int nbns_query_name(const std::string& name, std::uint8_t type, bool broadcast, std::uint32_t address,
                    std::uint32_t* answer, NbnsPacketHandler handler) {
  s_QueryTrnId = static_cast<std::uint16_t>((s_QueryTrnId + 45) % 0x7FFF);
  const auto packet = nbns_build_name_query(s_QueryTrnId, name, type, broadcast);
  return Exchange(packet, address, broadcast ? 250 : 5000, 2, false, handler,
                  [&](const NbnsPacketView& view, const NbnsHeader& h) {
                    if (!IsAnswer(h, s_QueryTrnId) || h.opcode != kNbnsOpQuery) return 0;
                    std::uint32_t found = 0;
                    if (!nbns_read_first_address(view, &found)) return 0;
                    *answer = found;
                    return 1;
                  });
}

int nbns_query_node_status(const std::string& name, std::uint8_t type, std::uint32_t address, NbnsPacketHandler handler,
                           std::string* name_out) {
  s_StatusTrnId = static_cast<std::uint16_t>((s_StatusTrnId + 45) % 10000);
  const auto packet = nbns_build_node_status_request(s_StatusTrnId, name, type);
  bool replied = false;
  const int result =
      Exchange(packet, address, 5000, 3, true, handler, [&](const NbnsPacketView& view, const NbnsHeader& h) {
        replied = true;
        std::vector<NbnsStatusName> names;
        if (!IsAnswer(h, s_StatusTrnId) || !nbns_read_status_names(view, &names)) return -1;
        for (const NbnsStatusName& n : names) {
          if (n.type == kMasterBrowserType) *name_out = n.name.substr(0, 15);
        }
        return 1;
      });
  if (!replied) {
    std::printf("No response (this is not unusual)\n");
    std::fflush(stdout);
  }
  return result;
}

void do_browse_hook() {
  const std::time_t now = nbns_now();
  if (s_LastBrowse != 0 && now - s_LastBrowse < kBrowseSeconds) return;
  s_LastBrowse = now;
  // Indices, not references: a query answers other requests meanwhile, which may grow the table.
  for (std::size_t i = 0; i < g_NbnsNameTable.size() && g_NbnsStopRequested.load() == 0; ++i) {
    if (!g_NbnsNameTable[i].in_use || !g_NbnsNameTable[i].group) continue;
    if (g_NbnsNameTable[i].master_browser_known) {
      nbns_send_host_announcement(g_NbnsNameTable[i], g_NbnsHostName, g_NbnsComment);
      std::uint32_t found = 0;
      const std::string group = g_NbnsNameTable[i].name;
      const int answered =
          nbns_query_name(group, kMasterBrowserType, true, g_NbnsNameTable[i].master_browser, &found, construct_reply);
      if (answered) {
        g_NbnsNameTable[i].master_browser = found;
        continue;
      }
      g_NbnsNameTable[i].master_browser_known = false;
    }
    const std::string group = g_NbnsNameTable[i].name;
    const std::uint32_t where = g_NbnsNameTable[i].address;
    std::uint32_t found = 0;
    bool known = false;
    if (group == "*") {
      if (nbns_query_name(kMsBrowseName, 0x01, true, where, &found, construct_reply)) {
        std::string listed;
        if (nbns_query_node_status("*", 0x00, found, construct_reply, &listed) && !listed.empty()) {
          nbns_copy_text(g_NbnsNameTable[i].name, sizeof g_NbnsNameTable[i].name, listed);
        }
        known = g_NbnsNameTable[i].name[0] != '*';
      }
    } else {
      known = nbns_query_name(group, kMasterBrowserType, true, where, &found, construct_reply) == 1;
    }
    if (known) {
      NbnsNameRecord& entry = g_NbnsNameTable[i];
      entry.master_browser = found;
      entry.master_browser_known = true;
      entry.announcement_count = 0;
      nbns_send_host_announcement(entry, g_NbnsHostName, g_NbnsComment);
    }
  }
}

}  // namespace Torvex
