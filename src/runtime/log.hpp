// The shared log /tmp/auto-tune and the fatal exits that end a run.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "system.hpp"

namespace tune {

inline constexpr char log_path[] = "/tmp/auto-tune";
inline constexpr int message_buffer_size = 2048;

// Starts a fresh log: truncates it, creating it if missing. Failures are silent.
void tune_log_reset(System& sys);
// Appends one entry: a local time stamp, then the message exactly as given.
void tune_log(System& sys, const char* message);
// Formats into the 2048-byte message buffer (cut, never overrun), then logs.
void tune_logf(System& sys, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Logs the message and ends the process with the status.
[[noreturn]] void tune_fatal(System& sys, int status, const char* message);
[[noreturn]] void tune_fatalf(System& sys, int status, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The stamp that begins every entry: "YYYY-MM-DD HH:MM:SS ", a blank included.
inline constexpr size_t log_stamp_length = 20;

// The stamp at the start of `text` as seconds, its fields taken as UTC (only differences
// between stamps mean something), or nothing when the text does not begin with one.
std::optional<long long> read_log_stamp(std::string_view text);

// Reads a log entry back as the message `format` wrote it (a printf format whose only
// conversions are %d, %f and %.Nf): the numbers it holds, in order, or nothing when the
// entry is not that message, whole, with its "\n" when the format has one.
std::optional<std::vector<double>> read_message(const char* format, std::string_view entry);

}  // namespace tune
