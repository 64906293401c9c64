// The commands of tune-session: the life of one tuning on a board.
#pragma once

#include "exit_status.hpp"
#include "lifecycle.hpp"

namespace tune::session {

// Begins a new tuning or goes on with the one under way; see the manual page.
int start(const StartOptions& options);
// Where the tuning stands, as text or as one JSON object.
int status(bool json);
// Ends the running stage; a later start resumes it.
int stop();
// Puts back the files of the set "before" or "original" and restarts the miner.
int undo(const char* set);

}  // namespace tune::session
