// Reading a board's files for the report: where each file is, its text, the findings on
// it, and what the programs make of it, kept as they keep it (table rows, tuning state)
// until the report turns it into its view.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "board_report.hpp"
#include "chip_history.hpp"
#include "ladder.hpp"

namespace tune::rehearse {

struct BoardFile {
  std::string path;  // where it was found, or where it was first looked for
  bool found = false;
  std::string text;
};

// Reads the whole file; false when it does not exist. A file that exists but cannot be
// read, or is no regular file, makes the board unusable (UnusableBoard).
bool read_board_file(const std::string& path, std::string& text);
// The file of that name in the board directory, flat or under config/ or tmp/.
BoardFile find_board_file(const std::string& dir, const char* name);

class Findings {
 public:
  explicit Findings(std::vector<Finding>& out) : out_(out) {}
  void add(const BoardFile& file, int line, const std::string& what) {
    out_.push_back({file.path, line, what});
  }

 private:
  std::vector<Finding>& out_;
};

// What the programs read from the board's files.
struct BoardReading {
  TuneState state;
  bool rated[chip_table_rows][chips_per_chain] = {};
  ChipHistories history;
  std::vector<SessionSummary> sessions;
};

// The checks of each miner file, reading it into `board` as the programs would.
void read_base(BoardReading& board, const BoardFile& file, Findings& findings);
void read_chains(BoardReading& board, const BoardFile& file, Findings& findings);
void read_overrides(BoardReading& board, const BoardFile& file, Findings& findings);
void read_rates(BoardReading& board, const BoardFile& file, Findings& findings);

// One program's log: its session and the chip changes it names. A missing log is a finding
// only when `required`.
void read_session(BoardReading& board, const BoardFile& file, Findings& findings, bool required);

// Text shown in a finding: quoted, cut at 60 characters.
std::string quoted(std::string_view text);

}  // namespace tune::rehearse
