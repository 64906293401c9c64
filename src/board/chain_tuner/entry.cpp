// Start-up of the chain tuner: its settings, and its look at a freshly started miner.
#include "chain_tuner.hpp"
#include "chain_tuner_messages.hpp"
#include "log.hpp"
#include "miner_files.hpp"
#include "miner_restart.hpp"
#include "miner_stats.hpp"
#include "settings.hpp"

namespace tune {

void load_chain_tuner_settings(TuneContext& ctx) {
  load_tune_settings(ctx, chain_tuner_settings);
  TuneSettings& s = ctx.settings;
  for (int slot = 0; slot < chain_count; ++slot) {
    ctx.state.chain_freq[slot] = s.freq_to;
    ctx.state.chain_voltage[slot] = s.voltage_to;
  }
  tune_logf(ctx.sys, chain_tuner_log::config_parse, freq_from, s.freq_to, s.voltage_from,
            s.voltage_to, s.ideal_percent);
}

bool check_miner_started(TuneContext& ctx) {
  PipeLine output = read_stats_first_line(ctx.sys);
  if (!output.has_line || !reports_elapsed(output.line)) return false;
  int elapsed = parse_elapsed(output.line);
  tune_logf(ctx.sys, chain_tuner_log::elapsed, elapsed);
  if (elapsed < ctx.settings.wait_after_restart) catch_up_with_miner(ctx, elapsed);
  return true;
}

int chain_tuner_main(System& sys) {
  // On the stack, not the heap: a fatal exit leaves nothing allocated behind.
  ChainTuner tuner(sys);
  tune_log_reset(sys);
  read_base_freq(tuner.ctx);
  load_chain_tuner_settings(tuner.ctx);
  run_chain_tuning(tuner);
  return 0;
}

}  // namespace tune
