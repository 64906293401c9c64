#include "predictions.hpp"

#include <cmath>

#include "report_text.hpp"
#include "text.hpp"

namespace tune::rehearse {

namespace {

std::string efficiency_text(double rate, double power) {
  std::optional<double> efficiency = model_efficiency(rate, power);
  return efficiency ? printed("%.3f", *efficiency) : std::string("-");
}

std::string percent_text(double percent) {
  // A change too small to show has no sign: "+0.0 %" beside a loss in rate would mislead.
  if (std::abs(percent) < 0.05) return "0.0 %";
  return printed("%+.1f %%", percent);
}

std::string duration_text(std::optional<long long> seconds) {
  return seconds ? format_duration(*seconds) : std::string("-");
}

// The gain as a figure: its median and share of today's rate when told, else the words.
std::string gain_text(const DrawnPrediction& p, const char* untold) {
  if (!p.gain_told()) return untold;
  std::optional<Interval> percent = p.gain_percent();
  return printed("%+.2f", p.gain.median) +
         (percent ? " (" + percent_text(percent->median) + ")" : std::string());
}

// A line's name in a column of `width` characters, cut with "…" when longer.
std::string name_column(const std::string& name, size_t width) {
  const std::string shown = printable(name, width);
  const size_t characters = shown_length(shown);
  return shown + std::string(width > characters ? width - characters : 0, ' ');
}

std::string interval_text(const Interval& interval, const char* format) {
  return printed(format, interval.low) + " .. " + printed(format, interval.high);
}

}  // namespace

std::string format_twin_prediction(const std::string& board_dir, const DrawnPrediction& p) {
  const Prediction& shown = p.shown();
  std::string out = "the board in " + shown_path(board_dir) +
                    ", today -> predicted by its twin (simulated chip model; the median of " +
                    std::to_string(p.draws.size()) + " draws, with the 80 % interval):\n";
  out += printed("  measured rate     %.2f -> %.2f (", shown.rate_today, p.rate_after.median) +
         interval_text(p.rate_after, "%.2f") + ")\n";
  out += "  gain              " + gain_text(p, untold_gain) + ", interval " +
         interval_text(p.gain, "%+.2f");
  if (std::optional<Interval> percent = p.gain_percent()) {
    out += " (" + percent_text(percent->low) + " .. " + percent_text(percent->high) + ")";
  }
  out += "\nthe draw of the median gain, rehearsed whole:\n";
  out += "  efficiency        " + efficiency_text(shown.rate_today, shown.power_today) + " -> " +
         efficiency_text(shown.rate_after, shown.power_after) + " rate per power unit\n";
  out += printed("  chips changed     %d of %d\n", shown.chips_changed, shown.chips);
  out += printed("  chips overridden  %d -> %d\n", shown.overrides_today, shown.overrides_after);
  out += "  tuning duration   " + duration_text(shown.logged_seconds) + " (its logs) -> " +
         format_duration(shown.virtual_seconds) + " (virtual)\n";
  return out;
}

std::string format_comparison(const std::string& board,
                              const std::vector<ComparedSettings>& compared, bool twin) {
  std::string out = "settings compared on " + board + " (simulated chip model):\n";
  out += printed("%-4s %-20s %14s %21s %9s %10s %10s %9s\n", "", "settings", "measured rate",
                 "80 % interval", "change", "efficiency", "overridden", "duration");
  const Prediction* today = nullptr;
  size_t draws = 0;
  bool untold = false;
  for (const ComparedSettings& line : compared) {
    if (!line.prediction) continue;
    today = &line.prediction->shown();
    draws = line.prediction->draws.size();
    break;
  }
  if (today) {
    out += printed("%-4s %-20s %14.2f %21s %9s %10s %10d %9s\n", "", "today", today->rate_today, "",
                   "", efficiency_text(today->rate_today, today->power_today).c_str(),
                   today->overrides_today, duration_text(today->logged_seconds).c_str());
  }
  for (size_t i = 0; i < compared.size(); ++i) {
    const ComparedSettings& line = compared[i];
    const std::string name = name_column(line.name, 20);
    if (!line.prediction) {
      out += printed("%-4zu %s ", i + 1, name.c_str()) +
             (line.refused.empty() ? "failed: " + line.failure : "refused: " + line.refused) + "\n";
      continue;
    }
    const DrawnPrediction& p = *line.prediction;
    const Prediction& shown = p.shown();
    std::optional<Interval> percent = p.gain_percent();
    std::string change = "-";
    if (!p.gain_told()) {
      change = "untold";
      untold = true;
    } else if (percent) {
      change = percent_text(percent->median);
    }
    // Every figure the draws' median, as the picture shows it.
    const std::string efficiency =
        shown.power_after > 0 ? printed("%.3f", p.efficiency.median) : std::string("-");
    out += printed("%-4zu %s %14.2f %21s %9s %10s %10.0f %9s\n", i + 1, name.c_str(),
                   p.rate_after.median, interval_text(p.rate_after, "%.0f").c_str(), change.c_str(),
                   efficiency.c_str(), p.overrides_after.median,
                   format_duration(std::llround(p.virtual_seconds.median)).c_str());
  }
  if (draws > 0) {
    out += printed(
        "each figure: the median of %zu draws; each line's directory holds its draw of the "
        "median gain, rehearsed whole\n",
        draws);
  }
  if (untold) {
    out += std::string("untold: ") + (twin ? untold_gain : "no gain that the draws can tell") +
           " (the gain's 80 % interval holds 0)\n";
  }
  out += "the lines, as /config/autoTune.conf takes them:\n";
  for (size_t i = 0; i < compared.size(); ++i) {
    out += printed("  %zu ", i + 1) + printable(compared[i].line) + "\n";
  }
  return out;
}

namespace {

const char* kind_name(TuningKind kind) {
  return kind == TuningKind::first ? "first tunings" : "later tunings";
}

// How the told boards of one kind are ranked, when not by the twin.
std::string ranking_note(TuningKind kind, int boards) {
  const RankedBy by = ranked_by(kind);
  if (boards == 0 || by == RankedBy::twin) return "";
  const MeasuredRanking& measured = measured_ranking(kind);
  std::string out =
      printed("%s (%d board%s) ranked ", kind_name(kind), boards, boards == 1 ? "" : "s");
  out += by == RankedBy::population ? "alike (one rank), by the population's mean gain"
                                    : "by their shortfall from the ideal rate";
  out += printed(
      ": the twin ranks them no better (rank correlation with the true gain over 100 seeded "
      "boards: the twin's %.2f, the shortfall's %.2f, the population's none)\n",
      measured.twin, measured.shortfall);
  return out;
}

std::string board_row(const std::string& rank, const RankedBoard& board) {
  const DrawnPrediction& p = board.prediction;
  const Prediction& shown = p.shown();
  std::optional<Interval> percent = p.gain_percent();
  // A figure only where the interval supports its sign: a gain, or a loss, told.
  const std::string gain = p.gain_told() ? printed("%+.2f", p.gain.median) : "-";
  const std::string share = p.gain_told() && percent ? percent_text(percent->median) : "-";
  return printed("%-5s %11s %8s %21s %12.2f %14.2f %4d/%-4d  ", rank.c_str(), gain.c_str(),
                 share.c_str(), interval_text(p.gain, "%+.0f").c_str(), shown.rate_today,
                 p.rate_after.median, shown.chips_changed, shown.chips) +
         shown_path(board.dir) + "\n";
}

}  // namespace

std::string format_work_order(const WorkOrder& order, size_t unusable, const std::string& settings,
                              int draws) {
  std::string out = printed("%-5s %11s %8s %21s %12s %14s %9s  %s\n", "rank", "gain", "gain",
                            "80 % interval", "rate today", "predicted rate", "changed", "board");
  const std::vector<size_t> ranks = ranks_of(order);
  for (size_t i = 0; i < order.told.size(); ++i) {
    out += board_row(std::to_string(ranks[i]), order.told[i]);
  }
  if (!order.untold.empty()) {
    out += printed(
        "%zu board%s without a told gain (%s, or a loss: the interval holds or lies below 0), "
        "by name:\n",
        order.untold.size(), order.untold.size() == 1 ? "" : "s", untold_gain);
    for (const RankedBoard& board : order.untold) out += board_row("-", board);
  }
  const size_t boards = order.told.size() + order.untold.size();
  out += printed(
      "%zu board%s by the lower end of their predicted gain's 80 %% interval (twins, "
      "%d draws each; simulated chip model)",
      boards, boards == 1 ? "" : "s", draws);
  if (unusable > 0) out += printed("; %zu more could not be predicted", unusable);
  out += '\n';
  out += ranking_note(TuningKind::first, order.first_tunings);
  out += ranking_note(TuningKind::again, order.later_tunings);
  out += "settings: " +
         (settings.empty() ? std::string("each board's own autoTune.conf") : printable(settings));
  return out + printed("\ntold gains: %zu of %zu board%s\n", order.told.size(), boards,
                       boards == 1 ? "" : "s");
}

}  // namespace tune::rehearse
