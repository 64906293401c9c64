// The machine's shape: the frequency ladder, the numberings of chains and chips, and the
// tuning state both programs keep for one run.
#pragma once

#include <string>
#include <vector>

namespace tune {

inline constexpr int chain_count = 6;
inline constexpr int chips_per_chain = 63;
inline constexpr int chip_table_rows = 16;
inline constexpr int ladder_size = 114;
inline constexpr int top_ladder_step = ladder_size - 1;

// The allowed chip frequencies in MHz, strictly ascending.
inline constexpr int freq_ladder[ladder_size] = {
    100, 125, 150, 175, 200,  225,  250,  275,  300,  325,  350,  375, 400, 404, 406, 408, 412,
    416, 418, 420, 425, 429,  431,  433,  437,  441,  443,  445,  450, 454, 456, 458, 462, 466,
    468, 470, 475, 479, 481,  483,  487,  491,  493,  495,  500,  504, 506, 508, 512, 516, 518,
    520, 525, 529, 531, 533,  537,  543,  550,  556,  562,  568,  575, 581, 587, 593, 600, 606,
    612, 618, 625, 631, 637,  643,  650,  656,  662,  668,  675,  681, 687, 693, 700, 706, 712,
    718, 725, 731, 737, 743,  750,  756,  762,  768,  775,  781,  787, 793, 800, 825, 850, 875,
    900, 925, 950, 975, 1000, 1025, 1050, 1075, 1100, 1125, 1150, 1175};

// Per-chip tables are indexed by chip table row (see chip_table_row) and chip index.
struct TuneState {
  int chip_override[chip_table_rows][chips_per_chain] = {};  // ladder step, <= 0: none
  float chip_rate[chip_table_rows][chips_per_chain] = {};
  int chain_freq[chain_count] = {};  // MHz, 0: not set
  int chain_voltage[chain_count] = {};
  float chain_rate[chain_count] = {};  // -1: no reading
  float chain_rate_ideal[chain_count] = {};
  int base_freq = 0;
};

// Reads a line that addresses one chip, "chain:chip:value" (split as strtok would), into
// its chip table row, chip index and value text. False for a line with fewer than three
// fields or one that names no place in the tables: such a line is ignored whole.
bool parse_chip_line(const std::string& line, int& row, int& chip, std::string& value);
// The same, from the line's fields as split_fields gives them.
bool parse_chip_fields(const std::vector<std::string>& fields, int& row, int& chip);
// The same, from the chain field and chip number as read.
bool place_chip(int chain_field, int chip_number, int& row, int& chip);

// Index of an exact ladder frequency, or -1.
int ladder_index_of(int freq);
// Highest ladder frequency at least `gap` below `freq`, or 0 when there is none.
int ladder_step_down(int freq, int gap);

// The numberings of a chain slot (0 to 5, the index of every per-chain array):
// - its chain number, 1, 2, 3, 5, 6, 7: the chain in the chain tuner's messages;
// - its chip table row, the same number: the row of the per-chip tables;
// - its miner chain number, 2, 3, 4, 6, 7, 8: the chain in the statistics keys,
//   /tmp/chip-rates, /config/manual_freqs.txt and the yellow fixer's messages;
// - its chain digit, '1' to '6': the digit in /config/config.conf keys.
constexpr int chain_number_of(int slot) {
  return slot <= 2 ? slot + 1 : slot + 2;
}
constexpr int chip_table_row(int slot) {
  return chain_number_of(slot);
}
constexpr int miner_chain_number(int slot) {
  return chip_table_row(slot) + 1;
}
constexpr char chain_digit(int slot) {
  return static_cast<char>('1' + slot);
}
// The slot whose miner chain number this is, or -1 when no slot has it.
constexpr int slot_of_miner_chain(int number) {
  for (int slot = 0; slot < chain_count; ++slot) {
    if (miner_chain_number(slot) == number) return slot;
  }
  return -1;
}
// The miner chain numbers of the slots in order, joined for a message: with ", " and " or "
// "2, 3, 4, 6, 7 or 8", with "," and "," "2,3,4,6,7,8".
std::string miner_chain_numbers(const char* separator, const char* last_separator);

// The frequency a chip runs at: its override, else its chain's frequency, else base_freq.
int effective_chip_freq(const TuneState& state, int slot, int chip);

}  // namespace tune
