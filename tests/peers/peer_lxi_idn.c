/* Asks *IDN? of the instrument at an address with liblxi, as a user on the network would (portmapper,
 * create_link, device_write, device_read), and prints the answer.
 *
 *   peer_lxi_idn ADDRESS
 *
 * Exit 0 when an identity of four comma-separated fields came back, 1 otherwise. */
#include <lxi.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: peer_lxi_idn ADDRESS\n");
    return 2;
  }
  lxi_init();
  int device = lxi_connect(argv[1], 0, "inst0", 5000, VXI11);
  if (device == LXI_ERROR) {
    printf("no VXI-11 link to %s\n", argv[1]);
    return 1;
  }
  char reply[256];
  int n = -1;
  if (lxi_send(device, "*IDN?", 5, 5000) >= 0) n = lxi_receive(device, reply, sizeof reply - 1, 5000);
  lxi_disconnect(device);
  if (n <= 0) {
    printf("no answer to *IDN? from %s\n", argv[1]);
    return 1;
  }
  reply[n] = '\0';
  printf("%s", reply);
  int commas = 0;
  for (const char* c = reply; *c != '\0'; ++c) commas += *c == ',';
  return commas == 3 ? 0 : 1;
}
