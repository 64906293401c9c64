#include "session_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
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

}  // namespace

SessionLock::~SessionLock() {
  release();
}

SessionLock::Taken SessionLock::take(System& sys, std::string& error) {
  const std::string path = sys.path(lock_path);
  bool made = false;
  fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
  if (fd_ < 0 && errno == ENOENT) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0644);
    made = fd_ >= 0;
  }
  if (fd_ < 0) {
    error = failure(path, errno);
    return Taken::failed;
  }
  if (made) sync_directory(sys.path(config_dir));
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
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
  if (fd < 0) {
    if (errno != ENOENT) error = failure(path, errno);
    return false;  // never made: no session has run
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
