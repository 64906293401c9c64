#include "kept_logs.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "board_files.hpp"
#include "files.hpp"
#include "log.hpp"

namespace tune::session {

using LogFile = KeptLogFile;

namespace {

bool comes_before(const KeptLogFile& a, const KeptLogFile& b) {
  if (a.tuning != b.tuning) return a.tuning < b.tuning;
  return a.run != b.run ? a.run < b.run : a.name < b.name;
}

}  // namespace

std::vector<KeptLogFile> list_kept_logs(const std::string& directory, bool any_but_directories) {
  std::vector<LogFile> logs;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return logs;
  while (const dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    // "TTTT-R-": two numbers of at most nine digits (no overflow), each ended by a dash.
    int numbers[2] = {0, 0};
    size_t consumed = 0;
    bool named = name.ends_with(".log");
    for (int& number : numbers) {
      size_t digits = 0;
      while (consumed + digits < name.size() && digits < 10 && name[consumed + digits] >= '0' &&
             name[consumed + digits] <= '9') {
        ++digits;
      }
      named = named && digits > 0 && digits < 10 && consumed + digits < name.size() &&
              name[consumed + digits] == '-';
      if (!named) break;
      number = std::atoi(name.substr(consumed, digits).c_str());
      consumed += digits + 1;
    }
    if (!named || consumed + 4 > name.size()) continue;
    const int tuning = numbers[0], run = numbers[1];
    struct stat info;
    if (lstat((directory + "/" + name).c_str(), &info) != 0 || S_ISDIR(info.st_mode) ||
        (!S_ISREG(info.st_mode) && !any_but_directories)) {
      continue;
    }
    LogFile log{name, tuning, run,
                name.substr(static_cast<size_t>(consumed), name.size() - consumed - 4),
                info.st_size};
    // In order as they are found, by tuning and run as numbers (run 10 comes after run 9),
    // then by name: a directory holds a few dozen, and an insertion keeps the program small.
    auto at = logs.begin();
    while (at != logs.end() && !comes_before(log, *at)) ++at;
    logs.insert(at, std::move(log));
  }
  closedir(dir);
  return logs;
}

namespace {

// The hidden temporary files a replace leaves when a cut comes before its rename.
std::vector<std::string> leftovers(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() > 1 && name[0] == '.' && name.find(temporary_suffix) != std::string::npos) {
      names.push_back(name);
    }
  }
  closedir(dir);
  return names;
}

bool remove_in(System& sys, const std::string& directory, const std::vector<std::string>& names);

void prune(System& sys, const std::string& directory, int tuning, const std::string& newest) {
  // What a cut left while a log was being kept takes room too: it goes first.
  remove_in(sys, directory, leftovers(directory));
  std::vector<LogFile> logs = list_kept_logs(directory);
  long long total = 0;
  for (const LogFile& log : logs) total += log.bytes;
  bool removed = false;
  for (const LogFile& log : logs) {
    bool too_old = log.tuning <= tuning - kept_tunings;
    bool over_cap = total > static_cast<long long>(kept_logs_cap);
    if (log.name == newest || (!too_old && !over_cap)) continue;
    if (unlink((directory + "/" + log.name).c_str()) == 0) {
      total -= log.bytes;
      removed = true;
    }
  }
  // Logs pruned: one a power cut brings back is pruned again at the next keep.
  if (removed) (void)sync_directory(sys, directory);
}

// The last lines of a log read from its end: a line cut at the start is dropped.
std::string whole_lines(const FileRead& log) {
  if (log.whole) return log.text;
  size_t line_start = log.text.find('\n');
  return line_start == std::string::npos ? "" : log.text.substr(line_start + 1);
}

bool remove_in(System& sys, const std::string& directory, const std::vector<std::string>& names) {
  bool removed = false;
  for (const std::string& name : names) {
    removed = unlink(cat({directory, "/", name}).c_str()) == 0 || removed;
  }
  if (removed) (void)sync_directory(sys, directory);
  return removed;
}

}  // namespace

void remove_leftovers(System& sys) {
  const std::string directory = sys.path(kept_logs_dir);
  remove_in(sys, directory, leftovers(directory));
}

bool give_way(System& sys) {
  const std::string directory = sys.path(kept_logs_dir);
  if (remove_in(sys, directory, leftovers(directory))) return true;
  std::vector<LogFile> logs = list_kept_logs(directory);
  return !logs.empty() && remove_in(sys, directory, {logs.front().name});
}

std::string kept_program(System& sys, int tuning, int run) {
  for (const LogFile& log : list_kept_logs(sys.path(kept_logs_dir))) {
    if (log.tuning == tuning && log.run == run) return log.program;
  }
  return "";
}

int highest_kept_tuning(System& sys) {
  // Only the programs' own logs: another file named like one does not number tunings.
  int highest = 0;
  for (const LogFile& log : list_kept_logs(sys.path(kept_logs_dir))) {
    if (log.program == "chain-tuner" || log.program == "yellow-fixer") {
      highest = std::max(highest, log.tuning);
    }
  }
  return highest;
}

Result<std::string> keep_log(System& sys, int tuning, int run, const char* program) {
  FileRead log = read_file(sys.path(log_path), kept_log_limit, true);
  if (log.result == FileRead::Result::missing) return std::string();
  if (log.result == FileRead::Result::unreadable) return log.failure;
  const std::string directory = sys.path(kept_logs_dir);
  if (mkdir(directory.c_str(), 0755) == 0) {
    if (!sync_directory(sys, sys.path(config_dir))) return failure(sys.path(config_dir), errno);
  } else if (errno != EEXIST) {
    return failure(directory, errno);
  }
  char name[64];
  std::snprintf(name, sizeof name, "%04d-%d-%s.log", tuning, run, program);
  const std::string path = directory + "/" + name;
  const std::string text = whole_lines(log);
  Result<> stored;
  for (;;) {
    stored = store_file(sys, path, text);
    if (stored || (stored.failure().error != ENOSPC && stored.failure().error != EDQUOT)) break;
    // On a full /config the latest log wins over the oldest others.
    std::vector<std::string> others = leftovers(directory);
    if (others.empty()) {
      for (const LogFile& older : list_kept_logs(directory)) {
        if (older.name != name) {
          others.push_back(older.name);
          break;
        }
      }
    }
    if (!remove_in(sys, directory, others)) break;
  }
  prune(sys, directory, tuning, name);
  if (!stored) return stored.failure();
  return path;
}

}  // namespace tune::session
