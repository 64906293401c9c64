// The chain tuner: per-chain voltage and frequency tuning over miner restarts, then per-chip
// raises and cuts. All of one run's state lives in one ChainTuner.
#pragma once

#include <algorithm>
#include <cmath>

#include "context.hpp"
#include "miner_restart.hpp"
#include "stage_files.hpp"

namespace tune {

inline constexpr int red_chip_limit = 15;
inline constexpr int yellow_chip_limit = 11;
inline constexpr int voltage_step = 10;
// No setting sets it; the "Config parse" entry shows it.
inline constexpr int freq_from = 500;
inline constexpr int freq_cut_gap = 25;  // MHz
inline constexpr int min_probe_voltage = 800;
inline constexpr int settle_wait_seconds = 60;

// The chain tuner reads every setting.
inline constexpr SettingReaders chain_tuner_settings = read_by_chain_tuner;

// The longest run `settings` allow, in seconds, with a miner that answers at once: each
// iteration a restart, check passes that change a chain (each settles for a minute; a
// chain walks its voltage down one step a pass, then settles), the minute of the green
// phase.
inline double chain_tuner_longest_run_seconds(const TuneSettings& settings) {
  const double restart = restart_pause_seconds + std::max(0, settings.wait_after_restart);
  const double voltage_steps =
      std::fabs(static_cast<double>(settings.voltage_to) - settings.voltage_from) / voltage_step;
  const double passes = voltage_steps + 2;
  return std::max(0, settings.restarts_count) * (restart + (passes + 1) * settle_wait_seconds);
}

struct ChainTuner {
  explicit ChainTuner(System& sys) : ctx(sys) {}

  TuneContext ctx;
  // Indexed by chain slot and chip index.
  bool chip_touched[chain_count][chips_per_chain] = {};  // never raised again
  bool chip_lowered[chain_count][chips_per_chain] = {};  // lowered in this iteration
};

// The whole program on a system: start-up, the tuning, the finish. Returns the exit status
// of a run that reaches the end.
int chain_tuner_main(System& sys);

// Loads the settings file, seeds every chain slot's frequency and voltage from freq_to and
// voltage_to, and logs the "Config parse" line.
void load_chain_tuner_settings(TuneContext& ctx);
// The chain tuner's look at a started miner: one reading of the running time and, when it
// is short of wait_after_restart, one catch-up sleep. False when no running time is
// reported yet.
bool check_miner_started(TuneContext& ctx);

// The tuning iterations; returns after writing the yellow marker, or ends the process when
// the desired rate is reached.
void run_chain_tuning(ChainTuner& tuner);
// True when the summed chain rates reach desired_rate; logs either way.
bool desired_rate_reached(ChainTuner& tuner);

// Chip adjustments of one chain slot. The counts mark red chips as touched and log the
// chain's count; true when the chain has too many such chips.
bool too_many_red_chips(ChainTuner& tuner, int slot);
bool too_many_yellow_chips(ChainTuner& tuner, int slot);
void lower_yellow_chips(ChainTuner& tuner, int slot);
void lower_red_chips(ChainTuner& tuner, int slot);
void raise_green_chips(ChainTuner& tuner, int slot);

}  // namespace tune
