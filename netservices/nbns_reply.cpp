// Answers to the datagrams received on the name-service port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "netservices/nbns_packet.h"
#include "netservices/nbns_state.h"

namespace Torvex {
namespace {

// Registrations and refreshes of other hosts are kept at most a day; the granted TTL is at most 900 s.
constexpr std::uint32_t kMaxRefreshTtl = 86400;
constexpr std::uint32_t kMaxGrantedTtl = 900;
// Node status answers stay within 465 bytes up to the end of the name list.
constexpr std::size_t kNodeStatusListEnd = 465;
// NM_FLAGS of a registration response: AA, RD and RA set, B clear.
constexpr unsigned kRegistrationResponseFlags = 0x04 | 0x01 | 0x80;

// A received packet that nbns_parse_packet accepted, with its question.
struct Request {
  NbnsPacketView view;
  NbnsHeader header;
  NbnsQuestionName question;  // raw bytes of the first question name
  std::string name;           // decoded question name
  int type;                   // its type byte
  std::uint16_t question_type;
};

// The additional record of a registration, refresh or release.
struct NbRecord {
  std::uint32_t ttl;
  std::uint16_t nb_flags;
  std::uint32_t address;  // network order
};

bool ReadRequest(const std::uint8_t* packet, std::size_t length, Request* r) {
  r->view = {packet, length};
  if (!nbns_read_header(r->view, &r->header)) return false;
  const std::size_t parsed = nbns_parse_packet(r->view);
  if (parsed == 0 || parsed > length) return false;
  if (r->header.qdcount >= 1) {
    const std::size_t n = nbns_name_length(r->view, kNbnsHeaderLength);
    r->question = {packet + kNbnsHeaderLength, n};
    r->type = nbns_extract_name(r->view, kNbnsHeaderLength, &r->name);
    r->question_type = r->view.U16(kNbnsHeaderLength + n);
  } else {
    r->question = {packet + kNbnsHeaderLength, 0};
    r->type = 0;
    r->question_type = 0;
  }
  return true;
}

// The additional record that follows the single question; false when its RDATA holds no NB_FLAGS
// and NB_ADDRESS.
bool ReadNbRecord(const Request& r, NbRecord* record) {
  const std::size_t at = kNbnsHeaderLength + r.question.length + 4;
  const std::size_t n = nbns_name_length(r.view, at);
  if (n == 0 || !r.view.Has(at + n, 10)) return false;
  const std::size_t rdlength = r.view.U16(at + n + 8);
  if (rdlength < 6 || !r.view.Has(at + n + 10, 6)) return false;
  record->ttl = r.view.U32(at + n + 4);
  record->nb_flags = r.view.U16(at + n + 10);
  std::memcpy(&record->address, r.view.data + at + n + 12, 4);
  return true;
}

void Reply(const std::vector<std::uint8_t>& packet) {
  nbns_send_packet(packet, g_NbnsLastSource.address,
                   g_NbnsLastSource.port != 0 ? g_NbnsLastSource.port : g_NbnsNamePort);
}

void AnswerNodeStatus(const Request& r) {
  if (nbns_trim_name(r.name) != "*") {
    const int index = nbns_find_name(r.name, r.type, false);
    if (index < 0) return;
    const NbnsNameSource source = g_NbnsNameTable[static_cast<std::size_t>(index)].source;
    if (source != kNbnsSourceOwn && source != kNbnsSourceHostsFile) return;
  }
  const std::size_t num_names_offset = kNbnsHeaderLength + r.question.length + 10;
  const std::size_t limit = (kNodeStatusListEnd - num_names_offset) / 18;
  std::vector<NbnsStatusName> names;
  for (const NbnsNameRecord& e : g_NbnsNameTable) {
    if (!e.in_use) continue;
    if (names.size() >= limit) break;
    std::uint8_t flags = 0x04;
    if (nbns_names_equal(e.name, g_NbnsHostName)) flags |= 0x02;
    if (e.group) flags |= 0x80;
    names.push_back({e.name, static_cast<std::uint8_t>(e.type), flags});
  }
  Reply(nbns_build_node_status_response(r.header.trn_id, r.question, names,
                                        {g_NbnsOwnAddress, nbns_num_good_sends, nbns_num_good_receives}));
}

void AnswerNameQuery(const Request& r) {
  if (nbns_trim_name(r.name) == "*") {
    Reply(nbns_build_query_response(r.header.trn_id, r.question, g_NbnsOwnAddress));
    return;
  }
  int index = nbns_find_name(r.name, r.type, false);
  if (index < 0) index = nbns_find_name(r.name, r.type, true);
  // Only names in the table are answered: nothing is learnt from a query, whether broadcast or not.
  if (index < 0) return;
  const NbnsNameRecord& e = g_NbnsNameTable[static_cast<std::size_t>(index)];
  if (e.group) return;
  if (r.header.broadcast && (e.other_host_on_subnet || e.source == kNbnsSourceRegistered)) return;
  Reply(nbns_build_query_response(r.header.trn_id, r.question, e.address));
}

void HandleRelease(const Request& r) {
  NbRecord record;
  if (!ReadNbRecord(r, &record)) return;
  const int index = nbns_find_name(r.name, r.type, true);
  bool positive = false;
  if (index >= 0) {
    NbnsNameRecord& e = g_NbnsNameTable[static_cast<std::size_t>(index)];
    if (e.source == kNbnsSourceRegistered && e.address == record.address) {
      e.in_use = false;
      positive = true;
    }
  }
  Reply(nbns_build_release_response(r.header.trn_id, positive, r.question, record.nb_flags, record.address));
}

void HandleRefresh(const Request& r, const NbRecord& record) {
  std::uint32_t ttl = record.ttl == 0 ? kMaxRefreshTtl : record.ttl;
  if (ttl > kMaxRefreshTtl) ttl = kMaxRefreshTtl;
  int index = nbns_find_name(r.name, r.type, true);
  if (index >= 0) {
    const NbnsNameSource source = g_NbnsNameTable[static_cast<std::size_t>(index)].source;
    if (source != kNbnsSourceRegistered && source != kNbnsSourceQueried) return;
  } else {
    index = nbns_take_free_entry();
    // A name the table cannot hold is not confirmed.
    if (index < 0) return;
  }
  NbnsNameRecord& e = g_NbnsNameTable[static_cast<std::size_t>(index)];
  nbns_copy_text(e.name, sizeof e.name, nbns_trim_name(r.name));
  e.type = r.type;
  e.in_use = true;
  e.group = false;
  e.other_host_on_subnet = true;
  e.source = kNbnsSourceRegistered;
  e.address = record.address;
  e.ttl = static_cast<long>(ttl);
  e.time = nbns_now();
  const std::uint32_t granted = ttl >= kMaxGrantedTtl ? kMaxGrantedTtl : ttl;
  Reply(nbns_build_registration_response(r.header.trn_id, true, r.question, granted, record.nb_flags, record.address));
}

void HandleRegistration(const Request& r) {
  NbRecord record;
  if (!ReadNbRecord(r, &record)) return;
  if (r.header.opcode != kNbnsOpRegistration) {
    HandleRefresh(r, record);
    return;
  }
  if (!nbns_names_equal(r.name, g_NbnsHostName) || record.address == g_NbnsOwnAddress) return;
  const std::uint16_t port = g_NbnsLastSource.port != 0 ? g_NbnsLastSource.port : g_NbnsNamePort;
  nbns_send_packet(
      nbns_build_registration_response(r.header.trn_id, false, r.question, 0, record.nb_flags, g_NbnsOwnAddress),
      record.address, port);
}

}  // namespace

int nbns_send_packet(const std::vector<std::uint8_t>& packet, std::uint32_t address, std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address;
  const ssize_t sent = sendto(g_NbnsNameSocket.load(), packet.data(), packet.size(), 0,
                              reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent < 0 || static_cast<std::size_t>(sent) != packet.size()) {
    std::printf("Send packet failed. ERRNO=%d\n", sent < 0 ? errno : EMSGSIZE);
    std::fflush(stdout);
    return 0;
  }
  ++nbns_num_good_sends;
  return 1;
}

void nbns_handle_registration(const std::uint8_t* packet, std::size_t length) {
  Request r;
  if (!ReadRequest(packet, length, &r) || r.header.qdcount != 1 || r.header.arcount != 1) return;
  HandleRegistration(r);
}

void construct_reply(const std::uint8_t* packet, std::size_t length) {
  Request r;
  if (!ReadRequest(packet, length, &r)) return;
  const NbnsHeader& h = r.header;
  if (h.rcode != 0 || h.response) {
    if (h.opcode == kNbnsOpRegistration && h.nm_flags == kRegistrationResponseFlags && h.rcode != 0 && h.rcode != 7) {
      g_NbnsStartStatus.store(1);
    }
    return;
  }
  const bool one_question = h.qdcount == 1;
  const bool with_record = one_question && h.arcount == 1;
  switch (h.opcode) {
    case kNbnsOpRegistration:
      if (with_record) HandleRegistration(r);
      break;
    case kNbnsOpQuery:
      if (!one_question) break;
      if (r.question_type == kNbnsTypeNbstat) AnswerNodeStatus(r);
      if (r.question_type == kNbnsTypeNb) AnswerNameQuery(r);
      break;
    case kNbnsOpRelease:
      if (with_record && !h.broadcast) HandleRelease(r);
      break;
    case kNbnsOpRefresh:
    case kNbnsOpRefreshAlt:
      if (with_record && !h.broadcast) HandleRegistration(r);
      break;
    default: break;
  }
}

}  // namespace Torvex
