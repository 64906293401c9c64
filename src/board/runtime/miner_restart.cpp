#include "miner_restart.hpp"

#include <climits>
#include <cstring>

#include "context.hpp"
#include "log.hpp"
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

}  // namespace

bool reports_elapsed(const std::string& line) {
  return std::strstr(line.c_str(), elapsed_key) != nullptr;  // the line ends at a NUL byte
}

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

void catch_up_with_miner(TuneContext& ctx, int elapsed) {
  int target = ctx.settings.wait_after_restart;
  int missing = seconds_missing(target, elapsed);
  tune_logf(ctx.sys, catch_up_message, elapsed, missing, target);
  ctx.sys.sleep_seconds(missing);
}

void restart_miner(TuneContext& ctx, MinerReadyCheck miner_ready) {
  if (ctx.sys.run_shell(restart_command) == -1) tune_fatal(ctx.sys, -1, fatal_log::restart_failed);
  ctx.sys.sleep_seconds(restart_pause_seconds);
  wait_for_miner(ctx, miner_ready);
}

void wait_for_miner(TuneContext& ctx, MinerReadyCheck miner_ready) {
  while (!miner_ready(ctx)) {
    tune_logf(ctx.sys, not_started_message, ctx.settings.stat_poll_interval);
    ctx.sys.sleep_seconds(ctx.settings.stat_poll_interval);
  }
}

}  // namespace tune
