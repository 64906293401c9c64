#include "health.hpp"

namespace tune {

ChipHealth classify_chip(float rate, int freq, std::optional<int> red_floor) {
  if (freq == 0) return ChipHealth::unclassified;
  // The expected rate is rounded to single precision and the ratio divided in single, then
  // widened to double for the comparisons: the boundaries depend on exactly this.
  float expected = static_cast<float>(expected_rate(freq));
  double ratio = static_cast<double>(rate / expected);
  if (ratio < ratio_red_below || ratio > ratio_green_to) {
    return !red_floor || freq > *red_floor ? ChipHealth::red : ChipHealth::unclassified;
  }
  if (ratio > ratio_red_below && ratio < ratio_green_from) return ChipHealth::yellow;
  if (ratio >= ratio_green_from && ratio <= ratio_green_to) return ChipHealth::green;
  return ChipHealth::unclassified;  // exactly 0.7, or not a number
}

ChipHealth chip_health(const TuneState& state, int slot, int chip, std::optional<int> red_floor) {
  return classify_chip(state.chip_rate[chip_table_row(slot)][chip],
                       effective_chip_freq(state, slot, chip), red_floor);
}

}  // namespace tune
