#include <optional>
#include <string_view>

#include "board_reading.hpp"
#include "chain_tuner_messages.hpp"
#include "log.hpp"
#include "yellow_fixer_messages.hpp"

namespace tune::rehearse {

void read_session(BoardReading& board, const BoardFile& file, Findings& findings, bool required) {
  if (!file.found) {
    if (required) findings.add(file, 0, "missing: no log of the last run");
    return;
  }
  if (file.text.empty()) {
    findings.add(file, 0, "empty: the log holds no run");
    return;
  }
  // Entries: each begins with a stamp; one without a line break runs up to the next stamp.
  std::vector<std::string> stamps, entries;
  std::optional<long long> first, last;
  size_t pos = 0;
  int line = 1;
  bool unstamped_reported = false;
  while (pos < file.text.size()) {
    std::string_view rest(file.text.data() + pos, file.text.size() - pos);
    std::optional<long long> seconds = read_log_stamp(rest);
    if (!seconds) {
      if (!unstamped_reported) {
        findings.add(file, line, "no time stamp: not an entry the programs wrote");
        unstamped_reported = true;
      }
      size_t end = rest.find('\n');
      if (end == std::string_view::npos) break;
      pos += end + 1;
      ++line;
      continue;
    }
    if (!first) first = seconds;
    last = seconds;
    size_t end = log_stamp_length;
    while (end < rest.size() && rest[end] != '\n' && !read_log_stamp(rest.substr(end))) ++end;
    if (end < rest.size() && rest[end] == '\n') {
      ++end;
      ++line;
    }
    stamps.emplace_back(rest.substr(0, log_stamp_length - 1));
    entries.emplace_back(rest.substr(log_stamp_length, end - log_stamp_length));
    pos += end;
  }
  if (entries.empty()) return;
  add_logged_changes(board.history, stamps, entries);
  SessionSummary session;
  session.log_file = file.path;
  bool fixer = false, resumed = false;
  int restarts = 0;
  for (const std::string& entry : entries) {
    fixer |= read_message(yellow_fixer_log::fix_yellow, entry).has_value();
    std::optional<std::vector<double>> step = read_message(yellow_fixer_log::resuming, entry);
    resumed |= step && step->front() != 0;
  }
  session.program = fixer ? "yellow-fixer" : "chain-tuner";
  // The chain tuner logs "GET STAT" after each restart. The yellow fixer says why it
  // restarts, and restarts once more at a fresh start (one not resumed from a stored step).
  for (const std::string& entry : entries) {
    restarts += fixer ? read_message(yellow_fixer_log::yellow_restart, entry) ||
                            read_message(yellow_fixer_log::red_restart, entry)
                      : read_message(chain_tuner_log::get_stat, entry).has_value();
  }
  session.restarts = restarts + (fixer && !resumed ? 1 : 0);
  session.span_seconds = *last - *first;
  session.ending = entries.back();
  if (!session.ending.empty() && session.ending.back() == '\n') session.ending.pop_back();
  board.sessions.push_back(session);
}

}  // namespace tune::rehearse
