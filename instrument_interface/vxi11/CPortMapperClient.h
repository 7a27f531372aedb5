// Client of the local ONC RPC portmapper (program 100000 version 2) over TCP: SET, UNSET, GETPORT.
#pragma once

#include <cstdint>

class CPortMapperClient {
 public:
  static constexpr std::uint32_t kXid = 10502;
  static constexpr std::uint32_t kCallLength = 60;  // with the record mark

  explicit CPortMapperClient(std::uint32_t address = 0x7F000001, std::uint16_t port = 111)
      : address_(address), port_(port) {}

  // Builds the 60-byte call (record mark included) in the message buffer.
  void PortMapperCall(std::uint32_t xid, std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                      const std::uint32_t mapping[4]);
  const std::uint8_t* Message() const { return message_; }
  std::uint32_t MessageLength() const { return length_; }

  // One exchange; the result word of the reply, or 0 with a non-zero status:
  // kVxi11StatusPortMapperNotPresent when nothing answers on the portmapper's port, kVxi11StatusSocketError for any
  // other failure.
  std::uint32_t Exchange(std::uint32_t proc, const std::uint32_t mapping[4], std::uint32_t* status);

  std::uint32_t Address() const { return address_; }
  std::uint16_t Port() const { return port_; }

 private:
  std::uint32_t address_;
  std::uint16_t port_;
  std::uint32_t length_ = 0;
  std::uint8_t message_[64] = {};
};

// The port the portmapper holds for the mapping (0 when none) with status 0; kVxi11StatusPortMapperNotPresent when no
// portmapper
// answers, kVxi11StatusSocketError on any other failure.
std::uint16_t PortMapperGetPort(CPortMapperClient* client, std::uint32_t prog, std::uint32_t vers, std::uint32_t prot,
                                std::uint32_t* status);
void PortMapperUnset(CPortMapperClient* client, std::uint32_t prog, std::uint32_t vers, std::uint16_t port,
                     std::uint32_t* status);
void PortMapperSet(CPortMapperClient* client, std::uint32_t prog, std::uint32_t vers, std::uint32_t prot,
                   std::uint16_t port, std::uint32_t* status);
