#include "history_recorder.hpp"

#include <optional>

#include "health.hpp"

namespace tune::rehearse {

void HistoryRecorder::note_entries(const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) {
    if (std::optional<LoggedChipChange> logged = logged_chip_change(entry)) {
      (logged->forced ? forced_logged_ : red_logged_)[logged->slot][logged->chip] = true;
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
      histories_.changes[slot][chip].push_back({when, before, after, cause});
    }
  }
  if (changed) {
    for (int slot = 0; slot < chain_count; ++slot) {
      for (int chip = 0; chip < chips_per_chain; ++chip) {
        red_logged_[slot][chip] = forced_logged_[slot][chip] = false;
      }
    }
  }
  last_ = files;
}

}  // namespace tune::rehearse
