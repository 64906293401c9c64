// The checks that compare a copy's times: when it was taken (the collection's stamp, else the
// newest change of the files a board keeps changing), how old it is now, how old its chip
// rates were then, and whether a tuning was at work when it was taken. Each check is a row of
// `time_checks`, with the words the docs name its findings by (the docs test holds them to
// it); a new finding of files' times is a row and its function in copy_times.cpp.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "board_reading.hpp"
#include "board_report.hpp"

namespace tune::rehearse {

// What the time checks compare.
struct CopyTimes {
  std::string dir;  // the board's copy
  long long now;    // this machine's clock, or the time asked for
  long long stale_after;
  // When a file of the copy last changed (its time, which the copy keeps), by its name on the
  // board ("chip-rates", "auto-tune"); none when the copy has no such file.
  std::optional<long long> changed(const char* name) const;
};

struct TimeCheck {
  // What its findings say, in words the docs' lists of findings hold ("old at copy time");
  // nullptr after the last.
  const char* says[3];
  void (*check)(const CopyTimes& times, BoardReport& report, Findings& findings);
};

// The checks in the order they run: the first reads when the copy was taken, which the others
// measure against.
std::span<const TimeCheck> time_checks();

// Runs every time check of a copy (none for a rehearsal).
void check_copy_times(BoardReport& report, const CopyAge& age, Findings& findings);

// Whether a tuning the copy shows interrupted was at work when the copy was taken: its log
// written within minutes of the collection's stamp (the log's own time, on the board's clock,
// as the copy keeps it; a stamp from the files' times would prove nothing).
bool at_work_when_copied(const BoardReport& report);

}  // namespace tune::rehearse
