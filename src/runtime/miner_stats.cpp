#include "miner_stats.hpp"

#include <cstdio>
#include <vector>

#include "context.hpp"
#include "log.hpp"
#include "text.hpp"

namespace tune {

namespace {

// The digit of each per-chain key is the slot's miner chain number.
constexpr const char* ideal_rate_keys[chain_count] = {"chain_rateideal2", "chain_rateideal3",
                                                      "chain_rateideal4", "chain_rateideal6",
                                                      "chain_rateideal7", "chain_rateideal8"};
constexpr const char* chain_rate_keys[chain_count] = {"chain_rate2", "chain_rate3", "chain_rate4",
                                                      "chain_rate6", "chain_rate7", "chain_rate8"};

void apply_stats_field(TuneState& state, const std::string& field) {
  std::vector<std::string> pieces = split_fields(field, '=');
  if (pieces.empty()) return;
  // A key without a value stores 0.
  float value = pieces.size() > 1 ? parse_single(pieces[1]) : 0.0f;
  for (int slot = 0; slot < chain_count; ++slot) {
    if (pieces[0] == ideal_rate_keys[slot]) state.chain_rate_ideal[slot] = value;
  }
  for (int slot = 0; slot < chain_count; ++slot) {
    if (pieces[0] == chain_rate_keys[slot]) state.chain_rate[slot] = value;
  }
}

}  // namespace

PipeLine read_stats_first_line(System& sys) {
  PipeLine output = sys.first_line_of(stats_command);
  if (!output.started) tune_fatal(sys, "Failed to run command\n", 1);
  return output;
}

void apply_stats_line(TuneState& state, const std::string& line) {
  for (const std::string& section : split_fields(line, '|')) {
    for (const std::string& field : split_fields(section, ',')) apply_stats_field(state, field);
  }
}

void read_miner_stats(TuneContext& ctx) {
  for (int slot = 0; slot < chain_count; ++slot) {
    ctx.state.chain_rate[slot] = -1.0f;
    ctx.state.chain_rate_ideal[slot] = -1.0f;
  }
  PipeLine output = read_stats_first_line(ctx.sys);
  if (output.has_line) apply_stats_line(ctx.state, output.line);
}

void apply_chip_rate_line(TuneState& state, const std::string& line) {
  int row, chip;
  std::string value;
  if (parse_chip_line(line, row, chip, value)) state.chip_rate[row][chip] = parse_single(value);
}

void read_chip_rates(TuneContext& ctx) {
  std::FILE* file = std::fopen(ctx.sys.path(chip_rates_path).c_str(), "r");
  if (file == nullptr) tune_fatal(ctx.sys, "Failed to read rates\n", 1);
  std::string line;
  while (read_line(file, line)) apply_chip_rate_line(ctx.state, line);
  std::fclose(file);
}

}  // namespace tune
