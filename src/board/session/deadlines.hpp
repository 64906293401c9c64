// How long a stage's program may run before the session ends it. The programs wait for a
// miner that does not come up without limit; the deadline is what bounds that wait.
#pragma once

#include "programs.hpp"
#include "system.hpp"

namespace tune::session {

// Twice the longest run the settings in /config/autoTune.conf allow the program (its
// iterations, restarts, waits and pauses, with a miner that answers at once), in hours: at
// least an hour, at most a year. The defaults stand in for a setting the file lacks, and
// for a file that cannot be read.
double default_deadline_hours(System& sys, Program program);

}  // namespace tune::session
