#include "netservices/nbns_interface_address.h"

#include <arpa/inet.h>

#include <string>

#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

namespace Torvex {
namespace {

bool ReadAddressNode(CParameterNode* node, std::uint32_t* address) {
  if (node == nullptr) return false;
  const std::string text = node->GetStringAttribute(eAttrValue);
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  *address = parsed.s_addr;
  return true;
}

}  // namespace

NbnsInterfaceAddress nbns_read_interface_address() {
  NbnsInterfaceAddress result{false, 0, 0};
  result.up = ReadAddressNode(g_node_comm_parms_ethernet_ip_address, &result.address) && result.address != 0;
  if (!result.up) result.address = 0;
  if (!ReadAddressNode(g_node_comm_parms_ethernet_net_mask, &result.netmask)) result.netmask = 0;
  return result;
}

}  // namespace Torvex
