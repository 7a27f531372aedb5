#include "netservices/nbns_packet.h"

#include <cstring>

namespace Torvex {
namespace {

// The farthest a compression pointer may point away from itself.
constexpr std::size_t kMaxPointerDistance = 50;
// The longest label sequence accepted as one name.
constexpr std::size_t kMaxNameBytes = 255;

std::uint8_t UpperByte(std::uint8_t c) { return (c >= 'a' && c <= 'z') ? static_cast<std::uint8_t>(c - 'a' + 'A') : c; }

class Writer {
 public:
  void U8(unsigned v) { m_Bytes.push_back(static_cast<std::uint8_t>(v)); }
  void U16(unsigned v) {
    U8(v >> 8);
    U8(v);
  }
  void U32(std::uint32_t v) {
    U16(v >> 16);
    U16(v & 0xFFFF);
  }
  // An address in network byte order, written as it lies in memory.
  void Address(std::uint32_t address) {
    std::uint8_t b[4];
    std::memcpy(b, &address, 4);
    Bytes(b, 4);
  }
  void Bytes(const std::uint8_t* p, std::size_t n) { m_Bytes.insert(m_Bytes.end(), p, p + n); }
  void Name(const std::string& name, std::uint8_t type) {
    std::uint8_t encoded[kNbnsEncodedNameLength];
    Bytes(encoded, nbns_encode_name(name, encoded, type));
  }
  void Header(std::uint16_t trn, unsigned b2, unsigned b3, unsigned qd, unsigned an, unsigned ns, unsigned ar) {
    U16(trn);
    U8(b2);
    U8(b3);
    U16(qd);
    U16(an);
    U16(ns);
    U16(ar);
  }
  std::vector<std::uint8_t> Take() { return std::move(m_Bytes); }

 private:
  std::vector<std::uint8_t> m_Bytes;
};

// Answer record of an NB response: the question name as received, type NB, class 1.
void NbAnswer(Writer& w, NbnsQuestionName question, std::uint32_t ttl, std::uint16_t nb_flags, std::uint32_t address) {
  w.Bytes(question.bytes, question.length);
  w.U16(kNbnsTypeNb);
  w.U16(1);
  w.U32(ttl);
  w.U16(6);
  w.U16(nb_flags);
  w.Address(address);
}

// Offset just past `count` questions starting at `offset`, or 0 when one runs past the packet.
std::size_t SkipQuestions(const NbnsPacketView& p, std::size_t offset, unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    const std::size_t n = nbns_name_length(p, offset);
    if (n == 0 || !p.Has(offset + n, 4)) return 0;
    offset += n + 4;
  }
  return offset;
}

}  // namespace

bool nbns_read_header(const NbnsPacketView& p, NbnsHeader* h) {
  if (!p.Has(0, kNbnsHeaderLength)) return false;
  const std::uint8_t b2 = p.data[2];
  const std::uint8_t b3 = p.data[3];
  h->trn_id = p.U16(0);
  h->response = (b2 & 0x80) != 0;
  h->opcode = (b2 >> 3) & 0x0F;
  h->nm_flags = (b2 & 0x07) | (b3 & 0x90);
  h->broadcast = (b3 & 0x10) != 0;
  h->rcode = b3 & 0x0F;
  h->qdcount = p.U16(4);
  h->ancount = p.U16(6);
  h->nscount = p.U16(8);
  h->arcount = p.U16(10);
  return true;
}

std::size_t nbns_encode_name(const std::string& name, std::uint8_t* buffer, std::uint8_t type) {
  std::uint8_t raw[16];
  if (name == "*") {
    std::memset(raw, 0, sizeof raw);
    raw[0] = '*';
  } else {
    std::memset(raw, ' ', 15);
    std::memcpy(raw, name.data(), name.size() < 15 ? name.size() : 15);
    raw[15] = type;
  }
  buffer[0] = 0x20;
  for (int i = 0; i < 16; ++i) {
    const std::uint8_t c = UpperByte(raw[i]);
    buffer[1 + 2 * i] = static_cast<std::uint8_t>('A' + (c >> 4));
    buffer[2 + 2 * i] = static_cast<std::uint8_t>('A' + (c & 0x0F));
  }
  buffer[33] = 0;
  return kNbnsEncodedNameLength;
}

int nbns_extract_name(const NbnsPacketView& p, std::size_t offset, std::string* name) {
  name->clear();
  if (!p.Has(offset, 1)) return 0;
  std::size_t at = offset;
  if (p.data[at] >= 0xC0) {
    if (!p.Has(at, 2)) return 0;
    const std::size_t target = static_cast<std::size_t>(((p.data[at] & 0x3F) << 8) | p.data[at + 1]);
    const std::size_t distance = target > at ? target - at : at - target;
    if (distance > kMaxPointerDistance || !p.Has(target, 1) || p.data[target] >= 0xC0) return 0;
    at = target;
  }
  const std::size_t pairs = p.data[at] / 2;
  if (pairs < 1 || pairs > 30 || !p.Has(at + 1, 2 * pairs)) return 0;
  std::string decoded(pairs, '\0');
  for (std::size_t i = 0; i < pairs; ++i) {
    const std::uint8_t hi = p.data[at + 1 + 2 * i];
    const std::uint8_t lo = p.data[at + 2 + 2 * i];
    if (hi < 'A' || hi > 'P' || lo < 'A' || lo > 'P') return 0;
    decoded[i] = static_cast<char>(((hi - 'A') << 4) | (lo - 'A'));
  }
  *name = decoded;
  return static_cast<std::uint8_t>(decoded.back());
}

std::size_t nbns_name_length(const NbnsPacketView& p, std::size_t offset) {
  std::size_t at = offset;
  while (p.Has(at, 1) && at - offset < kMaxNameBytes) {
    const std::uint8_t b = p.data[at];
    if (b == 0) return at - offset + 1;
    if (b >= 0xC0) return p.Has(at, 2) ? at - offset + 2 : 0;
    if (b & 0xC0) return 0;  // reserved label kinds
    at += 1 + b;
  }
  return 0;
}

std::size_t nbns_parse_packet(const NbnsPacketView& p) {
  NbnsHeader h;
  if (!nbns_read_header(p, &h) || h.qdcount > kNbnsMaxQuestions) return 0;
  std::size_t offset = SkipQuestions(p, kNbnsHeaderLength, h.qdcount);
  if (offset == 0) return 0;
  const unsigned records = unsigned{h.ancount} + h.nscount + h.arcount;
  for (unsigned i = 0; i < records; ++i) {
    const std::size_t n = nbns_name_length(p, offset);
    if (n == 0 || !p.Has(offset + n, 10)) return 0;
    const std::size_t rdlength = p.U16(offset + n + 8);
    if (!p.Has(offset + n + 10, rdlength)) return 0;
    offset += n + 10 + rdlength;
  }
  return offset;
}

std::string nbns_trim_name(const std::string& name) {
  std::string s = name.substr(0, 15);
  const std::size_t zero = s.find('\0');
  if (zero != std::string::npos) s.resize(zero);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

bool nbns_names_equal(const std::string& a, const std::string& b) {
  const std::string x = nbns_trim_name(a);
  const std::string y = nbns_trim_name(b);
  if (x.size() != y.size()) return false;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (UpperByte(static_cast<std::uint8_t>(x[i])) != UpperByte(static_cast<std::uint8_t>(y[i]))) {
      return false;
    }
  }
  return true;
}

std::vector<std::uint8_t> nbns_build_name_request(NbnsNameRequest kind, std::uint16_t trn_id, const std::string& name,
                                                  std::uint8_t type, std::uint32_t address) {
  const unsigned b2 = kind == NbnsNameRequest::Registration ? 0x29 : kind == NbnsNameRequest::Refresh ? 0x48 : 0x30;
  Writer w;
  w.Header(trn_id, b2, 0x10, 1, 0, 0, 1);
  w.Name(name, type);
  w.U16(kNbnsTypeNb);
  w.U16(1);
  w.U16(0xC00C);
  w.U16(kNbnsTypeNb);
  w.U16(1);
  w.U32(kind == NbnsNameRequest::Release ? 0 : 300000);
  w.U16(6);
  w.U16(0);
  w.Address(address);
  return w.Take();
}

std::vector<std::uint8_t> nbns_build_name_query(std::uint16_t trn_id, const std::string& name, std::uint8_t type,
                                                bool broadcast) {
  Writer w;
  w.Header(trn_id, 0x01, broadcast ? 0x10 : 0x00, 1, 0, 0, 0);
  w.Name(name, type);
  w.U16(kNbnsTypeNb);
  w.U16(1);
  return w.Take();
}

std::vector<std::uint8_t> nbns_build_node_status_request(std::uint16_t trn_id, const std::string& name,
                                                         std::uint8_t type) {
  Writer w;
  w.Header(trn_id, 0x00, 0x00, 1, 0, 0, 0);
  w.Name(name, type);
  w.U16(kNbnsTypeNbstat);
  w.U16(1);
  return w.Take();
}

std::vector<std::uint8_t> nbns_build_query_response(std::uint16_t trn_id, NbnsQuestionName question,
                                                    std::uint32_t address) {
  Writer w;
  w.Header(trn_id, 0x85, 0x00, 0, 1, 0, 0);
  NbAnswer(w, question, 0, 0, address);
  return w.Take();
}

std::vector<std::uint8_t> nbns_build_registration_response(std::uint16_t trn_id, bool positive,
                                                           NbnsQuestionName question, std::uint32_t ttl,
                                                           std::uint16_t nb_flags, std::uint32_t address) {
  Writer w;
  w.Header(trn_id, 0xAD, positive ? 0x80 : 0x86, 0, 1, 0, 0);
  NbAnswer(w, question, positive ? ttl : 0, nb_flags, address);
  return w.Take();
}

std::vector<std::uint8_t> nbns_build_release_response(std::uint16_t trn_id, bool positive, NbnsQuestionName question,
                                                      std::uint16_t nb_flags, std::uint32_t address) {
  Writer w;
  w.Header(trn_id, 0xB4, positive ? 0x00 : 0x05, 0, 1, 0, 0);
  NbAnswer(w, question, 0, nb_flags, address);
  return w.Take();
}

std::vector<std::uint8_t> nbns_build_node_status_response(std::uint16_t trn_id, NbnsQuestionName question,
                                                          const std::vector<NbnsStatusName>& names,
                                                          const NbnsNodeStatistics& statistics) {
  Writer w;
  w.Header(trn_id, 0x84, 0x00, 0, 1, 0, 0);
  w.Bytes(question.bytes, question.length);
  w.U16(kNbnsTypeNbstat);
  w.U16(1);
  w.U32(0);
  w.U16(static_cast<unsigned>(1 + 18 * names.size() + 46));
  w.U8(static_cast<unsigned>(names.size()));
  for (const NbnsStatusName& n : names) {
    std::uint8_t entry[18] = {};
    for (std::size_t i = 0; i < 15 && i < n.name.size(); ++i) {
      entry[i] = UpperByte(static_cast<std::uint8_t>(n.name[i]));
    }
    entry[15] = n.type;
    entry[16] = n.flags;
    w.Bytes(entry, sizeof entry);
  }
  std::uint8_t stats[46] = {};
  std::memcpy(stats, &statistics.own_address, 4);
  for (int i = 0; i < 4; ++i) {
    stats[20 + i] = static_cast<std::uint8_t>(statistics.good_sends >> (8 * i));
    stats[24 + i] = static_cast<std::uint8_t>(statistics.good_receives >> (8 * i));
  }
  w.Bytes(stats, sizeof stats);
  return w.Take();
}

std::size_t nbns_first_answer_rdlength_offset(const NbnsPacketView& p) {
  NbnsHeader h;
  if (!nbns_read_header(p, &h) || h.qdcount > kNbnsMaxQuestions || h.ancount < 1) return 0;
  const std::size_t offset = SkipQuestions(p, kNbnsHeaderLength, h.qdcount);
  if (offset == 0) return 0;
  const std::size_t n = nbns_name_length(p, offset);
  if (n == 0 || !p.Has(offset + n, 10)) return 0;
  return offset + n + 8;
}

bool nbns_read_first_address(const NbnsPacketView& p, std::uint32_t* address) {
  const std::size_t at = nbns_first_answer_rdlength_offset(p);
  if (at == 0) return false;
  const std::size_t rdlength = p.U16(at);
  if (rdlength < 6 || !p.Has(at + 2, rdlength)) return false;
  std::memcpy(address, p.data + at + 4, 4);
  return true;
}

bool nbns_read_status_names(const NbnsPacketView& p, std::vector<NbnsStatusName>* names) {
  names->clear();
  const std::size_t at = nbns_first_answer_rdlength_offset(p);
  if (at == 0) return false;
  const std::size_t rdlength = p.U16(at);
  if (rdlength < 1 || !p.Has(at + 2, rdlength)) return false;
  const std::size_t count = p.data[at + 2];
  if (1 + 18 * count > rdlength) return false;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* entry = p.data + at + 3 + 18 * i;
    std::string name(reinterpret_cast<const char*>(entry), 15);
    names->push_back({nbns_trim_name(name), entry[15], entry[16]});
  }
  return true;
}

}  // namespace Torvex
