#include "predictions.hpp"

#include <algorithm>
#include <cmath>

#include "report_text.hpp"
#include "text.hpp"

namespace tune::rehearse {

namespace {

std::string efficiency_text(double rate, double power) {
  std::optional<double> efficiency = model_efficiency(rate, power);
  return efficiency ? printed("%.3f", *efficiency) : std::string("-");
}

std::string percent_text(std::optional<double> percent) {
  if (!percent) return "-";
  // A change too small to show has no sign: "+0.0 %" beside a loss in rate would mislead.
  if (std::abs(*percent) < 0.05) return "0.0 %";
  return printed("%+.1f %%", *percent);
}

}  // namespace

std::string format_twin_prediction(const std::string& board_dir, const Prediction& p) {
  std::string out = "the board in " + shown_path(board_dir) +
                    ", today -> predicted by its twin (simulated chip model):\n";
  out += printed("  measured rate     %.2f -> %.2f (", p.rate_today, p.rate_after) +
         percent_text(p.gain_percent()) + ")\n";
  out += "  efficiency        " + efficiency_text(p.rate_today, p.power_today) + " -> " +
         efficiency_text(p.rate_after, p.power_after) + " rate per power unit\n";
  out += printed("  chips changed     %d of %d\n", p.chips_changed, p.chips);
  out += printed("  chips overridden  %d -> %d\n", p.overrides_today, p.overrides_after);
  out += "  tuning duration   " +
         (p.logged_seconds ? format_duration(*p.logged_seconds) : std::string("-")) +
         " (its logs) -> " + format_duration(p.virtual_seconds) + " (virtual)\n";
  return out;
}

std::string format_comparison(const std::string& board,
                              const std::vector<ComparedSettings>& compared) {
  std::string out = "settings compared on " + board + " (simulated chip model):\n";
  out += printed("%-4s %-12s %14s %9s %10s %10s %9s\n", "", "settings", "measured rate", "change",
                 "efficiency", "overridden", "duration");
  const Prediction* today = nullptr;
  for (const ComparedSettings& line : compared) {
    if (line.prediction) today = &*line.prediction;
  }
  if (today) {
    out += printed("%-4s %-12s %14.2f %9s %10s %10d %9s\n", "", "today", today->rate_today, "",
                   efficiency_text(today->rate_today, today->power_today).c_str(),
                   today->overrides_today,
                   today->logged_seconds ? format_duration(*today->logged_seconds).c_str() : "-");
  }
  for (size_t i = 0; i < compared.size(); ++i) {
    const ComparedSettings& line = compared[i];
    const std::string name = printable(line.name, 12);
    if (!line.prediction) {
      out += printed("%-4zu %-12s ", i + 1, name.c_str()) + "failed: " + line.failure + "\n";
      continue;
    }
    const Prediction& p = *line.prediction;
    out += printed("%-4zu %-12s %14.2f %9s %10s %10d %9s\n", i + 1, name.c_str(), p.rate_after,
                   percent_text(p.gain_percent()).c_str(),
                   efficiency_text(p.rate_after, p.power_after).c_str(), p.overrides_after,
                   format_duration(p.virtual_seconds).c_str());
  }
  out += "the lines, as /config/autoTune.conf takes them:\n";
  for (size_t i = 0; i < compared.size(); ++i) {
    out += printed("  %zu ", i + 1) + printable(compared[i].line) + "\n";
  }
  return out;
}

void rank_by_gain(std::vector<RankedBoard>& boards) {
  std::sort(boards.begin(), boards.end(), [](const RankedBoard& a, const RankedBoard& b) {
    if (a.prediction.gain() != b.prediction.gain())
      return a.prediction.gain() > b.prediction.gain();
    return a.dir < b.dir;
  });
}

std::string format_work_order(const std::vector<RankedBoard>& boards, size_t unusable,
                              const std::string& settings) {
  std::string out = printed("%-5s %11s %8s %12s %14s %9s  %s\n", "rank", "gain", "gain",
                            "rate today", "predicted rate", "changed", "board");
  for (size_t i = 0; i < boards.size(); ++i) {
    const Prediction& p = boards[i].prediction;
    out += printed("%-5zu %+11.2f %8s %12.2f %14.2f %4d/%-4d  ", i + 1, p.gain(),
                   percent_text(p.gain_percent()).c_str(), p.rate_today, p.rate_after,
                   p.chips_changed, p.chips) +
           shown_path(boards[i].dir) + "\n";
  }
  out += printed("%zu board%s by predicted gain of their next tuning (twins; simulated chip model)",
                 boards.size(), boards.size() == 1 ? "" : "s");
  if (unusable > 0) out += printed("; %zu more could not be predicted", unusable);
  out += "\nsettings: " +
         (settings.empty() ? std::string("each board's own autoTune.conf") : printable(settings));
  return out + "\n";
}

}  // namespace tune::rehearse
