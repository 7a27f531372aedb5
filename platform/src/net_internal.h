// Shared by the network support's units (net.cpp, net_dhcp.cpp, net_linux.cpp).
#pragma once

#include <cstdint>

#include "platform/net.h"

namespace platform::net {

Backend* CurrentBackend();
// Class mask of a network-order address.
std::uint32_t ClassMask(std::uint32_t address);

}  // namespace platform::net
