// Master-browser discovery and host announcements of the name server, and the two client queries
// they use. Everything here runs on the server thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "netservices/nbns_state.h"

namespace Torvex {

// Receives the datagrams a query reads that are not its answer.
using NbnsPacketHandler = void (*)(const std::uint8_t* packet, std::size_t length);

// Browse state back to its start values (the query identifiers are kept).
void nbns_browse_reset();
// The browse step of the receive loop: at most every 10 s, for each group name.
void do_browse_hook();
void nbns_send_host_announcement(NbnsNameRecord& entry, const std::string& host_name, const std::string& comment);
// The host announcement datagram for one call that sends.
std::vector<std::uint8_t> nbns_build_host_announcement(std::uint16_t datagram_id, std::uint16_t source_port,
                                                       const std::string& host_name, const std::string& workgroup,
                                                       const std::string& comment, unsigned interval);
// Name query to `address` (network order) on the name-service port; 1 with *answer set when answered.
int nbns_query_name(const std::string& name, std::uint8_t type, bool broadcast, std::uint32_t address,
                    std::uint32_t* answer, NbnsPacketHandler handler);
// Node status query; 1 when answered, with the last listed name of type 0x1D in *name_out.
int nbns_query_node_status(const std::string& name, std::uint8_t type, std::uint32_t address, NbnsPacketHandler handler,
                           std::string* name_out);

}  // namespace Torvex
