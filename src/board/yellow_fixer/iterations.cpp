// The yellow fixer's iterations: twelve observation passes, the persistently yellow chips,
// the decision and its restart, the step advance and the stop conditions.
#include "health.hpp"
#include "log.hpp"
#include "miner_files.hpp"
#include "miner_restart.hpp"
#include "miner_stats.hpp"
#include "settings.hpp"
#include "text.hpp"
#include "yellow_fixer.hpp"
#include "yellow_fixer_messages.hpp"

namespace tune {

namespace {

constexpr float low_rate = 10.0f;
constexpr int streak_limit = 3;
constexpr int forced_freq = red_floor_freq;  // MHz
constexpr int persistent_yellow_passes = 4;  // more than this many passes
constexpr int successful_iterations_to_stop = 3;

// Settings, chain lines and the global frequency always come back together, in this order.
void reload(TuneContext& ctx) {
  load_tune_settings(ctx, yellow_fixer_settings);
  read_chain_config(ctx);
  read_base_freq(ctx);
}

void start_iteration(YellowFixer& fixer) {
  fixer.red_count = 0;
  for (int slot = 0; slot < chain_count; ++slot) {
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      fixer.red_handled[slot][chip] = false;
      fixer.yellow_passes[slot][chip] = 0;
    }
  }
  fixer.iteration_changed = false;
}

// A red chip is handled once per iteration: 25 MHz down, or 300 MHz once its rate has been
// low for more than three iterations in a row.
void handle_red_chip(YellowFixer& fixer, int slot, int chip, int freq, float rate) {
  TuneContext& ctx = fixer.ctx;
  int& streak = fixer.low_hashrate_streak[slot][chip];
  fixer.red_handled[slot][chip] = true;
  if (rate < low_rate) ++streak;
  ++fixer.red_count;
  int miner_chain = miner_chain_number(slot);
  int new_freq = forced_freq;
  if (streak <= streak_limit) {
    new_freq = ladder_step_down(freq, red_step_gap);
  } else {
    tune_logf(ctx.sys, yellow_fixer_log::forced_chip, chip + 1, miner_chain, streak_limit,
              static_cast<double>(rate), forced_freq);
  }
  int step = ladder_index_of(new_freq);
  ctx.state.chip_override[chip_table_row(slot)][chip] = step;
  fixer.iteration_changed = true;
  tune_logf(ctx.sys, yellow_fixer_log::red_chip, chip + 1, miner_chain, freq_ladder[step]);
}

void observation_pass(YellowFixer& fixer) {
  TuneContext& ctx = fixer.ctx;
  for (int slot = 0; slot < chain_count; ++slot) {
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      int freq = effective_chip_freq(ctx.state, slot, chip);
      float rate = ctx.state.chip_rate[chip_table_row(slot)][chip];
      if (freq > red_floor_freq && rate > low_rate) fixer.low_hashrate_streak[slot][chip] = 0;
      ChipHealth health = chip_health(ctx.state, slot, chip, red_floor_freq);
      if (health == ChipHealth::red) {
        if (fixer.red_handled[slot][chip]) continue;
        handle_red_chip(fixer, slot, chip, freq, rate);
      } else if (health == ChipHealth::yellow && !fixer.red_handled[slot][chip]) {
        ++fixer.yellow_passes[slot][chip];
      }
    }
  }
}

// Chips yellow in five or more passes go one ladder entry down; off the ladder the stored
// step means no override, so such a chip keeps its frequency.
void lower_persistently_yellow(YellowFixer& fixer) {
  TuneContext& ctx = fixer.ctx;
  fixer.persistent_yellow_count = 0;
  for (int slot = 0; slot < chain_count; ++slot) {
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      if (fixer.yellow_passes[slot][chip] <= persistent_yellow_passes) continue;
      int freq = effective_chip_freq(ctx.state, slot, chip);
      if (freq <= red_floor_freq) continue;
      ++fixer.persistent_yellow_count;
      fixer.iteration_changed = true;
      ctx.state.chip_override[chip_table_row(slot)][chip] = ladder_index_of(freq) - 1;
    }
  }
}

}  // namespace

bool desired_ideal_rate_reached(YellowFixer& fixer) {
  TuneContext& ctx = fixer.ctx;
  float sum = 0;
  for (int slot = 0; slot < chain_count; ++slot) sum += ctx.state.chain_rate_ideal[slot];
  float threshold = static_cast<float>(ctx.settings.desired_rate) * desired_rate_factor;
  if (threshold <= sum) {
    tune_logf(ctx.sys, yellow_fixer_log::ideal_above, static_cast<double>(sum),
              static_cast<double>(threshold));
    return true;
  }
  // Also when a value is not a number.
  tune_logf(ctx.sys, yellow_fixer_log::ideal_below, static_cast<double>(sum),
            static_cast<double>(threshold));
  return false;
}

void run_yellow_iterations(YellowFixer& fixer) {
  TuneContext& ctx = fixer.ctx;
  for (;;) {
    start_iteration(fixer);
    for (int pass = 1; pass <= observation_passes; ++pass) {
      observation_pass(fixer);
      ctx.sys.sleep_seconds(pass_pause_seconds);
      wait_for_miner(ctx, wait_for_elapsed);
      read_chip_rates(ctx);
      reload(ctx);
    }
    lower_persistently_yellow(fixer);

    if (fixer.iteration_changed) {
      tune_logf(ctx.sys, yellow_fixer_log::persistent_yellow, fixer.persistent_yellow_count);
      write_chip_overrides(ctx);
      if (fixer.persistent_yellow_count > 0) {
        tune_log(ctx.sys, yellow_fixer_log::yellow_restart);
      } else {
        tune_logf(ctx.sys, yellow_fixer_log::red_restart, fixer.red_count);
      }
      restart_miner(ctx, wait_for_elapsed);
      fixer.successful_iterations = 0;
    } else if (++fixer.successful_iterations >= successful_iterations_to_stop) {
      tune_log(ctx.sys, yellow_fixer_log::three_successful);
      return;
    }

    fixer.yellow_step = wrapping_add(fixer.yellow_step, 1);
    write_yellow_step(fixer, fixer.yellow_step);
    wait_for_miner(ctx, wait_for_elapsed);
    read_miner_stats(ctx);
    read_chip_rates(ctx);
    read_chip_overrides(ctx);
    reload(ctx);
    if (fixer.yellow_step == check_limit) {
      tune_logf(ctx.sys, yellow_fixer_log::check_limit, check_limit);
      return;
    }
    if (!desired_ideal_rate_reached(fixer) && !fixer.iteration_changed) {
      tune_log(ctx.sys, yellow_fixer_log::rate_below_desired);
      return;
    }
  }
}

}  // namespace tune
