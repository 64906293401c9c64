// How a board report is shown in text: one board's summary, one chip's history, and the
// lines of a whole farm.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "board_report.hpp"
#include "rehearsal.hpp"

namespace tune::rehearse {

// A line formatted into a bounded buffer: the figures the text shows, never a file's text.
template <typename... Args>
std::string printed(const char* format, Args... args) {
  char line[512];
  std::snprintf(line, sizeof line, format, args...);
  return line;
}

// A path (a directory named on the command line, a file in it) made safe to show.
inline constexpr size_t shown_path_limit = 4096;
std::string shown_path(const std::string& path);

// Seconds as "h:mm:ss".
std::string format_duration(long long seconds);
// Seconds since the epoch as "YYYY-MM-DD HH:MM:SS" in UTC.
std::string utc_stamp(long long seconds);

// The terminal summary: per chain, totals, sessions, findings; with the simulated chip
// model's power figure, for a rehearsal only, its efficiency.
std::string format_summary(const BoardReport& report, std::optional<double> model_power = {});

// How each program of a rehearsal ended, the real time it took, and where its files and
// pictures are: the lines after a rehearsal's summary.
std::string format_rehearsal_end(const RehearsalResult& result, double real_seconds,
                                 const std::string& out_dir);

// The findings, one a line, or "findings: none".
std::string format_findings(const BoardReport& report);

// One chip's state and every change of its frequency.
std::string format_chip_history(const BoardReport& report, int slot, int chip);

// One board's line in a farm report, and the farm's closing line.
std::string format_board_line(const BoardReport& report);
std::string format_unusable_line(const std::string& dir, const std::string& why);
// A board the farm's list names that no copy reported is of.
std::string format_not_copied_line(const std::string& name, const std::string& list);
std::string format_farm_totals(const FarmTotals& totals);

}  // namespace tune::rehearse
