#include "history_recorder.hpp"

#include <optional>

#include "health.hpp"

namespace tune::rehearse {

void HistoryRecorder::note_entries(const std::vector<std::string>& entries,
                                   const std::vector<std::string>& stamps) {
  for (size_t i = 0; i < entries.size(); ++i) {
    if (std::optional<LoggedChipChange> logged = logged_chip_change(entries[i])) {
      (logged->forced ? forced_logged_ : red_logged_)[logged->slot][logged->chip] = true;
      if (i < stamps.size()) logged_at_[logged->slot][logged->chip] = stamps[i];
    }
  }
}

void HistoryRecorder::observe(const TuneState& files, const std::string& program,
                              const std::string& when) {
  if (!started_) {
    started_ = true;
    last_ = files;
    return;
  }
  bool changed = false;
  for (int slot = 0; slot < chain_count; ++slot) {
    int row = chip_table_row(slot);
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      int before = effective_chip_freq(last_, slot, chip);
      int after = effective_chip_freq(files, slot, chip);
      if (before == after) continue;
      changed = true;
      std::string cause;
      if (forced_logged_[slot][chip]) {
        cause = forced_cause;
      } else if (red_logged_[slot][chip]) {
        cause = red_cause;
      } else if (files.chip_override[row][chip] == last_.chip_override[row][chip]) {
        cause = "chain frequency";
      } else if (after > before) {
        cause = "raise";
      } else if (program == "yellow-fixer") {
        cause = "yellow";  // the yellow fixer names only its red chips
      } else {
        // The chain tuner lowers red and yellow chips on the rates it last read.
        ChipHealth health = classify_chip(files.chip_rate[row][chip], before, no_red_floor);
        cause = health == ChipHealth::red ? red_cause : "yellow";
      }
      // A change the log names has the log's time; any other, the time it was made.
      bool named = forced_logged_[slot][chip] || red_logged_[slot][chip];
      const std::string& at =
          named && !logged_at_[slot][chip].empty() ? logged_at_[slot][chip] : when;
      histories_.add(slot, chip, {at, before, after, cause});
    }
  }
  if (changed) {
    for (int slot = 0; slot < chain_count; ++slot) {
      for (int chip = 0; chip < chips_per_chain; ++chip) {
        red_logged_[slot][chip] = forced_logged_[slot][chip] = false;
        logged_at_[slot][chip].clear();
      }
    }
  }
  last_ = files;
}

}  // namespace tune::rehearse
