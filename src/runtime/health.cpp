#include "health.hpp"

#include "context.hpp"

namespace tune {

namespace {

inline constexpr int yellow_fixer_red_floor = 300;

// The expected rate is computed in double and rounded to single, the ratio is divided in
// single and widened to double for the comparisons: the boundaries depend on exactly this.
double rate_ratio(const TuneContext& ctx, int slot, int chip, int freq) {
  float expected = static_cast<float>(static_cast<double>(freq) / 8.7);
  float rate = ctx.state.chip_rate[chain_number_of(slot)][chip];
  float ratio = rate / expected;
  return static_cast<double>(ratio);
}

}  // namespace

int is_red(const TuneContext& ctx, int slot, int chip) {
  int freq = effective_chip_freq(ctx.state, slot, chip);
  if (ctx.program == Program::yellow_fixer ? freq <= yellow_fixer_red_floor : freq == 0) return 0;
  double q = rate_ratio(ctx, slot, chip, freq);
  if (q < 0.7) return 1;
  return q > 1.3 ? 1 : 0;
}

int is_yellow(const TuneContext& ctx, int slot, int chip) {
  int freq = effective_chip_freq(ctx.state, slot, chip);
  if (freq == 0) return 0;
  double q = rate_ratio(ctx, slot, chip, freq);
  if (q <= 0.7) return 0;
  return q < 0.9 ? 1 : 0;
}

int is_green(const TuneContext& ctx, int slot, int chip) {
  int freq = effective_chip_freq(ctx.state, slot, chip);
  if (freq == 0) return 0;
  double q = rate_ratio(ctx, slot, chip, freq);
  if (q < 0.9) return 0;
  return q <= 1.3 ? 1 : 0;
}

}  // namespace tune
