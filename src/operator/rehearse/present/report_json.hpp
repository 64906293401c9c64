// A board report as one JSON document, for whatever is built on top of the report.
#pragma once

#include <string>

#include "board_report.hpp"
#include "draws.hpp"

namespace tune::rehearse {

// The whole report: the board, its chains, every chip with its history, the totals, the
// logged sessions and the findings.
std::string report_json(const BoardReport& report);

// One chip: its chain and number, frequency, override step, rate, class and history.
std::string chip_json(const BoardReport& report, int slot, int chip);

// A farm's report as one JSON document, written a board at a time as the boards are read:
// {"boards":[ each board's summary (the board, its chain totals, its findings count and how
// it ended) or why it is unusable ],"totals":{ the farm's }}.
class FarmJson {
 public:
  std::string begin() const { return "{\"boards\":[\n"; }
  std::string board(const BoardReport& report);
  std::string unusable(const std::string& dir, const std::string& why);
  // A board the farm's list names that no copy reported is of: {"board", "not_copied"}.
  std::string not_copied(const std::string& name, const std::string& list);
  std::string end(const FarmTotals& totals) const;

 private:
  std::string next(std::string item);
  bool first_ = true;
};

// What a board's twin predicts: the board, its chips and how many change, the gain, and the
// board "today" beside "predicted" (measured rate, the model's efficiency, overrides, and the
// logs' span today, the rehearsal's virtual seconds predicted).
std::string prediction_json(const std::string& board_dir, const DrawnPrediction& prediction);

}  // namespace tune::rehearse
