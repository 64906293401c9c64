// What rehearsals predict, in text: one board today beside its predicted tuning, settings
// lines compared on one board, and a farm's boards in the order of work. Every predicted
// figure is the median of the draws with its 80 % interval, and a gain whose interval holds
// zero is said to be none that can be told, never given a sign.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "draws.hpp"
#include "ranking.hpp"

namespace tune::rehearse {

// What a gain the draws cannot tell is called, in the text of a twin's prediction.
inline constexpr char untold_gain[] = "no gain that the twin can tell";

// A board's twin rehearsed: the board today beside what its twin predicts after the tuning
// (total measured rate and the gain, each with its interval; of the draw shown, the chip
// model's efficiency, the chips whose frequency changes, the tuning's duration: the logs'
// span today, the rehearsal's virtual time predicted).
std::string format_twin_prediction(const std::string& board_dir, const DrawnPrediction& prediction);

// One settings line of a comparison: its name (a preset's, or the line shortened), the line,
// the warnings on it, and what its rehearsal predicts, or why it has none: refused (a value
// the rehearsal does not run) or failed.
struct ComparedSettings {
  std::string name;
  std::string line;
  std::optional<DrawnPrediction> prediction;
  std::string failure;
  std::string refused;
};

// The comparison as a table, a line of settings a row, after a row of the board today;
// `board` says which board it is, `twin` whether it is a twin's.
std::string format_comparison(const std::string& board,
                              const std::vector<ComparedSettings>& compared, bool twin);

// The order of work as a table, a board a row: the told gains ranked, then the boards
// without one; `unusable` boards are counted below it, the ranking of each kind of tuning
// is named, and so is the settings line they were rehearsed with (empty: each board's own).
std::string format_work_order(const WorkOrder& order, size_t unusable, const std::string& settings,
                              int draws);

}  // namespace tune::rehearse
