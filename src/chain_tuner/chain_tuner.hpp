// The chain tuner: per-chain voltage and frequency tuning over miner restarts, then per-chip
// raises and cuts. All of one run's state lives in one ChainTuner.
#pragma once

#include "context.hpp"

namespace tune {

inline constexpr int yellow_chip_limit = 11;
inline constexpr int freq_cut_gap = 25;  // MHz
inline constexpr int min_probe_voltage = 800;
inline constexpr int settle_wait_seconds = 60;

struct ChainTuner {
  explicit ChainTuner(System& sys) : ctx(sys, Program::chain_tuner) {}

  TuneContext ctx;
  // Indexed by chain slot (rows 0 to 5 are used) and chip index.
  int chip_touched[chip_table_rows][chips_per_chain] = {};  // never raised again
  int chip_lowered[chip_table_rows][chips_per_chain] = {};  // lowered in this iteration
};

// The whole program on a system: start-up, the tuning, the finish. Returns the exit status
// of a run that reaches the end.
int chain_tuner_main(System& sys);

// The tuning iterations; returns after writing the yellow marker, or ends the process when
// the desired rate is reached.
void run_chain_tuning(ChainTuner& tuner);
// 1 when the summed chain rates reach desired_rate times the factor; logs either way.
int desired_rate_reached(ChainTuner& tuner, float factor);

// Chip adjustments of one chain slot.
int count_red_chips(ChainTuner& tuner, int slot);
int count_yellow_chips(ChainTuner& tuner, int slot);
void lower_yellow_chips(ChainTuner& tuner, int slot);
void lower_red_chips(ChainTuner& tuner, int slot);
void raise_green_chips(ChainTuner& tuner, int slot);

}  // namespace tune
