// Feeds datagrams to the name server's packet reading and to its answer logic (construct_reply),
// with the server's state set up as a start sets it; answers go to a loopback socket and are dropped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "netservices/nbns_packet.h"
#include "netservices/nbns_state.h"

using namespace Torvex;

namespace {

int BoundLoopbackSocket() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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

struct Setup {
  int server = BoundLoopbackSocket();
  int sink = BoundLoopbackSocket();
  Setup() {
    g_NbnsNameSocket.store(server);
    g_NbnsNamePort = PortOf(sink);
    g_NbnsOwnAddress = inet_addr("127.0.0.1");
    g_NbnsNetmask = inet_addr("255.0.0.0");
    g_NbnsBroadcast = inet_addr("127.255.255.255");
    g_NbnsHostName = "TORVEX";
  }
};

void ResetTable() {
  nbns_clear_names();
  nbns_add_group_name("WORKGROUP", g_NbnsBroadcast);
  for (int type : {0x20, 0x00, 0x03}) nbns_add_name("TORVEX", type, g_NbnsOwnAddress);
}

void Drain(int fd) {
  std::uint8_t buffer[2048];
  while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup setup;
  const NbnsPacketView view{data, size};
  const std::size_t length = nbns_parse_packet(view);
  if (length > size) std::abort();
  for (std::size_t offset = 0; offset <= size; ++offset) {
    std::string name;
    const int type = nbns_extract_name(view, offset, &name);
    if (name.size() > 30 || (name.empty() && type != 0)) std::abort();
  }
  std::uint32_t address = 0;
  nbns_read_first_address(view, &address);
  std::vector<NbnsStatusName> names;
  if (nbns_read_status_names(view, &names) && names.size() > 255) std::abort();

  ResetTable();
  g_NbnsLastSource = {inet_addr("127.0.0.1"), PortOf(setup.sink)};
  construct_reply(data, size);
  Drain(setup.sink);
  if (g_NbnsNameTable.size() > kNbnsMaxNames) std::abort();
  return 0;
}
