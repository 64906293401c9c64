// The shared log /tmp/auto-tune and the fatal exits that end a run.
#pragma once

#include <ctime>
#include <optional>
#include <string_view>
#include <vector>

#include "system.hpp"

namespace tune {

inline constexpr char log_path[] = "/tmp/auto-tune";

// The entries of the fatal exits, in both programs: each ends a run at once.
namespace fatal_log {
inline constexpr char cannot_read[] = "Can't read %s\n";
inline constexpr char not_json[] = "Can't read json\n";
inline constexpr char cannot_open[] = "Can't open %s\n";
inline constexpr char command_failed[] = "Failed to run command\n";
inline constexpr char rates_failed[] = "Failed to read rates\n";
inline constexpr char no_settings[] = "Can't open config file";  // no line break, exit status 0
inline constexpr char restart_failed[] = "Can't restart asic\n";
inline constexpr char out_of_memory[] = "Out of memory\n";
inline constexpr const char* all[] = {cannot_read,  not_json,    cannot_open,    command_failed,
                                      rates_failed, no_settings, restart_failed, out_of_memory};
}  // namespace fatal_log
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

// A time as the log stamps it, "YYYY-MM-DD HH:MM:SS" (local time, or UTC), written into the
// `size` bytes of `text`; false, with `text` empty, when it cannot be shown in them. The one
// formatter of the stamp, for the log and for whatever shows a time beside it.
bool format_stamp(std::time_t when, bool utc, char* text, size_t size);

// The stamp that begins every entry: "YYYY-MM-DD HH:MM:SS ", a blank included.
inline constexpr size_t log_stamp_length = 20;

// True when `text` begins with the shape of a stamp, digits and separators in place,
// whether or not it names a possible time.
bool log_stamp_shaped(std::string_view text);

// The stamp at the start of `text` as seconds, its fields taken as UTC (only differences
// between stamps mean something), or nothing when the text does not begin with one or it
// names an impossible date or time (month 13, 25 o'clock, February 30).
std::optional<long long> read_log_stamp(std::string_view text);

// Reads a log entry back as the message `format` wrote it (a printf format whose only
// conversions are %d, %f, %.Nf and %s, a text within one line): the numbers it holds, in
// order, or nothing when the entry is not that message, whole, with its "\n" when the
// format has one.
std::optional<std::vector<double>> read_message(const char* format, std::string_view entry);
// True when `entry` is what `format` writes, whole or cut anywhere (a log cut by a power
// cut ends in the middle of an entry).
bool may_be_cut_from(const char* format, std::string_view entry);

}  // namespace tune
