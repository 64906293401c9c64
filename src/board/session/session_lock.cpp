#include "session_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <vector>

#include "board_files.hpp"
#include "files.hpp"
#include "session_state.hpp"

namespace tune::session {

namespace {

constexpr int lock_tries = 10;
constexpr long lock_try_pause_ns = 50'000'000;

void short_pause() {
  struct timespec pause = {0, lock_try_pause_ns};
  nanosleep(&pause, nullptr);
}

// Opens the lock file, which must be a regular file: a pipe or a device there would block
// or mean nothing. A failure otherwise, with ENOENT when there is no such file.
Result<int> open_lock_file(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) return failure(path, errno);
  struct stat info = {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    Failure not_a_file = S_ISDIR(info.st_mode) ? failure(path, EISDIR)
                                               : Failure{cat({path, ": not a regular file"})};
    close(fd);
    return not_a_file;
  }
  return fd;
}

// A lock file an earlier version made, or someone else: root's and 0600 from now on.
void make_private(int fd) {
  struct stat info;
  if (geteuid() != 0 || fstat(fd, &info) != 0) return;
  if (info.st_uid != 0 || info.st_gid != 0) {
    int changed = fchown(fd, 0, 0);
    (void)changed;  // a file system without owners: the mode still keeps others out
  }
  if ((info.st_mode & 07777) != 0600) fchmod(fd, 0600);
}

// Fills the holder's name and user from /proc; a process that has ended leaves its pid 0.
void describe_process(LockHolder& holder) {
  FileRead comm = read_file(cat({"/proc/", std::to_string(holder.pid), "/comm"}), 64);
  if (comm.result != FileRead::Result::read) {
    holder.pid = 0;
    return;
  }
  holder.name = last_line(comm.text);
  FileRead status = read_file(cat({"/proc/", std::to_string(holder.pid), "/status"}), 8192);
  size_t uid = status.text.find("\nUid:");
  if (uid != std::string::npos) holder.uid = std::atoll(status.text.c_str() + uid + 5);
}

// The holder of an flock() on the file, from /proc/locks (any user may read it).
std::optional<LockHolder> holder_in_proc(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  FileRead locks = read_file("/proc/locks", 1 << 20);
  if (locks.result != FileRead::Result::read) return std::nullopt;
  LockHolder holder;
  for (size_t at = 0; at < locks.text.size();) {
    size_t end = locks.text.find('\n', at);
    if (end == std::string::npos) end = locks.text.size();
    const std::string line = locks.text.substr(at, end - at);
    at = end + 1;
    // "1: FLOCK  ADVISORY  WRITE 812 08:01:1315193 0 EOF"; a waiter's line has "->" second.
    // Read field by field: scanf would bring 20 KB of the C library into the board's program.
    std::vector<std::string> fields;
    for (size_t from = 0; from < line.size();) {
      size_t to = line.find(' ', from);
      if (to == std::string::npos) to = line.size();
      if (to > from) fields.push_back(line.substr(from, to - from));
      from = to + 1;
    }
    if (fields.size() < 6 || fields[1] != "FLOCK") continue;
    const std::string& device = fields[5];  // MAJOR:MINOR:INODE, the numbers of the device hex
    size_t first = device.find(':'), second = device.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const unsigned long major_number = std::strtoul(device.substr(0, first).c_str(), nullptr, 16);
    const unsigned long minor_number =
        std::strtoul(device.substr(first + 1, second - first - 1).c_str(), nullptr, 16);
    const unsigned long long inode = std::strtoull(device.c_str() + second + 1, nullptr, 10);
    if (inode == info.st_ino && major_number == major(info.st_dev) &&
        minor_number == minor(info.st_dev)) {
      holder.pid = std::atoll(fields[4].c_str());
      break;
    }
  }
  if (holder.pid > 0) {
    holder.listed = true;
    describe_process(holder);
  }
  return holder;
}

// The session the state names, when that process is a tune-session: the holder of a lock
// that /proc/locks cannot name. A detached start takes the lock and hands it to its child,
// and /proc/locks goes on naming the start, which has ended (or, from another pid
// namespace, names nothing). Trusted only while the lock is held.
LockHolder recorded_session(System& sys) {
  LockHolder session;
  session.pid = read_state(sys).value_or(SessionState{}).pid;
  if (session.pid > 1) describe_process(session);
  if (session.name != "tune-session") return LockHolder{};
  return session;
}

}  // namespace

SessionLock::~SessionLock() {
  release();
}

Result<SessionLock::Taken> SessionLock::take(System& sys) {
  const std::string path = sys.path(lock_path);
  Result<int> fd = open_lock_file(path, O_RDWR);
  if (!fd && fd.failure().error == ENOENT) {
    fd = open_lock_file(path, O_RDWR | O_CREAT);
    // The lock file needs no durability: a power cut ends every holder with it.
    if (fd) (void)sync_directory(sys, sys.path(config_dir));
  }
  if (!fd) return fd.failure();
  fd_ = *fd;
  for (int attempt = 1;; ++attempt) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
      make_private(fd_);  // once it is ours: another holder is named as it found the file
      return Taken::yes;
    }
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || attempt == lock_tries) break;
    short_pause();
  }
  int reason = errno;
  release();
  if (reason == EWOULDBLOCK) return Taken::held_elsewhere;
  return failure(path, reason);
}

void SessionLock::release() {
  if (fd_ >= 0) close(fd_);  // closing drops the lock
  fd_ = -1;
}

Result<bool> lock_is_held(System& sys, LockHolder* holder) {
  const std::string path = sys.path(lock_path);
  bool held = false;
  Result<int> fd = open_lock_file(path, O_RDONLY);
  if (fd) {
    // Exclusive for an instant: a shared lock of another program would let a shared one
    // pass, and still keep every tuning from starting. Closing lets go of it. Another
    // command's instant probe is waited out once, so that two at once never see each other.
    int result = 0;
    for (int attempt = 1; attempt <= 2; ++attempt) {
      while ((result = flock(*fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
      }
      held = result != 0 && errno == EWOULDBLOCK;
      if (!held || attempt == 2) break;
      short_pause();
    }
    const int reason = errno;
    close(*fd);
    if (result != 0 && !held) return failure(path, reason);
  } else if (fd.failure().error == ENOENT) {
    return false;  // never made: no session has run
  } else if (fd.failure().error == EACCES) {
    // Root's file: only /proc tells another user.
    std::optional<LockHolder> found = holder_in_proc(path);
    if (!found) return fd.failure();  // why it cannot be told
    held = found->listed;
  } else {
    return fd.failure();
  }
  if (held && holder != nullptr) {
    if (std::optional<LockHolder> found = holder_in_proc(path)) *holder = *found;
    if (holder->pid <= 0) *holder = recorded_session(sys);
  }
  return held;
}

std::string lock_file_problem(System& sys) {
  const std::string path = sys.path(lock_path);
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return "";
  if (info.st_uid == 0 && info.st_gid == 0 && (info.st_mode & 07777) == 0600) return "";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  return cat({"its file ", path, " is uid ", std::to_string(info.st_uid), "'s, mode ", mode,
              ", not root's 0600"});
}

}  // namespace tune::session
