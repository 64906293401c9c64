#include "chip_history.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "health.hpp"
#include "log.hpp"
#include "text.hpp"
#include "yellow_fixer_messages.hpp"

namespace tune::rehearse {

void ChipHistories::add(int slot, int chip, ChipChange change) {
  std::vector<ChipChange>& changes = changes_[slot][chip];
  if (changes.size() == 2 * kept_per_chip) {
    changes.erase(changes.begin(), changes.begin() + kept_per_chip);
    dropped_[slot][chip] += kept_per_chip;
  }
  changes.push_back(std::move(change));
}

std::vector<ChipChange> ChipHistories::latest(int slot, int chip) const {
  const std::vector<ChipChange>& changes = changes_[slot][chip];
  size_t shown = std::min(changes.size(), kept_per_chip);
  return std::vector<ChipChange>(changes.end() - static_cast<std::ptrdiff_t>(shown), changes.end());
}

long long ChipHistories::earlier(int slot, int chip) const {
  const std::vector<ChipChange>& changes = changes_[slot][chip];
  return dropped_[slot][chip] +
         static_cast<long long>(changes.size() - std::min(changes.size(), kept_per_chip));
}

const ChipChange* ChipHistories::last(int slot, int chip) const {
  const std::vector<ChipChange>& changes = changes_[slot][chip];
  return changes.empty() ? nullptr : &changes.back();
}

std::optional<LoggedChipChange> logged_chip_change(const std::string& entry) {
  // The numbers: chip, chain and new frequency; the forced line has a streak and a rate
  // between the chain and the frequency.
  LoggedChipChange change;
  std::optional<std::vector<double>> numbers = read_message(yellow_fixer_log::red_chip, entry);
  if (!numbers) {
    numbers = read_message(yellow_fixer_log::forced_chip, entry);
    change.forced = true;
  }
  if (!numbers) return std::nullopt;
  const std::vector<double>& n = *numbers;
  change.new_freq = static_cast<int>(n.back());
  change.slot = slot_of_miner_chain(static_cast<int>(n[1]));
  change.chip = static_cast<int>(n[0]) - 1;
  if (change.slot < 0 || change.chip < 0 || change.chip >= chips_per_chain) return std::nullopt;
  return change;
}

void LoggedChanges::add(const std::string& stamp, const std::string& entry) {
  std::optional<LoggedChipChange> logged = logged_chip_change(entry);
  if (!logged) return;
  bool& forced = forced_pending_[logged->slot][logged->chip];
  if (logged->forced) {
    forced = true;
    return;
  }
  const ChipChange* last = histories_.last(logged->slot, logged->chip);
  histories_.add(logged->slot, logged->chip,
                 {stamp, last ? std::optional<int>(last->new_freq) : std::nullopt, logged->new_freq,
                  forced ? forced_cause : red_cause});
  forced = false;
}

void add_unlogged_final_changes(ChipHistories& histories, const TuneState& final_state) {
  for (int slot = 0; slot < chain_count; ++slot) {
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      const ChipChange* last = histories.last(slot, chip);
      int now = effective_chip_freq(final_state, slot, chip);
      if (last == nullptr || last->new_freq == now) continue;
      histories.add(slot, chip, {"", last->new_freq, now, "not in the log"});
    }
  }
}

std::string format_history_record(const ChipHistories& histories) {
  std::string text;
  char line[160];
  for (int slot = 0; slot < chain_count; ++slot) {
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      for (const ChipChange& c : histories.latest(slot, chip)) {
        std::snprintf(line, sizeof line, "%s\t%d:%d\t%d\t%d\t%s\n", c.when.c_str(),
                      miner_chain_number(slot), chip + 1, c.old_freq.value_or(0), c.new_freq,
                      c.cause.c_str());
        text += line;
      }
    }
  }
  return text;
}

HistoryRecordReading read_history_record(const std::string& text, ChipHistories& histories) {
  HistoryRecordReading reading;
  int number = 0;
  for (const std::string& line : split_lines(text)) {
    ++number;
    std::vector<std::string> fields = split_at(line, '\t');
    int chain = 0, chip = 0;
    if (fields.size() != 5 || std::sscanf(fields[1].c_str(), "%d:%d", &chain, &chip) != 2 ||
        slot_of_miner_chain(chain) < 0 || chip < 1 || chip > chips_per_chain) {
      reading.whole = false;
      reading.bad_line = number;
      return reading;
    }
    // A time is a log stamp without its blank, or empty when unknown.
    std::string when = fields[0];
    if (!when.empty() && (when.size() != log_stamp_length - 1 || !read_log_stamp(when + " "))) {
      if (reading.impossible_time_line == 0) {
        reading.impossible_time_line = number;
        reading.impossible_time = when;
      }
      when.clear();
    }
    int old_freq = parse_int(fields[2]);
    histories.add(slot_of_miner_chain(chain), chip - 1,
                  {when, old_freq > 0 ? std::optional<int>(old_freq) : std::nullopt,
                   parse_int(fields[3]), fields[4]});
  }
  histories.recorded = true;
  return reading;
}

}  // namespace tune::rehearse
