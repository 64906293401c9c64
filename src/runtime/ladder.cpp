#include "ladder.hpp"

namespace tune {

int ladder_index_of(int freq) {
  for (int i = 0; i < ladder_size; ++i) {
    if (freq_ladder[i] == freq) return i;
  }
  return -1;
}

int ladder_step_down(int freq, int gap) {
  for (int i = top_ladder_step; i >= 0; --i) {
    // Widened so that frequencies near the int limits cannot overflow.
    if (static_cast<long long>(freq) - freq_ladder[i] >= gap) return freq_ladder[i];
  }
  return 0;
}

int chain_number_of(int slot) {
  return slot <= 2 ? slot + 1 : slot + 2;
}

int effective_chip_freq(const TuneState& state, int slot, int chip) {
  int step = state.chip_override[chain_number_of(slot)][chip];
  if (step > 0) {
    // A step past the top (hand-edited file) runs at the top frequency.
    return freq_ladder[step > top_ladder_step ? top_ladder_step : step];
  }
  if (state.chain_freq[slot] != 0) return state.chain_freq[slot];
  return state.base_freq;
}

}  // namespace tune
