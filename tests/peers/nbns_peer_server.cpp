// A small program running the name server for the peer tests: it publishes 127.0.0.1 as the
// interface address, starts the server with the host name and workgroup of its arguments and
// prints "started <status>". Commands on standard input: "rename <name>" stops the server and
// starts it under the new name; "stop" (or the end of the input) stops it and prints
// "stopped <status>".
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "netservices/nbns.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

using namespace Torvex;

namespace {

void Publish(CParameterNode& root, const char* path, const char* value, CParameterNode** bound) {
  CParameterNode* node = nullptr;
  root.FindOrCreateNode(path, eNodeType::String, &node);
  node->SetStringAttribute(eAttrValue, value);
  *bound = node;
}

void Report(const char* what, unsigned status) {
  std::printf("%s %u\n", what, status);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <host name> <workgroup> [name port] [datagram port]\n", argv[0]);
    return 2;
  }
  auto root = std::make_unique<CParameterNode>("root", eNodeType::Branch);
  Publish(*root, "comm_parms/ethernet/ip_address", "127.0.0.1", &g_node_comm_parms_ethernet_ip_address);
  Publish(*root, "comm_parms/ethernet/net_mask", "255.0.0.0", &g_node_comm_parms_ethernet_net_mask);
  if (argc >= 5) {
    nbns_set_ports(static_cast<std::uint16_t>(std::stoi(argv[3])), static_cast<std::uint16_t>(std::stoi(argv[4])));
  }
  const std::string workgroup = argv[2];
  const std::string comment = "Torvex peer test";
  Report("started", nbns_start(argv[1], workgroup, comment));
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.rfind("rename ", 0) == 0) {
      Report("stopped", nbns_stop());
      Report("started", nbns_start(line.substr(7), workgroup, comment));
    } else if (line == "stop") {
      break;
    }
  }
  Report("stopped", nbns_stop());
  g_node_comm_parms_ethernet_ip_address = nullptr;
  g_node_comm_parms_ethernet_net_mask = nullptr;
  return 0;
}
