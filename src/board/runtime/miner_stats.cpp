#include "miner_stats.hpp"

#include <string_view>
#include <vector>

#include "context.hpp"
#include "files.hpp"
#include "log.hpp"
#include "text.hpp"

namespace tune {

namespace {

constexpr std::string_view chain_rate_key = "chain_rate";
constexpr std::string_view ideal_rate_key = "chain_rateideal";

// True when `key` is the per-chain key `base` followed by the slot's miner chain number.
bool is_chain_key(std::string_view key, std::string_view base, int slot) {
  return key.size() == base.size() + 1 && key.starts_with(base) &&
         key.back() == '0' + miner_chain_number(slot);
}

void apply_stats_field(TuneState& state, const std::string& field) {
  std::vector<std::string> pieces = split_fields(field, '=');
  if (pieces.empty()) return;
  // A key without a value stores 0.
  float value = pieces.size() > 1 ? parse_single(pieces[1]) : 0.0f;
  for (int slot = 0; slot < chain_count; ++slot) {
    if (is_chain_key(pieces[0], ideal_rate_key, slot)) state.chain_rate_ideal[slot] = value;
    if (is_chain_key(pieces[0], chain_rate_key, slot)) state.chain_rate[slot] = value;
  }
}

}  // namespace

PipeLine read_stats_first_line(System& sys) {
  PipeLine output = sys.first_line_of(stats_command);
  if (!output.started) tune_fatal(sys, 1, fatal_log::command_failed);
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
  if (!for_each_line(ctx.sys, chip_rates_path,
                     [&](const std::string& line) { apply_chip_rate_line(ctx.state, line); })) {
    tune_fatal(ctx.sys, 1, fatal_log::rates_failed);
  }
}

}  // namespace tune
