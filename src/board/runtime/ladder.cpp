#include "ladder.hpp"

#include <vector>

#include "text.hpp"

namespace tune {

bool place_chip(int chain_field, int chip_number, int& row, int& chip) {
  if (chain_field < 1 || chain_field > chip_table_rows) return false;
  if (chip_number < 1 || chip_number > chips_per_chain) return false;
  row = chain_field - 1;
  chip = chip_number - 1;
  return true;
}

bool parse_chip_fields(const std::vector<std::string>& fields, int& row, int& chip) {
  return fields.size() >= 3 && place_chip(parse_int(fields[0]), parse_int(fields[1]), row, chip);
}

bool parse_chip_line(const std::string& line, int& row, int& chip, std::string& value) {
  std::vector<std::string> fields = split_fields(line, ':');
  if (!parse_chip_fields(fields, row, chip)) return false;
  value = fields[2];
  return true;
}

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

int effective_chip_freq(const TuneState& state, int slot, int chip) {
  int step = state.chip_override[chip_table_row(slot)][chip];
  if (step > 0) {
    // A step past the top (hand-edited file) runs at the top frequency.
    return freq_ladder[step > top_ladder_step ? top_ladder_step : step];
  }
  if (state.chain_freq[slot] != 0) return state.chain_freq[slot];
  return state.base_freq;
}

std::string miner_chain_numbers(const char* separator, const char* last_separator) {
  std::string text;
  for (int slot = 0; slot < chain_count; ++slot) {
    if (slot > 0) text += slot + 1 < chain_count ? separator : last_separator;
    text += std::to_string(miner_chain_number(slot));
  }
  return text;
}

}  // namespace tune
