// Reading a board's files for the report: where each file is, its text, the findings on
// it, and what the programs make of it, kept as they keep it (table rows, tuning state)
// until the report turns it into its view.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <optional>
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
};

// A line of a board file: its text without the line end, its number from 1, whether a
// "\n" ended it, and whether it was longer than a line may be held (then cut).
struct BoardLine {
  std::string_view text;
  int number = 0;
  bool ended = false;
  bool cut = false;
};

// The longest line held whole; the rest of a longer one is passed over (no miner file has
// lines anywhere near it, and a board's copy may hold anything).
inline constexpr size_t longest_board_line = 64 * 1024;

// While one lives, the files of the copy in `dir` are read on this thread: a file reached
// through a link that leaves the copy is refused as a special file is. Nests.
class CopyBeingRead {
 public:
  explicit CopyBeingRead(const std::string& dir);
  ~CopyBeingRead();
  CopyBeingRead(const CopyBeingRead&) = delete;
  CopyBeingRead& operator=(const CopyBeingRead&) = delete;

 private:
  std::string outer_;
};

// The file of that name in the board directory, flat or under config/ or tmp/. A file that
// exists but cannot be read, is no regular file, or lies outside the copy makes the board
// unusable (UnusableBoard), before anything is shown.
BoardFile find_board_file(const std::string& dir, const char* name);
// Whether a directory of the copy being read lies in it once its links are followed: looked
// at, never opened (false when it cannot be told).
bool directory_in_copy(const std::string& path);
// Whether a file is there (false when it does not exist); UnusableBoard as above.
bool board_file_exists(const std::string& path);
// Calls `each` with every line of a found file, read a piece at a time: memory stays the
// same whatever the file's size. CR LF endings are taken as line ends; `crlf` tells
// whether there were any.
void for_each_board_line(const BoardFile& file, const std::function<void(const BoardLine&)>& each,
                         bool* crlf = nullptr);
// The whole of a small file (bmminer.conf, a rehearsal's record); nothing when it is
// larger than `limit`.
std::optional<std::string> read_small_board_file(const BoardFile& file, size_t limit);

// The findings of a board, at most a hundred a file: a file of bad lines, however large,
// gives a bounded report, and one more finding that says how many were left out.
class Findings {
 public:
  explicit Findings(std::vector<Finding>& out) : out_(out) {}
  void add(const BoardFile& file, int line, const std::string& what);
  // The same, building the text only when it will be shown: a file of millions of bad lines
  // costs a count each.
  template <typename Describe>
  void add_described(const BoardFile& file, int line, Describe describe) {
    if (++counts_[file.path] <= most_per_file) out_.push_back({file.path, line, describe()});
  }
  // Adds the finding of each file that had more than it could show.
  void close();

 private:
  static constexpr int most_per_file = 100;
  std::vector<Finding>& out_;
  std::map<std::string, long long> counts_;
};

// What shows a chain hashing, the first the most telling (a lost chain's finding names it):
// chain-tuner counting fewer red chips than the chain has, yellow-fixer naming some of the
// chain's chips red in an iteration but not all of them (or a chip red at a rate above 0),
// overrides that differ between the chain's chips. A chain without any rate has every chip
// red, and every chip lowered alike.
enum HashingShown : unsigned {
  hashing_in_chain_tuner_log = 1,
  hashing_in_yellow_fixer_log = 2,
  hashing_in_overrides = 4,
  hashing_in_kept_overrides = 8,  // a saved set's manual_freqs.txt, not the board's own
};

// What the programs read from the board's files.
struct BoardReading {
  TuneState state;
  bool configured[chain_count] = {};  // config.conf gives the chain's frequency
  bool rated[chip_table_rows][chips_per_chain] = {};
  ChipHistories history;
  std::vector<SessionSummary> sessions;
  // Chains the files show hashing, each with what shows it (HashingShown bits).
  std::array<unsigned, chain_count> hashed{};
};

// The checks of each miner file, reading it into `board` as the programs would.
void read_base(BoardReading& board, const BoardFile& file, Findings& findings);
void read_chains(BoardReading& board, const BoardFile& file, Findings& findings);
void read_overrides(BoardReading& board, const BoardFile& file, Findings& findings);
void read_rates(BoardReading& board, const BoardFile& file, Findings& findings);
// The settings line of autoTune.conf, checked as a rehearsal checks its settings.
void check_settings(const BoardFile& file, Findings& findings);

// One program's log: its session and the chip changes it names. A missing log is a finding
// only when `required`.
void read_session(BoardReading& board, const BoardFile& file, Findings& findings, bool required);

// A tuning's outcome from its programs' runs, oldest first: the last run's, but a
// chain-tuner that finished with no yellow-fixer run after it is a tuning cut between its
// stages. `why` says what a tuning that did not finish shows.
Outcome tuning_outcome(const std::vector<SessionSummary>& runs, std::string& why);

// The settings and logs tune-session keeps, when the copy holds them (under DIR or
// DIR/config). `last_tuning` is the state's tuning number, whose outcome is `last_outcome`;
// 0 when the copy has no state.
KeptRecord read_kept_record(const std::string& dir, int last_tuning, Outcome last_outcome,
                            Findings& findings);

// Text shown in a finding: quoted, cut at 60 characters.
std::string quoted(std::string_view text);

}  // namespace tune::rehearse
