// The chain tuning iterations: restart, read, check every chain pass after pass, maybe end on
// the desired rate, probe the green chips at a lower voltage, and go again.
#include <array>

#include "chain_tuner.hpp"
#include "chain_tuner_messages.hpp"
#include "log.hpp"
#include "miner_files.hpp"
#include "miner_restart.hpp"
#include "miner_stats.hpp"
#include "text.hpp"

namespace tune {

namespace {

enum class ChainStatus { pending, settled };

// State of one call of run_chain_tuning.
struct LoopState {
  std::array<int, chain_count> voltage_floor{};
  std::array<ChainStatus, chain_count> chain_status{};
  bool all_chains_ok = true;
};

void raise_chain_voltage(ChainTuner& tuner, int slot) {
  tuner.ctx.state.chain_voltage[slot] =
      wrapping_add(tuner.ctx.state.chain_voltage[slot], voltage_step);
}

void lower_chain_voltage(ChainTuner& tuner, int slot) {
  tuner.ctx.state.chain_voltage[slot] =
      wrapping_add(tuner.ctx.state.chain_voltage[slot], -voltage_step);
}

void step_chain_freq_down(ChainTuner& tuner, int slot) {
  tuner.ctx.state.chain_freq[slot] =
      ladder_step_down(tuner.ctx.state.chain_freq[slot], freq_cut_gap);
}

bool any_chain_pending(const LoopState& loop) {
  for (ChainStatus status : loop.chain_status) {
    if (status == ChainStatus::pending) return true;
  }
  return false;
}

void write_yellow_marker(ChainTuner& tuner) {
  tune_log(tuner.ctx.sys, chain_tuner_log::done);
  tuner.ctx.sys.run_shell(yellow_marker_command);  // a missing marker changes nothing here
}

// One check of a pending chain: raise or cut an unhealthy one, lower a healthy one's weak
// chips and its voltage. True when the chain's voltage or frequency changed.
bool check_chain(ChainTuner& tuner, LoopState& loop, int slot) {
  TuneState& state = tuner.ctx.state;
  System& sys = tuner.ctx.sys;
  int chain = chain_number_of(slot);
  if (too_many_red_chips(tuner, slot) || too_many_yellow_chips(tuner, slot)) {
    int voltage = state.chain_voltage[slot];
    if (voltage == tuner.ctx.settings.voltage_to) {
      step_chain_freq_down(tuner, slot);
      tune_logf(sys, "Voltage %d on chain %d is max, decreasing chain freq to %d\n", voltage, chain,
                state.chain_freq[slot]);
    } else {
      tune_logf(sys, "Voltage %d on chain %d is not max, increasing voltage to %d\n", voltage,
                chain, wrapping_add(voltage, voltage_step));
      raise_chain_voltage(tuner, slot);
    }
    loop.voltage_floor[slot] = state.chain_voltage[slot];
    loop.chain_status[slot] = ChainStatus::settled;
    loop.all_chains_ok = false;
    return true;
  }
  lower_yellow_chips(tuner, slot);
  lower_red_chips(tuner, slot);
  write_chip_overrides(tuner.ctx);
  if (state.chain_voltage[slot] == loop.voltage_floor[slot]) {
    tune_logf(sys, "Voltage of Chain %d is lowest (%d), stop decreasing\n", chain,
              state.chain_voltage[slot]);
    loop.chain_status[slot] = ChainStatus::settled;
    return false;
  }
  lower_chain_voltage(tuner, slot);
  tune_logf(sys, "Chain %d is ok, decreasing voltage to %d\n", chain, state.chain_voltage[slot]);
  return true;
}

void check_phase(ChainTuner& tuner, LoopState& loop) {
  TuneContext& ctx = tuner.ctx;
  while (any_chain_pending(loop)) {
    read_chip_rates(ctx);
    bool pass_changed = false;
    for (int slot = 0; slot < chain_count; ++slot) {
      // A chain without rate is skipped, and says so in every pass.
      if (ctx.state.chain_rate[slot] == 0) {
        loop.chain_status[slot] = ChainStatus::settled;
        tune_logf(ctx.sys, "Rate of chain %d is 0, skip\n", chain_number_of(slot));
        continue;
      }
      if (loop.chain_status[slot] == ChainStatus::settled) continue;
      if (check_chain(tuner, loop, slot)) pass_changed = true;
    }
    if (pass_changed) {
      tune_logf(ctx.sys, chain_tuner_log::settle, settle_wait_seconds);
      write_chain_config(ctx);
      ctx.sys.sleep_seconds(settle_wait_seconds);
      read_miner_stats(ctx);
    }
  }
}

// Lowers every working chain's voltage for a minute, raises the chips that stay green, and
// puts the voltages back.
void green_phase(ChainTuner& tuner) {
  TuneContext& ctx = tuner.ctx;
  TuneState& state = ctx.state;
  std::array<int, chain_count> probe_voltage{};
  for (int slot = 0; slot < chain_count; ++slot) {
    if (state.chain_rate[slot] > 0 && state.chain_voltage[slot] > min_probe_voltage) {
      probe_voltage[slot] = state.chain_voltage[slot];
      lower_chain_voltage(tuner, slot);
      tune_logf(ctx.sys, chain_tuner_log::green_lowering, chain_number_of(slot),
                state.chain_voltage[slot]);
    }
  }
  write_chain_config(ctx);
  ctx.sys.sleep_seconds(settle_wait_seconds);
  read_chip_rates(ctx);
  for (int slot = 0; slot < chain_count; ++slot) {
    if (!(state.chain_rate[slot] > 0)) continue;
    tune_logf(ctx.sys, chain_tuner_log::green_raising, chain_number_of(slot));
    raise_green_chips(tuner, slot);
    if (probe_voltage[slot] > min_probe_voltage) {
      raise_chain_voltage(tuner, slot);
      tune_logf(ctx.sys, chain_tuner_log::green_reverting, chain_number_of(slot),
                state.chain_voltage[slot]);
    }
  }
  write_chip_overrides(ctx);
  write_chain_config(ctx);
}

void end_iteration(ChainTuner& tuner, LoopState& loop) {
  for (int slot = 0; slot < chain_count; ++slot) {
    loop.chain_status[slot] = ChainStatus::pending;
    if (tuner.ctx.state.chain_voltage[slot] >= loop.voltage_floor[slot]) {
      loop.voltage_floor[slot] = tuner.ctx.state.chain_voltage[slot];
    }
    for (bool& lowered : tuner.chip_lowered[slot]) lowered = false;
  }
}

}  // namespace

bool desired_rate_reached(ChainTuner& tuner) {
  TuneContext& ctx = tuner.ctx;
  int total = 0;
  for (int slot = 0; slot < chain_count; ++slot) {
    total = truncate_to_int(static_cast<float>(total) + ctx.state.chain_rate[slot]);
  }
  float threshold = static_cast<float>(ctx.settings.desired_rate);
  if (threshold <= static_cast<float>(total)) {
    tune_logf(ctx.sys, chain_tuner_log::rate_reached, total, static_cast<double>(threshold));
    return true;
  }
  tune_logf(ctx.sys, chain_tuner_log::rate_below, total, static_cast<double>(threshold));
  return false;
}

void run_chain_tuning(ChainTuner& tuner) {
  TuneContext& ctx = tuner.ctx;
  LoopState loop;
  loop.voltage_floor.fill(ctx.settings.voltage_from);
  for (int iteration = 1; iteration <= ctx.settings.restarts_count; ++iteration) {
    loop.chain_status.fill(ChainStatus::pending);
    write_chain_config(ctx);
    restart_miner(ctx, check_miner_started);
    tune_log(ctx.sys, chain_tuner_log::get_stat);
    read_miner_stats(ctx);
    if (ctx.state.chain_rate[0] == -1.0f) {
      tune_log(ctx.sys, chain_tuner_log::not_started_in_time);
      break;
    }
    read_chip_rates(ctx);
    tune_log(ctx.sys, chain_tuner_log::check_rates);
    loop.all_chains_ok = true;
    check_phase(tuner, loop);
    if (loop.all_chains_ok && desired_rate_reached(tuner)) {
      write_yellow_marker(tuner);
      ctx.sys.exit_process(0);
    }
    green_phase(tuner);
    end_iteration(tuner, loop);
  }
  write_yellow_marker(tuner);
}

}  // namespace tune
