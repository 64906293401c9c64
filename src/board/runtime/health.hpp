// Chip health: a chip's measured rate against the rate its frequency should give.
#pragma once

#include <optional>

#include "ladder.hpp"

namespace tune {

enum class ChipHealth { unclassified, red, yellow, green };

// MHz a healthy chip needs for each GH/s it gives.
inline constexpr double mhz_per_rate = 8.7;

// The bounds of the classes, as ratios of measured to expected rate.
inline constexpr double ratio_red_below = 0.7;   // and yellow from
inline constexpr double ratio_green_from = 0.9;  // and yellow below
inline constexpr double ratio_green_to = 1.3;    // red above

// The rate a healthy chip gives at `freq` MHz: freq / 8.7.
inline double expected_rate(int freq) {
  return freq / mhz_per_rate;
}

// Red: ratio of rate to expected rate below 0.7 or above 1.3, at a frequency above
// `red_floor` when there is one. Yellow: strictly between 0.7 and 0.9. Green: 0.9 to 1.3
// inclusive. A chip without frequency (0 MHz) has no class, nor has a rate that is not a
// number.
ChipHealth classify_chip(float rate, int freq, std::optional<int> red_floor);

// The red floor (MHz): the yellow fixer classes and lowers red chips above it only, and
// sends a chip that stays red to it; the chain tuner lowers red chips above it only.
inline constexpr int red_floor_freq = 300;

// Any chip with a frequency can be red.
inline constexpr std::optional<int> no_red_floor;

// The class of a chip of a chain slot at its effective frequency and measured rate.
ChipHealth chip_health(const TuneState& state, int slot, int chip, std::optional<int> red_floor);

}  // namespace tune
