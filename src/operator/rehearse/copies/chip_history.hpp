// The history of every chip's frequency: each change with its time, old and new frequency
// and its cause. A rehearsal records it whole as it runs (chip-history.txt); for a real
// board it is taken from the logs, which name a chip only when the yellow fixer lowers it
// as red, so other changes show only as a difference from the chip's final frequency.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "health.hpp"
#include "ladder.hpp"

namespace tune::rehearse {

inline constexpr char chip_history_file[] = "chip-history.txt";

// The causes of a change that the logs name.
inline constexpr char red_cause[] = "red";
inline const std::string forced_cause = "forced to " + std::to_string(red_floor_freq) + " MHz";

struct ChipChange {
  std::string when;             // "YYYY-MM-DD HH:MM:SS" as in the log, or "" when unknown
  std::optional<int> old_freq;  // MHz, when known
  int new_freq = 0;             // MHz
  std::string cause;            // "red", "yellow", "raise", "forced to 300 MHz", "chain frequency",
                                // or "not in the log"
};

class ChipHistories {
 public:
  // The latest changes kept of each chip; a log of any length holds the memory to that.
  static constexpr size_t kept_per_chip = 200;

  void add(int slot, int chip, ChipChange change);
  // The latest changes kept, oldest first, and how many came before them.
  std::vector<ChipChange> latest(int slot, int chip) const;
  long long earlier(int slot, int chip) const;
  const ChipChange* last(int slot, int chip) const;

  bool recorded = false;  // from a rehearsal's record rather than the logs

 private:
  // Indexed by chain slot and chip index; a chip's list holds up to twice the kept changes
  // before the older half goes, so that adding stays cheap.
  std::vector<ChipChange> changes_[chain_count][chips_per_chain];
  long long dropped_[chain_count][chips_per_chain] = {};
};

// One log entry that names a chip: the yellow fixer's red and forced lowering.
struct LoggedChipChange {
  int slot = -1, chip = -1;
  int new_freq = 0;
  bool forced = false;
};
std::optional<LoggedChipChange> logged_chip_change(const std::string& entry);

// Adds the changes a log's entries name, an entry at a time (its stamp as the log gives
// it, without the trailing blank).
class LoggedChanges {
 public:
  explicit LoggedChanges(ChipHistories& histories) : histories_(histories) {}
  void add(const std::string& stamp, const std::string& entry);

 private:
  ChipHistories& histories_;
  // "still red ... decrease freq to 300" comes before the chip's "is red" entry of the same
  // change: the two make one forced change.
  bool forced_pending_[chain_count][chips_per_chain] = {};
};
// After the logs: a chip whose final frequency differs from its last logged one was also
// changed in a way the log does not name.
void add_unlogged_final_changes(ChipHistories& histories, const TuneState& final_state);

// The record's text (one line a change: when, chain:chip by miner chain number, old, new,
// cause, separated by tabs) and its reading back.
std::string format_history_record(const ChipHistories& histories);
struct HistoryRecordReading {
  bool whole = true;  // false at the first line that is not a change of a chip
  int bad_line = 0;
  // The first line whose time is not a possible log stamp (its change is kept without a
  // time) and that time as read.
  int impossible_time_line = 0;
  std::string impossible_time;
};
HistoryRecordReading read_history_record(const std::string& text, ChipHistories& histories);

}  // namespace tune::rehearse
