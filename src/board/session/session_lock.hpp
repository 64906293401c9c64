// One tuning at a time: the session that works on the board holds an exclusive flock() on
// /config/tune-session.lock. The kernel drops it when the holder dies, so no cut leaves a
// stale lock behind, and the file itself is never removed. The file is root's, mode 0600,
// so that no other user can open it, and so hold it, to keep tunings from starting.
#pragma once

#include <string>

#include "result.hpp"
#include "system.hpp"

namespace tune::session {

class SessionLock {
 public:
  enum class Taken { yes, held_elsewhere };

  SessionLock() = default;
  ~SessionLock();
  SessionLock(const SessionLock&) = delete;
  SessionLock& operator=(const SessionLock&) = delete;

  // Takes the lock, making the lock file when there is none. Another holder is waited for
  // a moment only: a status looks at the lock for an instant.
  Result<Taken> take(System& sys);
  void release();

 private:
  int fd_ = -1;
};

// The process that holds the lock, as /proc tells it (or, for a lock a detached start handed
// to its session, as the state names it); pid 0 when it cannot be told.
struct LockHolder {
  long long pid = 0;
  std::string name;  // its command name
  long long uid = -1;
  bool listed = false;  // /proc/locks lists the lock as held (its pid may have ended since)
};

// Whether a process holds the lock now, found without holding it longer than an instant and
// without write access (through /proc/locks for a user who may not open the file). A
// failure when that cannot be told; fills `holder` when asked and known.
Result<bool> lock_is_held(System& sys, LockHolder* holder = nullptr);

// "its file PATH is uid U's, mode 0644, not root's 0600" for a lock file someone else made
// (which they may then hold), empty for root's own.
std::string lock_file_problem(System& sys);

}  // namespace tune::session
