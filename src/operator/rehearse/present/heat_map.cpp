// The heat map: one cell a chip, coloured by its frequency band, marked by its class.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "health.hpp"
#include "pictures.hpp"
#include "svg.hpp"

namespace tune::rehearse {

namespace {

constexpr int cell = 14, row_height = 26, left = 150, top = 72;

// The frequency bands: 25 MHz wide where tuned chips usually sit, so that 800, 825 and 850
// MHz differ, and wider below. Each band is [edge, next edge).
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

// The class of a chip drawn as a mark: a shape as well as a colour, so that the classes
// differ without colour vision too.
void chip_mark(Svg& svg, ChipClass chip_class, double x, double y) {
  // Path data: a command and a point, each added in place.
  auto to = [&svg](std::string& d, const char* command, double px, double py) {
    d += command;
    d += svg.number(px);
    d += ' ';
    d += svg.number(py);
  };
  auto cross = [&](const char* colour, const char* width, const char* after) {
    std::string d;
    to(d, "M", x - 3.5, y - 3.5);
    to(d, " L", x + 3.5, y + 3.5);
    to(d, " M", x + 3.5, y - 3.5);
    to(d, " L", x - 3.5, y + 3.5);
    svg.shape("path", {{"d", d}, {"stroke", colour}, {"stroke-width", width}}, after);
  };
  switch (chip_class) {
    case ChipClass::green:
      svg.shape("circle", {{"cx", x},
                           {"cy", y},
                           {"r", "3.2"},
                           {"fill", "#009E73"},
                           {"stroke", "#000000"},
                           {"stroke-width", "0.7"}});
      break;
    case ChipClass::yellow: {
      std::string d;
      to(d, "M", x, y - 4);
      to(d, " L", x + 4, y);
      to(d, " L", x, y + 4);
      to(d, " L", x - 4, y);
      d += " Z";
      svg.shape("path",
                {{"d", d}, {"fill", "#F0E442"}, {"stroke", "#000000"}, {"stroke-width", "0.7"}});
      break;
    }
    case ChipClass::red:
      cross("#000000", "3.6", "");
      cross("#D55E00", "2", "\n");
      break;
    case ChipClass::unclassified:
      svg.shape("circle", {{"cx", x},
                           {"cy", y},
                           {"r", "2.6"},
                           {"fill", "#ffffff"},
                           {"stroke", "#000000"},
                           {"stroke-width", "0.7"}});
      break;
    case ChipClass::unrated:
      svg.shape("rect", {{"x", x - 3},
                         {"y", y - 3},
                         {"width", "6"},
                         {"height", "6"},
                         {"fill", "#ffffff"},
                         {"stroke", "#000000"},
                         {"stroke-width", "0.7"}});
      break;
  }
}

// A class bound as the legend shows it: "0.9".
std::string class_bound(double ratio) {
  char text[16];
  std::snprintf(text, sizeof text, "%g", ratio);
  return text;
}

std::string chip_tooltip(const ChainView& chain, int index) {
  const ChipView& chip = chain.chips[index];
  char rate[48] = "no rate";
  if (chip.rate) std::snprintf(rate, sizeof rate, "rate %.2f", static_cast<double>(*chip.rate));
  long long changes = static_cast<long long>(chip.history.size()) + chip.earlier_changes;
  return "chain " + std::to_string(chain.number) + " chip " + std::to_string(index + 1) + ": " +
         std::to_string(chip.freq) + " MHz, " + rate + ", " + class_name(chip.chip_class) + ", " +
         std::to_string(changes) + " change" + (changes == 1 ? "" : "s");
}

void chip_row(Svg& svg, const ChainView& chain, int y) {
  svg.text({{"x", 20}, {"y", y + 11}, {"font-size", 12}, {"font-weight", "bold"}},
           "chain " + std::to_string(chain.number));
  svg.text({{"x", 20}, {"y", y + 21}, {"font-size", 9}, {"fill", "#555555"}},
           "slot " + std::to_string(chain.slot) + ", digit " + chain.digit + ", tuner's " +
               std::to_string(chain.tuner_number));
  if (!chain.present) {
    svg.shape("rect", {{"x", left},
                       {"y", y},
                       {"width", chips_per_chain * cell - 1},
                       {"height", row_height - 4},
                       {"fill", chain.lost ? "#1A1A1A" : "#eeeeee"}});
    svg.text({{"x", left + 8},
              {"y", y + 15},
              {"font-size", 11},
              {"fill", chain.lost ? "#FFFFFF" : "#555555"}},
             chain.lost ? std::string("lost: no chip rates, but ") + chain.shown_hashing_by +
                              " showed it hashing"
                        : std::string("absent: no chip rates"));
    return;
  }
  for (int chip = 0; chip < chips_per_chain; ++chip) {
    int x = left + chip * cell;
    svg.raw("<g><title>" + chip_tooltip(chain, chip) + "</title>");
    svg.shape("rect",
              {{"x", x},
               {"y", y},
               {"width", cell - 1},
               {"height", row_height - 4},
               {"fill", band_colour(band_of(chain.chips[chip].freq))}},
              "");
    chip_mark(svg, chain.chips[chip].chip_class, x + (cell - 1) / 2.0, y + (row_height - 4) / 2.0);
    svg.raw("</g>\n");
  }
}

// The colour bar, one box per band, its edges labelled.
void colour_bar(Svg& svg, int bar_y) {
  constexpr int box = 30;
  svg.text({{"x", 20}, {"y", bar_y + 11}, {"font-size", 11}}, "frequency, MHz");
  for (int band = 0; band < band_count; ++band) {
    int x = left + band * box;
    svg.shape("rect", {{"x", x},
                       {"y", bar_y},
                       {"width", box},
                       {"height", "14"},
                       {"fill", band_colour(band)},
                       {"stroke", "#ffffff"},
                       {"stroke-width", "0.5"}});
    if (band == 0) continue;
    int edge = band_edges[band - 1];
    svg.shape(
        "line",
        {{"x1", x}, {"x2", x}, {"y1", bar_y + 14}, {"y2", bar_y + 18}, {"stroke", "#333333"}});
    if (edge % 100 == 0 || edge >= 800) {
      svg.text({{"x", x}, {"y", bar_y + 29}, {"font-size", 10}, {"text-anchor", "middle"}},
               std::to_string(edge));
    }
  }
}

// The class marks, with the ratio bands the classes stand for.
void class_legend(Svg& svg, int marks_y) {
  const std::string green =
      "green (" + class_bound(ratio_green_from) + " to " + class_bound(ratio_green_to) + ")";
  const std::string yellow =
      "yellow (" + class_bound(ratio_red_below) + " to " + class_bound(ratio_green_from) + ")";
  const std::pair<ChipClass, std::string> marks[] = {{ChipClass::green, green},
                                                     {ChipClass::yellow, yellow},
                                                     {ChipClass::red, "red"},
                                                     {ChipClass::unclassified, "no class"},
                                                     {ChipClass::unrated, "no rate"}};
  int x = left;
  svg.text({{"x", 20}, {"y", marks_y + 4}, {"font-size", 11}}, "rate / expected");
  for (const auto& [chip_class, name] : marks) {
    chip_mark(svg, chip_class, x + 4, marks_y);
    svg.text({{"x", x + 12}, {"y", marks_y + 4}, {"font-size", 11}}, name);
    x += 26 + static_cast<int>(name.size()) * 6;
  }
}

}  // namespace

std::string heat_map_svg(const BoardReport& report, const std::string& title) {
  const int width = left + chips_per_chain * cell + 30;
  const int height = top + chain_count * row_height + 120;
  Svg svg(width, height, title);
  svg.text({{"x", 20}, {"y", 42}, {"font-size", 11}, {"fill", "#333333"}},
           "cell colour: the chip's frequency; mark: its class from its last rate; hover a chip "
           "for its figures");
  // Chip numbers along the top.
  for (int number : {1, 10, 20, 30, 40, 50, 60, 63}) {
    double x = left + (number - 1) * cell + (cell - 1) / 2.0;
    svg.text({{"x", x}, {"y", top - 6}, {"font-size", 10}, {"text-anchor", "middle"}},
             std::to_string(number));
    svg.shape("line",
              {{"x1", x}, {"x2", x}, {"y1", top - 4}, {"y2", top - 1}, {"stroke", "#333333"}});
  }
  svg.text({{"x", left - 8}, {"y", top - 6}, {"font-size", 10}, {"text-anchor", "end"}}, "chip");
  for (const ChainView& chain : report.chains) chip_row(svg, chain, top + chain.slot * row_height);
  const int bar_y = top + chain_count * row_height + 18;
  colour_bar(svg, bar_y);
  class_legend(svg, bar_y + 52);
  return svg.finish();
}

}  // namespace tune::rehearse
