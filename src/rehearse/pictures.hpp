// The pictures of a tuning, as SVG: the chips' heat map and the session's timeline.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "board_report.hpp"

namespace tune::rehearse {

// Axis ticks from `low` to `high` in steps of 1, 2 or 5 times a power of ten, at most
// about `most` of them.
std::vector<double> nice_ticks(double low, double high, int most);

// A 6 x 63 map of the chips: colour by final frequency band, mark by class, and a tooltip
// with each chip's figures.
std::string heat_map_svg(const BoardReport& report, const std::string& title);

struct TimelineSample {
  double hours = 0;  // virtual time since the session began
  double total_rate = 0;
  std::array<int, chain_count> voltage{};
};

struct Timeline {
  std::vector<TimelineSample> samples;
  std::array<bool, chain_count> chain_present{};
  double yellow_fixer_start_hours = -1;  // where the second program began, if it ran
};

// The total measured rate and, one panel per chain, each chain's voltage over virtual
// time, both held between readings.
std::string timeline_svg(const Timeline& timeline, const std::string& title);

}  // namespace tune::rehearse
