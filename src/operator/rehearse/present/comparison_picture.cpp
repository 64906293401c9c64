// The comparison picture: one dot plot a measure, the settings lines down the side (each
// named by its settings, the whole line in the legend below and in a tooltip), a dot the
// draws' median with its 80 % interval, the board today as a dashed line where it has the
// measure.
#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
#include <optional>

#include "pictures.hpp"
#include "report_text.hpp"
#include "svg.hpp"
#include "text.hpp"

namespace tune::rehearse {

namespace {

constexpr int label_width = 150, panel_width = 190, panel_gap = 12, top = 74, row = 30;

struct Measure {
  const char* name;
  std::function<std::optional<Interval>(const DrawnPrediction&)> after;  // none: not shown
  std::function<std::optional<double>(const Prediction&)> today;         // none: no reference line
  std::function<std::string(double)> label;
};

// About how wide a label of 10-pixel text is drawn.
double label_width_of(const std::string& label) {
  return 6.0 * static_cast<double>(label.size());
}

void panel(Svg& svg, const Measure& measure, int x0, const std::vector<ComparedSettings>& lines) {
  const int height = static_cast<int>(lines.size()) * row;
  std::vector<double> values;
  std::optional<double> today;
  for (const ComparedSettings& line : lines) {
    if (!line.prediction) continue;
    if (std::optional<Interval> v = measure.after(*line.prediction)) {
      values.push_back(v->low);
      values.push_back(v->high);
    }
    if (!today) today = measure.today(line.prediction->shown());
  }
  if (today) values.push_back(*today);
  double low = values.empty() ? 0 : *std::min_element(values.begin(), values.end());
  double high = values.empty() ? 1 : *std::max_element(values.begin(), values.end());
  const double pad = std::max((high - low) * 0.15, std::abs(high) * 0.01 + 1e-9);
  std::vector<double> ticks = nice_ticks(low - pad, high + pad, 5);
  low = std::min(low - pad, ticks.front());
  high = std::max(high + pad, ticks.back());
  auto x = [&](double v) { return x0 + (v - low) / (high - low) * panel_width; };

  svg.text({{"x", x0}, {"y", top - 10}, {"font-size", 12}, {"font-weight", "bold"}}, measure.name);
  svg.shape("rect", {{"x", x0},
                     {"y", top},
                     {"width", panel_width},
                     {"height", height},
                     {"fill", "none"},
                     {"stroke", "#888888"}});
  std::string last_label;
  for (double tick : ticks) {
    if (x(tick) < x0 - 0.5 || x(tick) > x0 + panel_width + 0.5) continue;
    // Ticks closer than a label tells apart (lines alike to the minute) are drawn once.
    std::string label = measure.label(tick);
    if (label == last_label) continue;
    last_label = label;
    svg.shape("line", {{"x1", x(tick)},
                       {"x2", x(tick)},
                       {"y1", top},
                       {"y2", top + height},
                       {"stroke", "#e6e6e6"}});
    svg.text(
        {{"x", x(tick)}, {"y", top + height + 14}, {"font-size", 10}, {"text-anchor", "middle"}},
        label);
  }
  if (today) {
    svg.shape("line", {{"x1", x(*today)},
                       {"x2", x(*today)},
                       {"y1", top},
                       {"y2", top + height},
                       {"stroke", "#333333"},
                       {"stroke-dasharray", "5 4"}});
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    const double y = top + (static_cast<double>(i) + 0.5) * row;
    std::optional<Interval> v =
        lines[i].prediction ? measure.after(*lines[i].prediction) : std::nullopt;
    if (!v) {
      const char* why = lines[i].prediction ? "-" : lines[i].refused.empty() ? "failed" : "refused";
      // At the panel's left, or its right when the dashed line of today runs there.
      const bool left_clear = !today || x(*today) > x0 + 60;
      svg.text({{"x", left_clear ? x0 + 6 : x0 + panel_width - 6},
                {"y", y + 4},
                {"font-size", 11},
                {"fill", "#B00000"},
                {"text-anchor", left_clear ? "start" : "end"}},
               why);
      continue;
    }
    if (v->high > v->low) {
      svg.shape("line", {{"x1", x(v->low)},
                         {"x2", x(v->high)},
                         {"y1", y},
                         {"y2", y},
                         {"stroke", "#0072B2"},
                         {"stroke-width", 2},
                         {"stroke-opacity", 0.45}});
    }
    svg.shape("circle", {{"cx", x(v->median)}, {"cy", y}, {"r", 5}, {"fill", "#0072B2"}});
    // The label beside the dot, on a side where it stays inside the panel and clear of the
    // dashed line of today: to the right when it can, else to the left.
    const std::string label = measure.label(v->median);
    const double w = label_width_of(label), right = x(v->median) + 8, left = x(v->median) - 8;
    auto clear = [&](double from, double to) {
      return from >= x0 && to <= x0 + panel_width &&
             !(today && x(*today) >= from - 2 && x(*today) <= to + 2);
    };
    const bool on_right =
        clear(right, right + w) || (!clear(left - w, left) && right + w <= x0 + panel_width);
    svg.text({{"x", on_right ? right : left},
              {"y", y - 7},
              {"font-size", 10},
              {"text-anchor", on_right ? "start" : "end"}},
             label);
  }
}

}  // namespace

std::string comparison_svg(const std::vector<ComparedSettings>& lines, const std::string& title) {
  auto fixed = [](int decimals) {
    return [decimals](double v) { return printed("%.*f", decimals, v); };
  };
  auto scaled = [](Interval interval, double by) {
    return Interval{interval.low * by, interval.median * by, interval.high * by};
  };
  const Measure measures[] = {
      {"measured rate", [](const DrawnPrediction& p) { return std::optional(p.rate_after); },
       [](const Prediction& p) { return std::optional(p.rate_today); }, fixed(0)},
      {"efficiency (model)",
       [](const DrawnPrediction& p) {
         return p.shown().power_after > 0 ? std::optional(p.efficiency) : std::nullopt;
       },
       [](const Prediction& p) { return model_efficiency(p.rate_today, p.power_today); }, fixed(3)},
      {"chips overridden",
       [](const DrawnPrediction& p) { return std::optional(p.overrides_after); },
       [](const Prediction& p) { return std::optional<double>(p.overrides_today); }, fixed(0)},
      {"virtual duration, h:mm",
       [&](const DrawnPrediction& p) {
         return std::optional(scaled(p.virtual_seconds, 1 / 3600.0));
       },
       [](const Prediction& p) {
         return p.logged_seconds ? std::optional(*p.logged_seconds / 3600.0) : std::nullopt;
       },
       [](double hours) {
         // As the table shows it, to the minute.
         const long long minutes = std::llround(hours * 60);
         return printed("%lld:%02lld", minutes / 60, minutes % 60);
       }},
  };
  const int count = static_cast<int>(std::size(measures));
  const int width = label_width + count * panel_width + (count - 1) * panel_gap + 20;
  const int legend_top = top + static_cast<int>(lines.size()) * row + 50;
  const int height = legend_top + static_cast<int>(lines.size()) * 16 + 20;
  Svg svg(width, height, title);
  for (size_t i = 0; i < lines.size(); ++i) {
    // The name, with the whole line as its tooltip.
    svg.raw("<g><title>" + Svg::escape(lines[i].line, Svg::shown_text_limit) + "</title>");
    svg.text({{"x", label_width - 10},
              {"y", top + (static_cast<double>(i) + 0.5) * row + 4},
              {"font-size", 12},
              {"text-anchor", "end"}},
             printed("%zu ", i + 1) + printable(lines[i].name, 15), "");
    svg.raw("</g>\n");
  }
  for (int m = 0; m < count; ++m) {
    panel(svg, measures[m], label_width + m * (panel_width + panel_gap), lines);
  }
  svg.text({{"x", 10}, {"y", legend_top - 20}, {"font-size", 11}, {"fill", "#333333"}},
           "dots: the draws' median after the tuning, bars: its 80 % interval; dashed: the board "
           "today. Simulated chip model.");
  for (size_t i = 0; i < lines.size(); ++i) {
    svg.text({{"x", 10}, {"y", legend_top + static_cast<int>(i) * 16}, {"font-size", 11}},
             printed("%zu  ", i + 1) + printable(lines[i].line, 140));
  }
  return svg.finish();
}

}  // namespace tune::rehearse
