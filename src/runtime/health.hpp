// Chip health: a chip's measured rate against the rate its frequency should give (F / 8.7).
#pragma once

namespace tune {

struct TuneContext;

// Red: ratio below 0.7 or above 1.3. The yellow fixer ignores chips at 300 MHz or less.
int is_red(const TuneContext& ctx, int slot, int chip);
// Yellow: ratio strictly between 0.7 and 0.9.
int is_yellow(const TuneContext& ctx, int slot, int chip);
// Green: ratio from 0.9 to 1.3 inclusive (the chain tuner's third class).
int is_green(const TuneContext& ctx, int slot, int chip);

}  // namespace tune
