#include "plan.hpp"

#include <sys/stat.h>

#include <cstdio>

#include "board_files.hpp"
#include "kept_logs.hpp"
#include "log.hpp"
#include "stage_files.hpp"
#include "text.hpp"
#include "yellow_fixer_messages.hpp"

namespace tune::session {

namespace {

// A log's tail is enough: the finishing entry is among its last lines.
constexpr size_t log_tail_bytes = 64 * 1024;

FixerLog fixer_log_of(System& sys, const SessionState& state) {
  FileRead live = read_file(sys.path(log_path), log_tail_bytes, true);
  if (live.result == FileRead::Result::read) {
    return holds_fixer_finish(live.text) ? FixerLog::finished : FixerLog::unfinished;
  }
  const std::string directory = sys.path(kept_logs_dir);
  std::string latest;
  for (const KeptLogFile& log : list_kept_logs(directory)) {
    if (log.tuning == state.tuning && log.program == program_name(Program::yellow_fixer)) {
      latest = log.name;
    }
  }
  if (latest.empty()) return FixerLog::unknown;
  FileRead kept = read_file(cat({directory, "/", latest}), log_tail_bytes, true);
  return kept.result == FileRead::Result::read && holds_fixer_finish(kept.text) ? FixerLog::finished
                                                                                : FixerLog::unknown;
}

}  // namespace

const char* program_name(Program program) {
  return program == Program::chain_tuner ? "chain-tuner" : "yellow-fixer";
}

Stage stage_of(Program program) {
  return program == Program::chain_tuner ? Stage::chain_tuner : Stage::yellow_fixer;
}

bool holds_fixer_finish(const std::string& log) {
  namespace fixer = yellow_fixer_log;
  for (size_t at = 0; at < log.size();) {
    size_t end = log.find('\n', at);
    end = end == std::string::npos ? log.size() : end + 1;
    if (end - at > log_stamp_length && log_stamp_shaped(std::string_view(log).substr(at))) {
      const std::string entry = log.substr(at + log_stamp_length, end - at - log_stamp_length);
      for (const char* ending :
           {fixer::three_successful, fixer::check_limit, fixer::rate_below_desired}) {
        if (read_message(ending, entry)) return true;
      }
    }
    at = end;
  }
  return false;
}

std::string request_identity(System& sys) {
  struct stat info;
  if (lstat(sys.path(tune_running_path).c_str(), &info) != 0) return "none";
  char text[64];
  std::snprintf(text, sizeof text, "%llu-%lld.%09ld", static_cast<unsigned long long>(info.st_ino),
                static_cast<long long>(info.st_ctim.tv_sec),
                static_cast<long>(info.st_ctim.tv_nsec));
  return text;
}

bool new_request_since(const SessionState& state, const BoardMarks& marks) {
  return marks.tune_running && !state.request.empty() && marks.request != state.request;
}

BoardMarks read_marks(System& sys, const SessionState& state) {
  BoardMarks marks;
  marks.yellow_marker = name_exists(sys.path(yellow_marker_path));
  marks.tune_running = name_exists(sys.path(tune_running_path));
  marks.request = request_identity(sys);
  FileRead step = read_file(sys.path(yellow_step_path), 64);
  if (step.result == FileRead::Result::read) marks.yellow_step = step.text;
  // A step file that exists but cannot be read still means work left, which yellow-fixer
  // cannot do.
  if (step.result == FileRead::Result::unreadable) {
    marks.yellow_step = "";
    marks.step_problem = step.failure.reason;
  }
  if (state.stage == Stage::yellow_fixer) marks.fixer_log = fixer_log_of(sys, state);
  return marks;
}

Action next_action(const SessionState& state, const BoardMarks& marks) {
  if (!state.undoing.empty()) return Action::finish_undo;
  // Where it stands: at work, or where it ended early.
  switch (state.stage) {
    case Stage::saving:
      return Action::save_sets;
    case Stage::chain_tuner:
      return marks.yellow_marker ? Action::hand_over : Action::run_chain_tuner;
    case Stage::yellow_fixer:
      // The session leaves a step file before it records the stage, and yellow-fixer removes
      // it only at its finish, after its finishing entry: without one, yellow-fixer had
      // finished, unless its whole log says otherwise. A finishing entry says it finished
      // whatever is left: a step file it could not remove is no work left, and resuming from
      // it would run the finishing script again.
      if (marks.fixer_log == FixerLog::finished) return Action::record_finished;
      return marks.yellow_step || marks.fixer_log == FixerLog::unfinished ? Action::run_yellow_fixer
                                                                          : Action::record_finished;
    case Stage::none:  // none begun, or it finished or was undone
      break;
  }
  return Action::new_tuning;
}

std::string describe_next(Action next, const SessionState& state, const BoardMarks& marks) {
  switch (next) {
    case Action::finish_undo:
      return cat({"finishes the undo to ", printable(state.undoing),
                  " that was cut, then begins a new tuning"});
    case Action::new_tuning:
      return "begins a new tuning: saves the miner's files, then runs chain-tuner";
    case Action::save_sets:
      return "saves the miner's files again, then runs chain-tuner";
    case Action::run_chain_tuner:
      return "runs chain-tuner again";
    case Action::hand_over:
      return "starts yellow-fixer afresh";
    case Action::run_yellow_fixer: {
      if (!marks.step_problem.empty()) {
        return cat({"cannot run yellow-fixer: ", printable(marks.step_problem)});
      }
      // Read as yellow-fixer reads it: the first line, as strtol reads it.
      std::string step = marks.yellow_step.value_or("");
      int number = parse_int(step.substr(0, step.find('\n')));
      if (number == 0) return "starts yellow-fixer afresh";
      return "resumes yellow-fixer from step " + std::to_string(number);
    }
    case Action::record_finished:
      if (new_request_since(state, marks)) {
        return "records the tuning as finished (yellow-fixer had ended), then begins a new "
               "tuning for the request made since";
      }
      return marks.tune_running ? cat({"records the tuning as finished (yellow-fixer had ended) "
                                       "and runs ",
                                       finish_command})
                                : "records the tuning as finished (yellow-fixer had ended)";
  }
  return "";
}

}  // namespace tune::session
