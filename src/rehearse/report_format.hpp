// How a board report is shown in text: one board's summary, one chip's history, and the
// lines of a whole farm.
#pragma once

#include <string>

#include "board_report.hpp"

namespace tune::rehearse {

// Seconds as "h:mm:ss".
std::string format_duration(long long seconds);

// The terminal summary: per chain, totals, sessions, findings; the simulated chip model's
// efficiency for a rehearsal only.
std::string format_summary(const BoardReport& report);

// One chip's state and every change of its frequency.
std::string format_chip_history(const BoardReport& report, int slot, int chip);

// Totals over the boards of a farm, added to one board at a time.
struct FarmTotals {
  int boards = 0, unusable = 0, with_findings = 0;
  BoardTotals sum;  // over the usable boards
  void add(const BoardReport& report);
};

// One board's line in a farm report, and the farm's closing line.
std::string format_board_line(const BoardReport& report);
std::string format_unusable_line(const std::string& dir, const std::string& why);
std::string format_farm_totals(const FarmTotals& totals);

}  // namespace tune::rehearse
