/* The whole firmware over VXI-11, driven by liblxi: it answers *IDN? soon after the board reports
 * ready; a restart of the network configuration (SYSTem:COMMunicate:ETHernet:RESTart) stops the TCP/IP
 * module and starts it again, and a new link then answers; *RST restarts the firmware with the
 * settings changed since power-up kept; the firmware then shuts down cleanly (exit
 * status 0, which also means no leak under the address sanitizer).
 *
 *   peer_firmware_vxi11 TORVEX_BINARY READY_LIMIT_MS
 *
 * Runs the board in a fresh temporary root, in the caller's network namespace (the test script makes a
 * private one, so the board's built-in portmapper takes port 111 there). */
#include <arpa/inet.h>
#include <lxi.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static char g_log[1 << 20];
static size_t g_log_size;
static pthread_mutex_t g_log_mutex = PTHREAD_MUTEX_INITIALIZER;

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

/* Keeps the board's standard error (its log) so the test can look for lines in it. */
static void* drain(void* arg) {
  int fd = *(int*)arg;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    pthread_mutex_lock(&g_log_mutex);
    size_t room = sizeof g_log - 1 - g_log_size;
    size_t take = (size_t)n < room ? (size_t)n : room;
    memcpy(g_log + g_log_size, buffer, take);
    g_log_size += take;
    g_log[g_log_size] = '\0';
    pthread_mutex_unlock(&g_log_mutex);
  }
  return NULL;
}

static int count_in_log(const char* text) {
  int count = 0;
  pthread_mutex_lock(&g_log_mutex);
  for (const char* at = strstr(g_log, text); at != NULL; at = strstr(at + 1, text)) ++count;
  pthread_mutex_unlock(&g_log_mutex);
  return count;
}

static int wait_for_log(const char* text, int count, double limit_ms) {
  double end = now_ms() + limit_ms;
  while (now_ms() < end) {
    if (count_in_log(text) >= count) return 1;
    usleep(1000);
  }
  return 0;
}

/* Whether something listens on TCP port 111 (the board's portmapper, up once the TCP/IP module runs).
 * liblxi is asked only then: a connect that times out inside it leaves the RPC library's lock held. */
static int portmapper_listens(void) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(111);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int ok = connect(fd, (struct sockaddr*)&address, sizeof address) == 0;
  close(fd);
  return ok;
}

/* One link: *IDN? answered with the instrument's identity. */
static int identity(char* reply, size_t size) {
  if (!portmapper_listens()) {
    usleep(2000);
    return 0;
  }
  int device = lxi_connect("127.0.0.1", 0, "inst0", 3000, VXI11);
  if (device == LXI_ERROR) return 0;
  int ok = 0;
  if (lxi_send(device, "*IDN?", 5, 1000) == 5) {
    int n = lxi_receive(device, reply, (int)size - 1, 1000);
    if (n > 0) {
      reply[n] = '\0';
      ok = strchr(reply, ',') != NULL;
    }
  }
  lxi_disconnect(device);
  return ok;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s TORVEX_BINARY READY_LIMIT_MS\n", argv[0]);
    return 2;
  }
  const double ready_limit = atof(argv[2]);
  setvbuf(stdout, NULL, _IONBF, 0);
  char root[] = "/tmp/torvex-peer-XXXXXX";
  if (mkdtemp(root) == NULL) return 1;
  int pipefd[2];
  if (pipe(pipefd) != 0) return 1;
  pid_t board = fork();
  if (board == 0) {
    dup2(pipefd[1], 2);
    close(pipefd[0]);
    close(pipefd[1]);
    execl(argv[1], argv[1], "--root", root, "--tick-us", "1000", "--log-stderr", (char*)NULL);
    _exit(127);
  }
  close(pipefd[1]);
  pthread_t drainer;
  pthread_create(&drainer, NULL, drain, &pipefd[0]);
  lxi_init();

  int failures = 0;
  char reply[512];
  if (!wait_for_log("board: ready", 1, 60000)) {
    printf("FAIL the board did not become ready\n");
    failures++;
  } else {
    double ready = now_ms();
    int answered = 0;
    while (!answered && now_ms() < ready + 10000) answered = identity(reply, sizeof reply);
    double elapsed = now_ms() - ready;
    if (!answered) {
      printf("FAIL no answer to *IDN? within 10 s of ready\n");
      failures++;
    } else {
      printf("%s *IDN? answered %.0f ms after ready (limit %.0f ms): %s", elapsed <= ready_limit ? "PASS" : "FAIL",
             elapsed, ready_limit, reply);
      failures += elapsed > ready_limit;
    }

    /* A new pass of the network configuration takes the interface down and up again: the TCP/IP
     * module stops (with the link this command came over) and starts again. */
    int device = lxi_connect("127.0.0.1", 0, "inst0", 1000, VXI11);
    if (device == LXI_ERROR || lxi_send(device, "SYST:COMM:ETH:REST", 18, 1000) != 18) {
      printf("FAIL sending the restart\n");
      failures++;
    }
    if (device != LXI_ERROR) lxi_disconnect(device);
    if (!wait_for_log("Stopping TCP/IP SCPI module.", 1, 10000) ||
        !wait_for_log("Starting the TCP/IP SCPI module", 2, 10000)) {
      printf("FAIL the TCP/IP module did not stop and start again\n");
      failures++;
    } else {
      answered = 0;
      double start = now_ms();
      while (!answered && now_ms() < start + 10000) answered = identity(reply, sizeof reply);
      printf("%s *IDN? after the module restarted: %s", answered ? "PASS" : "FAIL", answered ? reply : "\n");
      failures += !answered;
    }
  }

  /* *RST restarts the firmware (a reset of the board, the same process started again) and keeps the
   * settings changed since power-up. */
  if (failures == 0) {
    int device = lxi_connect("127.0.0.1", 0, "inst0", 3000, VXI11);
    int sent =
        device != LXI_ERROR && lxi_send(device, "UNIT MT", 7, 1000) == 7 && lxi_send(device, "*RST", 4, 1000) == 4;
    if (device != LXI_ERROR) lxi_disconnect(device);
    if (!sent || !wait_for_log("board: ready", 2, 60000)) {
      printf("FAIL *RST did not restart the firmware\n");
      failures++;
    } else {
      int answered = 0;
      double start = now_ms();
      while (!answered && now_ms() < start + 10000) {
        if (!portmapper_listens()) {
          usleep(2000);
          continue;
        }
        device = lxi_connect("127.0.0.1", 0, "inst0", 3000, VXI11);
        if (device == LXI_ERROR) continue;
        if (lxi_send(device, "UNIT?", 5, 1000) == 5) {
          int n = lxi_receive(device, reply, (int)sizeof reply - 1, 1000);
          if (n > 0) {
            reply[n] = '\0';
            answered = 1;
          }
        }
        lxi_disconnect(device);
      }
      int kept = answered && strncmp(reply, "MT", 2) == 0;
      printf("%s after *RST the unit is %s", kept ? "PASS" : "FAIL", answered ? reply : "not answered\n");
      failures += !kept;
    }
  }

  kill(board, SIGTERM);
  int status = 0;
  waitpid(board, &status, 0);
  pthread_join(drainer, NULL);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    printf("FAIL the board ended with status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    fputs(g_log, stdout);
    failures++;
  } else {
    printf("PASS orderly shut-down\n");
  }
  if (failures != 0) fputs(g_log, stdout);
  char command[128];
  snprintf(command, sizeof command, "rm -rf %s", root);
  if (system(command) != 0) fprintf(stderr, "could not remove %s\n", root);
  return failures != 0;
}
