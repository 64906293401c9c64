#include "pictures.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace tune::rehearse {

namespace {

// Colour-blind-safe colours (Okabe and Ito), one per chain slot; yellow is left out, as it
// is hard to see on white.
constexpr const char* chain_colours[chain_count] = {"#E69F00", "#56B4E9", "#009E73",
                                                    "#0072B2", "#D55E00", "#CC79A7"};

// The frequency bands of the heat map: 25 MHz wide where tuned chips usually sit, so that
// 800, 825 and 850 MHz differ, and wider below. Each band is [edge, next edge).
constexpr int band_edges[] = {400, 450, 500, 550, 600, 625, 650, 675, 700,
                              725, 750, 775, 800, 825, 850, 875, 900};
constexpr int band_count = sizeof band_edges / sizeof band_edges[0] + 1;  // plus one below

int band_of(int freq) {
  int band = 0;
  while (band < band_count - 1 && freq >= band_edges[band]) ++band;
  return band;
}

// The "turbo" colour map (Google's polynomial fit), sampled once per band: neighbouring
// bands get clearly different hues.
std::string band_colour(int band) {
  // Its darkest ends are left out, so that every class mark stands out on every band.
  double t = 0.08 + 0.82 * band / (band_count - 1);
  auto channel = [t](double c0, double c1, double c2, double c3, double c4, double c5) {
    double v = c0 + t * (c1 + t * (c2 + t * (c3 + t * (c4 + t * c5))));
    return static_cast<int>(std::clamp(v, 0.0, 1.0) * 255 + 0.5);
  };
  int r = channel(0.13572138, 4.61539260, -42.66032258, 132.13108234, -152.94239396, 59.28637943);
  int g = channel(0.09140261, 2.19418839, 4.84296658, -14.18503333, 4.27729857, 2.82956604);
  int b = channel(0.10667330, 12.64194608, -60.58204836, 110.36276771, -89.90310912, 27.34824973);
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", r, g, b);
  return text;
}

std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '"') {
      out += "&quot;";
    } else {
      out += c;
    }
  }
  return out;
}

std::string number_text(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// The class of a chip drawn as a mark: a shape as well as a colour, so that the classes
// differ without colour vision too.
void chip_mark(std::ostringstream& svg, ChipClass chip_class, double x, double y) {
  constexpr char stroke[] = "stroke=\"#000000\" stroke-width=\"0.7\"";
  switch (chip_class) {
    case ChipClass::green:
      svg << "<circle cx=\"" << x << "\" cy=\"" << y << "\" r=\"3.2\" fill=\"#009E73\" " << stroke
          << "/>";
      break;
    case ChipClass::yellow:
      svg << "<path d=\"M" << x << ' ' << y - 4 << " L" << x + 4 << ' ' << y << " L" << x << ' '
          << y + 4 << " L" << x - 4 << ' ' << y << " Z\" fill=\"#F0E442\" " << stroke << "/>";
      break;
    case ChipClass::red:
      svg << "<path d=\"M" << x - 3.5 << ' ' << y - 3.5 << " L" << x + 3.5 << ' ' << y + 3.5 << " M"
          << x + 3.5 << ' ' << y - 3.5 << " L" << x - 3.5 << ' ' << y + 3.5
          << "\" stroke=\"#000000\" stroke-width=\"3.6\"/><path d=\"M" << x - 3.5 << ' ' << y - 3.5
          << " L" << x + 3.5 << ' ' << y + 3.5 << " M" << x + 3.5 << ' ' << y - 3.5 << " L"
          << x - 3.5 << ' ' << y + 3.5 << "\" stroke=\"#D55E00\" stroke-width=\"2\"/>";
      break;
    case ChipClass::unclassified:
      svg << "<circle cx=\"" << x << "\" cy=\"" << y << "\" r=\"2.6\" fill=\"#ffffff\" " << stroke
          << "/>";
      break;
    case ChipClass::unrated:
      svg << "<rect x=\"" << x - 3 << "\" y=\"" << y - 3
          << "\" width=\"6\" height=\"6\" fill=\"#ffffff\" " << stroke << "/>";
      break;
  }
  svg << "\n";
}

void svg_open(std::ostringstream& svg, int width, int height, const std::string& title) {
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << ' ' << height << "\" font-family=\"sans-serif\">\n";
  svg << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  svg << "<text x=\"20\" y=\"24\" font-size=\"15\" font-weight=\"bold\">" << escape(title)
      << "</text>\n";
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

std::string heat_map_svg(const BoardReport& report, const std::string& title) {
  constexpr int cell = 14, row_height = 26, left = 150, top = 72;
  const int width = left + chips_per_chain * cell + 30;
  const int height = top + chain_count * row_height + 120;
  std::ostringstream svg;
  svg_open(svg, width, height, title);
  svg << "<text x=\"20\" y=\"42\" font-size=\"11\" fill=\"#333333\">cell colour: the chip's "
         "frequency; mark: its class from its last rate; hover a chip for its figures</text>\n";
  // Chip numbers along the top.
  for (int number : {1, 10, 20, 30, 40, 50, 60, 63}) {
    double x = left + (number - 1) * cell + (cell - 1) / 2.0;
    svg << "<text x=\"" << x << "\" y=\"" << top - 6
        << "\" font-size=\"10\" text-anchor=\"middle\">" << number << "</text>\n";
    svg << "<line x1=\"" << x << "\" x2=\"" << x << "\" y1=\"" << top - 4 << "\" y2=\"" << top - 1
        << "\" stroke=\"#333333\"/>\n";
  }
  svg << "<text x=\"" << left - 8 << "\" y=\"" << top - 6
      << "\" font-size=\"10\" text-anchor=\"end\">chip</text>\n";
  for (int slot = 0; slot < chain_count; ++slot) {
    const ChainSummary& chain = report.chains[slot];
    int y = top + slot * row_height;
    svg << "<text x=\"20\" y=\"" << y + 11 << "\" font-size=\"12\" font-weight=\"bold\">chain "
        << miner_chain_number(slot) << "</text>\n";
    svg << "<text x=\"20\" y=\"" << y + 21 << "\" font-size=\"9\" fill=\"#555555\">slot " << slot
        << ", digit " << chain_digit(slot) << ", tuner's " << chain_number_of(slot) << "</text>\n";
    if (!chain.present) {
      svg << "<rect x=\"" << left << "\" y=\"" << y << "\" width=\"" << chips_per_chain * cell - 1
          << "\" height=\"" << row_height - 4 << "\" fill=\"#eeeeee\"/>\n";
      svg << "<text x=\"" << left + 8 << "\" y=\"" << y + 15
          << "\" font-size=\"11\" fill=\"#555555\">absent: no chip rates</text>\n";
      continue;
    }
    int row = chip_table_row(slot);
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      int x = left + chip * cell;
      int freq = effective_chip_freq(report.state, slot, chip);
      ChipClass chip_class = report.chip_class[slot][chip];
      std::string rate = report.rated[row][chip]
                             ? "rate " + number_text(report.state.chip_rate[row][chip], 2) + " GH/s"
                             : "no rate";
      size_t changes = report.history.changes[slot][chip].size();
      svg << "<g><title>chain " << miner_chain_number(slot) << " chip " << chip + 1 << ": " << freq
          << " MHz, " << rate << ", " << class_name(chip_class) << ", " << changes << " change"
          << (changes == 1 ? "" : "s") << "</title>";
      svg << "<rect x=\"" << x << "\" y=\"" << y << "\" width=\"" << cell - 1 << "\" height=\""
          << row_height - 4 << "\" fill=\"" << band_colour(band_of(freq)) << "\"/>";
      chip_mark(svg, chip_class, x + (cell - 1) / 2.0, y + (row_height - 4) / 2.0);
      svg << "</g>\n";
    }
  }
  // The colour bar, one box per band, its edges labelled.
  int bar_y = top + chain_count * row_height + 18;
  constexpr int box = 30;
  svg << "<text x=\"20\" y=\"" << bar_y + 11 << "\" font-size=\"11\">frequency, MHz</text>\n";
  for (int band = 0; band < band_count; ++band) {
    int x = left + band * box;
    svg << "<rect x=\"" << x << "\" y=\"" << bar_y << "\" width=\"" << box << "\" height=\"14\" "
        << "fill=\"" << band_colour(band) << "\" stroke=\"#ffffff\" stroke-width=\"0.5\"/>\n";
    if (band > 0) {
      int edge = band_edges[band - 1];
      svg << "<line x1=\"" << x << "\" x2=\"" << x << "\" y1=\"" << bar_y + 14 << "\" y2=\""
          << bar_y + 18 << "\" stroke=\"#333333\"/>\n";
      bool labelled = edge % 100 == 0 || edge >= 800;
      if (labelled) {
        svg << "<text x=\"" << x << "\" y=\"" << bar_y + 29
            << "\" font-size=\"10\" text-anchor=\"middle\">" << edge << "</text>\n";
      }
    }
  }
  // The class marks.
  const std::pair<ChipClass, const char*> marks[] = {{ChipClass::green, "green (0.9 to 1.3)"},
                                                     {ChipClass::yellow, "yellow (0.7 to 0.9)"},
                                                     {ChipClass::red, "red"},
                                                     {ChipClass::unclassified, "no class"},
                                                     {ChipClass::unrated, "no rate"}};
  int x = left;
  int marks_y = bar_y + 52;
  svg << "<text x=\"20\" y=\"" << marks_y + 4 << "\" font-size=\"11\">rate / expected</text>\n";
  for (const auto& [chip_class, name] : marks) {
    chip_mark(svg, chip_class, x + 4, marks_y);
    svg << "<text x=\"" << x + 12 << "\" y=\"" << marks_y + 4 << "\" font-size=\"11\">" << name
        << "</text>\n";
    x += 26 + static_cast<int>(std::string(name).size()) * 6;
  }
  svg << "</svg>\n";
  return svg.str();
}

std::string timeline_svg(const Timeline& timeline, const std::string& title) {
  constexpr int width = 960, left = 90, right = 30, top = 50;
  constexpr int rate_height = 220, panel_height = 54, panel_gap = 10;
  int present = 0;
  for (bool p : timeline.chain_present) present += p;
  const int plot_w = width - left - right;
  const int panels_top = top + rate_height + 46;
  const int height = panels_top + present * (panel_height + panel_gap) + 40;

  double end_hours = 0.01, max_rate = 1, min_rate = -1;
  for (const TimelineSample& s : timeline.samples) {
    end_hours = std::max(end_hours, s.hours);
    max_rate = std::max(max_rate, s.total_rate);
    min_rate = min_rate < 0 ? s.total_rate : std::min(min_rate, s.total_rate);
  }
  // Sessions of a few hours are read in minutes, longer ones in hours.
  const bool in_minutes = end_hours <= 10;
  const double time_unit = in_minutes ? 60 : 1;  // axis units per hour
  std::vector<double> time_ticks = nice_ticks(0, end_hours * time_unit, 10);
  // The rate axis spans what the rate did, so that its changes show.
  std::vector<double> rate_ticks =
      nice_ticks(std::max(0.0, min_rate - (max_rate - min_rate) * 0.1), max_rate * 1.01, 6);
  double rate_step = rate_ticks.size() > 1 ? rate_ticks[1] - rate_ticks[0] : max_rate;
  double low_rate =
      std::max(0.0, rate_ticks.front() - (rate_ticks.front() > min_rate ? rate_step : 0));
  if (low_rate < rate_ticks.front()) rate_ticks.insert(rate_ticks.begin(), low_rate);
  double high_rate = std::max(rate_ticks.back(), max_rate);
  auto px = [&](double hours) { return left + hours / end_hours * plot_w; };
  auto py_rate = [&](double rate) {
    return top + rate_height - (rate - low_rate) / (high_rate - low_rate) * rate_height;
  };

  std::ostringstream svg;
  svg.precision(7);
  svg_open(svg, width, height, title);
  // The total rate, held between readings.
  svg << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << plot_w << "\" height=\""
      << rate_height << "\" fill=\"none\" stroke=\"#888888\"/>\n";
  for (double rate : rate_ticks) {
    svg << "<line x1=\"" << left << "\" x2=\"" << left + plot_w << "\" y1=\"" << py_rate(rate)
        << "\" y2=\"" << py_rate(rate) << "\" stroke=\"#e6e6e6\"/>\n";
    svg << "<text x=\"" << left - 6 << "\" y=\"" << py_rate(rate) + 4
        << "\" font-size=\"11\" text-anchor=\"end\">" << number_text(rate, 0) << "</text>\n";
  }
  svg << "<text x=\"18\" y=\"" << top + rate_height / 2 << "\" font-size=\"11\" transform=\"rotate("
      << "-90 18 " << top + rate_height / 2 << ")\" text-anchor=\"middle\">total measured rate, "
      << "GH/s</text>\n";
  auto time_axis = [&](int y_top, int y_bottom, bool labels) {
    for (double tick : time_ticks) {
      double x = px(tick / time_unit);
      svg << "<line x1=\"" << x << "\" x2=\"" << x << "\" y1=\"" << y_top << "\" y2=\"" << y_bottom
          << "\" stroke=\"#e6e6e6\"/>\n";
      if (!labels) continue;
      std::string label =
          number_text(tick, tick == std::floor(tick) ? 0 : 1) + (in_minutes ? " min" : " h");
      svg << "<text x=\"" << x << "\" y=\"" << y_bottom + 15
          << "\" font-size=\"11\" text-anchor=\"middle\">" << label << "</text>\n";
    }
  };
  time_axis(top, top + rate_height, true);
  if (timeline.yellow_fixer_start_hours >= 0) {
    double x = px(timeline.yellow_fixer_start_hours);
    svg << "<line x1=\"" << x << "\" x2=\"" << x << "\" y1=\"" << top << "\" y2=\""
        << panels_top + present * (panel_height + panel_gap)
        << "\" stroke=\"#333333\" stroke-dasharray=\"5 4\"/>\n";
    svg << "<text x=\"" << x + 4 << "\" y=\"" << top + rate_height - 6
        << "\" font-size=\"11\" fill=\"#333333\">yellow-fixer starts</text>\n";
  }
  svg << "<path fill=\"none\" stroke=\"#000000\" stroke-width=\"2\" d=\"";
  for (size_t i = 0; i < timeline.samples.size(); ++i) {
    const TimelineSample& s = timeline.samples[i];
    if (i == 0) {
      svg << "M" << px(s.hours) << ' ' << py_rate(s.total_rate);
    } else {
      svg << " H" << px(s.hours) << " V" << py_rate(s.total_rate);
    }
  }
  svg << "\"/>\n";

  // One small panel per chain: its voltage, held between changes.
  svg << "<text x=\"" << left << "\" y=\"" << panels_top - 10
      << "\" font-size=\"12\" font-weight=\"bold\">chain voltage (the miner's units)</text>\n";
  int panel = 0;
  for (int slot = 0; slot < chain_count; ++slot) {
    if (!timeline.chain_present[slot]) continue;
    int y0 = panels_top + panel++ * (panel_height + panel_gap);
    int low = 100000, high = 0;
    for (const TimelineSample& s : timeline.samples) {
      low = std::min(low, s.voltage[slot]);
      high = std::max(high, s.voltage[slot]);
    }
    if (low > high) low = high = 0;
    low = static_cast<int>(std::floor(low / 10.0)) * 10 - 10;
    high = static_cast<int>(std::ceil(high / 10.0)) * 10 + 10;
    auto py = [&](int volt) {
      return y0 + panel_height - static_cast<double>(volt - low) / (high - low) * panel_height;
    };
    svg << "<rect x=\"" << left << "\" y=\"" << y0 << "\" width=\"" << plot_w << "\" height=\""
        << panel_height << "\" fill=\"none\" stroke=\"#888888\"/>\n";
    time_axis(y0, y0 + panel_height, panel == present);
    for (double volt : nice_ticks(low, high, 3)) {
      svg << "<text x=\"" << left - 6 << "\" y=\"" << py(static_cast<int>(volt)) + 4
          << "\" font-size=\"10\" text-anchor=\"end\">" << number_text(volt, 0) << "</text>\n";
    }
    svg << "<text x=\"" << 18 << "\" y=\"" << y0 + panel_height / 2 + 4
        << "\" font-size=\"11\" font-weight=\"bold\" fill=\"" << chain_colours[slot] << "\">chain "
        << miner_chain_number(slot) << "</text>\n";
    svg << "<path fill=\"none\" stroke=\"" << chain_colours[slot] << "\" stroke-width=\"2.2\" d=\"";
    for (size_t i = 0; i < timeline.samples.size(); ++i) {
      const TimelineSample& s = timeline.samples[i];
      if (i == 0) {
        svg << "M" << px(s.hours) << ' ' << py(s.voltage[slot]);
      } else {
        svg << " H" << px(s.hours) << " V" << py(s.voltage[slot]);
      }
    }
    svg << "\"/>\n";
  }
  svg << "</svg>\n";
  return svg.str();
}

}  // namespace tune::rehearse
