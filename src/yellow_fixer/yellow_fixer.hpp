// The yellow fixer: per-chip observation passes that lower red and persistently yellow
// chips, resumable through its step file. All of one run's state lives in one YellowFixer.
#pragma once

#include <string>

#include "context.hpp"

namespace tune {

inline constexpr char yellow_step_path[] = "/config/yellow-step";
inline constexpr char tune_running_path[] = "/config/tune-running";
inline constexpr char finish_command[] = "/bin/sh /sbin/finish-tune.sh";

inline constexpr int observation_passes = 12;
inline constexpr int pass_pause_seconds = 10;
inline constexpr int check_limit = 15;
inline constexpr float desired_rate_factor = 1.01f;

struct YellowFixer {
  explicit YellowFixer(System& sys) : ctx(sys, Program::yellow_fixer) {}

  TuneContext ctx;
  // Indexed by chain slot and chip index.
  int low_hashrate_streak[chain_count][chips_per_chain] = {};  // whole process
  int red_handled[chain_count][chips_per_chain] = {};          // this iteration
  int yellow_passes[chain_count][chips_per_chain] = {};        // this iteration
  int red_count = 0;
  int iteration_changed = 0;
  int persistent_yellow_count = 0;
  int yellow_found = 0;
  int successful_iterations = 0;
  int yellow_step = 0;
};

// The whole program on a system. Returns the exit status of a run that reaches the end.
int yellow_fixer_main(System& sys);

// Start-up (resume or restart), the iterations and the finish. Returns the finishing
// script's status, or 0 when no tuning run is marked active.
int fix_yellow(YellowFixer& fixer);

// The stored step of an interrupted run, or 0; logs the resume when a line was read.
int parse_yellow_step(const std::string& first_line);
int read_yellow_step(YellowFixer& fixer);
void write_yellow_step(YellowFixer& fixer, int step);

// The iterations, until one of the three stop messages is logged.
void run_yellow_iterations(YellowFixer& fixer);
// 1 when the summed ideal rate is below desired_rate times the factor; logs either way.
int check_desired_rate(YellowFixer& fixer, float factor);

}  // namespace tune
