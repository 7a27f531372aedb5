// The address the name server answers with: the interface address in use, as the network
// configuration publishes it in the parameter tree (comm_parms/ethernet/ip_address and net_mask).
#pragma once

#include <cstdint>

namespace Torvex {

struct NbnsInterfaceAddress {
  bool up;                // an address is configured
  std::uint32_t address;  // network byte order
  std::uint32_t netmask;  // network byte order; 0 when none is published
};

NbnsInterfaceAddress nbns_read_interface_address();

}  // namespace Torvex
