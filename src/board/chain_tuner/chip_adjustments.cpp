// Counting a chain's weak chips, lowering them, and raising the green ones.
#include "chain_tuner.hpp"
#include "chain_tuner_messages.hpp"
#include "health.hpp"
#include "log.hpp"

namespace tune {

namespace {

constexpr int yellow_floor = 100;  // MHz: only yellow chips above this are lowered
constexpr int green_raise_steps = 2;

void set_override(ChainTuner& tuner, int slot, int chip, int step) {
  tuner.ctx.state.chip_override[chip_table_row(slot)][chip] = step;
}

ChipHealth health_of(const ChainTuner& tuner, int slot, int chip) {
  return chip_health(tuner.ctx.state, slot, chip, no_red_floor);
}

// The step two ladder frequencies above `freq`, never past the top step. A frequency
// between ladder entries counts from the first entry above it; above the top there is
// nothing to raise to (-1).
int raised_step(int freq) {
  int index = ladder_index_of(freq);
  if (index < 0) {
    index = 0;
    while (index < ladder_size && freq_ladder[index] < freq) ++index;
    if (index == ladder_size) return -1;
    --index;  // the entry just above counts as the first of the two steps
  }
  int step = index + green_raise_steps;
  return step > top_ladder_step ? top_ladder_step : step;
}

}  // namespace

bool too_many_red_chips(ChainTuner& tuner, int slot) {
  int count = 0;
  for (int chip = 0; chip < chips_per_chain; ++chip) {
    if (health_of(tuner, slot, chip) != ChipHealth::red) continue;
    ++count;
    tuner.chip_touched[slot][chip] = true;
  }
  if (count > red_chip_limit) {
    tune_logf(tuner.ctx.sys, chain_tuner_log::too_many_reds, chain_number_of(slot), count);
    return true;
  }
  tune_logf(tuner.ctx.sys, chain_tuner_log::reds_counted, chain_number_of(slot), count);
  return false;
}

bool too_many_yellow_chips(ChainTuner& tuner, int slot) {
  int count = 0;
  for (int chip = 0; chip < chips_per_chain; ++chip) {
    if (health_of(tuner, slot, chip) == ChipHealth::yellow) ++count;
  }
  if (count > yellow_chip_limit) {
    tune_logf(tuner.ctx.sys, "Too much yellow chips on chain %d: %d\n", chain_number_of(slot),
              count);
    return true;
  }
  tune_logf(tuner.ctx.sys, "Number of yellow on chain %d: %d\n", chain_number_of(slot), count);
  return false;
}

void lower_yellow_chips(ChainTuner& tuner, int slot) {
  for (int chip = 0; chip < chips_per_chain; ++chip) {
    int freq = effective_chip_freq(tuner.ctx.state, slot, chip);
    if (health_of(tuner, slot, chip) != ChipHealth::yellow || freq <= yellow_floor) continue;
    tuner.chip_touched[slot][chip] = true;
    // Off the ladder this is -2: no override, the chip stays at its chain's frequency.
    set_override(tuner, slot, chip, ladder_index_of(freq) - 1);
    tuner.chip_lowered[slot][chip] = true;
  }
}

void lower_red_chips(ChainTuner& tuner, int slot) {
  for (int chip = 0; chip < chips_per_chain; ++chip) {
    int freq = effective_chip_freq(tuner.ctx.state, slot, chip);
    if (health_of(tuner, slot, chip) != ChipHealth::red || tuner.chip_lowered[slot][chip] ||
        freq <= red_floor_freq) {
      continue;
    }
    tuner.chip_touched[slot][chip] = true;
    tuner.chip_lowered[slot][chip] = true;
    set_override(tuner, slot, chip, ladder_index_of(ladder_step_down(freq, freq_cut_gap)));
  }
}

void raise_green_chips(ChainTuner& tuner, int slot) {
  for (int chip = 0; chip < chips_per_chain; ++chip) {
    int freq = effective_chip_freq(tuner.ctx.state, slot, chip);
    if (health_of(tuner, slot, chip) != ChipHealth::green || freq >= tuner.ctx.settings.max_freq ||
        tuner.chip_touched[slot][chip]) {
      continue;
    }
    int step = raised_step(freq);
    if (step >= 0) set_override(tuner, slot, chip, step);
  }
}

}  // namespace tune
