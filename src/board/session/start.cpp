// `tune-session start`: one tuning from its saved sets to its finish, in the foreground or
// detached, going on from where the last session left it.
#include <cstdio>

#include "command_support.hpp"
#include "detach.hpp"
#include "lifecycle.hpp"
#include "posix_system.hpp"
#include "process_programs.hpp"
#include "session.hpp"

namespace tune::session {

namespace {

int run_on_board(const StartOptions& options, SessionLock& lock,
                 FunctionRef<void(int, const std::string&)> announce, bool detached) {
  PosixSystem sys;
  ProcessPrograms programs;
  hold_signals();
  SessionOutput out;
  out.announce = announce;
  out.note = [](const std::string& line) { print_line(stdout, line); };
  out.detached = detached;
  return run_session(sys, programs, options, out, &lock);
}

}  // namespace

int start(const StartOptions& options) {
  // The lock first: a start that cannot have it changes nothing, not even the session's log
  // in /tmp. A detached session keeps it across the fork.
  PosixSystem sys;
  SessionLock lock;
  if (Result<> locked = take_lock(lock, sys, "a tuning is already running: ", ""); !locked) {
    say(stderr, {locked.failure().reason});
    return exit_busy;
  }
  {
    // Said at once, on the terminal or to the init script, before anything detaches.
    ProcessPrograms programs;
    for (const std::string& warning : board_warnings(sys, programs)) {
      say(stderr, {"warning: ", warning});
    }
  }
  if (!options.foreground) {
    return run_detached([&](FunctionRef<void(int, const std::string&)> announce) {
      return run_on_board(options, lock, announce, true);
    });
  }
  return run_on_board(
      options, lock,
      [](int status, const std::string& line) {
        print_line(status == exit_done ? stdout : stderr, "tune-session: " + line);
      },
      false);
}

}  // namespace tune::session
