/* Virtual time for sandboxed runs: preloaded into every process of the sandbox, it turns
 * sleeps into advances of a clock file, /sim/clock (seconds since the simulated epoch),
 * and answers the wall clock from it. After each sleep it runs "bmminer-api --tick" so that
 * the stand-in miner sees the time pass. When /sim/time-limit holds a number of seconds, a
 * sleep that takes the clock past it ends the sleeping process with SIGKILL: a test's bound
 * on a program that waits for ever. At the exit of chain-tuner, yellow-fixer or tune-session
 * it records the process's peak resident memory in /sim/peak-rss.NAME. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "sim_record.h"

#define CLOCK_FILE "/sim/clock"
#define TIME_LIMIT_FILE "/sim/time-limit"
#define SIM_EPOCH 1798761600LL /* the simulated machine's epoch */

extern char** environ;

static long long read_clock_locked(int fd) {
  char text[32] = {0};
  ssize_t got = pread(fd, text, sizeof text - 1, 0);
  return got > 0 ? atoll(text) : 0;
}

static long long virtual_seconds(void) {
  int fd = open(CLOCK_FILE, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  flock(fd, LOCK_SH);
  long long seconds = read_clock_locked(fd);
  close(fd);
  return seconds;
}

static void advance(long long seconds) {
  if (seconds <= 0) return;
  int fd = open(CLOCK_FILE, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  flock(fd, LOCK_EX);
  char text[32];
  int length = snprintf(text, sizeof text, "%lld\n", read_clock_locked(fd) + seconds);
  if (ftruncate(fd, 0) == 0 && pwrite(fd, text, (size_t)length, 0) == length) {
    /* written */
  }
  close(fd);
}

static void tick_miner(void) {
  char* argv[] = {"bmminer-api", "--tick", NULL};
  pid_t pid;
  if (posix_spawnp(&pid, "bmminer-api", NULL, NULL, argv, environ) != 0) return;
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

static void stop_past_time_limit(void) {
  FILE* file = fopen(TIME_LIMIT_FILE, "r");
  if (file == NULL) return;
  long long limit = -1;
  if (fscanf(file, "%lld", &limit) != 1) limit = -1;
  fclose(file);
  if (limit >= 0 && virtual_seconds() > limit) kill(getpid(), SIGKILL);
}

// Whole seconds pass in virtual time; shorter naps (a helper thread's polling, say) are
// really slept, so that they neither spin nor move the clock.
static void pass_time(long long seconds) {
  if (seconds <= 0) return;
  advance(seconds);
  tick_miner();
  stop_past_time_limit();
}

static void real_nap(const struct timespec* request) {
  struct timespec left = *request;
  while (syscall(SYS_nanosleep, &left, &left) != 0 && errno == EINTR) {
  }
}

unsigned int sleep(unsigned int seconds) {
  pass_time(seconds);
  return 0;
}

int usleep(useconds_t microseconds) {
  if (microseconds < 1000000) {
    struct timespec nap = {0, (long)microseconds * 1000};
    real_nap(&nap);
    return 0;
  }
  pass_time(microseconds / 1000000);
  return 0;
}

static void relative_sleep(const struct timespec* request, struct timespec* remaining) {
  if (request->tv_sec == 0) {
    real_nap(request);
  } else {
    pass_time(request->tv_sec);
  }
  if (remaining != NULL) remaining->tv_sec = remaining->tv_nsec = 0;
}

int nanosleep(const struct timespec* request, struct timespec* remaining) {
  if (request == NULL || request->tv_nsec < 0 || request->tv_nsec >= 1000000000L) {
    errno = EINVAL;
    return -1;
  }
  relative_sleep(request, remaining);
  return 0;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request,
                    struct timespec* remaining) {
  if (request == NULL) return EINVAL;
  if (flags & TIMER_ABSTIME) {
    if (clock != CLOCK_REALTIME)
      return (int)syscall(SYS_clock_nanosleep, clock, flags, request, remaining);
    pass_time(request->tv_sec - (SIM_EPOCH + virtual_seconds()));
    return 0;
  }
  relative_sleep(request, remaining);
  return 0;
}

time_t time(time_t* out) {
  time_t now = (time_t)(SIM_EPOCH + virtual_seconds());
  if (out != NULL) *out = now;
  return now;
}

// The clocks a program reads directly: the wall clock from the virtual one, and the
// monotonic clocks as the virtual seconds themselves (a deadline measured on them passes
// in virtual time).
int clock_gettime(clockid_t clock, struct timespec* now) {
  switch (clock) {
    case CLOCK_REALTIME:
    case CLOCK_REALTIME_COARSE:
      now->tv_sec = (time_t)(SIM_EPOCH + virtual_seconds());
      now->tv_nsec = 0;
      return 0;
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_MONOTONIC_RAW:
    case CLOCK_BOOTTIME:
      now->tv_sec = (time_t)virtual_seconds();
      now->tv_nsec = 0;
      return 0;
    default:
      return (int)syscall(SYS_clock_gettime, clock, now);
  }
}

int gettimeofday(struct timeval* tv, void* zone) {
  (void)zone;
  tv->tv_sec = (time_t)(SIM_EPOCH + virtual_seconds());
  tv->tv_usec = 0;
  return 0;
}

__attribute__((destructor)) static void record_peak_memory(void) {
  if (!is_tuning_program()) return;
  FILE* status = fopen("/proc/self/status", "r");
  if (status == NULL) return;
  char line[256];
  long kilobytes = -1;
  while (fgets(line, sizeof line, status) != NULL) {
    if (strncmp(line, "VmHWM:", 6) == 0) kilobytes = atol(line + 6);
  }
  fclose(status);
  record_in_sim("peak-rss", kilobytes);
}
