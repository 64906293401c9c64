// What a tuned board's files say, read with the programs' own parsers: a rehearsal's
// directory, or a real board's files copied into a directory (flat, or under config/ and
// tmp/). Every line the programs would read differently from what it seems to say is a
// finding, named by file and line. The board is given as one view indexed by chain slot and
// chip: presenting it needs no table rows and no tuning state.
#pragma once

#include <array>
#include <cmath>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "chip_history.hpp"
#include "ladder.hpp"

namespace tune::rehearse {

// A directory a rehearsal made holds this file: the chip model's figures mean something
// there, and a new rehearsal may replace it.
inline constexpr char rehearsal_marker[] = ".tune-rehearsal";

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

// How a program's run, or a whole tuning, ended: the program's normal endings, its fatal
// ones, a log that stops without an ending (or in the middle of a line), no run at all, or
// not known (a copy that lacks the files that would tell); or, for a copy's last tuning, at
// work when the copy was taken (its log written within minutes of the copy's stamp).
enum class Outcome { finished, failed, interrupted, not_run, unknown, in_progress };
inline constexpr Outcome all_outcomes[] = {Outcome::finished,    Outcome::failed,
                                           Outcome::interrupted, Outcome::in_progress,
                                           Outcome::not_run,     Outcome::unknown};
// "finished", "failed", "interrupted", "in progress", "not run", "unknown"; and as a label
// value, in snake_case ("not_run").
const char* outcome_name(Outcome outcome);
const char* outcome_label(Outcome outcome);

struct SessionSummary {
  std::string program;     // "chain-tuner", "yellow-fixer", or "unknown" for a log that
                           // holds nothing only one of them writes
  std::string log_file;    // where it was read from
  long long span_seconds;  // first to last possible stamp
  std::optional<long long> last_stamp;  // the last possible stamp, read as UTC
  int restarts;                         // restarts the log shows
  std::string ending;                   // the last entry, shown safe
  Outcome outcome = Outcome::interrupted;
};

// No real chip hashes faster than this (in the miner's unit, as /tmp/chip-rates gives it;
// the fastest ladder step expects about 135): a rate above it is a finding, and nothing to
// fit a twin to.
inline constexpr double fastest_real_chip = 1000;
// A rate a chip can show: a number, not negative, not beyond any real chip. Any other is a
// finding of the report, and enters no sum, picture or prediction.
inline bool possible_rate(double rate) {
  return std::isfinite(rate) && rate >= 0 && rate <= fastest_real_chip;
}

// A chip's class in the report: the tuning's own classes, or no rate at all.
enum class ChipClass { unrated, unclassified, red, yellow, green };
const char* class_name(ChipClass chip_class);

struct ChipView {
  int freq = 0;               // MHz, as the miner runs it
  int override_step = 0;      // as manual_freqs.txt gives it (0 or less: none)
  std::optional<float> rate;  // in the miner's unit, when /tmp/chip-rates lists the chip
  ChipClass chip_class = ChipClass::unrated;
  std::vector<ChipChange> history;  // the latest changes
  long long earlier_changes = 0;    // before those, not kept
};

struct ChainView {
  int slot = 0;
  int number = 0;        // the miner's chain number
  char digit = '1';      // of its config.conf keys
  int tuner_number = 0;  // "chain N" in chain-tuner's log
  bool present = false;  // /tmp/chip-rates has lines for it
  // A hash board lost since the tuning: config.conf gives it and the copy shows it hashing
  // (a log, or manual_freqs.txt), but chip-rates, which lists other chains, lists none of its
  // chips. It counts as a chain of the board's, with its ideal rate and a measured rate of 0.
  bool lost = false;
  // For a lost one, what showed it hashing: "chain-tuner's log", "yellow-fixer's log" or
  // "manual_freqs.txt".
  const char* shown_hashing_by = "";
  bool configured = false;  // config.conf gives its frequency
  int freq = 0;
  int voltage = 0;
  double measured_rate = 0;  // sum of its chip rates
  double ideal_rate = 0;     // sum of its chips' expected rates
  int red = 0, yellow = 0, green = 0, unrated = 0;
  int overrides = 0;
  std::array<ChipView, chips_per_chain> chips;
};

// A chain's settings in one set of the miner's files.
struct ChainSettings {
  std::optional<int> freq, voltage;  // MHz and the miner's voltage; none without config.conf
  int overrides = 0;                 // chips with an override step
};

// What tune-session keeps on a board, when the copy holds it: the miner's files before the
// first tuning ("original") and before the latest ("before"), and the logs of the last
// tunings, each tuning with its outcome.
struct KeptSet {
  std::string name;  // "original" or "before"
  std::string dir;
  std::array<ChainSettings, chain_count> chains;  // by chain slot
};
struct KeptTuning {
  int tuning = 0;
  Outcome outcome = Outcome::interrupted;
  std::vector<std::string> logs;  // their paths, in the order written
};
// A chip the yellow fixer lowered as red in a kept log.
struct KeptRedChip {
  int slot = 0, chip = 0;
  std::optional<int> old_freq;  // MHz, when the log shows it
  int new_freq = 0;
};
struct KeptRecord {
  std::string backup_dir;     // empty when the copy has no kept sets
  std::vector<KeptSet> sets;  // those the copy holds, oldest first
  std::string logs_dir;       // empty when the copy has no kept logs
  std::vector<KeptTuning> tunings;
  std::vector<KeptRedChip> red_chips;          // over all kept logs
  std::array<unsigned, chain_count> hashed{};  // chains a kept log or set shows hashing
};

struct BoardReport {
  std::string dir;
  bool rehearsal = false;  // made by tune-rehearse: the chip model's figures mean something
  // The directory holds none of a board's files (an empty copy, a farm's folder): the
  // outcome is unknown.
  bool no_board_files = false;
  std::array<ChainView, chain_count> chains;
  bool history_recorded = false;  // from a rehearsal's record rather than the logs
  std::vector<SessionSummary> sessions;
  // The last tuning's outcome: from tune-session's state when the copy has it, else from
  // the logs (the last program's run; a chain-tuner that finished without a yellow-fixer
  // log is a tuning cut between its stages).
  Outcome outcome = Outcome::not_run;
  std::string outcome_from;  // "tune-session state", "logs" or "" when nothing ran
  // When the last tuning ended, or stopped where it stands: seconds since the epoch, from
  // the state, else from the last log's last stamp read as UTC. None when nothing tells.
  std::optional<long long> ended_at;
  // Whether the copy's chip rates could be read (a file that lists a chip): without them
  // rates and chip classes are unknown, never zero.
  bool rates_known = false;
  // Whether config.conf gives every chain that hashes its frequency: without it the ideal
  // rate and the chips' classes are unknown.
  bool settings_known = true;
  // When the copy was taken, seconds since the epoch: the collection's stamp file when the
  // copy has one, else the newest change of its chip-rates and auto-tune. None for a
  // rehearsal, or when nothing tells.
  std::optional<long long> copied_at;
  std::string copied_from;  // "stamp file" or "file times"
  // When the miner last wrote the copy's chip-rates (its time, which the copy keeps), for a
  // copy; none for a rehearsal or a copy without them.
  std::optional<long long> rates_at;
  // The chip rates are older than the copy's stamp, or than the log a program went on writing,
  // by more than a miner at work lets them age: a miner that stopped (a finding).
  bool miner_stopped = false;
  KeptRecord kept;
  std::vector<Finding> findings;
};

// The sums over a board's chains (overrides over all of them): those with chip rates, or
// when the rates are unknown those config.conf gives, which count as chains but add no
// rate and no chip class.
struct BoardTotals {
  int chains = 0;
  bool rates_known = true;     // false when any board summed had none
  bool settings_known = true;  // false when a chain that hashes has no settings
  double measured_rate = 0, ideal_rate = 0;
  int red = 0, yellow = 0, green = 0, unrated = 0, overrides = 0;
  BoardTotals& operator+=(const BoardTotals& other);
};
BoardTotals totals_of(const BoardReport& report);

// Totals over the boards of a farm, added to one board at a time.
struct FarmTotals {
  int boards = 0, unusable = 0, with_findings = 0;
  int without_rates = 0;     // usable boards whose rates are unknown
  int without_settings = 0;  // and those whose rates are known, but not their ideal rate
  bool listed = false;       // the farm's list was given: then
  int not_copied = 0;        // listed boards with no copy reported
  int by_outcome[std::size(all_outcomes)] = {};  // usable boards by their last tuning's Outcome
  // Chains and overrides over the usable boards; rates and classes over those whose rates
  // and ideal rate are both known, unknown (rates and settings) when there is none.
  BoardTotals sum{.rates_known = false, .settings_known = false};
  void add(const BoardReport& report);
};

// The miner's settings files of the board in `dir` as they are, by name ("config.conf",
// "manual_freqs.txt", "bmminer.conf", "autoTune.conf"), those it has. UnusableBoard when one
// cannot be read or is larger than such a file can be.
std::map<std::string, std::string> read_settings_files(const std::string& dir);

// The stamp file the collection leaves in a copy: the time it was taken, in seconds since
// the epoch, one line.
inline constexpr char copy_stamp_file[] = "copied-at";

// How old a copy may be before it is a finding, and the time to measure its age against.
struct CopyAge {
  long long stale_after = 3600;  // seconds
  std::optional<long long> now;  // none: the clock's
};

// Reads the board in `dir`. Throws UnusableBoard when the directory or a file in it exists
// but cannot be read; a missing file is a finding.
BoardReport read_board(const std::string& dir, const CopyAge& age = {});

}  // namespace tune::rehearse
