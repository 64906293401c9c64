#include "miner_restart.hpp"

#include <climits>
#include <cstring>

#include "context.hpp"
#include "log.hpp"
#include "miner_stats.hpp"
#include "text.hpp"

namespace tune {

namespace {

constexpr char elapsed_key[] = "Elapsed=";
constexpr size_t elapsed_buffer_size = 100;

// How long the miner still has to run; saturated so that no reading can overflow it.
int seconds_missing(int target, int elapsed) {
  long long missing = static_cast<long long>(target) - elapsed;
  return missing > INT_MAX ? INT_MAX : static_cast<int>(missing);
}

void log_catch_up(TuneContext& ctx, int elapsed) {
  int target = ctx.settings.wait_after_restart;
  int missing = seconds_missing(target, elapsed);
  tune_logf(ctx.sys, "Elapsed time is %d, need to wait another %d seconds to reach %d ...\n",
            elapsed, missing, target);
  ctx.sys.sleep_seconds(missing);
}

}  // namespace

int parse_elapsed(const std::string& line) {
  const char* text = line.c_str();  // the line ends at its first NUL byte
  const char* found = std::strstr(text, elapsed_key);
  if (found == nullptr) return -1;
  const char* digits = found + (sizeof elapsed_key - 1);
  char buffer[elapsed_buffer_size];
  size_t length = std::strcspn(digits, ",");
  if (length > sizeof buffer - 1) length = sizeof buffer - 1;
  std::memcpy(buffer, digits, length);
  buffer[length] = '\0';
  return parse_int(buffer);
}

void restart_miner(TuneContext& ctx) {
  if (ctx.sys.run_shell(restart_command) == -1) tune_fatal(ctx.sys, "Can't restart asic\n", -1);
  ctx.sys.sleep_seconds(restart_pause_seconds);
  wait_for_miner(ctx);
}

void wait_for_miner(TuneContext& ctx) {
  for (;;) {
    bool ready =
        ctx.program == Program::yellow_fixer ? wait_for_elapsed(ctx) : check_miner_started(ctx);
    if (ready) return;
    tune_logf(ctx.sys, "Not started yet, wait %d seconds\n", ctx.settings.stat_poll_interval);
    ctx.sys.sleep_seconds(ctx.settings.stat_poll_interval);
  }
}

int read_miner_elapsed(TuneContext& ctx) {
  PipeLine output = read_stats_first_line(ctx.sys);
  return output.has_line ? parse_elapsed(output.line) : -1;
}

bool wait_for_elapsed(TuneContext& ctx) {
  for (;;) {
    int elapsed = read_miner_elapsed(ctx);
    if (elapsed == -1) return false;
    if (elapsed >= ctx.settings.wait_after_restart) return true;
    log_catch_up(ctx, elapsed);
  }
}

bool check_miner_started(TuneContext& ctx) {
  PipeLine output = read_stats_first_line(ctx.sys);
  if (!output.has_line || std::strstr(output.line.c_str(), elapsed_key) == nullptr) return false;
  int elapsed = parse_elapsed(output.line);
  tune_logf(ctx.sys, "Elapsed time: %d\n", elapsed);
  if (elapsed < ctx.settings.wait_after_restart) log_catch_up(ctx, elapsed);
  return true;
}

}  // namespace tune
