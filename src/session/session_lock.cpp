#include "session_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "board_files.hpp"
#include "files.hpp"

namespace tune::session {

namespace {

constexpr int lock_tries = 10;
constexpr long lock_try_pause_ns = 50'000'000;

void short_pause() {
  struct timespec pause = {0, lock_try_pause_ns};
  nanosleep(&pause, nullptr);
}

// Opens the lock file, which must be a regular file: a pipe or a device there would block
// or mean nothing. -1 with `error` set ("PATH: reason") otherwise; `missing` tells that
// there is no such file.
int open_lock_file(const std::string& path, int flags, std::string& error, bool& missing) {
  int fd = open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0644);
  missing = fd < 0 && errno == ENOENT;
  if (fd < 0) {
    error = failure(path, errno);
    return -1;
  }
  struct stat info = {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    error = S_ISDIR(info.st_mode) ? failure(path, EISDIR) : cat({path, ": not a regular file"});
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

SessionLock::~SessionLock() {
  release();
}

SessionLock::Taken SessionLock::take(System& sys, std::string& error) {
  const std::string path = sys.path(lock_path);
  bool missing = false;
  fd_ = open_lock_file(path, O_RDWR, error, missing);
  if (missing) {
    fd_ = open_lock_file(path, O_RDWR | O_CREAT, error, missing);
    if (fd_ >= 0) sync_directory(sys, sys.path(config_dir));
  }
  if (fd_ < 0) return Taken::failed;
  for (int attempt = 1;; ++attempt) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return Taken::yes;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || attempt == lock_tries) break;
    short_pause();
  }
  int reason = errno;
  release();
  if (reason == EWOULDBLOCK) return Taken::held_elsewhere;
  error = failure(path, reason);
  return Taken::failed;
}

void SessionLock::release() {
  if (fd_ >= 0) close(fd_);  // closing drops the lock
  fd_ = -1;
}

bool lock_is_held(System& sys, std::string& error) {
  const std::string path = sys.path(lock_path);
  bool missing = false;
  int fd = open_lock_file(path, O_RDONLY, error, missing);
  if (fd < 0) {
    if (missing) error.clear();  // never made: no session has run
    return false;
  }
  int result;
  while ((result = flock(fd, LOCK_SH | LOCK_NB)) != 0 && errno == EINTR) {
  }
  bool held = result != 0 && errno == EWOULDBLOCK;
  if (result != 0 && !held) error = failure(path, errno);
  close(fd);
  return held;
}

}  // namespace tune::session
