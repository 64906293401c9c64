// Start-up, resume and finish of the yellow fixer, and its persisted step.
#include <unistd.h>

#include <cstdio>

#include "files.hpp"
#include "log.hpp"
#include "miner_files.hpp"
#include "miner_restart.hpp"
#include "miner_stats.hpp"
#include "settings.hpp"
#include "text.hpp"
#include "yellow_fixer.hpp"

namespace tune {

int parse_yellow_step(const std::string& first_line) {
  return parse_int(first_line);
}

int read_yellow_step(YellowFixer& fixer) {
  std::FILE* file = std::fopen(fixer.ctx.sys.path(yellow_step_path).c_str(), "r");
  if (file == nullptr) return 0;
  std::string line;
  bool has_line = read_line(file, line);
  std::fclose(file);
  if (!has_line) return 0;
  int step = parse_yellow_step(line);
  tune_logf(fixer.ctx.sys, "Resuming tune from step %d\n", step);
  return step;
}

void write_yellow_step(YellowFixer& fixer, int step) {
  // A step that cannot be stored is passed over; the last stored one stays whole.
  char text[16];
  std::snprintf(text, sizeof text, "%d", step);
  replace_file(fixer.ctx.sys.path(yellow_step_path), text);
}

int fix_yellow(YellowFixer& fixer) {
  TuneContext& ctx = fixer.ctx;
  fixer.yellow_step = read_yellow_step(fixer);
  if (fixer.yellow_step != 0) {
    wait_for_miner(ctx);  // resuming: the miner already runs the stored overrides
  } else {
    restart_miner(ctx);
  }
  read_chip_rates(ctx);
  read_miner_stats(ctx);
  tune_log(ctx.sys, "Fix yellow\n");
  read_chip_overrides(ctx);
  fixer.successful_iterations = 0;
  load_tune_settings(ctx);
  read_chain_config(ctx);
  read_base_freq(ctx);

  run_yellow_iterations(fixer);

  std::remove(ctx.sys.path(yellow_step_path).c_str());
  if (access(ctx.sys.path(tune_running_path).c_str(), F_OK) != 0) return 0;
  return ctx.sys.run_shell(finish_command);
}

int yellow_fixer_main(System& sys) {
  // On the stack, not the heap: a fatal exit leaves nothing allocated behind.
  YellowFixer fixer(sys);
  tune_log_reset(sys);
  load_tune_settings(fixer.ctx);
  fix_yellow(fixer);  // the finishing script's status is not the program's
  return 0;
}

}  // namespace tune
