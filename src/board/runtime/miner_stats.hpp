// What the miner reports: the per-chain statistics line and the per-chip rates file.
#pragma once

#include <string>

#include "system.hpp"

namespace tune {

struct TuneContext;
struct TuneState;

inline constexpr char stats_command[] = "bmminer-api -o stats";
inline constexpr char chip_rates_path[] = "/tmp/chip-rates";

// The first line of the statistics command; a command that cannot be started ends the run
// with "Failed to run command\n", status 1.
PipeLine read_stats_first_line(System& sys);

// Stores the chain rate keys of one statistics line into the per-chain rates.
void apply_stats_line(TuneState& state, const std::string& line);
// Resets both per-chain rate arrays to -1, then fills them from the statistics.
void read_miner_stats(TuneContext& ctx);

// Stores the rate of one /tmp/chip-rates line; lines outside the tables are ignored.
void apply_chip_rate_line(TuneState& state, const std::string& line);
// Reads /tmp/chip-rates; a file that cannot be opened ends the run with
// "Failed to read rates\n", status 1.
void read_chip_rates(TuneContext& ctx);

}  // namespace tune
