// One tuning's life, run in one place: the plan says what comes next, the lifecycle does it,
// records it, and asks again, until the tuning has finished or a stage ends early. It works
// through the System (files, clock, shell) and the Programs (the two tuning programs), so
// that the same code runs on a board and in-process on the simulated machine.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "programs.hpp"
#include "session_lock.hpp"
#include "system.hpp"

namespace tune::session {

struct StartOptions {
  bool foreground = false;
  bool fresh = false;  // --new: a new tuning whatever the state, even one that cannot be read
  // Deadlines per stage run, in hours as given (parse_hours takes them); empty: none.
  std::string chain_tuner_hours, yellow_fixer_hours;
};

// Where the session's words go.
struct SessionOutput {
  // The outcome for whoever ran start (and, first, that the tuning began or goes on): its
  // exit status and one line, without the program's name.
  std::function<void(int status, const std::string& line)> announce;
  // The session's stamped account of what it does.
  std::function<void(const std::string& line)> note;
  bool detached = false;
};

// Runs the tuning from where it stands to its finish; the exit status. The lock is taken
// here, unless the caller took it already (`held`).
int run_session(System& sys, Programs& programs, const StartOptions& options,
                const SessionOutput& out, SessionLock* held = nullptr);

// What on the board keeps a tuning from ending well that the session cannot mend, one line
// each: no bmminer-api where the programs look for it (miner_client_warning); no finishing
// script while /config/tune-running asks for one.
std::vector<std::string> board_warnings(System& sys, Programs& programs);
inline constexpr char miner_client_warning[] =
    "bmminer-api is not on tune-session's PATH: the programs cannot reach the miner";

// After a finished tuning: /config/tune-running still there, which the init script takes for
// a tuning wanted. Empty when it is gone.
std::string tune_running_left(System& sys);

}  // namespace tune::session
