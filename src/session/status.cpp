// `tune-session status`: where the tuning stands, for any user, without taking the lock.
#include <cstdio>
#include <string>
#include <vector>

#include "board_files.hpp"
#include "copies.hpp"
#include "kept_logs.hpp"
#include "log.hpp"
#include "plan.hpp"
#include "posix_system.hpp"
#include "session.hpp"
#include "session_lock.hpp"
#include "session_state.hpp"

namespace tune::session {

namespace {

constexpr size_t log_tail_bytes = 4096;

struct StatusView {
  SessionState state;
  bool running = false;
  bool interrupted = false;      // a working stage that no session holds
  std::string next;              // what start does, when no session runs
  std::string last_log_line;     // of /tmp/auto-tune, shown safe
  std::vector<std::string> copies;
};

// The stage line: "chain-tuner, running since ...", "failed in chain-tuner at ...: why".
std::string stage_line(const StatusView& view) {
  const SessionState& s = view.state;
  const std::string since = local_stamp(s.since);
  switch (s.stage) {
    case Stage::none:
      return "none: no tuning has run on this board";
    case Stage::saving:
    case Stage::chain_tuner:
    case Stage::yellow_fixer:
      if (view.running) {
        return std::string(stage_name(s.stage)) + ", running since " + since + " (session pid " +
               std::to_string(s.pid) + ")";
      }
      return std::string(stage_name(s.stage)) + ", interrupted: no session runs (the stage began " +
             since + ")";
    case Stage::finished:
      return "finished at " + since;
    case Stage::undone:
      return "undone at " + since + ": the files of " + std::string(backup_dir) + "/" +
             s.undone_to + " are back";
    case Stage::failed:
    case Stage::stopped:
    case Stage::timed_out:
      return std::string(stage_name(s.stage)) + " in " + stage_name(s.at) + " at " + since +
             (s.reason.empty() ? "" : ": " + printable(s.reason));
  }
  return "";
}

std::string program_line(const std::optional<ProgramEnd>& end) {
  return end ? "ended with " + describe(*end) : "-";
}

void print_text(const StatusView& view) {
  const SessionState& s = view.state;
  std::string text;
  auto line = [&](const char* key, const std::string& value) {
    char padded[32];
    std::snprintf(padded, sizeof padded, "%-15s", key);
    text += padded + value + "\n";
  };
  line("tuning:", std::to_string(s.tuning));
  line("stage:", stage_line(view));
  if (s.tuning > 0) {
    line("began:", local_stamp(s.began));
    line("chain-tuner:", program_line(s.chain_tuner));
    line("yellow-fixer:", program_line(s.yellow_fixer));
  }
  if (!view.last_log_line.empty()) line("last log line:", view.last_log_line);
  if (!view.running) line("next:", "tune-session start " + view.next);
  if (s.previous_tuning > 0) {
    line("previous:", "tuning " + std::to_string(s.previous_tuning) + ", " +
                          stage_name(s.previous_stage) + " at " + local_stamp(s.previous_ended));
  }
  std::string copies;
  for (const std::string& copy : view.copies) copies += (copies.empty() ? "" : ", ") + copy;
  line("copies:", copies.empty() ? "none" : copies);
  line("logs:", kept_logs_dir);
  std::fputs(text.c_str(), stdout);
}

// A JSON string; the text is already free of control bytes and invalid UTF-8.
std::string json_string(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string json_or_null(bool present, const std::string& value) {
  return present ? value : "null";
}

void print_json(const StatusView& view) {
  const SessionState& s = view.state;
  auto end_of = [](const std::optional<ProgramEnd>& end) {
    return json_or_null(end.has_value(), end ? json_string(describe(*end)) : "");
  };
  std::string copies;
  for (const char* set : {before_set, original_set}) {
    bool present = false;
    for (const std::string& copy : view.copies) present = present || copy.ends_with(set);
    copies += std::string(copies.empty() ? "" : ",") + json_string(set) + ":" +
              json_or_null(present, json_string(std::string(backup_dir) + "/" + set));
  }
  bool ended_early = s.stage == Stage::failed || s.stage == Stage::stopped ||
                     s.stage == Stage::timed_out;
  std::string json = "{";
  json += "\"tuning\":" + std::to_string(s.tuning);
  json += ",\"stage\":" + json_string(stage_name(s.stage));
  json += ",\"at\":" + json_or_null(ended_early, json_string(stage_name(s.at)));
  json += std::string(",\"running\":") + (view.running ? "true" : "false");
  json += std::string(",\"interrupted\":") + (view.interrupted ? "true" : "false");
  json += ",\"pid\":" + json_or_null(view.running, std::to_string(s.pid));
  json += ",\"since\":" + json_or_null(s.tuning > 0, std::to_string(s.since));
  json += ",\"began\":" + json_or_null(s.tuning > 0, std::to_string(s.began));
  json += ",\"chain_tuner\":" + end_of(s.chain_tuner);
  json += ",\"yellow_fixer\":" + end_of(s.yellow_fixer);
  json += ",\"reason\":" + json_or_null(!s.reason.empty(), json_string(printable(s.reason)));
  json += ",\"last_log_line\":" +
          json_or_null(!view.last_log_line.empty(), json_string(view.last_log_line));
  json += ",\"next\":" + json_or_null(!view.running, json_string(view.next));
  json += ",\"previous\":" +
          json_or_null(s.previous_tuning > 0,
                       "{\"tuning\":" + std::to_string(s.previous_tuning) +
                           ",\"stage\":" + json_string(stage_name(s.previous_stage)) +
                           ",\"ended\":" + std::to_string(s.previous_ended) + "}");
  json += ",\"copies\":{" + copies + "}";
  json += ",\"logs\":" + json_string(kept_logs_dir);
  json += "}\n";
  std::fputs(json.c_str(), stdout);
}

}  // namespace

int status(bool json) {
  PosixSystem sys;
  StatusView view;
  std::string error;
  view.running = lock_is_held(sys, error);
  StateRead read = read_state(sys);
  if (error.empty()) error = read.error;
  if (!error.empty()) {
    std::fprintf(stderr, "tune-session: cannot read %s\n", error.c_str());
    return exit_busy;
  }
  view.state = read.state;
  view.interrupted = !view.running && is_working(view.state.stage);
  const BoardMarks marks = read_marks(sys);
  view.next = describe_next(next_step(view.state, marks), marks);
  FileRead log = read_file(sys.path(log_path), log_tail_bytes, true);
  if (log.result == FileRead::Result::read) view.last_log_line = printable(last_line(log.text));
  for (const char* set : {before_set, original_set}) {
    if (set_exists(sys, set)) view.copies.push_back(set_directory(sys, set));
  }
  if (json) {
    print_json(view);
  } else {
    print_text(view);
  }
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "tune-session: cannot write to standard output\n");
    return exit_failed;
  }
  return exit_done;
}

}  // namespace tune::session
