// The pictures of a tuning, as SVG: the chips' heat map, the session's timeline, and
// settings compared.
#pragma once

#include <string>
#include <vector>

#include "board_report.hpp"
#include "predictions.hpp"
#include "timeline.hpp"

namespace tune::rehearse {

// Axis ticks from `low` to `high` in steps of 1, 2 or 5 times a power of ten, at most
// about `most` of them.
std::vector<double> nice_ticks(double low, double high, int most);

// A 6 x 63 map of the chips: colour by final frequency band, mark by class, and a tooltip
// with each chip's figures.
std::string heat_map_svg(const BoardReport& report, const std::string& title);

// The total measured rate and, one panel per chain, each chain's voltage over virtual
// time, both held between readings.
std::string timeline_svg(const Timeline& timeline, const std::string& title);

// Settings lines compared on one board: one panel a measure (rate, the model's efficiency,
// chips overridden, virtual duration), a dot a line, the board today as a reference.
std::string comparison_svg(const std::vector<ComparedSettings>& lines, const std::string& title);

}  // namespace tune::rehearse
