// The programs' logs kept in /config/tune-logs: each program replaces /tmp/auto-tune when it
// starts, and /tmp is gone after a reboot, so the session keeps a copy when a stage ends.
// Names are "TTTT-R-PROGRAM.log" (tuning, then the run within it), so that they sort in
// the order they were written; the last five tunings are kept, within a size cap.
#pragma once

#include <string>
#include <vector>

#include "result.hpp"
#include "system.hpp"

namespace tune::session {

inline constexpr int kept_tunings = 5;
inline constexpr size_t kept_logs_cap = 256 * 1024;   // all kept logs together
inline constexpr size_t kept_log_limit = 128 * 1024;  // one log: its last lines
// How often a running program's log is copied: a cut loses at most its last interval.
inline constexpr long long keep_interval_seconds = 10 * 60;

struct KeptLogFile {
  std::string name;  // within the directory
  int tuning = 0, run = 0;
  std::string program;  // as the name gives it
  long long bytes = 0;
};

// The kept logs in the directory, oldest first: regular files named as keep_log names them.
// Other files are passed over, but with `any_but_directories` (a copy read elsewhere, whose
// links and others its reader looks at) only directories are.
std::vector<KeptLogFile> list_kept_logs(const std::string& directory,
                                        bool any_but_directories = false);

// Copies the program's log of this run (again, while it runs: the copy is replaced), then
// removes logs of older tunings and the oldest logs past the cap. On a full /config the
// oldest other logs give way to it. Where it is kept; empty when there was no log to keep.
Result<std::string> keep_log(System& sys, int tuning, int run, const char* program);

// Removes the hidden files a cut left while a log was being kept.
void remove_leftovers(System& sys);

// Makes room on a full /config: removes the oldest kept log. False when none is left.
bool give_way(System& sys);

// The program a kept log of this run names, empty when none is kept.
std::string kept_program(System& sys, int tuning, int run);

// The highest tuning number among the kept logs, 0 when there are none.
int highest_kept_tuning(System& sys);

}  // namespace tune::session
