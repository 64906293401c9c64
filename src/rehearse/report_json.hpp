// A board report as one JSON document, for whatever is built on top of the report.
#pragma once

#include <string>

#include "board_report.hpp"
#include "report_format.hpp"

namespace tune::rehearse {

// The whole report: the board, its chains, every chip with its history, the totals, the
// logged sessions and the findings.
std::string report_json(const BoardReport& report);

// One board of a farm: the board, its chain totals, its findings count and how it ended.
std::string board_summary_json(const BoardReport& report);
std::string unusable_board_json(const std::string& dir, const std::string& why);
std::string farm_totals_json(const FarmTotals& totals);

}  // namespace tune::rehearse
