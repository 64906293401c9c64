// Start-up, resume and finish of the yellow fixer, its persisted step, and its wait for
// the miner.
#include <unistd.h>

#include <cstdio>
#include <optional>

#include "files.hpp"
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

// The miner's running time, or -1 when the statistics give none.
int read_miner_elapsed(TuneContext& ctx) {
  PipeLine output = read_stats_first_line(ctx.sys);
  return output.has_line ? parse_elapsed(output.line) : -1;
}

}  // namespace

bool wait_for_elapsed(TuneContext& ctx) {
  for (;;) {
    int elapsed = read_miner_elapsed(ctx);
    if (elapsed == -1) return false;
    if (elapsed >= ctx.settings.wait_after_restart) return true;
    catch_up_with_miner(ctx, elapsed);
  }
}

int read_yellow_step(YellowFixer& fixer) {
  std::optional<std::string> first_line;
  for_each_line(fixer.ctx.sys, yellow_step_path, [&](const std::string& line) {
    if (!first_line) first_line = line;
  });
  if (!first_line) return 0;  // no file, or an empty one: a fresh start
  int step = parse_int(*first_line);
  tune_logf(fixer.ctx.sys, yellow_fixer_log::resuming, step);
  return step;
}

void write_yellow_step(YellowFixer& fixer, int step) {
  // A step that cannot be stored is passed over; the last stored one stays whole.
  char text[16];
  std::snprintf(text, sizeof text, "%d", step);
  replace_file(fixer.ctx.sys, fixer.ctx.sys.path(yellow_step_path), text);
}

void fix_yellow(YellowFixer& fixer) {
  TuneContext& ctx = fixer.ctx;
  fixer.yellow_step = read_yellow_step(fixer);
  if (fixer.yellow_step != 0) {
    wait_for_miner(ctx, wait_for_elapsed);  // resuming: the miner runs the stored overrides
  } else {
    restart_miner(ctx, wait_for_elapsed);
  }
  read_chip_rates(ctx);
  read_miner_stats(ctx);
  tune_log(ctx.sys, yellow_fixer_log::fix_yellow);
  read_chip_overrides(ctx);
  fixer.successful_iterations = 0;
  load_tune_settings(ctx, yellow_fixer_settings);
  read_chain_config(ctx);
  read_base_freq(ctx);

  run_yellow_iterations(fixer);

  // Synced: a power cut must not bring a finished run's step back, or it would resume.
  remove_file(ctx.sys, ctx.sys.path(yellow_step_path));
  if (access(ctx.sys.path(tune_running_path).c_str(), F_OK) == 0) {
    ctx.sys.run_shell(finish_command);  // its status is not the program's
  }
}

int yellow_fixer_main(System& sys) {
  // On the stack, not the heap: a fatal exit leaves nothing allocated behind.
  YellowFixer fixer(sys);
  tune_log_reset(sys);
  load_tune_settings(fixer.ctx, yellow_fixer_settings);
  fix_yellow(fixer);
  return 0;
}

}  // namespace tune
