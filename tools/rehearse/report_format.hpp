// How a board report is shown in text.
#pragma once

#include <string>

#include "board_report.hpp"

namespace tune::rehearse {

// Seconds as "h:mm:ss".
std::string format_duration(long long seconds);

// The terminal summary: per chain slot, totals, sessions, simulated efficiency.
std::string format_summary(const BoardReport& report);

}  // namespace tune::rehearse
