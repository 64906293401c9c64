// The session's view of the board's files: the paths it works with, and small reads that
// tell a missing file from an unreadable one.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "result.hpp"
#include "system.hpp"

namespace tune::session {

inline constexpr char lock_path[] = "/config/tune-session.lock";
inline constexpr char backup_dir[] = "/config/tune-backup";
inline constexpr char kept_logs_dir[] = "/config/tune-logs";
inline constexpr char session_log_path[] = "/tmp/tune-session.log";
inline constexpr char config_dir[] = "/config";

// The miner's files a tuning changes, saved before it and put back by undo.
inline constexpr const char* saved_files[] = {"config.conf", "manual_freqs.txt", "autoTune.conf"};

// The pieces joined: one call where a chain of "+" would build a string at every step.
std::string cat(std::initializer_list<std::string_view> pieces);

struct FileRead {
  enum class Result { read, missing, unreadable } result = Result::missing;
  std::string text;    // when read
  bool whole = false;  // the text is the whole file, not cut at the limit
  Failure failure;     // when unreadable
};

// Reads a regular file (following links). At most `limit` bytes are kept: the first ones,
// or with `tail` the last ones. A directory, a pipe or a device is unreadable; opening
// never blocks.
FileRead read_file(const std::string& path, size_t limit, bool tail = false);

// Replaces the file durably (the runtime's replace).
Result<> store_file(System& sys, const std::string& path, const std::string& text);

// "PATH: reason" for the errno value, with it.
Failure failure(const std::string& path, int error);

// True when something (a file, a directory, a dangling link) has this name.
bool name_exists(const std::string& path);

// The last line of a text (without its "\n"), empty when there is none.
std::string last_line(const std::string& text);

// Local time as the programs stamp their log: "YYYY-MM-DD HH:MM:SS".
std::string local_stamp(std::time_t when);

}  // namespace tune::session
