// NetBIOS name-service packets: name encoding and decoding, packet length, and the builders of every
// packet the name server sends. Every read of a received packet is bounded by its received length.
//
// Addresses are IPv4 addresses in network byte order (as in sockaddr_in) everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Torvex {

inline constexpr std::size_t kNbnsHeaderLength = 12;
inline constexpr std::size_t kNbnsEncodedNameLength = 34;
inline constexpr std::size_t kNbnsMaxDatagram = 1024;
inline constexpr unsigned kNbnsMaxQuestions = 100;

// OPCODE values.
inline constexpr unsigned kNbnsOpQuery = 0;
inline constexpr unsigned kNbnsOpRegistration = 5;
inline constexpr unsigned kNbnsOpRelease = 6;
inline constexpr unsigned kNbnsOpRefresh = 8;
inline constexpr unsigned kNbnsOpRefreshAlt = 9;

// Question and record types.
inline constexpr std::uint16_t kNbnsTypeNb = 0x0020;
inline constexpr std::uint16_t kNbnsTypeNbstat = 0x0021;

// A view of a received datagram; every accessor is bounded by `length`.
struct NbnsPacketView {
  const std::uint8_t* data;
  std::size_t length;

  bool Has(std::size_t offset, std::size_t count) const { return offset <= length && count <= length - offset; }
  std::uint16_t U16(std::size_t offset) const {  // caller checked Has(offset, 2)
    return static_cast<std::uint16_t>((data[offset] << 8) | data[offset + 1]);
  }
  std::uint32_t U32(std::size_t offset) const {  // caller checked Has(offset, 4)
    return (static_cast<std::uint32_t>(U16(offset)) << 16) | U16(offset + 2);
  }
};

// Header fields of a view of at least 12 bytes.
struct NbnsHeader {
  std::uint16_t trn_id;
  bool response;      // R
  unsigned opcode;    // 0-15
  unsigned nm_flags;  // AA, TC, RD of byte 2 (bits 2-0) and RA, B of byte 3 (bits 7 and 4)
  bool broadcast;     // B
  unsigned rcode;
  std::uint16_t qdcount, ancount, nscount, arcount;
};
// False when the view is shorter than a header.
bool nbns_read_header(const NbnsPacketView& packet, NbnsHeader* header);

// The 34-byte first-level encoding of `name` with `type` (no scope) into `buffer`; returns 34.
std::size_t nbns_encode_name(const std::string& name, std::uint8_t* buffer, std::uint8_t type);

// Decodes the name at `offset`, following one compression pointer that lands within 50 bytes of
// itself. Returns the type (the last decoded byte); a malformed name or one that runs past the
// packet gives an empty name and type 0.
int nbns_extract_name(const NbnsPacketView& packet, std::size_t offset, std::string* name);

// Bytes a name occupies at `offset` (2 for a pointer, else its labels and the zero byte), or 0 when
// its labels run past the packet or a label length is not a plain length.
std::size_t nbns_name_length(const NbnsPacketView& packet, std::size_t offset);

// Length of the packet as its counts describe it; 0 when the header is short, QDCOUNT exceeds 100 or
// a question or record runs past the received bytes.
std::size_t nbns_parse_packet(const NbnsPacketView& packet);

// The comparable form of a name: its first 15 bytes, cut at a zero byte, trailing spaces removed.
std::string nbns_trim_name(const std::string& name);
// Names compared on their trimmed form, ignoring case.
bool nbns_names_equal(const std::string& a, const std::string& b);

// --- packets the server sends ----------------------------------------------------------------------

enum class NbnsNameRequest { Registration, Refresh, Release };
// Registration, refresh or release request for `name` of `type` carrying `address` (broadcast).
std::vector<std::uint8_t> nbns_build_name_request(NbnsNameRequest kind, std::uint16_t trn_id, const std::string& name,
                                                  std::uint8_t type, std::uint32_t address);
std::vector<std::uint8_t> nbns_build_name_query(std::uint16_t trn_id, const std::string& name, std::uint8_t type,
                                                bool broadcast);
std::vector<std::uint8_t> nbns_build_node_status_request(std::uint16_t trn_id, const std::string& name,
                                                         std::uint8_t type);

// The answer record of a response repeats the request's question name as received: `question` and
// `question_length` are those raw bytes (from a packet nbns_parse_packet accepted).
struct NbnsQuestionName {
  const std::uint8_t* bytes;
  std::size_t length;
};
std::vector<std::uint8_t> nbns_build_query_response(std::uint16_t trn_id, NbnsQuestionName question,
                                                    std::uint32_t address);
std::vector<std::uint8_t> nbns_build_registration_response(std::uint16_t trn_id, bool positive,
                                                           NbnsQuestionName question, std::uint32_t ttl,
                                                           std::uint16_t nb_flags, std::uint32_t address);
std::vector<std::uint8_t> nbns_build_release_response(std::uint16_t trn_id, bool positive, NbnsQuestionName question,
                                                      std::uint16_t nb_flags, std::uint32_t address);

// One name of a node status answer.
struct NbnsStatusName {
  std::string name;
  std::uint8_t type;
  std::uint8_t flags;
};
struct NbnsNodeStatistics {
  std::uint32_t own_address;
  std::uint32_t good_sends;
  std::uint32_t good_receives;
};
std::vector<std::uint8_t> nbns_build_node_status_response(std::uint16_t trn_id, NbnsQuestionName question,
                                                          const std::vector<NbnsStatusName>& names,
                                                          const NbnsNodeStatistics& statistics);

// --- reading answers -------------------------------------------------------------------------------

// Offset of the first answer record's RDLENGTH field (after QDCOUNT questions and the record's name,
// type, class and TTL), or 0 when it does not lie within the packet.
std::size_t nbns_first_answer_rdlength_offset(const NbnsPacketView& packet);
// The first NB_ADDRESS of a name query response; false when the record holds none.
bool nbns_read_first_address(const NbnsPacketView& packet, std::uint32_t* address);
// The names listed by a node status response; false when the list does not fit its RDATA or packet.
bool nbns_read_status_names(const NbnsPacketView& packet, std::vector<NbnsStatusName>* names);

}  // namespace Torvex
