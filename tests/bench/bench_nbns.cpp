// Name server figures: reading a received packet, answering a query (construct_reply, answer sent
// over loopback), and a query's round trip through the running server thread.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "netservices/nbns.h"
#include "netservices/nbns_packet.h"
#include "netservices/nbns_state.h"
#include "platform/kernel.h"
#include "tree/BoundParameterNodes.h"
#include "tree/CParameterNode.h"

using namespace Torvex;

namespace {

int LoopbackSocket() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = inet_addr("127.0.0.1");
  bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  return fd;
}

std::uint16_t PortOf(int fd) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
  return ntohs(local.sin_port);
}

void BM_NbnsParseRegistration(benchmark::State& state) {
  const auto packet = nbns_build_name_request(NbnsNameRequest::Registration, 1, "TORVEX", 0x20, inet_addr("10.0.0.5"));
  for (auto _ : state) {
    const NbnsPacketView view{packet.data(), packet.size()};
    std::string name;
    benchmark::DoNotOptimize(nbns_parse_packet(view));
    benchmark::DoNotOptimize(nbns_extract_name(view, 12, &name));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NbnsParseRegistration);

void BM_NbnsAnswerQuery(benchmark::State& state) {
  const int server = LoopbackSocket();
  const int sink = LoopbackSocket();
  g_NbnsNameSocket.store(server);
  g_NbnsOwnAddress = inet_addr("127.0.0.1");
  g_NbnsBroadcast = inet_addr("127.255.255.255");
  g_NbnsHostName = "TORVEX";
  g_NbnsLastSource = {inet_addr("127.0.0.1"), PortOf(sink)};
  nbns_clear_names();
  nbns_add_group_name("WORKGRP", g_NbnsBroadcast);
  for (int type : {0x20, 0x00, 0x03}) nbns_add_name("TORVEX", type, g_NbnsOwnAddress);
  const auto query = nbns_build_name_query(1, "TORVEX", 0x20, true);
  std::uint8_t buffer[1024];
  for (auto _ : state) {
    construct_reply(query.data(), query.size());
    benchmark::DoNotOptimize(recv(sink, buffer, sizeof buffer, 0));
  }
  state.SetItemsProcessed(state.iterations());
  g_NbnsNameSocket.store(-1);
  nbns_clear_names();
  close(server);
  close(sink);
}
BENCHMARK(BM_NbnsAnswerQuery);

void BM_NbnsServerRoundTrip(benchmark::State& state) {
  platform::kernel::SetTickMicroseconds(1000);
  auto root = std::make_unique<CParameterNode>("root", eNodeType::Branch);
  CParameterNode* node = nullptr;
  root->FindOrCreateNode("comm_parms/ethernet/ip_address", eNodeType::String, &node);
  node->SetStringAttribute(eAttrValue, "127.0.0.1");
  g_node_comm_parms_ethernet_ip_address = node;
  root->FindOrCreateNode("comm_parms/ethernet/net_mask", eNodeType::String, &node);
  node->SetStringAttribute(eAttrValue, "255.0.0.0");
  g_node_comm_parms_ethernet_net_mask = node;
  nbns_set_ports(0, 0);
  if (nbns_start("TORVEX", "WORKGRP", "") != kNbnsStartRegistered) {
    state.SkipWithError("the server did not start");
    return;
  }
  const int client = LoopbackSocket();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(nbns_bound_name_port());
  to.sin_addr.s_addr = inet_addr("127.0.0.1");
  std::uint16_t id = 0;
  std::int64_t lost = 0;
  std::uint8_t buffer[1024];
  for (auto _ : state) {
    const auto query = nbns_build_name_query(++id, "TORVEX", 0x20, false);
    sendto(client, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    // The browse step may hold the server up to 0.75 s; wait for this query's answer.
    for (;;) {
      pollfd fd{client, POLLIN, 0};
      if (poll(&fd, 1, 2000) <= 0) {
        ++lost;
        break;
      }
      const ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n >= 2 && ((buffer[0] << 8) | buffer[1]) == id) break;
    }
  }
  state.counters["lost"] = static_cast<double>(lost);
  state.SetItemsProcessed(state.iterations());
  nbns_stop();
  close(client);
  g_node_comm_parms_ethernet_ip_address = nullptr;
  g_node_comm_parms_ethernet_net_mask = nullptr;
}
BENCHMARK(BM_NbnsServerRoundTrip)->Unit(benchmark::kMicrosecond)->Iterations(2000);

}  // namespace
