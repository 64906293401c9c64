// `tune-session status`: where the tuning stands, for any user, without taking the lock.
#include <cjson/cJSON.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "board_files.hpp"
#include "command_support.hpp"
#include "exit_status.hpp"
#include "kept_logs.hpp"
#include "lifecycle.hpp"
#include "log.hpp"
#include "miner_restart.hpp"
#include "plan.hpp"
#include "posix_system.hpp"
#include "process_programs.hpp"
#include "room.hpp"
#include "saved_sets.hpp"
#include "session_lock.hpp"
#include "session_state.hpp"
#include "text.hpp"

namespace tune::session {

namespace {

constexpr size_t log_tail_bytes = 4096;

struct StatusView {
  SessionState state;
  std::string state_error;  // a state that cannot be read: "PATH: reason"
  bool running = false;
  LockHolder holder;                  // when running and /proc tells
  bool interrupted = false;           // a working stage that no session holds
  bool ended_unrecorded = false;      // yellow-fixer had finished when the session was cut
  std::string next;                   // what start does, when no session runs
  std::string last_log_line;          // of /tmp/auto-tune, else the last kept log; shown safe
  std::string last_log;               // where it comes from
  std::vector<std::string> warnings;  // shown safe
  bool saved[2] = {};                 // the sets there: before, original
  bool unchecked[2] = {};             // a set with no sizes and checksums to check
  bool saves_original = false;        // the next start saves original/ (the first tuning's)
  // The running session's pid: the lock's holder as /proc tells it, else the state's.
  long long pid() const { return holder.pid > 0 ? holder.pid : state.pid; }
};

constexpr const char* sets[] = {before_set, original_set};

// The stage line: "chain-tuner, running since ...", "failed in chain-tuner at ...: why".
std::string stage_line(const StatusView& view) {
  const SessionState& s = view.state;
  if (!view.state_error.empty()) return cat({"cannot be read: ", printable(view.state_error)});
  std::string line = standing_name(s.stage, s.ending);
  const std::string since = local_stamp(s.since);
  const std::string undoing = s.undoing.empty()
                                  ? ""
                                  : cat({"; an undo to ", printable(s.undoing),
                                         " was cut: the next undo or start finishes it"});
  if (view.ended_unrecorded) {
    return cat({line,
                ", ended but not recorded as finished: yellow-fixer had ended when the session "
                "was cut (the next start records it)",
                undoing});
  }
  if (s.no_tuning()) return cat({"none: no tuning is recorded on this board", undoing});
  if (s.at_work()) {
    if (view.running) {
      return cat(
          {line, ", running since ", since, " (session pid ", std::to_string(view.pid()), ")"});
    }
    return cat({line, ", interrupted: no session runs (the stage began ", since, ")", undoing});
  }
  switch (*s.ending) {
    case Ending::undone:
      return cat({line, " at ", since, ": the files of ", backup_dir, "/", printable(s.undone_to),
                  " are back", undoing});
    case Ending::failed:
    case Ending::stopped:
    case Ending::timed_out:
      line = cat({line, " in ", stage_name(s.stage)});
      break;
    case Ending::finished:
      break;
  }
  return cat({line, " at ", since, s.reason.empty() ? "" : ": ", printable(s.reason), undoing});
}

std::string program_line(const std::optional<ProgramEnd>& end) {
  return end ? "ended with " + describe(*end) : "-";
}

void print_text(const StatusView& view) {
  const SessionState& s = view.state;
  auto line = [](const char* key, const std::string& value) {
    std::printf("%-15s%s\n", key, value.c_str());
  };
  line("tuning:", std::to_string(s.tuning));
  line("stage:", stage_line(view));
  if (s.tuning > 0 && view.state_error.empty()) {
    if (s.began > 0) line("began:", local_stamp(s.began));
    line("chain-tuner:", program_line(s.chain_tuner));
    line("yellow-fixer:", program_line(s.yellow_fixer));
  }
  if (!view.last_log_line.empty()) line("last log line:", view.last_log_line);
  for (const std::string& warning : view.warnings) line("warning:", warning);
  if (!view.running) line("next:", "tune-session start " + view.next);
  if (s.previous_tuning > 0) {
    line("previous:", cat({"tuning ", std::to_string(s.previous_tuning), ", ",
                           standing_name(s.previous_stage, s.previous_ending), " at ",
                           local_stamp(s.previous_ended)}));
  }
  std::string copies;
  for (int set = 0; set < 2; ++set) {
    if (!view.saved[set]) continue;
    copies += cat({copies.empty() ? "" : ", ", backup_dir, "/", sets[set],
                   view.unchecked[set] ? " (unchecked: saved by an earlier version)" : ""});
  }
  line("copies:", copies.empty() ? "none" : copies);
  line("logs:", kept_logs_dir);
}

// The status as one JSON object, through cJSON as every JSON the project writes. Strings
// are already free of control bytes and of bytes that are not UTF-8 (see printable).
void print_json(const StatusView& view) {
  const SessionState& s = view.state;
  const bool ended_early = s.ended_early();
  cJSON* json = cJSON_CreateObject();
  auto string = [](cJSON* to, const char* key, const std::string& value) {
    cJSON_AddStringToObject(to, key, value.c_str());
  };
  auto number = [](cJSON* to, const char* key, long long value) {
    cJSON_AddNumberToObject(to, key, static_cast<double>(value));
  };
  auto maybe_string = [&](const char* key, bool present, const std::string& value) {
    present ? string(json, key, value) : (void)cJSON_AddNullToObject(json, key);
  };
  auto maybe_number = [&](const char* key, bool present, long long value) {
    present ? number(json, key, value) : (void)cJSON_AddNullToObject(json, key);
  };
  number(json, "tuning", s.tuning);
  string(json, "stage", standing_name(s.stage, s.ending));
  maybe_string("state_error", !view.state_error.empty(), printable(view.state_error));
  cJSON_AddBoolToObject(json, "finished_unrecorded", view.ended_unrecorded);
  maybe_string("undoing", !s.undoing.empty(), printable(s.undoing));
  maybe_string("at", ended_early, stage_name(s.stage));
  cJSON_AddBoolToObject(json, "running", view.running);
  cJSON_AddBoolToObject(json, "interrupted", view.interrupted);
  maybe_number("pid", view.running, view.pid());
  maybe_number("since", s.tuning > 0, s.since);
  maybe_number("began", s.tuning > 0 && s.began > 0, s.began);
  maybe_string("chain_tuner", s.chain_tuner.has_value(),
               s.chain_tuner ? describe(*s.chain_tuner) : "");
  maybe_string("yellow_fixer", s.yellow_fixer.has_value(),
               s.yellow_fixer ? describe(*s.yellow_fixer) : "");
  maybe_string("reason", !s.reason.empty(), printable(s.reason));
  maybe_string("undone_to", !s.undone_to.empty(), printable(s.undone_to));
  maybe_string("last_log_line", !view.last_log_line.empty(), view.last_log_line);
  maybe_string("last_log", !view.last_log.empty(), printable(view.last_log));
  cJSON* warnings = cJSON_AddArrayToObject(json, "warnings");
  for (const std::string& warning : view.warnings) {
    cJSON_AddItemToArray(warnings, cJSON_CreateString(warning.c_str()));
  }
  maybe_string("next", !view.running, view.next);
  if (s.previous_tuning > 0) {
    cJSON* previous = cJSON_AddObjectToObject(json, "previous");
    number(previous, "tuning", s.previous_tuning);
    string(previous, "stage", standing_name(s.previous_stage, s.previous_ending));
    number(previous, "ended", s.previous_ended);
  } else {
    cJSON_AddNullToObject(json, "previous");
  }
  cJSON* copies = cJSON_AddObjectToObject(json, "copies");
  for (int set = 0; set < 2; ++set) {
    if (view.saved[set]) {
      string(copies, sets[set], cat({backup_dir, "/", sets[set]}));
    } else {
      cJSON_AddNullToObject(copies, sets[set]);
    }
  }
  cJSON* unchecked = cJSON_AddArrayToObject(json, "copies_unchecked");
  for (int set = 0; set < 2; ++set) {
    if (view.unchecked[set]) cJSON_AddItemToArray(unchecked, cJSON_CreateString(sets[set]));
  }
  string(json, "logs", kept_logs_dir);
  char* text = cJSON_PrintUnformatted(json);
  std::printf("%s\n", text != nullptr ? text : "{}");
  cJSON_free(text);
  cJSON_Delete(json);
}

// Whether a start could use this board, before it looks at the tuning: a failure for no
// /config, or a directory of saved sets that is something else (a lock file that is something else
// is the status's own error).
Result<> check_board(System& sys) {
  struct stat info;
  const std::string config = sys.path(config_dir);
  if (stat(config.c_str(), &info) != 0) return failure(config, errno);
  if (!S_ISDIR(info.st_mode)) return failure(config, ENOTDIR);
  const std::string backup = sys.path(backup_dir);
  if (stat(backup.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) return failure(backup, ENOTDIR);
  return {};
}

// The last line of the live log, else of the tuning's last kept log.
void read_last_log_line(System& sys, StatusView& view) {
  FileRead log = read_file(sys.path(log_path), log_tail_bytes, true);
  std::string from = log_path;
  if (log.result != FileRead::Result::read) {
    std::vector<KeptLogFile> kept = list_kept_logs(sys.path(kept_logs_dir));
    if (kept.empty() || kept.back().tuning != view.state.tuning) return;
    from = cat({kept_logs_dir, "/", kept.back().name});
    log = read_file(sys.path(from), log_tail_bytes, true);
    if (log.result != FileRead::Result::read) return;
  }
  const std::string last = last_line(log.text);
  view.last_log_line = printable(last);
  if (!view.last_log_line.empty()) view.last_log = from;
  // A program that waits for a miner that does not answer says so once a poll.
  if (last.size() > log_stamp_length &&
      read_message(not_started_message, last.substr(log_stamp_length) + "\n") &&
      view.state.at_work()) {
    view.warnings.push_back(
        "the miner does not answer \"bmminer-api -o stats\": the program waits for it until "
        "its stage's deadline");
  }
}

// Which sets are there, and whether undo would take each: a set whose copies do not match
// their sizes and checksums is a warning, one saved without them is unchecked.
void read_saved_sets(System& sys, StatusView& view) {
  for (int set = 0; set < 2; ++set) {
    view.saved[set] = set_exists(sys, sets[set]);
    if (!view.saved[set]) continue;
    Result<SavedSet> files = read_saved_set(sys, sets[set]);
    if (!files) {
      view.warnings.push_back(
          cat({"undo ", sets[set], " refuses its set: ", printable(files.failure().reason)}));
    } else {
      view.unchecked[set] = !files->checked;
    }
  }
}

}  // namespace

int status(bool json) {
  PosixSystem sys;
  StatusView view;
  const Result<bool> held = lock_is_held(sys, &view.holder);
  view.running = held.value_or(false);
  // What the lock cannot tell, the rest still can: shown, and status ends with 3.
  const std::string lock_error = held ? "" : held.failure().reason;
  // Another program holding the lock runs no tuning: the tuning stands where it was left.
  const std::string foreign = view.running ? foreign_holder(sys, view.holder) : "";
  const bool foreign_lock = !foreign.empty();
  if (foreign_lock) view.running = false;
  const Result<SessionState> read = read_state(sys);
  view.state = read.value_or(SessionState{});
  view.state_error = read ? "" : read.failure().reason;
  const Result<> usable = check_board(sys);
  if (!usable) {
    view.next = cat({"cannot run: ", printable(usable.failure().reason)});
  } else if (!view.state_error.empty()) {
    // A state this user may not read is no reason to begin anew: root's start reads it.
    const bool denied = access(sys.path(state_path).c_str(), R_OK) != 0 && errno == EACCES;
    view.next =
        denied
            ? "cannot be told by this user: the state is not readable to it"
            : "cannot go on; start --new begins a new tuning over it, keeping the copies and logs";
  } else {
    const BoardMarks marks = read_marks(sys, view.state);
    const Action next = next_action(view.state, marks);
    view.next = describe_next(next, view.state, marks);
    view.ended_unrecorded = !view.running && next == Action::record_finished;
    // What start would refuse, shown at every look rather than found at every boot.
    const bool first_tuning = next == Action::new_tuning
                                  ? std::max(view.state.tuning, highest_kept_tuning(sys)) == 0
                                  : view.state.tuning == 1;
    view.saves_original = first_tuning && (next == Action::new_tuning || next == Action::save_sets);
    const std::string full = next == Action::finish_undo ? "" : too_full(sys, next, first_tuning);
    if (!full.empty() && !view.running) {
      view.next = cat({"refuses: ", full});
      view.warnings.push_back(full);
    }
  }
  // Whatever the tuning's next step, start takes no step while another program has the lock.
  if (usable && foreign_lock) view.next = cat({"refuses while another program holds ", lock_path});
  view.interrupted = !view.running && view.state.at_work() && !view.ended_unrecorded;
  read_last_log_line(sys, view);
  read_saved_sets(sys, view);
  // What the session recorded of its own PATH, then what the board's files say now.
  if (!view.state.warning.empty()) view.warnings.push_back(printable(view.state.warning));
  ProcessPrograms programs;
  for (const std::string& warning : board_warnings(sys, programs)) {
    if (warning != miner_client_warning) view.warnings.push_back(warning);
  }
  if (view.state.ending == Ending::finished || view.ended_unrecorded) {
    if (std::string left = tune_running_left(sys); !left.empty()) view.warnings.push_back(left);
  }
  if (view.state.tuning > 0 && view.state_error.empty() && !view.saved[1] && !view.saves_original) {
    view.warnings.push_back(cat({backup_dir,
                                 "/original is missing: undo original cannot put "
                                 "back the files before the first tuning, and no "
                                 "tuning makes it again"}));
  }
  if (!lock_error.empty()) {
    view.warnings.push_back(cat({"cannot tell whether a tuning runs: ", printable(lock_error)}));
  }
  if (foreign_lock) view.warnings.push_back(foreign);
  if (json) {
    print_json(view);
  } else {
    print_text(view);
  }
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "tune-session: cannot write to standard output\n");
    return exit_failed;
  }
  return view.state_error.empty() && lock_error.empty() && usable ? exit_done : exit_busy;
}

}  // namespace tune::session
