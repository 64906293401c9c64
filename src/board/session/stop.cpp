// `tune-session stop`.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "board_files.hpp"
#include "command_support.hpp"
#include "miner_restart.hpp"
#include "posix_system.hpp"
#include "saved_sets.hpp"
#include "session.hpp"
#include "session_lock.hpp"
#include "session_state.hpp"
#include "text.hpp"

namespace tune::session {

namespace {

// How long stop waits for the session to record the stop and let go of the lock.
constexpr int stop_wait_tenths = 600;

void pause_tenth() {
  struct timespec pause = {0, 100'000'000};
  nanosleep(&pause, nullptr);
}

// The pid of the running session: the lock's holder (as /proc tells it, or as the state
// names it; see lock_is_held), asked again for up to a second while neither can tell (the
// state being written, say); 0 when still not known, or when the lock is let go meanwhile.
long long session_pid(System& sys, LockHolder holder) {
  for (int tenth = 0; holder.pid <= 0 && tenth < 10; ++tenth) {
    pause_tenth();
    if (!lock_is_held(sys, &holder).value_or(false)) return 0;
  }
  return holder.pid;
}

}  // namespace

int stop() {
  PosixSystem sys;
  LockHolder holder;
  const Result<bool> held = lock_is_held(sys, &holder);
  if (!held) {
    say(stderr, {"cannot tell whether a tuning runs: ", held.failure().reason});
    return exit_busy;
  }
  if (!*held) {
    say(stdout, {"no tuning is running"});
    return exit_done;
  }
  if (const std::string other = foreign_holder(sys, holder); !other.empty()) {
    say(stderr, {other});
    return exit_busy;
  }
  long long pid = session_pid(sys, holder);
  if (pid == 0) {
    say(stderr, {"a session holds ", sys.path(lock_path),
                 " but its pid is not known; nothing was signalled"});
    return exit_failed;
  }
  if (kill(static_cast<pid_t>(pid), SIGTERM) != 0) {
    say(stderr, {"cannot stop the session (pid ", std::to_string(pid), "): ", error_text(errno)});
    return exit_failed;
  }
  for (int tenth = 0; tenth < stop_wait_tenths; ++tenth) {
    if (!lock_is_held(sys).value_or(false)) {
      SessionState state = read_state(sys).value_or(SessionState{});
      const std::string tuning = cat({"tuning ", std::to_string(state.tuning)});
      if (state.ending == Ending::stopped) {
        say(stdout, {tuning, " stopped in ", stage_name(state.stage),
                     "; tune-session start goes on with it"});
      } else {
        say(stdout, {tuning, " ended: ", standing_name(state.stage, state.ending)});
      }
      return exit_done;
    }
    pause_tenth();
  }
  say(stderr, {"the session (pid ", std::to_string(pid), ") has not ended within a minute"});
  return exit_failed;
}

}  // namespace tune::session
