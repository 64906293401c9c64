// The commands of tune-session: the life of one tuning on a board.
#pragma once

#include "lifecycle.hpp"

namespace tune::session {

// tune-session's exit statuses.
inline constexpr int exit_done = 0;    // done, or detached
inline constexpr int exit_failed = 1;  // a stage failed, timed out or was stopped; no saved set
inline constexpr int exit_usage = 2;
inline constexpr int exit_busy = 3;  // another session runs, or the board is unusable

// Begins a new tuning or goes on with the one under way; see the manual page.
int start(const StartOptions& options);
// Where the tuning stands, as text or as one JSON object.
int status(bool json);
// Ends the running stage; a later start resumes it.
int stop();
// Puts back the files of the set "before" or "original" and restarts the miner.
int undo(const char* set);

}  // namespace tune::session
