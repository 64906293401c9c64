// Restarting the miner through its trigger file and waiting until it has run long enough.
// How a program tells that the miner is ready is its own: it passes its check in.
#pragma once

#include <string>

namespace tune {

struct TuneContext;

inline constexpr char restart_command[] = "echo ok > /config/restart";

// The wait's log entries, which the rehearsal reads too.
inline constexpr char catch_up_message[] =
    "Elapsed time is %d, need to wait another %d seconds to reach %d ...\n";
inline constexpr char not_started_message[] = "Not started yet, wait %d seconds\n";
inline constexpr int restart_pause_seconds = 5;

// One look at the miner: true once it is ready to be read (after any catch-up sleep the
// check makes), false when it does not report its running time yet.
using MinerReadyCheck = bool (*)(TuneContext& ctx);

// True when a statistics line reports the miner's running time ("Elapsed=").
bool reports_elapsed(const std::string& line);
// The running time after the first "Elapsed=" of a statistics line (digits up to the next
// ",", at most 99 characters), or -1 when the line has no "Elapsed=".
int parse_elapsed(const std::string& line);

// Logs how long the miner still has to run to reach wait_after_restart, and sleeps that long.
void catch_up_with_miner(TuneContext& ctx, int elapsed);

// Writes the trigger, pauses 5 seconds and waits for the miner. A shell that cannot be run
// ends the run with "Can't restart asic\n", status -1.
void restart_miner(TuneContext& ctx, MinerReadyCheck miner_ready);
// Returns once the check finds the miner ready, looking again every stat_poll_interval
// seconds.
void wait_for_miner(TuneContext& ctx, MinerReadyCheck miner_ready);

}  // namespace tune
