/* Crash points for sandboxed runs, preloaded with virtual time. Every write-family call
 * that chain-tuner, yellow-fixer or tune-session makes on /config (an open that may write,
 * a write, a sync, a change of mode or owner, a rename, an unlink, a directory made or
 * removed) is a crash point,
 * numbered from 1 in the order the program makes them.
 *
 * - When /sim/crash-at holds N, the machine loses power just before the N-th call: every
 *   process of the sandbox is killed and the call is never made. "N NAME" counts only the
 *   calls of the program NAME; "N *" counts the calls of all three programs together, in
 *   /sim/crash-count.
 * - When /sim/crash-count exists, every crash point of every program adds one to the
 *   number it holds: the crash points of a whole tuning, whichever process made them.
 * - At its exit a program records how many crash points its run passed in
 *   /sim/crash-points.NAME, so that a test knows how many there are to try.
 * - When the directory /sim/versions exists, every content a /config file is given (by a
 *   rename onto it, or by closing it after writing it in place) is copied there as
 *   NAME.K, K counting from 1: the whole versions a test may find after a crash.
 * - When /sim/trace exists, each crash point appends "PROGRAM CALL PATH" to it.
 * - When /sim/fail-at holds "N FAULT LASTING WHO", the N-th call (counted as /sim/crash-at
 *   counts it: WHO is a program's name or "*") fails instead of being made, with the errno
 *   FAULT or, for SHORT_WRITE, a write that stores half its bytes (write_faults.h); with
 *   LASTING 1 the disk stays full or failing from then on. While the file exists the close
 *   of a descriptor written on /config is a call counted too, and a content that a failed
 *   call was making is not recorded in /sim/versions. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "sim_record.h"
#include "write_faults.h"

#define CRASH_AT_FILE "/sim/crash-at"
#define CRASH_COUNT_FILE "/sim/crash-count"
#define TRACE_FILE "/sim/trace"
#define VERSIONS_DIR "/sim/versions"
#define FAIL_AT_FILE "/sim/fail-at"

static long crash_points_passed;
static long crash_at = -1; /* read once, at the first crash point */
static int crash_at_counts_all;
static long versions_recorded;

/* The failure planned by /sim/fail-at, read once, at the first crash point. */
static struct {
  int read;
  long at; /* 0: none */
  int fault;
  int lasting;
  int counts_all;
  int counts_closes;
} failure;

/* The paths whose content a failed call was making, until they are opened afresh. */
#define TAINTED_PATHS 16
static char tainted[TAINTED_PATHS][4096];

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

int is_tuning_program(void) {
  const char* name = program_invocation_short_name;
  return strcmp(name, "chain-tuner") == 0 || strcmp(name, "yellow-fixer") == 0 ||
         strcmp(name, "tune-session") == 0;
}

void record_in_sim(const char* what, long value) {
  char path[128];
  snprintf(path, sizeof path, "/sim/%s.%s", what, program_invocation_short_name);
  FILE* out = fopen(path, "w");
  if (out == NULL) return;
  fprintf(out, "%ld\n", value);
  fclose(out);
}

static int on_config(const char* path) {
  return path != NULL && strncmp(path, "/config", 7) == 0 && (path[7] == '/' || path[7] == '\0');
}

static int fd_path(int fd, char* path, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, path, size - 1);
  if (length < 0) return 0;
  path[length] = '\0';
  return 1;
}

static long read_crash_at(void) {
  FILE* file = fopen(CRASH_AT_FILE, "r");
  if (file == NULL) return 0;
  long at = 0;
  char name[64] = "";
  int fields = fscanf(file, "%ld %63s", &at, name);
  fclose(file);
  if (fields < 1) return 0;
  if (fields == 2 && strcmp(name, "*") == 0) {
    crash_at_counts_all = 1;
  } else if (fields == 2 && strcmp(name, program_invocation_short_name) != 0) {
    return 0;
  }
  return at;
}

/* Adds one to the shared count and gives the new number; 0 when nothing is counted. */
static long count_in_shared_file(void) {
  int fd = REAL(open)(CRASH_COUNT_FILE, O_RDWR | O_CLOEXEC);
  if (fd < 0) return 0;
  flock(fd, LOCK_EX);
  char text[32] = {0};
  long count = pread(fd, text, sizeof text - 1, 0) > 0 ? atol(text) + 1 : 1;
  int length = snprintf(text, sizeof text, "%ld\n", count);
  if (REAL(ftruncate)(fd, 0) != 0 || REAL(pwrite)(fd, text, (size_t)length, 0) != length) count = 0;
  REAL(close)(fd);
  return count;
}

static void trace(const char* call, const char* path) {
  int fd = REAL(open)(TRACE_FILE, O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return;
  char line[4352];
  int length = snprintf(line, sizeof line, "%s %s %s\n", program_invocation_short_name, call, path);
  if (length > 0 && (size_t)length < sizeof line) REAL(write)(fd, line, (size_t)length);
  REAL(close)(fd);
}

static void read_failure(void) {
  failure.read = 1;
  FILE* file = fopen(FAIL_AT_FILE, "r");
  if (file == NULL) return;
  char who[64] = "";
  if (fscanf(file, "%ld %d %d %63s", &failure.at, &failure.fault, &failure.lasting, who) == 4) {
    failure.counts_closes = 1;
    failure.counts_all = strcmp(who, "*") == 0;
    if (!failure.counts_all && strcmp(who, program_invocation_short_name) != 0) failure.at = 0;
  } else {
    failure.at = 0;
  }
  fclose(file);
}

static int is_tainted(const char* path) {
  for (int i = 0; i < TAINTED_PATHS; ++i) {
    if (strcmp(tainted[i], path) == 0) return 1;
  }
  return 0;
}

static void taint(const char* path) {
  if (is_tainted(path)) return;
  for (int i = 0; i < TAINTED_PATHS; ++i) {
    if (tainted[i][0] == '\0') {
      snprintf(tainted[i], sizeof tainted[i], "%s", path);
      return;
    }
  }
}

static void untaint(const char* path) {
  for (int i = 0; i < TAINTED_PATHS; ++i) {
    if (strcmp(tainted[i], path) == 0) tainted[i][0] = '\0';
  }
}

/* Called before each write-family call on /config; `creates` tells an open that makes a
 * new file. Cuts the power there, or returns 1 when the call is to fail as planned. */
static int crash_point(const char* call, const char* path, int creates) {
  if (!is_tuning_program()) return 0;
  int saved = errno;
  if (crash_at < 0) crash_at = read_crash_at();
  if (!failure.read) read_failure();
  ++crash_points_passed;
  long shared = count_in_shared_file();
  trace(call, path);
  long reached = crash_at_counts_all ? shared : crash_points_passed;
  if (crash_at > 0 && reached == crash_at) {
    kill(-1, SIGKILL); /* every other process of the sandbox's pid namespace */
    kill(getpid(), SIGKILL);
  }
  errno = saved;
  long number = failure.counts_all ? shared : crash_points_passed;
  int fails = failure.at > 0 &&
              (number == failure.at || (failure.lasting && number > failure.at &&
                                        fails_on_lasting_fault(failure.fault, call, creates)));
  if (fails && failure.fault != SHORT_WRITE) taint(path); /* a short write is no failure */
  return fails;
}

/* A crash point on the file an open descriptor names, when it is on /config. */
static int crash_point_on_fd(const char* call, int fd) {
  char path[4096];
  return fd_path(fd, path, sizeof path) && on_config(path) && crash_point(call, path, 0);
}

/* A failed call's ending: -1 with the planned errno. */
static int failed(void) {
  errno = failure.fault;
  return -1;
}

/* How much of a write to make: all of it, or half when it is to come up short. */
static int write_fails(const char* call, int fd, size_t* size) {
  if (!crash_point_on_fd(call, fd)) return 0;
  if (failure.fault != SHORT_WRITE) return 1;
  *size /= 2;
  return 0;
}

static void record_version(const char* path) {
  if (!is_tuning_program() || is_tainted(path)) return;
  struct stat dir;
  if (stat(VERSIONS_DIR, &dir) != 0) return;
  int saved = errno;
  const char* name = strrchr(path, '/');
  name = name != NULL ? name + 1 : path;
  char copy[4096];
  snprintf(copy, sizeof copy, "%s/%s.%ld", VERSIONS_DIR, name, ++versions_recorded);
  int (*real_open)(const char*, int, ...) = REAL(open);
  ssize_t (*real_write)(int, const void*, size_t) = REAL(write);
  int from = real_open(path, O_RDONLY | O_CLOEXEC);
  int to = real_open(copy, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  char buffer[8192];
  ssize_t got;
  while (from >= 0 && to >= 0 && (got = read(from, buffer, sizeof buffer)) > 0) {
    if (real_write(to, buffer, (size_t)got) != got) break;
  }
  if (from >= 0) close(from);
  if (to >= 0) close(to);
  errno = saved;
}

static int may_write(int flags) {
  return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
}

static int open_with_crash_point(const char* real_name, const char* path, int flags, va_list args) {
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
  int (*real_open)(const char*, int, ...) = dlsym(RTLD_NEXT, real_name);
  if (!on_config(path) || !may_write(flags)) return real_open(path, flags, mode);
  int creates = (flags & O_CREAT) && ((flags & O_EXCL) || access(path, F_OK) != 0);
  if (crash_point("open", path, creates)) return failed();
  int fd = real_open(path, flags, mode);
  if (fd >= 0) untaint(path); /* a new content begins */
  return fd;
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int fd = open_with_crash_point("open", path, flags, args);
  va_end(args);
  return fd;
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int fd = open_with_crash_point("open64", path, flags, args);
  va_end(args);
  return fd;
}

ssize_t write(int fd, const void* data, size_t size) {
  if (write_fails("write", fd, &size)) return failed();
  return REAL(write)(fd, data, size);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  if (write_fails("pwrite", fd, &size)) return failed();
  return REAL(pwrite)(fd, data, size, offset);
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
  if (crash_point_on_fd("writev", fd)) return failed();
  return REAL(writev)(fd, parts, count);
}

int ftruncate(int fd, off_t length) {
  if (crash_point_on_fd("ftruncate", fd)) return failed();
  return REAL(ftruncate)(fd, length);
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  if (crash_point_on_fd("fallocate", fd)) return failed();
  return REAL(fallocate)(fd, mode, offset, length);
}

int fallocate64(int fd, int mode, off_t offset, off_t length) {
  if (crash_point_on_fd("fallocate", fd)) return failed();
  return REAL(fallocate64)(fd, mode, offset, length);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset) {
  if (write_fails("pwrite", fd, &size)) return failed();
  return REAL(pwrite64)(fd, data, size, offset);
}

int fsync(int fd) {
  if (crash_point_on_fd("fsync", fd)) return failed();
  return REAL(fsync)(fd);
}

int fdatasync(int fd) {
  if (crash_point_on_fd("fdatasync", fd)) return failed();
  return REAL(fdatasync)(fd);
}

int fchmod(int fd, mode_t mode) {
  if (crash_point_on_fd("fchmod", fd)) return failed();
  return REAL(fchmod)(fd, mode);
}

int fchown(int fd, uid_t owner, gid_t group) {
  if (crash_point_on_fd("fchown", fd)) return failed();
  return REAL(fchown)(fd, owner, group);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  if (crash_point_on_fd("fsetxattr", fd)) return failed();
  return REAL(fsetxattr)(fd, name, value, size, flags);
}

int fremovexattr(int fd, const char* name) {
  if (crash_point_on_fd("fremovexattr", fd)) return failed();
  return REAL(fremovexattr)(fd, name);
}

/* A close that fails has still closed the descriptor, as the kernel's does. */
int close(int fd) {
  char path[4096];
  int written = 0;
  if (is_tuning_program() && fd_path(fd, path, sizeof path) && on_config(path)) {
    int flags = fcntl(fd, F_GETFL);
    written = flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
  }
  if (written && !failure.read) read_failure();
  int fails = written && failure.counts_closes && crash_point("close", path, 0);
  int result = REAL(close)(fd);
  if (written) record_version(path);
  return fails ? failed() : result;
}

int rename(const char* from, const char* to) {
  if ((on_config(from) || on_config(to)) && crash_point("rename", to, 0)) return failed();
  int result = REAL(rename)(from, to);
  if (result == 0 && on_config(to) && !is_tainted(from)) record_version(to);
  return result;
}

int unlink(const char* path) {
  if (on_config(path) && crash_point("unlink", path, 0)) return failed();
  return REAL(unlink)(path);
}

int mkdir(const char* path, mode_t mode) {
  if (on_config(path) && crash_point("mkdir", path, 0)) return failed();
  return REAL(mkdir)(path, mode);
}

int rmdir(const char* path) {
  if (on_config(path) && crash_point("rmdir", path, 0)) return failed();
  return REAL(rmdir)(path);
}

int remove(const char* path) {
  if (on_config(path) && crash_point("remove", path, 0)) return failed();
  return REAL(remove)(path);
}

__attribute__((destructor)) static void record_crash_points(void) {
  if (is_tuning_program()) record_in_sim("crash-points", crash_points_passed);
}
