// The free space a tuning needs on /config, so that a board too full to tune is refused with
// a figure at the start, rather than a program ending on a write it cannot store at every
// boot. What it counts, from where the tuning stands: for a new tuning, its set (or two, the
// board's first) of saved sets of the miner's files with their records and directory; then,
// for the programs, a new file beside the largest miner file (the durable replace writes
// the new content whole before the old goes), the state's new file, chain-tuner's marker and
// yellow-fixer's step file; to record a finish, the state's new file alone. The kept logs
// are not counted: they give way to the state.
#pragma once

#include <string>

#include "plan.hpp"
#include "system.hpp"

namespace tune::session {

struct Room {
  unsigned long long free_bytes = 0;    // that any user may use
  unsigned long long needed_bytes = 0;  // by the next action, from where the tuning stands
  unsigned long long block_bytes = 0;
};

// The room on /config for what start does next; false (with errno) when /config cannot be
// measured.
bool measure_room(System& sys, Action next, bool first_tuning, Room& room);

// "/config has 8 KiB free; a new tuning needs 44 KiB (...)" when it is too full for the next
// action, else empty (also when it cannot be measured: the writes then say what fails).
std::string too_full(System& sys, Action next, bool first_tuning);

}  // namespace tune::session
