// One tuning at a time: the session that works on the board holds an exclusive flock() on
// /config/tune-session.lock. The kernel drops it when the holder dies, so no cut leaves a
// stale lock behind, and the file itself is never removed.
#pragma once

#include <string>

#include "system.hpp"

namespace tune::session {

class SessionLock {
 public:
  enum class Taken { yes, held_elsewhere, failed };

  SessionLock() = default;
  ~SessionLock();
  SessionLock(const SessionLock&) = delete;
  SessionLock& operator=(const SessionLock&) = delete;

  // Takes the lock, making the lock file when there is none. Another holder is waited for
  // a moment only: a status looks at the lock for an instant.
  Taken take(System& sys, std::string& error);
  void release();

 private:
  int fd_ = -1;
};

// Whether a session holds the lock now, found without holding it longer than an instant
// and without write access. Sets `error` ("PATH: reason") when that cannot be told.
bool lock_is_held(System& sys, std::string& error);

}  // namespace tune::session
