// The tuning programs as processes: each stage's program in a process group of its own,
// ended with the session, bounded by a deadline, and ended on request. While a session runs
// it holds SIGTERM, SIGINT and SIGHUP blocked and takes them as a request to stop.
#pragma once

#include <string>

#include "programs.hpp"

namespace tune::session {

// Blocks the stop signals and SIGCHLD (they are waited for, never handled) and ignores
// SIGPIPE. Called once, before a session starts anything.
void hold_signals();

// Seconds on a clock that never jumps (the wall clock may, at the first time sync).
double monotonic_seconds();

class ProcessPrograms final : public Programs {
 public:
  // The programs beside this executable, else in /usr/sbin.
  std::string where(Program program) override;
  // At the deadline, or on a stop request, the program's group gets SIGTERM, then SIGKILL
  // if it lingers.
  Result<ProgramRun> run(Program program, double hours, FunctionRef<void()> meanwhile) override;
  bool stop_requested() override;
  // Looked for on PATH, as the programs' shell looks for it.
  bool miner_client_found() override;
};

}  // namespace tune::session
