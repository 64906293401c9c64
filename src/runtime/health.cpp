#include "health.hpp"

namespace tune {

ChipHealth classify_chip(float rate, int freq, std::optional<int> red_floor) {
  if (freq == 0) return ChipHealth::unclassified;
  // The expected rate is rounded to single precision and the ratio divided in single, then
  // widened to double for the comparisons: the boundaries depend on exactly this.
  float expected = static_cast<float>(expected_rate(freq));
  double ratio = static_cast<double>(rate / expected);
  if (ratio < 0.7 || ratio > 1.3) {
    return !red_floor || freq > *red_floor ? ChipHealth::red : ChipHealth::unclassified;
  }
  if (ratio > 0.7 && ratio < 0.9) return ChipHealth::yellow;
  if (ratio >= 0.9 && ratio <= 1.3) return ChipHealth::green;
  return ChipHealth::unclassified;  // exactly 0.7, or not a number
}

ChipHealth chip_health(const TuneState& state, int slot, int chip, std::optional<int> red_floor) {
  return classify_chip(state.chip_rate[chip_table_row(slot)][chip],
                       effective_chip_freq(state, slot, chip), red_floor);
}

}  // namespace tune
