// What a tuned board's files say: read from a directory (a rehearsal's sandbox, or a real
// board's files copied flat), every problem named by file and line.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "health.hpp"
#include "ladder.hpp"

namespace tune::rehearse {

struct ChainSummary {
  int chain_number = 0;
  bool present = false;  // /tmp/chip-rates has lines for it
  int freq = 0;
  int voltage = 0;
  double measured_rate = 0;  // sum of its chip rates
  double ideal_rate = 0;     // sum of its chips' frequency / 8.7
  int red = 0, yellow = 0, green = 0, unrated = 0;
  int overrides = 0;
  double power = 0;  // the chip model's power, simulated units
};

struct SessionSummary {
  std::string program;     // "chain-tuner" or "yellow-fixer"
  std::string log_file;    // where it was read from
  long long span_seconds;  // first to last stamp
  int restarts;            // restarts the log shows
  std::string ending;      // the last entry
};

struct BoardReport {
  TuneState state;
  bool rated[chip_table_rows][chips_per_chain] = {};
  std::array<ChainSummary, chain_count> chains;
  ChipHealth health[chain_count][chips_per_chain] = {};
  std::vector<SessionSummary> sessions;
  std::vector<std::string> problems;  // "file:line: what is wrong"
};

// Reads auto-tune, manual_freqs.txt, config.conf, chip-rates and bmminer.conf (and a
// rehearsal's chain-tuner.log), each found in `dir`, `dir`/config or `dir`/tmp.
BoardReport read_board(const std::string& dir);

}  // namespace tune::rehearse
