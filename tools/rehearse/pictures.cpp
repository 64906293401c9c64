#include "pictures.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace tune::rehearse {

namespace {

constexpr int min_shown_freq = 300;
constexpr int max_shown_freq = 900;

std::string rgb(double r, double g, double b) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", static_cast<int>(r), static_cast<int>(g),
                static_cast<int>(b));
  return buffer;
}

// A dark-blue to yellow ramp for frequencies.
std::string freq_colour(int freq) {
  static const double stops[][3] = {
      {68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}};
  double t = (std::clamp(freq, min_shown_freq, max_shown_freq) - min_shown_freq) /
             static_cast<double>(max_shown_freq - min_shown_freq);
  double scaled = t * 4;
  int i = std::min(3, static_cast<int>(scaled));
  double f = scaled - i;
  return rgb(stops[i][0] + (stops[i + 1][0] - stops[i][0]) * f,
             stops[i][1] + (stops[i + 1][1] - stops[i][1]) * f,
             stops[i][2] + (stops[i + 1][2] - stops[i][2]) * f);
}

const char* health_colour(ChipHealth health) {
  switch (health) {
    case ChipHealth::red:
      return "#e03131";
    case ChipHealth::yellow:
      return "#ffd43b";
    case ChipHealth::green:
      return "#2f9e44";
    case ChipHealth::unclassified:
      break;
  }
  return "#adb5bd";
}

std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '&')
      out += "&amp;";
    else
      out += c;
  }
  return out;
}

const char* chain_colours[chain_count] = {"#1c7ed6", "#e8590c", "#2b8a3e",
                                          "#ae3ec9", "#c92a2a", "#0c8599"};

}  // namespace

std::string heat_map_svg(const BoardReport& report, const std::string& title) {
  constexpr int cell = 14, row_height = 26, left = 70, top = 50;
  const int width = left + chips_per_chain * cell + 20;
  const int height = top + chain_count * row_height + 90;
  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << ' ' << height << "\" font-family=\"sans-serif\">\n";
  svg << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  svg << "<text x=\"" << left << "\" y=\"24\" font-size=\"15\" font-weight=\"bold\">"
      << escape(title) << "</text>\n";
  svg << "<text x=\"" << left << "\" y=\"40\" font-size=\"11\" fill=\"#495057\">chips 1 to 63; "
      << "colour: final frequency; dot: health class</text>\n";
  for (int slot = 0; slot < chain_count; ++slot) {
    const ChainSummary& chain = report.chains[slot];
    int y = top + slot * row_height;
    svg << "<text x=\"8\" y=\"" << y + 17 << "\" font-size=\"12\">chain " << chain.chain_number
        << "</text>\n";
    if (!chain.present) {
      svg << "<rect x=\"" << left << "\" y=\"" << y << "\" width=\"" << chips_per_chain * cell
          << "\" height=\"" << row_height - 4 << "\" fill=\"#f1f3f5\"/>\n";
      svg << "<text x=\"" << left + 8 << "\" y=\"" << y + 16
          << "\" font-size=\"11\" fill=\"#868e96\">absent</text>\n";
      continue;
    }
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      int x = left + chip * cell;
      int freq = effective_chip_freq(report.state, slot, chip);
      svg << "<rect x=\"" << x << "\" y=\"" << y << "\" width=\"" << cell - 1 << "\" height=\""
          << row_height - 4 << "\" fill=\"" << freq_colour(freq) << "\"><title>chain "
          << chain.chain_number << " chip " << chip + 1 << ": " << freq << " MHz</title></rect>\n";
      svg << "<circle cx=\"" << x + cell / 2.0 - 0.5 << "\" cy=\"" << y + (row_height - 4) / 2.0
          << "\" r=\"3.5\" fill=\"" << health_colour(report.health[slot][chip])
          << "\" stroke=\"#212529\" stroke-width=\"0.6\"/>\n";
    }
  }
  // Legend: the frequency ramp and the health marks.
  int legend_y = top + chain_count * row_height + 16;
  for (int i = 0; i <= 60; ++i) {
    int freq = min_shown_freq + (max_shown_freq - min_shown_freq) * i / 60;
    svg << "<rect x=\"" << left + i * 5 << "\" y=\"" << legend_y
        << "\" width=\"5\" height=\"12\" fill=\"" << freq_colour(freq) << "\"/>\n";
  }
  svg << "<text x=\"" << left << "\" y=\"" << legend_y + 26 << "\" font-size=\"11\">"
      << min_shown_freq << " MHz or less</text>\n";
  svg << "<text x=\"" << left + 305 << "\" y=\"" << legend_y + 26
      << "\" font-size=\"11\" text-anchor=\"end\">" << max_shown_freq << " MHz or more</text>\n";
  const std::pair<ChipHealth, const char*> marks[] = {{ChipHealth::green, "green"},
                                                  {ChipHealth::yellow, "yellow"},
                                                  {ChipHealth::red, "red"},
                                                  {ChipHealth::unclassified, "no rate"}};
  int x = left + 360;
  for (const auto& [health, name] : marks) {
    svg << "<circle cx=\"" << x << "\" cy=\"" << legend_y + 6 << "\" r=\"4\" fill=\""
        << health_colour(health) << "\" stroke=\"#212529\" stroke-width=\"0.6\"/>\n";
    svg << "<text x=\"" << x + 8 << "\" y=\"" << legend_y + 10 << "\" font-size=\"11\">" << name
        << "</text>\n";
    x += 75;
  }
  svg << "</svg>\n";
  return svg.str();
}

std::string timeline_svg(const Timeline& timeline, const std::string& title) {
  constexpr int width = 900, height = 440, left = 70, right = 70, top = 50, bottom = 80;
  const int plot_w = width - left - right, plot_h = height - top - bottom;
  double max_hours = 0.01, max_rate = 1;
  int min_volt = 100000, max_volt = 0;
  for (const TimelineSample& s : timeline.samples) {
    max_hours = std::max(max_hours, s.hours);
    max_rate = std::max(max_rate, s.total_rate);
    for (int slot = 0; slot < chain_count; ++slot) {
      if (!timeline.chain_present[slot]) continue;
      min_volt = std::min(min_volt, s.voltage[slot]);
      max_volt = std::max(max_volt, s.voltage[slot]);
    }
  }
  if (min_volt > max_volt) min_volt = max_volt = 0;
  // Round the voltage axis out to steps of 10 with five even ticks.
  min_volt = (min_volt - 10) / 10 * 10;
  max_volt = min_volt + ((max_volt + 10 - min_volt + 49) / 50) * 50;
  max_rate *= 1.1;
  auto px = [&](double hours) { return left + hours / max_hours * plot_w; };
  auto py_rate = [&](double rate) { return top + plot_h - rate / max_rate * plot_h; };
  auto py_volt = [&](int volt) {
    return top + plot_h - static_cast<double>(volt - min_volt) / (max_volt - min_volt) * plot_h;
  };

  std::ostringstream svg;
  svg.precision(6);
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << ' ' << height << "\" font-family=\"sans-serif\">\n";
  svg << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  svg << "<text x=\"" << left << "\" y=\"24\" font-size=\"15\" font-weight=\"bold\">"
      << escape(title) << "</text>\n";
  svg << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << plot_w << "\" height=\""
      << plot_h << "\" fill=\"none\" stroke=\"#868e96\"/>\n";
  // Axes: hours below, rate on the left, voltage on the right.
  for (int i = 0; i <= 5; ++i) {
    double hours = max_hours * i / 5;
    double rate = max_rate * i / 5;
    int volt = min_volt + (max_volt - min_volt) * i / 5;
    char label[32];
    std::snprintf(label, sizeof label, "%.1f h", hours);
    svg << "<text x=\"" << px(hours) << "\" y=\"" << top + plot_h + 16
        << "\" font-size=\"11\" text-anchor=\"middle\">" << label << "</text>\n";
    std::snprintf(label, sizeof label, "%.0f", rate);
    svg << "<text x=\"" << left - 6 << "\" y=\"" << py_rate(rate) + 4
        << "\" font-size=\"11\" text-anchor=\"end\">" << label << "</text>\n";
    svg << "<text x=\"" << left + plot_w + 6 << "\" y=\"" << py_volt(volt) + 4
        << "\" font-size=\"11\">" << volt << "</text>\n";
    svg << "<line x1=\"" << left << "\" x2=\"" << left + plot_w << "\" y1=\"" << py_rate(rate)
        << "\" y2=\"" << py_rate(rate) << "\" stroke=\"#f1f3f5\"/>\n";
  }
  svg << "<text x=\"14\" y=\"" << top + plot_h / 2
      << "\" font-size=\"11\" transform=\"rotate(-90 14 " << top + plot_h / 2
      << ")\" text-anchor=\"middle\">total measured rate</text>\n";
  svg << "<text x=\"" << width - 12 << "\" y=\"" << top + plot_h / 2
      << "\" font-size=\"11\" transform=\"rotate(90 " << width - 12 << ' ' << top + plot_h / 2
      << ")\" text-anchor=\"middle\">chain voltage</text>\n";
  if (timeline.yellow_fixer_start_hours >= 0) {
    double x = px(timeline.yellow_fixer_start_hours);
    svg << "<line x1=\"" << x << "\" x2=\"" << x << "\" y1=\"" << top << "\" y2=\"" << top + plot_h
        << "\" stroke=\"#495057\" stroke-dasharray=\"4 3\"/>\n";
    svg << "<text x=\"" << x + 4 << "\" y=\"" << top + 12
        << "\" font-size=\"11\" fill=\"#495057\">yellow-fixer</text>\n";
  }
  for (int slot = 0; slot < chain_count; ++slot) {
    if (!timeline.chain_present[slot]) continue;
    svg << "<polyline fill=\"none\" stroke=\"" << chain_colours[slot]
        << "\" stroke-width=\"1.2\" points=\"";
    for (const TimelineSample& s : timeline.samples) {
      svg << px(s.hours) << ',' << py_volt(s.voltage[slot]) << ' ';
    }
    svg << "\"/>\n";
  }
  svg << "<polyline fill=\"none\" stroke=\"#212529\" stroke-width=\"2.2\" points=\"";
  for (const TimelineSample& s : timeline.samples) {
    svg << px(s.hours) << ',' << py_rate(s.total_rate) << ' ';
  }
  svg << "\"/>\n";
  // Legend.
  int legend_y = height - 30, x = left;
  svg << "<line x1=\"" << x << "\" x2=\"" << x + 20 << "\" y1=\"" << legend_y - 4 << "\" y2=\""
      << legend_y - 4 << "\" stroke=\"#212529\" stroke-width=\"2.2\"/>\n";
  svg << "<text x=\"" << x + 24 << "\" y=\"" << legend_y
      << "\" font-size=\"11\">total rate</text>\n";
  x += 100;
  for (int slot = 0; slot < chain_count; ++slot) {
    if (!timeline.chain_present[slot]) continue;
    svg << "<line x1=\"" << x << "\" x2=\"" << x + 20 << "\" y1=\"" << legend_y - 4 << "\" y2=\""
        << legend_y - 4 << "\" stroke=\"" << chain_colours[slot] << "\"/>\n";
    svg << "<text x=\"" << x + 24 << "\" y=\"" << legend_y << "\" font-size=\"11\">chain "
        << chain_number_of(slot) << " voltage</text>\n";
    x += 115;
  }
  svg << "</svg>\n";
  return svg.str();
}

}  // namespace tune::rehearse
