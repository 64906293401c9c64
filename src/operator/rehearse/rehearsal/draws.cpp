#include "draws.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numeric>

#include "board_report.hpp"
#include "chip_model.hpp"
#include "text.hpp"
#include "tool_error.hpp"

namespace tune::rehearse {

namespace {

// Student's t at 0.9 for `freedom` degrees of freedom: the half-width of an 80 % interval in
// standard errors.
double t_at_ninety(int freedom) {
  static constexpr double table[] = {0,     3.078, 1.886, 1.638, 1.533, 1.476, 1.440,
                                     1.415, 1.397, 1.383, 1.372, 1.363, 1.356, 1.350,
                                     1.345, 1.341, 1.337, 1.333, 1.330, 1.328, 1.325};
  if (freedom < static_cast<int>(std::size(table))) return table[freedom];
  if (freedom <= 30) return 1.310;
  if (freedom <= 60) return 1.296;
  return 1.282;
}

}  // namespace

Interval interval_of(std::vector<double> values, double unseen) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  // The middle value (of an even count, the lower of the two): a value some draw gave.
  const double median = values[(values.size() - 1) / 2];
  const size_t n = values.size();
  // The draws' part, by Student's t as their spread is only estimated; the unseen part, a
  // spread known beforehand, by the normal law's.
  double drawn = 0;
  if (n > 1) {
    const double mean = std::accumulate(values.begin(), values.end(), 0.0) / n;
    double squares = 0;
    for (double value : values) squares += (value - mean) * (value - mean);
    drawn = t_at_ninety(static_cast<int>(n - 1)) * std::sqrt(squares / (n - 1) * (1 + 1.0 / n));
  }
  const double half = std::hypot(drawn, t_at_ninety(1000) * unseen);
  return {median - half, median, median + half};
}

std::optional<Interval> DrawnPrediction::gain_percent() const {
  const double today = shown().rate_today;
  if (today <= 0) return std::nullopt;
  return Interval{100 * gain.low / today, 100 * gain.median / today, 100 * gain.high / today};
}

DrawnPrediction summarise_draws(std::vector<Prediction> draws, bool twin) {
  DrawnPrediction summary;
  summary.draws = std::move(draws);
  std::vector<size_t> order(summary.draws.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return summary.draws[a].gain() < summary.draws[b].gain();
  });
  if (!order.empty()) summary.typical = order[(order.size() - 1) / 2];
  // A twin's later tuning: its measured error on tuned boards added (tuned_twin_unseen_share).
  const double today = summary.shown().rate_today;
  const bool tuned = twin && summary.shown().tuned_before();
  std::vector<double> rate, gain, efficiency, overrides, seconds;
  for (const Prediction& p : summary.draws) {
    rate.push_back(p.rate_after);
    gain.push_back(p.gain());
    efficiency.push_back(model_efficiency(p.rate_after, p.power_after).value_or(0));
    overrides.push_back(p.overrides_after);
    seconds.push_back(static_cast<double>(p.virtual_seconds));
  }
  const double unseen = !twin ? 0 : (tuned ? tuned_twin_unseen_share : twin_unseen_share) * today;
  summary.rate_after = interval_of(rate, unseen);
  summary.gain = interval_of(gain, unseen);
  summary.efficiency = interval_of(efficiency);
  summary.overrides_after = interval_of(overrides);
  summary.virtual_seconds = interval_of(seconds);
  return summary;
}

RehearsalOptions drawn_options(const RehearsalOptions& base, const BoardTwin* twin, int draw) {
  RehearsalOptions options = base;
  // Of the seed and the draw, and of the board: two boards' draws are not alike.
  const std::uint64_t number =
      sim::mix(sim::mix(base.seed ^ (twin ? twin->key : 0)) + static_cast<std::uint64_t>(draw));
  if (twin) use_twin(options, *twin, number | 1);  // never the likeliest twin's 0
  options.noise_seed = sim::mix(number);
  return options;
}

Prediction prediction_of(const RehearsalOptions& options, const RehearsalResult& result,
                         const BoardTwin* twin, const std::string& about) {
  BoardReport after = read_board(options.out_dir);
  if (std::optional<std::string> why = unfinished_tuning(after)) {
    throw ToolError(status_unusable, about + *why);
  }
  BoardReport before;
  if (!twin) before = read_board(options.out_dir + "/" + before_tuning_dir);
  return predict(twin ? twin->today : before, after,
                 result.chain_tuner.virtual_seconds + result.yellow_fixer.virtual_seconds);
}

Prediction rehearse_draw(const RehearsalOptions& base, const BoardTwin* twin, int draw,
                         const std::string& dir) {
  RehearsalOptions options = drawn_options(base, twin, draw);
  options.out_dir = dir;
  options.keep_before = twin == nullptr;  // a twin's board today is its own files
  options.follow = false;
  RehearsalResult result = tune::rehearse::rehearse(options, nullptr);
  Prediction prediction = prediction_of(options, result, twin);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return prediction;
}

std::vector<Prediction> rehearse_draws(const RehearsalOptions& base, const BoardTwin* twin,
                                       int count, const std::string& dir) {
  std::vector<Prediction> predictions;
  for (int draw = 1; draw <= count; ++draw) {
    predictions.push_back(rehearse_draw(base, twin, draw, dir));
  }
  return predictions;
}

std::string encode_predictions(const std::vector<Prediction>& predictions) {
  std::string text;
  for (const Prediction& p : predictions) text += encode_prediction(p) + "\n";
  return text;
}

std::optional<std::vector<Prediction>> decode_predictions(const std::string& text) {
  std::vector<Prediction> predictions;
  for (const std::string& line : split_lines(text)) {
    std::optional<Prediction> p = decode_prediction(line);
    if (!p) return std::nullopt;
    predictions.push_back(*p);
  }
  if (predictions.empty()) return std::nullopt;
  return predictions;
}

}  // namespace tune::rehearse
