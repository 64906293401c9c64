#include "copy_times.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "text.hpp"

namespace tune::rehearse {

namespace {

// A miner at work rewrites its chip rates every few minutes at most: rates older than this
// at copy time, or than the log a program went on writing, are those of a stopped miner.
constexpr long long rates_stale_after = 15 * 60;
// A clock of the collecting machine's ahead of this one's would hide a dead board until
// then: a time more than five minutes ahead is a finding.
constexpr long long clock_slack = 300;

// What the findings say, in the words the docs name them by.
constexpr char not_a_time[] = "not a time in seconds since the epoch";
constexpr char ahead[] = "ahead of this machine's clock";
constexpr char old_at_copy[] = "old at copy time";
constexpr char older_than_log[] = "older than the log";
constexpr char may_be_down[] = "the board may be down or out of reach";
constexpr char age_unknown[] = "its age is unknown";

// "H:MM:SS".
std::string duration_text(long long seconds) {
  char text[48];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                seconds % 60);
  return text;
}

// When the copy was taken: the collection's stamp file when it holds a time, else the newest
// change of the files a board keeps changing (its chip rates, its log).
void read_copy_stamp(const CopyTimes& times, BoardReport& report, Findings& findings) {
  BoardFile stamp{times.dir + "/" + copy_stamp_file, false};
  struct stat stamp_info;
  if (lstat(stamp.path.c_str(), &stamp_info) == 0 && !S_ISREG(stamp_info.st_mode)) {
    findings.add(stamp, 0, "not a file; the files' times are used");
  } else {
    stamp.found = board_file_exists(stamp.path);
  }
  if (stamp.found) {
    std::optional<std::string> text = read_small_board_file(stamp, 64);
    std::string digits = text ? text->substr(0, text->find('\n')) : "";
    bool whole = !digits.empty() && digits.size() <= 12 &&
                 digits.find_first_not_of("0123456789") == std::string::npos;
    if (whole && std::atoll(digits.c_str()) > times.now + clock_slack) {
      findings.add(stamp, 1,
                   quoted(digits) + " is " + duration_text(std::atoll(digits.c_str()) - times.now) +
                       " " + ahead + "; the files' times are used");
    } else if (whole) {
      report.copied_at = std::atoll(digits.c_str());
      report.copied_from = "stamp file";
    } else {
      findings.add(stamp, 1,
                   (text ? quoted(*text) : std::string("a long text")) + " is " + not_a_time +
                       "; the files' times are used");
    }
  }
  report.rates_at = times.changed("chip-rates");
  const std::optional<long long> log_at = times.changed("auto-tune");
  if (!report.copied_at && (report.rates_at || log_at)) {
    report.copied_at = std::max(report.rates_at.value_or(0), log_at.value_or(0));
    report.copied_from = "file times";
  }
}

// The age of the chip rates against the copy's stamp, else against the log.
void check_rates_age(const CopyTimes& times, BoardReport& report, Findings& findings) {
  if (!report.copied_at || !report.rates_at) return;
  const BoardFile rates = find_board_file(times.dir, "chip-rates");
  const std::optional<long long> log_at = times.changed("auto-tune");
  if (report.copied_from == "stamp file" &&
      *report.copied_at - *report.rates_at > rates_stale_after) {
    report.miner_stopped = true;
    findings.add(rates, 0,
                 "rates " + duration_text(*report.copied_at - *report.rates_at) + " " +
                     old_at_copy +
                     ": the miner has stopped writing them, and the board's "
                     "figures are from then");
  } else if (log_at && *log_at - *report.rates_at > rates_stale_after) {
    report.miner_stopped = true;
    findings.add(rates, 0,
                 "rates " + duration_text(*log_at - *report.rates_at) + " " + older_than_log +
                     ": the miner stopped writing them while a program ran");
  }
}

// The copy's own age, against this machine's clock.
void check_copy_age(const CopyTimes& times, BoardReport& report, Findings& findings) {
  if (!report.copied_at) return;
  if (*report.copied_at > times.now + clock_slack) {
    findings.add(BoardFile{report.dir, true}, 0,
                 "its files were changed " + duration_text(*report.copied_at - times.now) + " " +
                     ahead + ": " + age_unknown);
  } else if (times.now - *report.copied_at > times.stale_after) {
    findings.add(BoardFile{report.dir, true}, 0,
                 "copied " + duration_text(times.now - *report.copied_at) + " ago (" +
                     report.copied_from + "), more than " + duration_text(times.stale_after) +
                     ": " + may_be_down);
  }
}

constexpr TimeCheck checks[] = {
    {{not_a_time, ahead}, read_copy_stamp},
    {{old_at_copy, older_than_log}, check_rates_age},
    {{may_be_down, age_unknown}, check_copy_age},
};
static_assert(checks[0].check == read_copy_stamp,
              "when the copy was taken is read first: the other checks measure against it");

}  // namespace

std::optional<long long> CopyTimes::changed(const char* name) const {
  const BoardFile file = find_board_file(dir, name);
  struct stat info;
  if (!file.found || stat(file.path.c_str(), &info) != 0) return std::nullopt;
  return static_cast<long long>(info.st_mtime);
}

std::span<const TimeCheck> time_checks() {
  return checks;
}

void check_copy_times(BoardReport& report, const CopyAge& age, Findings& findings) {
  if (report.rehearsal) return;
  const CopyTimes times{report.dir, age.now ? *age.now : static_cast<long long>(std::time(nullptr)),
                        age.stale_after};
  for (const TimeCheck& check : checks) check.check(times, report, findings);
}

bool at_work_when_copied(const BoardReport& report) {
  const std::optional<long long> log_at = CopyTimes{report.dir, 0, 0}.changed("auto-tune");
  return report.outcome == Outcome::interrupted && report.copied_from == "stamp file" && log_at &&
         *log_at >= *report.copied_at - rates_stale_after &&
         *log_at <= *report.copied_at + clock_slack;
}

}  // namespace tune::rehearse
