/* Runs inside the test's virtual machine, against the instrument that the guest's usbtmc driver
 * found: *IDN? written to and read from the device file, a status-byte read and a device clear
 * through the driver's ioctls, then *IDN? again. Then a read with nothing to read (a command
 * without reply before it), which times out and leaves its request open on the device, a device
 * clear, and *IDN? once more. Last, 100 *IDN? round trips in a row, timed. Prints one line per
 * step on the console:
 *   IDN: <reply>   STB: <decimal>   CLEAR: ok   IDN-AFTER-CLEAR: <reply>
 *   EMPTY-READ: timed out   CLEAR-AFTER-EMPTY-READ: ok   IDN-AFTER-EMPTY-READ: <reply>
 *   IDN-MEAN: <microseconds> us over 100 round trips
 * or "ERROR: <step>: <reason>". Exit status 0 when every step worked. */
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/tmc.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

static int fail(const char* step) {
  printf("ERROR: %s: %s\n", step, strerror(errno));
  fflush(stdout);
  return 1;
}

/* One query: the message written, the reply read until the driver reports its end. */
static int query(int fd, const char* message, char* reply, size_t size) {
  const size_t length = strlen(message);
  if (write(fd, message, length) != (ssize_t)length) return -1;
  const ssize_t n = read(fd, reply, size - 1);
  if (n < 0) return -1;
  reply[n] = '\0';
  while (n > 0 && (reply[strlen(reply) - 1] == '\n' || reply[strlen(reply) - 1] == '\r')) {
    reply[strlen(reply) - 1] = '\0';
    if (reply[0] == '\0') break;
  }
  return (int)n;
}

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "/dev/usbtmc0";
  char reply[4096];
  int fd = open(path, O_RDWR);
  if (fd < 0) return fail("open");
  if (query(fd, "*IDN?\n", reply, sizeof reply) < 0) return fail("*IDN?");
  printf("IDN: %s\n", reply);
  fflush(stdout);

  unsigned char stb = 0;
  if (ioctl(fd, USBTMC488_IOCTL_READ_STB, &stb) != 0) return fail("read status byte");
  printf("STB: %u\n", stb);
  fflush(stdout);

  if (ioctl(fd, USBTMC_IOCTL_CLEAR) != 0) return fail("clear");
  printf("CLEAR: ok\n");
  fflush(stdout);

  if (query(fd, "*IDN?\n", reply, sizeof reply) < 0) return fail("*IDN? after clear");
  printf("IDN-AFTER-CLEAR: %s\n", reply);
  fflush(stdout);

  /* The driver's default read time-out is 5 s; a shorter one keeps the run short. */
  unsigned int timeout_ms = 1000;
  if (ioctl(fd, USBTMC_IOCTL_SET_TIMEOUT, &timeout_ms) != 0) return fail("set time-out");
  if (write(fd, "*CLS\n", 5) != 5) return fail("*CLS");
  const ssize_t n = read(fd, reply, sizeof reply - 1);
  if (n >= 0) {
    printf("ERROR: empty read: %zd bytes read\n", n);
    fflush(stdout);
    return 1;
  }
  if (errno != ETIMEDOUT) return fail("empty read");
  printf("EMPTY-READ: timed out\n");
  fflush(stdout);

  if (ioctl(fd, USBTMC_IOCTL_CLEAR) != 0) return fail("clear after the empty read");
  printf("CLEAR-AFTER-EMPTY-READ: ok\n");
  fflush(stdout);

  if (query(fd, "*IDN?\n", reply, sizeof reply) < 0) return fail("*IDN? after the empty read");
  printf("IDN-AFTER-EMPTY-READ: %s\n", reply);
  fflush(stdout);

  /* The guest's mean round trip through the device file: printed for scale, never a limit. */
  char first[sizeof reply];
  strcpy(first, reply);
  enum { kRounds = 100 };
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (int i = 0; i < kRounds; ++i) {
    if (query(fd, "*IDN?\n", reply, sizeof reply) < 0) return fail("timed *IDN?");
    if (strcmp(reply, first) != 0) {
      printf("ERROR: timed *IDN? %d answered '%s'\n", i + 1, reply);
      fflush(stdout);
      return 1;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  const double us = (double)(end.tv_sec - start.tv_sec) * 1e6 + (double)(end.tv_nsec - start.tv_nsec) / 1e3;
  printf("IDN-MEAN: %.0f us over %d round trips\n", us / kRounds, kRounds);
  fflush(stdout);
  close(fd);
  return 0;
}
