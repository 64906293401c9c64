#include <optional>
#include <string_view>

#include "board_reading.hpp"
#include "chain_tuner_messages.hpp"
#include "log.hpp"
#include "yellow_fixer_messages.hpp"

namespace tune::rehearse {

namespace {

// A log's entries, each with its stamp (without the stamp's trailing blank).
struct LogEntries {
  std::vector<std::string> stamps, entries;
  long long first = 0, last = 0;  // the first and last stamps, as seconds
};

// Entries: each begins with a stamp; one without a line break runs up to the next stamp. A
// line without a stamp is named once and passed over.
LogEntries split_entries(const BoardFile& file, Findings& findings) {
  LogEntries log;
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
    if (log.entries.empty()) log.first = *seconds;
    log.last = *seconds;
    size_t end = log_stamp_length;
    while (end < rest.size() && rest[end] != '\n' && !read_log_stamp(rest.substr(end))) ++end;
    if (end < rest.size() && rest[end] == '\n') {
      ++end;
      ++line;
    }
    log.stamps.emplace_back(rest.substr(0, log_stamp_length - 1));
    log.entries.emplace_back(rest.substr(log_stamp_length, end - log_stamp_length));
    pos += end;
  }
  return log;
}

// Which program wrote the entries, the restarts they show, and how they end.
SessionSummary summarise_session(const BoardFile& file, const LogEntries& log) {
  namespace fixer = yellow_fixer_log;
  SessionSummary session;
  session.log_file = file.path;
  bool by_fixer = false, resumed = false;
  for (const std::string& entry : log.entries) {
    by_fixer |= read_message(fixer::fix_yellow, entry).has_value();
    std::optional<std::vector<double>> step = read_message(fixer::resuming, entry);
    resumed |= step && step->front() != 0;
  }
  session.program = by_fixer ? "yellow-fixer" : "chain-tuner";
  // The chain tuner logs "GET STAT" after each restart. The yellow fixer says why it
  // restarts, and restarts once more at a fresh start (one not resumed from a stored step).
  int restarts = 0;
  for (const std::string& entry : log.entries) {
    restarts += by_fixer ? read_message(fixer::yellow_restart, entry) ||
                               read_message(fixer::red_restart, entry)
                         : read_message(chain_tuner_log::get_stat, entry).has_value();
  }
  session.restarts = restarts + (by_fixer && !resumed ? 1 : 0);
  session.span_seconds = log.last - log.first;
  session.ending = log.entries.back();
  if (!session.ending.empty() && session.ending.back() == '\n') session.ending.pop_back();
  return session;
}

}  // namespace

void read_session(BoardReading& board, const BoardFile& file, Findings& findings, bool required) {
  if (!file.found) {
    if (required) findings.add(file, 0, "missing: no log of the last run");
    return;
  }
  if (file.text.empty()) {
    findings.add(file, 0, "empty: the log holds no run");
    return;
  }
  LogEntries log = split_entries(file, findings);
  if (log.entries.empty()) return;
  add_logged_changes(board.history, log.stamps, log.entries);
  board.sessions.push_back(summarise_session(file, log));
}

}  // namespace tune::rehearse
