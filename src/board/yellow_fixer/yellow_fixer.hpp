// The yellow fixer: per-chip observation passes that lower red and persistently yellow
// chips, resumable through its step file. All of one run's state lives in one YellowFixer.
#pragma once

#include <algorithm>

#include "context.hpp"
#include "miner_restart.hpp"
#include "stage_files.hpp"

namespace tune {

inline constexpr int observation_passes = 12;
inline constexpr int pass_pause_seconds = 10;
inline constexpr int check_limit = 15;
inline constexpr float desired_rate_factor = 1.01f;
// A red chip goes to the highest ladder step at least this many MHz below its frequency.
inline constexpr int red_step_gap = 25;

// The yellow fixer reads the settings both programs share; it ignores the chain tuner's.
inline constexpr SettingReaders yellow_fixer_settings = read_by_yellow_fixer;

// The longest run `settings` allow, in seconds, with a miner that answers at once: the
// first restart, then up to the check limit of iterations, each observing every chip for
// its passes and restarting the miner after a change.
inline double yellow_fixer_longest_run_seconds(const TuneSettings& settings) {
  const double restart = restart_pause_seconds + std::max(0, settings.wait_after_restart);
  return (check_limit + 1) * restart +
         static_cast<double>(check_limit) * observation_passes * pass_pause_seconds;
}

struct YellowFixer {
  explicit YellowFixer(System& sys) : ctx(sys) {}

  TuneContext ctx;
  // Indexed by chain slot and chip index.
  int low_hashrate_streak[chain_count][chips_per_chain] = {};  // whole process
  bool red_handled[chain_count][chips_per_chain] = {};         // this iteration
  int yellow_passes[chain_count][chips_per_chain] = {};        // this iteration
  int red_count = 0;
  bool iteration_changed = false;
  int persistent_yellow_count = 0;
  int successful_iterations = 0;
  int yellow_step = 0;
};

// The whole program on a system. Returns the exit status of a run that reaches the end.
int yellow_fixer_main(System& sys);

// Start-up (resume or restart), the iterations and the finish, which runs the finishing
// script when a tuning run is marked active; the script's status is not the program's.
void fix_yellow(YellowFixer& fixer);

// The yellow fixer's look at the miner: reads the running time until it reaches
// wait_after_restart, sleeping for what is missing. False when no running time is reported.
bool wait_for_elapsed(TuneContext& ctx);

// The stored step of an interrupted run, or 0; logs the resume when a line was read.
int read_yellow_step(YellowFixer& fixer);
void write_yellow_step(YellowFixer& fixer, int step);

// The iterations, until one of the three stop messages is logged.
void run_yellow_iterations(YellowFixer& fixer);
// True when the summed ideal chain rates reach desired_rate times 1.01; logs either way.
bool desired_ideal_rate_reached(YellowFixer& fixer);

}  // namespace tune
