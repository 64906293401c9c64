// The pictures of a tuning, as SVG: the chips' heat map and the session's timeline.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "board_report.hpp"

namespace tune::rehearse {

// A 6 x 63 map of the chips: colour by final frequency, mark by health class.
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

// The total measured rate and each chain's voltage over virtual time.
std::string timeline_svg(const Timeline& timeline, const std::string& title);

}  // namespace tune::rehearse
