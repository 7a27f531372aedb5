/* liblxi against the test instrument: connect, send "*IDN?", receive the identity; twice, and with two
 * sessions open at once. */
#include <lxi.h>
#include <stdio.h>
#include <string.h>

static int query(int device, const char* what) {
  char reply[256];
  if (lxi_send(device, "*IDN?", 5, 3000) < 0) {
    printf("FAIL %s: send\n", what);
    return 1;
  }
  int n = lxi_receive(device, reply, sizeof reply - 1, 3000);
  if (n <= 0) {
    printf("FAIL %s: receive\n", what);
    return 1;
  }
  reply[n] = '\0';
  if (strncmp(reply, "TORVEX,VXI11-TEST,", 18) != 0) {
    printf("FAIL %s: got %s\n", what, reply);
    return 1;
  }
  printf("PASS %s: %s", what, reply);
  return 0;
}

int main(void) {
  lxi_init();
  int first = lxi_connect("127.0.0.1", 0, "inst0", 3000, VXI11);
  if (first == LXI_ERROR) {
    printf("FAIL connect\n");
    return 1;
  }
  int failures = query(first, "first query") + query(first, "second query");
  int second = lxi_connect("127.0.0.1", 0, "inst0", 3000, VXI11);
  if (second == LXI_ERROR) {
    printf("FAIL second connect\n");
    return 1;
  }
  failures += query(second, "second session");
  failures += query(first, "first session again");
  lxi_disconnect(second);
  lxi_disconnect(first);
  return failures == 0 ? 0 : 1;
}
