// What rehearsals predict, in text: one board today beside its predicted tuning, settings
// lines compared on one board, and a farm's boards in the order their tuning gains most.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "prediction.hpp"

namespace tune::rehearse {

// A board's twin rehearsed: the board today beside what its twin predicts after the tuning
// (total measured rate, the chip model's efficiency, chips whose frequency changes, the
// tuning's duration: the logs' span today, the rehearsal's virtual time predicted).
std::string format_twin_prediction(const std::string& board_dir, const Prediction& prediction);

// One settings line of a comparison: its name (a preset's, or "line N"), the line, and what
// its rehearsal predicts, or why it has no prediction.
struct ComparedSettings {
  std::string name;
  std::string line;
  std::optional<Prediction> prediction;
  std::string failure;
};

// The comparison as a table, a line of settings a row, after a row of the board today;
// `board` says which board it is.
std::string format_comparison(const std::string& board,
                              const std::vector<ComparedSettings>& compared);

// One board of a farm's order of work.
struct RankedBoard {
  std::string dir;
  Prediction prediction;
};

// Sorts the boards, most predicted gain first (ties by directory, so the order is the same
// every time).
void rank_by_gain(std::vector<RankedBoard>& boards);

// The ranked boards as a table, a board a row; `unusable` boards are counted below it, and
// the settings line they were rehearsed with (empty: each board's own) is named.
std::string format_work_order(const std::vector<RankedBoard>& boards, size_t unusable,
                              const std::string& settings);

}  // namespace tune::rehearse
