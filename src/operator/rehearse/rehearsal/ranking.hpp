// The order of work: which boards' next tuning to run first. Boards rank by the lower end of
// their predicted gain's interval, so a wide interval counts against a board; a board whose
// interval holds zero, or lies below it, has no gain to rank by and is listed apart. Where the
// twin's ranking of a kind of tuning was measured no better than a prediction that knows nothing of
// a board's chips, that kind ranks by the latter, and says so.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "draws.hpp"

namespace tune::rehearse {

// A board's next tuning: its first (no tuning in its logs, no chip overridden), or another.
enum class TuningKind { first, again };
TuningKind kind_of(const Prediction& prediction);

// What ranks the boards of one kind of tuning.
enum class RankedBy {
  twin,        // each board's interval's lower end
  population,  // the population's mean gain: every board of the kind alike
  shortfall,   // the board's shortfall from its ideal rate, as the farm's gains follow it
};

// Spearman's rank correlation of predicted and true gains over seeded boards (seeds 1 to 100,
// scripts/twin-accuracy): the twin's and the shortfall's. The population's mean ranks
// nothing: its correlation counts as 0.
struct MeasuredRanking {
  double twin;
  double shortfall;
};
inline constexpr MeasuredRanking first_tuning_ranking{-0.02, -0.26};
inline constexpr MeasuredRanking later_tuning_ranking{0.39, -0.32};

const MeasuredRanking& measured_ranking(TuningKind kind);
RankedBy ranked_by(TuningKind kind);

struct RankedBoard {
  std::string dir;
  DrawnPrediction prediction;
  double key = 0;  // what it ranks by, in gain (GH/s)
};

struct WorkOrder {
  std::vector<RankedBoard> told;             // a gain told: by key, highest first
  std::vector<RankedBoard> untold;           // no gain told (none, or a loss): by directory
  int first_tunings = 0, later_tunings = 0;  // of the told
};

// The rank of each told board: one more than the boards ranked above it, boards of one key
// sharing the rank (those a baseline ranks alike).
std::vector<size_t> ranks_of(const WorkOrder& order);

// The boards in the order of work (ties by directory, so the order is the same every time).
WorkOrder order_work(std::vector<RankedBoard> boards);

}  // namespace tune::rehearse
