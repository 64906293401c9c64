// The timeline: the total rate over virtual time, and each chain's voltage and frequency in
// a panel, each drawn from the moment the programs wrote it.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "pictures.hpp"
#include "svg.hpp"

namespace tune::rehearse {

namespace {

// Colour-blind-safe colours (Okabe and Ito), one per chain slot; yellow is left out, as it
// is hard to see on white.
constexpr const char* chain_colours[chain_count] = {"#E69F00", "#56B4E9", "#009E73",
                                                    "#0072B2", "#D55E00", "#CC79A7"};

constexpr int width = 960, left = 90, right = 46, top = 50;
constexpr int rate_height = 220, panel_height = 54, panel_gap = 10;
constexpr int plot_w = width - left - right;
constexpr int panels_top = top + rate_height + 46;

// A tick's label: the value to the unit.
std::string whole(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", value);
  return text;
}

// The horizontal axis: the time range, in minutes for a session of a few hours, else hours.
struct TimeAxis {
  explicit TimeAxis(double end_hours)
      : end_hours(end_hours),
        in_minutes(end_hours <= 10),
        unit(in_minutes ? 60 : 1),
        ticks(nice_ticks(0, end_hours * unit, 10)) {}
  double x(double hours) const { return left + hours / end_hours * plot_w; }

  // Grid lines from `y_top` to `y_bottom`, labelled below when asked.
  void draw(Svg& svg, int y_top, int y_bottom, bool labels) const {
    for (double tick : ticks) {
      double at = x(tick / unit);
      svg.shape("line",
                {{"x1", at}, {"x2", at}, {"y1", y_top}, {"y2", y_bottom}, {"stroke", "#e6e6e6"}});
      if (!labels) continue;
      char label[32];
      std::snprintf(label, sizeof label, "%.*f%s", tick == std::floor(tick) ? 0 : 1, tick,
                    in_minutes ? " min" : " h");
      svg.text({{"x", at}, {"y", y_bottom + 15}, {"font-size", 11}, {"text-anchor", "middle"}},
               label);
    }
  }

  double end_hours;
  bool in_minutes;
  double unit;  // axis units per hour
  std::vector<double> ticks;
};

// A value held from one point to the next, and after the last to the end: a step line.
template <typename Point, typename Y>
std::string held_path(const Svg& svg, const std::vector<Point>& points, const TimeAxis& time, Y y) {
  std::string d;
  for (size_t i = 0; i < points.size(); ++i) {
    d += i == 0 ? "M" : " H";
    d += svg.number(time.x(points[i].hours));
    d += i == 0 ? " " : " V";
    d += svg.number(y(points[i]));
  }
  if (!points.empty()) d += " H" + svg.number(time.x(time.end_hours));
  return d;
}

void rate_plot(Svg& svg, const Timeline& timeline, const TimeAxis& time, int panels_bottom) {
  double max_rate = 1, min_rate = -1;
  for (const TimelineSample& s : timeline.samples) {
    max_rate = std::max(max_rate, s.total_rate);
    min_rate = min_rate < 0 ? s.total_rate : std::min(min_rate, s.total_rate);
  }
  // The rate axis spans what the rate did, so that its changes show.
  std::vector<double> ticks =
      nice_ticks(std::max(0.0, min_rate - (max_rate - min_rate) * 0.1), max_rate * 1.01, 6);
  double step = ticks.size() > 1 ? ticks[1] - ticks[0] : max_rate;
  double low = std::max(0.0, ticks.front() - (ticks.front() > min_rate ? step : 0));
  if (low < ticks.front()) ticks.insert(ticks.begin(), low);
  double high = std::max(ticks.back(), max_rate);
  auto y = [&](double rate) {
    return top + rate_height - (rate - low) / (high - low) * rate_height;
  };

  svg.shape("rect", {{"x", left},
                     {"y", top},
                     {"width", plot_w},
                     {"height", rate_height},
                     {"fill", "none"},
                     {"stroke", "#888888"}});
  for (double rate : ticks) {
    svg.shape("line", {{"x1", left},
                       {"x2", left + plot_w},
                       {"y1", y(rate)},
                       {"y2", y(rate)},
                       {"stroke", "#e6e6e6"}});
    svg.text({{"x", left - 6}, {"y", y(rate) + 4}, {"font-size", 11}, {"text-anchor", "end"}},
             whole(rate));
  }
  const int middle = top + rate_height / 2;
  svg.text({{"x", 18},
            {"y", middle},
            {"font-size", 11},
            {"transform", "rotate(-90 18 " + std::to_string(middle) + ")"},
            {"text-anchor", "middle"}},
           "total measured rate");
  time.draw(svg, top, top + rate_height, true);
  if (timeline.yellow_fixer_start_hours >= 0) {
    double x = time.x(timeline.yellow_fixer_start_hours);
    svg.shape("line", {{"x1", x},
                       {"x2", x},
                       {"y1", top},
                       {"y2", panels_bottom},
                       {"stroke", "#333333"},
                       {"stroke-dasharray", "5 4"}});
    svg.text({{"x", x + 4}, {"y", top + rate_height - 6}, {"font-size", 11}, {"fill", "#333333"}},
             "yellow-fixer starts");
  }
  svg.shape("path", {{"fill", "none"},
                     {"stroke", "#000000"},
                     {"stroke-width", "2"},
                     {"d", held_path(svg, timeline.samples, time,
                                     [&](const TimelineSample& s) { return y(s.total_rate); })}});
}

// A value's axis over a panel: from a little below its lowest to a little above its highest.
struct PanelAxis {
  PanelAxis(int low, int high, int round, int y0) : y0(y0) {
    if (low > high) low = high = 0;
    this->low = static_cast<int>(std::floor(static_cast<double>(low) / round)) * round - round;
    this->high = static_cast<int>(std::ceil(static_cast<double>(high) / round)) * round + round;
  }
  double y(int value) const {
    return y0 + panel_height - static_cast<double>(value - low) / (high - low) * panel_height;
  }
  int low, high, y0;
};

void chain_panel(Svg& svg, const Timeline& timeline, const TimeAxis& time, int slot, int y0,
                 bool last) {
  int low_volt = 100000, high_volt = 0, low_freq = 100000, high_freq = 0;
  for (const WrittenSettings& s : timeline.settings) {
    low_volt = std::min(low_volt, s.voltage[slot]);
    high_volt = std::max(high_volt, s.voltage[slot]);
    low_freq = std::min(low_freq, s.freq[slot]);
    high_freq = std::max(high_freq, s.freq[slot]);
  }
  const PanelAxis volt(low_volt, high_volt, 10, y0), freq(low_freq, high_freq, 25, y0);
  svg.shape("rect", {{"x", left},
                     {"y", y0},
                     {"width", plot_w},
                     {"height", panel_height},
                     {"fill", "none"},
                     {"stroke", "#888888"}});
  time.draw(svg, y0, y0 + panel_height, last);
  for (double v : nice_ticks(volt.low, volt.high, 3)) {
    svg.text({{"x", left - 6},
              {"y", volt.y(static_cast<int>(v)) + 4},
              {"font-size", 10},
              {"text-anchor", "end"}},
             whole(v));
  }
  for (double f : nice_ticks(freq.low, freq.high, 3)) {
    svg.text({{"x", left + plot_w + 4},
              {"y", freq.y(static_cast<int>(f)) + 4},
              {"font-size", 10},
              {"fill", "#555555"}},
             whole(f));
  }
  svg.text({{"x", 18},
            {"y", y0 + panel_height / 2 + 4},
            {"font-size", 11},
            {"font-weight", "bold"},
            {"fill", chain_colours[slot]}},
           "chain " + std::to_string(miner_chain_number(slot)));
  svg.shape("path", {{"fill", "none"},
                     {"stroke", "#555555"},
                     {"stroke-width", "1.4"},
                     {"stroke-dasharray", "4 3"},
                     {"d", held_path(svg, timeline.settings, time, [&](const WrittenSettings& s) {
                        return freq.y(s.freq[slot]);
                      })}});
  svg.shape("path", {{"fill", "none"},
                     {"stroke", chain_colours[slot]},
                     {"stroke-width", "2.2"},
                     {"d", held_path(svg, timeline.settings, time, [&](const WrittenSettings& s) {
                        return volt.y(s.voltage[slot]);
                      })}});
}

}  // namespace

std::vector<double> nice_ticks(double low, double high, int most) {
  std::vector<double> ticks;
  if (!(high > low) || most < 2) return {low};
  double rough = (high - low) / (most - 1);
  double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
  double step = magnitude;
  for (double factor : {1.0, 2.0, 5.0, 10.0}) {
    step = factor * magnitude;
    if (step >= rough) break;
  }
  for (double tick = std::ceil(low / step - 1e-9) * step; tick <= high + step * 1e-9;
       tick += step) {
    ticks.push_back(std::abs(tick) < step * 1e-9 ? 0.0 : tick);
  }
  return ticks;
}

std::string timeline_svg(const Timeline& timeline, const std::string& title) {
  int present = 0;
  for (bool p : timeline.chain_present) present += p;
  const int panels_bottom = panels_top + present * (panel_height + panel_gap);
  double end_hours = 0.01;
  for (const TimelineSample& s : timeline.samples) end_hours = std::max(end_hours, s.hours);
  for (const WrittenSettings& s : timeline.settings) end_hours = std::max(end_hours, s.hours);
  const TimeAxis time(end_hours);

  Svg svg(width, panels_bottom + 40, title, 7);
  rate_plot(svg, timeline, time, panels_bottom);
  svg.text({{"x", left}, {"y", panels_top - 10}, {"font-size", 12}, {"font-weight", "bold"}},
           "as the programs wrote them: chain voltage (solid, the miner's units, left) and "
           "frequency (dashed, MHz, right)");
  int panel = 0;
  for (int slot = 0; slot < chain_count; ++slot) {
    if (!timeline.chain_present[slot]) continue;
    int y0 = panels_top + panel++ * (panel_height + panel_gap);
    chain_panel(svg, timeline, time, slot, y0, panel == present);
  }
  return svg.finish();
}

}  // namespace tune::rehearse
