// What a tuned board's files say, read with the programs' own parsers: a rehearsal's
// sandbox, or a real board's files copied into a directory (flat, or under config/ and
// tmp/). Every line the programs would read differently from what it seems to say is a
// finding, named by file and line.
#pragma once

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "chip_history.hpp"
#include "health.hpp"
#include "ladder.hpp"

namespace tune::rehearse {

// A board directory or one of its files that cannot be read at all: "PATH: reason".
class UnusableBoard : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Finding {
  std::string file;  // the path as found (or where it was looked for)
  int line = 0;      // 1-based; 0 for the file as a whole
  std::string what;
  std::string text() const;  // "file:line: what" (or "file: what")
};

struct ChainSummary {
  int slot = 0;
  bool present = false;  // /tmp/chip-rates has lines for it
  int freq = 0;
  int voltage = 0;
  double measured_rate = 0;  // sum of its chip rates
  double ideal_rate = 0;     // sum of its chips' expected rates
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

// A chip's class in the report: the tuning's own classes, or no rate at all.
enum class ChipClass { unrated, unclassified, red, yellow, green };
const char* class_name(ChipClass chip_class);

struct BoardReport {
  std::string dir;
  bool rehearsal = false;  // made by tune-rehearse: the chip model's figures mean something
  TuneState state;
  bool rated[chip_table_rows][chips_per_chain] = {};
  std::array<ChainSummary, chain_count> chains;
  ChipClass chip_class[chain_count][chips_per_chain] = {};
  std::vector<SessionSummary> sessions;
  ChipHistories history;
  std::vector<Finding> findings;
};

// The sums over a board's present chains (overrides over all of them).
struct BoardTotals {
  int chains = 0;
  double measured_rate = 0, ideal_rate = 0, power = 0;
  int red = 0, yellow = 0, green = 0, unrated = 0, overrides = 0;
  BoardTotals& operator+=(const BoardTotals& other);
};
BoardTotals totals_of(const BoardReport& report);

// Reads the board in `dir`. Throws UnusableBoard when the directory or a file in it exists
// but cannot be read; a missing file is a finding.
BoardReport read_board(const std::string& dir);

}  // namespace tune::rehearse
