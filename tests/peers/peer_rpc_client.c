/*
 * A VXI-11 client built from the peer tests' own RPC description (rpcgen stubs, libtirpc).
 *
 *   peer_rpc_client abort        a device_read blocked on an empty device is aborted: error 23
 *   peer_rpc_client srq tcp|udp  a service request after *SRE and *OPC reaches our interrupt server
 *   peer_rpc_client locks        two links, device_lock with lock_timeout, release by unlock
 *   peer_rpc_client docmd        device_docmd is answered error 8 (not supported)
 *   peer_rpc_client authunix     create_link, write and read with AUTH_UNIX credentials
 *
 * Prints "PASS <what>" and exits 0, or "FAIL <what>: <why>" and exits 1.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <rpc/rpc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "peer_vxi11.h"

static const char* g_host = "127.0.0.1";

static void fail(const char* what, const char* why) {
  printf("FAIL %s: %s\n", what, why);
  fflush(stdout);
  exit(1);
}

static CLIENT* core_client(const char* what) {
  CLIENT* client = clnt_create(g_host, PEER_CORE_PROG, PEER_CORE_VERS, "tcp");
  if (client == NULL) fail(what, clnt_spcreateerror("clnt_create"));
  struct timeval limit = {20, 0};
  clnt_control(client, CLSET_TIMEOUT, (char*)&limit);
  return client;
}

static PeerCreateResult create_link(CLIENT* client, const char* what, bool_t lock_device, unsigned long lock_timeout) {
  PeerCreateArgs args;
  PeerCreateResult result;
  memset(&args, 0, sizeof args);
  memset(&result, 0, sizeof result);
  args.client_id = 1;
  args.lock_device = lock_device;
  args.lock_timeout = lock_timeout;
  args.device_name = (char*)"inst0";
  if (peer_create_link_1(&args, &result, client) != RPC_SUCCESS) fail(what, clnt_sperror(client, "create_link"));
  return result;
}

static long write_text(CLIENT* client, PeerLinkId lid, const char* text, const char* what) {
  PeerWriteArgs args;
  PeerWriteResult result;
  memset(&args, 0, sizeof args);
  memset(&result, 0, sizeof result);
  args.lid = lid;
  args.io_timeout = 5000;
  args.flags = 8; /* END */
  args.data.data_len = (u_int)strlen(text);
  args.data.data_val = (char*)text;
  if (peer_write_1(&args, &result, client) != RPC_SUCCESS) fail(what, clnt_sperror(client, "device_write"));
  return result.error;
}

static long read_text(CLIENT* client, PeerLinkId lid, unsigned long io_timeout, char* out, size_t size,
                      const char* what) {
  PeerReadArgs args;
  PeerReadResult result;
  memset(&args, 0, sizeof args);
  memset(&result, 0, sizeof result);
  args.lid = lid;
  args.request_size = 1024;
  args.io_timeout = io_timeout;
  if (peer_read_1(&args, &result, client) != RPC_SUCCESS) fail(what, clnt_sperror(client, "device_read"));
  if (out != NULL) {
    size_t n = result.data.data_len < size - 1 ? result.data.data_len : size - 1;
    memcpy(out, result.data.data_val, n);
    out[n] = '\0';
  }
  long error = result.error;
  xdr_free((xdrproc_t)xdr_PeerReadResult, (char*)&result);
  return error;
}

static double now_s(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

/* ---- abort ---- */

struct blocked_read {
  CLIENT* client;
  PeerLinkId lid;
  long error;
  double seconds;
  volatile int done;
};

static void* read_blocked(void* data) {
  struct blocked_read* r = data;
  double start = now_s();
  r->error = read_text(r->client, r->lid, 15000, NULL, 0, "abort");
  r->seconds = now_s() - start;
  __atomic_store_n(&r->done, 1, __ATOMIC_SEQ_CST);
  return NULL;
}

static void test_abort(void) {
  CLIENT* core = core_client("abort");
  PeerCreateResult link = create_link(core, "abort", 0, 0);
  if (link.error != 0 || link.abort_port == 0) fail("abort", "create_link refused");
  /* Nothing was asked: the read waits for a response that never comes. */
  struct blocked_read r = {core, link.lid, -1, 0, 0};
  pthread_t reader;
  pthread_create(&reader, NULL, read_blocked, &r);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(link.abort_port);
  inet_pton(AF_INET, g_host, &address.sin_addr);
  int sock = RPC_ANYSOCK;
  CLIENT* abort_client = clnttcp_create(&address, PEER_ABORT_PROG, PEER_ABORT_VERS, &sock, 0, 0);
  if (abort_client == NULL) fail("abort", clnt_spcreateerror("abort channel"));
  /* An abort that comes before the read waits has no effect: abort until the read has ended. */
  PeerErrorResult aborted;
  PeerLinkId lid = link.lid;
  double give_up = now_s() + 10;
  while (!__atomic_load_n(&r.done, __ATOMIC_SEQ_CST) && now_s() < give_up) {
    usleep(100 * 1000);
    memset(&aborted, 0, sizeof aborted);
    if (peer_abort_1(&lid, &aborted, abort_client) != RPC_SUCCESS) fail("abort", clnt_sperror(abort_client, "abort"));
    if (aborted.error != 0) fail("abort", "device_abort not answered 0");
  }
  pthread_join(reader, NULL);
  if (r.error != 23) {
    char why[80];
    snprintf(why, sizeof why, "blocked read answered %ld, not 23", r.error);
    fail("abort", why);
  }
  if (r.seconds > 10) fail("abort", "the read ran into its own time-out");
  PeerLinkId other = link.lid + 1000;
  if (peer_abort_1(&other, &aborted, abort_client) != RPC_SUCCESS || aborted.error != 4)
    fail("abort", "abort of an unknown link not answered 4");
  clnt_destroy(abort_client);
  clnt_destroy(core);
  printf("PASS abort (blocked read ended with 23 after %.2f s)\n", r.seconds);
}

/* ---- service request through our interrupt server ---- */

static volatile int g_srq_count = 0;
static char g_srq_handle[41];

static void intr_dispatch(struct svc_req* request, SVCXPRT* transport) {
  if (request->rq_proc != 30) {
    svcerr_noproc(transport);
    return;
  }
  PeerSrqArgs args;
  memset(&args, 0, sizeof args);
  if (!svc_getargs(transport, (xdrproc_t)xdr_PeerSrqArgs, (caddr_t)&args)) {
    svcerr_decode(transport);
    return;
  }
  size_t n = args.handle.handle_len < 40 ? args.handle.handle_len : 40;
  memcpy(g_srq_handle, args.handle.handle_val, n);
  g_srq_handle[n] = '\0';
  g_srq_count++;
  svc_sendreply(transport, (xdrproc_t)xdr_void, NULL);
  svc_freeargs(transport, (xdrproc_t)xdr_PeerSrqArgs, (caddr_t)&args);
}

static void test_srq(int udp) {
  const char* what = udp ? "srq udp" : "srq tcp";
  SVCXPRT* transport = udp ? svcudp_create(RPC_ANYSOCK) : svctcp_create(RPC_ANYSOCK, 0, 0);
  if (transport == NULL) fail(what, "interrupt server");
  /* Protocol 0: served without a portmapper registration; the server is told the port directly. */
  if (!svc_register(transport, PEER_INTR_PROG, PEER_INTR_VERS, intr_dispatch, 0)) fail(what, "svc_register");
  CLIENT* core = core_client(what);
  PeerCreateResult link = create_link(core, what, 0, 0);
  if (link.error != 0) fail(what, "create_link refused");
  PeerIntrChanArgs chan;
  memset(&chan, 0, sizeof chan);
  chan.host_addr = 0x7F000001;
  chan.host_port = transport->xp_port;
  chan.prog_num = PEER_INTR_PROG;
  chan.prog_vers = PEER_INTR_VERS;
  chan.prog_family = udp ? PEER_FAMILY_UDP : PEER_FAMILY_TCP;
  PeerErrorResult result;
  memset(&result, 0, sizeof result);
  if (peer_create_intr_chan_1(&chan, &result, core) != RPC_SUCCESS || result.error != 0)
    fail(what, "create_intr_chan refused");
  PeerSrqEnableArgs enable;
  memset(&enable, 0, sizeof enable);
  enable.lid = link.lid;
  enable.enable = 1;
  enable.handle.handle_len = 7;
  enable.handle.handle_val = (char*)"peer-42";
  if (peer_enable_srq_1(&enable, &result, core) != RPC_SUCCESS || result.error != 0)
    fail(what, "device_enable_srq refused");
  if (write_text(core, link.lid, "*CLS;*ESE 1;*SRE 32\n", what) != 0) fail(what, "write *SRE refused");
  if (write_text(core, link.lid, "*OPC\n", what) != 0) fail(what, "write *OPC refused");
  double deadline = now_s() + 10;
  while (g_srq_count == 0 && now_s() < deadline) {
    fd_set fds = svc_fdset;
    struct timeval wait = {0, 100000};
    if (select(FD_SETSIZE, &fds, NULL, NULL, &wait) > 0) svc_getreqset(&fds);
  }
  if (g_srq_count == 0) fail(what, "no device_intr_srq arrived");
  if (strcmp(g_srq_handle, "peer-42") != 0) fail(what, "wrong handle");
  PeerGenericArgs generic;
  memset(&generic, 0, sizeof generic);
  generic.lid = link.lid;
  generic.io_timeout = 2000;
  PeerStbResult stb;
  memset(&stb, 0, sizeof stb);
  if (peer_readstb_1(&generic, &stb, core) != RPC_SUCCESS || stb.error != 0) fail(what, "readstb");
  if ((stb.stb & 0x60) != 0x60) fail(what, "status byte without RQS and ESB");
  if (peer_destroy_intr_chan_1(NULL, &result, core) != RPC_SUCCESS || result.error != 0)
    fail(what, "destroy_intr_chan");
  if (peer_destroy_intr_chan_1(NULL, &result, core) != RPC_SUCCESS || result.error != 6)
    fail(what, "second destroy_intr_chan not answered 6");
  clnt_destroy(core);
  svc_unregister(PEER_INTR_PROG, PEER_INTR_VERS);
  svc_destroy(transport);
  printf("PASS %s (handle %s, status byte 0x%02X)\n", what, g_srq_handle, stb.stb);
}

/* ---- two links and the device lock ---- */

static long lock(CLIENT* client, PeerLinkId lid, int waitlock, unsigned long lock_timeout, const char* what) {
  PeerLockArgs args = {lid, waitlock ? 1 : 0, lock_timeout};
  PeerErrorResult result;
  memset(&result, 0, sizeof result);
  if (peer_lock_1(&args, &result, client) != RPC_SUCCESS) fail(what, clnt_sperror(client, "device_lock"));
  return result.error;
}

static void test_locks(void) {
  const char* what = "locks";
  CLIENT* first = core_client(what);
  CLIENT* second = core_client(what);
  PeerCreateResult a = create_link(first, what, 0, 0);
  PeerCreateResult b = create_link(second, what, 0, 0);
  if (a.error != 0 || b.error != 0 || a.lid == b.lid) fail(what, "two links");
  if (lock(first, a.lid, 0, 0, what) != 0) fail(what, "first lock refused");
  if (lock(first, a.lid, 0, 0, what) != 11) fail(what, "second lock by the holder not answered 11");
  double start = now_s();
  long error = lock(second, b.lid, 1, 400, what);
  double waited = now_s() - start;
  /* A lock still held by another link when lock_timeout is up: "device locked by another link" (11). */
  if (error != 11) {
    char why[80];
    snprintf(why, sizeof why, "lock held elsewhere answered %ld, not 11", error);
    fail(what, why);
  }
  if (waited < 0.3) fail(what, "lock_timeout not waited");
  /* A write through the other link, waiting for the lock, is refused the same way. */
  PeerWriteArgs w;
  PeerWriteResult wr;
  memset(&w, 0, sizeof w);
  memset(&wr, 0, sizeof wr);
  w.lid = b.lid;
  w.io_timeout = 1000;
  w.lock_timeout = 200;
  w.flags = 1 | 8;
  w.data.data_len = 5;
  w.data.data_val = (char*)"*CLS\n";
  if (peer_write_1(&w, &wr, second) != RPC_SUCCESS || wr.error != 11)
    fail(what, "write under a foreign lock not answered 11");
  PeerLinkId lid = a.lid;
  PeerErrorResult result;
  memset(&result, 0, sizeof result);
  if (peer_unlock_1(&lid, &result, first) != RPC_SUCCESS || result.error != 0) fail(what, "unlock");
  if (peer_unlock_1(&lid, &result, first) != RPC_SUCCESS || result.error != 12) fail(what, "unlock without lock");
  if (lock(second, b.lid, 1, 400, what) != 0) fail(what, "lock after release refused");
  /* A link created with lockDevice waits lock_timeout for the lock and is refused. */
  PeerCreateResult c = create_link(first, what, 1, 300);
  if (c.error != 11) fail(what, "create_link with lockDevice while locked not answered 11");
  lid = b.lid;
  peer_destroy_link_1(&lid, &result, second);
  lid = a.lid;
  peer_destroy_link_1(&lid, &result, first);
  clnt_destroy(first);
  clnt_destroy(second);
  printf("PASS locks (foreign lock refused after %.2f s)\n", waited);
}

/* ---- docmd and AUTH_UNIX ---- */

static void test_docmd(void) {
  CLIENT* core = core_client("docmd");
  PeerCreateResult link = create_link(core, "docmd", 0, 0);
  PeerDocmdArgs args;
  PeerDocmdResult result;
  memset(&args, 0, sizeof args);
  memset(&result, 0, sizeof result);
  args.lid = link.lid;
  args.cmd = 0x20000;
  args.data_size = 1;
  args.data_in.data_in_len = 1;
  args.data_in.data_in_val = (char*)"\x01";
  if (peer_docmd_1(&args, &result, core) != RPC_SUCCESS) fail("docmd", clnt_sperror(core, "docmd"));
  if (result.error != 8 || result.data_out.data_out_len != 0) fail("docmd", "not error 8 with empty data");
  clnt_destroy(core);
  printf("PASS docmd\n");
}

static void test_authunix(void) {
  CLIENT* core = core_client("authunix");
  auth_destroy(core->cl_auth);
  core->cl_auth = authunix_create_default();
  PeerCreateResult link = create_link(core, "authunix", 0, 0);
  if (link.error != 0) fail("authunix", "create_link refused");
  if (write_text(core, link.lid, "*IDN?\n", "authunix") != 0) fail("authunix", "write refused");
  char reply[256];
  if (read_text(core, link.lid, 5000, reply, sizeof reply, "authunix") != 0) fail("authunix", "read refused");
  if (strncmp(reply, "TORVEX,", 7) != 0) fail("authunix", "unexpected identity");
  clnt_destroy(core);
  printf("PASS authunix (%.*s)\n", (int)strcspn(reply, "\n"), reply);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s abort|srq tcp|srq udp|locks|docmd|authunix\n", argv[0]);
    return 2;
  }
  if (strcmp(argv[1], "abort") == 0) test_abort();
  else if (strcmp(argv[1], "srq") == 0 && argc > 2) test_srq(strcmp(argv[2], "udp") == 0);
  else if (strcmp(argv[1], "locks") == 0) test_locks();
  else if (strcmp(argv[1], "docmd") == 0) test_docmd();
  else if (strcmp(argv[1], "authunix") == 0) test_authunix();
  else return 2;
  return 0;
}
