// Runs one of the tuning programs as a stage: in a process group of its own, ended with
// the session, bounded by a deadline, and ended on request. While a session runs it holds
// SIGTERM, SIGINT and SIGHUP blocked and takes them as a request to stop.
#pragma once

#include <string>

#include "session_state.hpp"

namespace tune::session {

// Blocks the stop signals and SIGCHLD (they are waited for, never handled) and ignores
// SIGPIPE. Called once, before a session starts anything.
void hold_signals();

// True once SIGTERM, SIGINT or SIGHUP has come.
bool stop_requested();

// Seconds on a clock that never jumps (the wall clock may, at the first time sync).
double monotonic_seconds();

struct ProgramRun {
  enum class Ending { ended, timed_out, stopped, not_started } ending = Ending::not_started;
  ProgramEnd end;     // how the process ended (also after a time-out or a stop)
  std::string error;  // when not started
};

// Runs the program (no arguments) and waits for it, for at most `hours`. At the deadline,
// or on a stop request, the program's group gets SIGTERM, then SIGKILL if it lingers.
ProgramRun run_program(const std::string& path, double hours);

}  // namespace tune::session
