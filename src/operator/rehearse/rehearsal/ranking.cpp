#include "ranking.hpp"

#include <algorithm>

namespace tune::rehearse {

TuningKind kind_of(const Prediction& prediction) {
  return prediction.tuned_before() ? TuningKind::again : TuningKind::first;
}

const MeasuredRanking& measured_ranking(TuningKind kind) {
  return kind == TuningKind::first ? first_tuning_ranking : later_tuning_ranking;
}

RankedBy ranked_by(TuningKind kind) {
  const MeasuredRanking& measured = measured_ranking(kind);
  const double baseline = std::max(0.0, measured.shortfall);
  if (measured.twin > baseline) return RankedBy::twin;
  return measured.shortfall > 0 ? RankedBy::shortfall : RankedBy::population;
}

namespace {

double shortfall(const RankedBoard& board) {
  const Prediction& today = board.prediction.shown();
  return today.ideal_today - today.rate_today;
}

// The keys of one kind's boards under a baseline: the boards' mean lower end (the
// population's), or the least-squares line of their lower ends against their shortfalls.
void baseline_keys(std::vector<RankedBoard*>& boards, RankedBy by) {
  if (boards.empty()) return;
  const double n = static_cast<double>(boards.size());
  double mean_x = 0, mean_y = 0;
  for (const RankedBoard* b : boards) {
    mean_x += shortfall(*b) / n;
    mean_y += b->prediction.gain.low / n;
  }
  double sxy = 0, sxx = 0;
  for (const RankedBoard* b : boards) {
    sxy += (shortfall(*b) - mean_x) * (b->prediction.gain.low - mean_y);
    sxx += (shortfall(*b) - mean_x) * (shortfall(*b) - mean_x);
  }
  const double slope = by == RankedBy::shortfall && sxx > 0 ? sxy / sxx : 0;
  for (RankedBoard* b : boards) b->key = mean_y + slope * (shortfall(*b) - mean_x);
}

}  // namespace

WorkOrder order_work(std::vector<RankedBoard> boards) {
  WorkOrder order;
  for (RankedBoard& board : boards) {
    board.key = board.prediction.gain.low;
    // Only a gain is work to do: a board whose interval holds 0, or lies below it (a told
    // loss), is listed apart.
    if (board.prediction.gain.low <= 0) {
      order.untold.push_back(std::move(board));
      continue;
    }
    const bool first = kind_of(board.prediction.shown()) == TuningKind::first;
    ++(first ? order.first_tunings : order.later_tunings);
    order.told.push_back(std::move(board));
  }
  for (TuningKind kind : {TuningKind::first, TuningKind::again}) {
    const RankedBy by = ranked_by(kind);
    if (by == RankedBy::twin) continue;
    std::vector<RankedBoard*> of_kind;
    for (RankedBoard& board : order.told) {
      if (kind_of(board.prediction.shown()) == kind) of_kind.push_back(&board);
    }
    baseline_keys(of_kind, by);
  }
  std::sort(order.told.begin(), order.told.end(), [](const RankedBoard& a, const RankedBoard& b) {
    if (a.key != b.key) return a.key > b.key;
    return a.dir < b.dir;
  });
  std::sort(order.untold.begin(), order.untold.end(),
            [](const RankedBoard& a, const RankedBoard& b) { return a.dir < b.dir; });
  return order;
}

std::vector<size_t> ranks_of(const WorkOrder& order) {
  std::vector<size_t> ranks(order.told.size());
  for (size_t i = 0; i < ranks.size(); ++i) {
    ranks[i] = i > 0 && order.told[i].key == order.told[i - 1].key ? ranks[i - 1] : i + 1;
  }
  return ranks;
}

}  // namespace tune::rehearse
