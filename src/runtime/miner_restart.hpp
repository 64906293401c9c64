// Restarting the miner through its trigger file and waiting until it has run long enough.
#pragma once

#include <string>

namespace tune {

struct TuneContext;

inline constexpr char restart_command[] = "echo ok > /config/restart";
inline constexpr int restart_pause_seconds = 5;

// The running time after the first "Elapsed=" of a statistics line (digits up to the next
// ",", at most 99 characters), or -1 when the line has no "Elapsed=".
int parse_elapsed(const std::string& line);

// Writes the trigger, pauses 5 seconds and waits for the miner. A shell that cannot be run
// ends the run with "Can't restart asic\n", status -1.
void restart_miner(TuneContext& ctx);
// Returns once the miner counts as ready, polling every stat_poll_interval seconds.
void wait_for_miner(TuneContext& ctx);

// Yellow fixer: the running time, or -1 when the statistics give none.
int read_miner_elapsed(TuneContext& ctx);
// Yellow fixer: sleeps until the running time reaches wait_after_restart; false when the
// running time cannot be read.
bool wait_for_elapsed(TuneContext& ctx);
// Chain tuner: one reading of the running time and one catch-up sleep; false when the
// running time cannot be read.
bool check_miner_started(TuneContext& ctx);

}  // namespace tune
