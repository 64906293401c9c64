#include "lifecycle.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "board_files.hpp"
#include "command_support.hpp"
#include "deadlines.hpp"
#include "exit_status.hpp"
#include "files.hpp"
#include "kept_logs.hpp"
#include "log.hpp"
#include "plan.hpp"
#include "room.hpp"
#include "saved_sets.hpp"
#include "session_lock.hpp"
#include "session_state.hpp"
#include "stage_files.hpp"
#include "undo.hpp"

namespace tune::session {

namespace {

class Lifecycle {
 public:
  Lifecycle(System& sys, Programs& programs, const StartOptions& options, const SessionOutput& out,
            SessionLock* held)
      : sys_(sys), programs_(programs), options_(options), out_(out), held_(held) {}

  int run();

 private:
  bool begin();
  bool act(Action action);
  bool begin_new_tuning();
  bool save();
  bool run_stage(Program program);
  bool run_chain_tuner();
  bool hand_over();
  bool run_yellow_fixer();
  bool finish(bool fixer_ran);
  bool finish_undo();

  Result<> record();
  bool enter(Stage stage);
  bool enter_finished(const std::string& reason);
  bool record_since_now(const std::string& reason = "");
  bool end_early(Ending how, const std::string& reason);
  bool fail(const std::string& line);
  void note(std::initializer_list<std::string_view> what);
  double deadline(Program program) const;
  void keep_while_running(Program program);
  std::string tuning_name() const { return "tuning " + std::to_string(state_.tuning); }

  System& sys_;
  Programs& programs_;
  const StartOptions& options_;
  const SessionOutput& out_;
  SessionLock* held_;  // the caller's lock, already taken; else lock_ is taken
  SessionLock lock_;
  SessionState state_;
  int status_ = exit_done;
  std::time_t last_keep_ = 0;
  bool next_requested_ = false;  // a cut finish recorded, and a request made since
};

void Lifecycle::note(std::initializer_list<std::string_view> what) {
  // Before any tuning is recorded (a first one refused, say), a line names none.
  const std::string tuning = state_.tuning > 0 ? tuning_name() + ": " : "";
  out_.note(cat({local_stamp(sys_.now()), " ", tuning, cat(what)}));
}

// Records the state, the session's memory across cuts. On a full /config the kept logs give
// way to it, oldest first, once a program of this tuning has run (a tuning that cannot even
// begin is refused with the logs as they were). A failure when it cannot be recorded: the
// run must not go on with a record that says something else.
Result<> Lifecycle::record() {
  for (;;) {
    Result<> stored = write_state(sys_, state_);
    const int reason = stored ? 0 : stored.failure().error;
    if ((reason == ENOSPC || reason == EDQUOT) && state_.runs > 0 && give_way(sys_)) {
      note({"/config is full: the oldest kept log gives way to the state"});
      continue;
    }
    return stored;
  }
}

bool Lifecycle::fail(const std::string& line) {
  status_ = exit_failed;
  note({line});
  out_.announce(exit_failed, line);
  return false;
}

// The tuning at work in a stage, from now.
bool Lifecycle::enter(Stage stage) {
  state_.stage = stage;
  state_.ending.reset();
  return record_since_now();
}

// The tuning finished, from now: it stands in no stage. `reason`: what it left wrong.
bool Lifecycle::enter_finished(const std::string& reason) {
  state_.stage = Stage::none;
  state_.ending = Ending::finished;
  return record_since_now(reason);
}

bool Lifecycle::record_since_now(const std::string& reason) {
  state_.reason = reason;
  state_.since = sys_.now();
  Result<> recorded = record();
  return recorded || fail(cat({"cannot record the state: ", recorded.failure().reason}));
}

// Records a stage that did not finish (failed, stopped, timed out) and ends the run. The
// tuning stands where it ended.
bool Lifecycle::end_early(Ending how, const std::string& reason) {
  state_.ending = how;
  state_.reason = reason;
  state_.since = sys_.now();
  const char* colon = reason.empty() ? "" : ": ";
  std::string line =
      cat({tuning_name(), " ", ending_name(how), " in ", stage_name(state_.stage), colon, reason});
  if (Result<> recorded = record(); !recorded) {
    line = cat({line, " (and the state cannot be recorded: ", recorded.failure().reason, ")"});
  }
  return fail(line);
}

double Lifecycle::deadline(Program program) const {
  const std::string& kept =
      program == Program::chain_tuner ? state_.chain_tuner_hours : state_.yellow_fixer_hours;
  std::optional<double> hours = parse_hours(kept);
  return hours ? *hours : default_deadline_hours(sys_, program);
}

// A running program's log is copied now and then, so that a cut loses at most the last
// interval of it. A copy that fails is tried again at the next interval, and at the run's
// end, which says why it fails.
void Lifecycle::keep_while_running(Program program) {
  if (sys_.now() - last_keep_ < keep_interval_seconds) return;
  last_keep_ = sys_.now();
  (void)keep_log(sys_, state_.tuning, state_.runs, program_name(program));
}

int Lifecycle::run() {
  for (Program program : {Program::chain_tuner, Program::yellow_fixer}) {
    if (programs_.where(program).empty()) {
      out_.announce(exit_busy, cat({program_name(program),
                                    " is neither beside tune-session nor in /usr/sbin"}));
      return exit_busy;
    }
  }
  if (held_ == nullptr) {
    if (Result<> locked = take_lock(lock_, sys_, "a tuning is already running: ", ""); !locked) {
      out_.announce(exit_busy, locked.failure().reason);
      return exit_busy;
    }
  }
  if (!begin()) return status_;
  for (;;) {
    if (state_.ending == Ending::finished && !next_requested_) break;
    if (state_.ending == Ending::finished) {
      // A request made after the finishing script of a cut finish: the next tuning begins.
      next_requested_ = false;
      if (!act(Action::new_tuning)) return status_;
      continue;
    }
    if (programs_.stop_requested()) {
      end_early(Ending::stopped, "");
      return status_;
    }
    if (!act(next_action(state_, read_marks(sys_, state_)))) return status_;
  }
  // Said only once the record says so.
  Result<SessionState> stored = read_state(sys_);
  if (!stored || stored->ending != Ending::finished) {
    fail(cat({tuning_name(), " finished, but the state does not say so: ",
              stored ? standing_name(stored->stage, stored->ending) : stored.failure().reason}));
    return status_;
  }
  out_.announce(exit_done, cat({tuning_name(), " finished"}));
  return exit_done;
}

// Reads where the tuning stands, takes the first step (a new tuning saves the miner's files
// first) and tells the caller: the first line a detached start passes on.
bool Lifecycle::begin() {
  Result<SessionState> read = read_state_to_go_on(sys_);
  if (read) {
    state_ = *read;
  } else {
    if (!options_.fresh) {
      status_ = exit_busy;
      out_.announce(exit_busy, cat({"cannot read ", read.failure().reason,
                                    "; tune-session start --new begins a new tuning over it"}));
      return false;
    }
    if (Result<> aside = set_state_aside(sys_); !aside) {
      status_ = exit_busy;
      out_.announce(exit_busy, cat({"cannot set the state that cannot be read aside: ",
                                    aside.failure().reason}));
      return false;
    }
    state_ = SessionState{};
    state_.tuning = highest_kept_tuning(sys_);
  }
  remove_leftovers(sys_);
  // Recorded for status, which cannot see the session's PATH; the rest it finds itself.
  state_.warning = programs_.miner_client_found() ? "" : miner_client_warning;
  if (!options_.chain_tuner_hours.empty()) state_.chain_tuner_hours = options_.chain_tuner_hours;
  if (!options_.yellow_fixer_hours.empty()) {
    state_.yellow_fixer_hours = options_.yellow_fixer_hours;
  }
  const BoardMarks marks = read_marks(sys_, state_);
  const Action first = options_.fresh ? Action::new_tuning : next_action(state_, marks);
  const std::string hint = out_.detached ? "; see tune-session status" : "";
  if (first == Action::new_tuning) {
    if (!begin_new_tuning() || !save()) return false;
    out_.announce(exit_done, cat({tuning_name(), " began (session pid ", std::to_string(state_.pid),
                                  "): the miner's files are saved in ", backup_dir,
                                  "; chain-tuner runs", hint}));
    return true;
  }
  const std::string plan = describe_next(first, state_, marks);
  // A board too full for the rest of the tuning is refused before anything is written, the
  // reason recorded where it can be: every boot then shows it rather than failing a write.
  if (std::string full =
          first == Action::finish_undo ? "" : too_full(sys_, first, state_.tuning == 1);
      !full.empty()) {
    return end_early(Ending::failed, full);
  }
  if (state_.at_work() && state_.stage != Stage::saving && state_.runs > 0) {
    // The program's run was cut (the session killed, say, with no reboot): its log is still
    // in /tmp, and the next run would empty it. It is that run's, whose copy names its
    // program (a hand-over cut before yellow-fixer ran leaves chain-tuner's log there). One
    // that cannot be kept does not keep the tuning from going on.
    std::string program = kept_program(sys_, state_.tuning, state_.runs);
    (void)keep_log(sys_, state_.tuning, state_.runs,
                   program.empty() ? stage_name(state_.stage) : program.c_str());
  } else if (state_.ended_early()) {
    // Going on after a failure, a stop or a time-out: back at work in the stage it ended in.
    state_.ending.reset();
    state_.reason.clear();
  }
  state_.pid = getpid();
  state_.since = sys_.now();
  if (Result<> recorded = record(); !recorded) {
    return fail(cat({"cannot record the tuning: ", recorded.failure().reason}));
  }
  note({"goes on: ", plan});
  out_.announce(exit_done, cat({tuning_name(), " goes on (session pid ", std::to_string(state_.pid),
                                "): ", plan, hint}));
  return act(first);
}

bool Lifecycle::act(Action action) {
  switch (action) {
    case Action::finish_undo:
      return finish_undo();
    case Action::new_tuning:
      return begin_new_tuning() && save();
    case Action::save_sets:
      return save();
    case Action::run_chain_tuner:
      return run_chain_tuner();
    case Action::hand_over:
      return hand_over();
    case Action::run_yellow_fixer:
      return run_yellow_fixer();
    case Action::record_finished:
      return finish(false);
  }
  return fail("nothing to do");
}

bool Lifecycle::begin_new_tuning() {
  SessionState previous = state_;
  const int last = std::max(previous.tuning, highest_kept_tuning(sys_));
  if (last >= last_tuning_number) {
    return fail(cat({"no tuning number is left after ", std::to_string(last), " (the kept logs in ",
                     kept_logs_dir, " hold that number)"}));
  }
  if (std::string full = too_full(sys_, Action::new_tuning, last == 0); !full.empty()) {
    return fail(cat({"cannot begin tuning ", std::to_string(last + 1), ": ", full}));
  }
  state_ = SessionState{};
  state_.tuning = last + 1;
  state_.stage = Stage::saving;
  state_.began = sys_.now();
  state_.since = state_.began;
  state_.pid = getpid();
  state_.warning = previous.warning;
  state_.chain_tuner_hours = options_.chain_tuner_hours;
  state_.yellow_fixer_hours = options_.yellow_fixer_hours;
  if (previous.tuning > 0 && !previous.no_tuning()) {
    state_.previous_tuning = previous.tuning;
    // How it ended, or the stage it was at work in: a tuning left under way by --new ends now.
    state_.previous_ending = previous.ending;
    state_.previous_stage = previous.ending ? Stage::none : previous.stage;
    state_.previous_ended = previous.at_work() ? state_.began : previous.since;
  }
  if (Result<> recorded = record(); !recorded) {
    return fail(cat({"cannot record the tuning: ", recorded.failure().reason}));
  }
  note({"begins"});
  return true;
}

// The saved sets of a new tuning, made before anything else changes, then the programs' marks
// of the tuning before it cleared. The first tuning on the board also keeps original/.
bool Lifecycle::save() {
  Result<> saved = save_sets(sys_, state_.tuning == 1);
  if (saved) saved = clear_marks(sys_);
  if (!saved) {
    return end_early(Ending::failed,
                     cat({"cannot save the miner's files: ", saved.failure().reason}));
  }
  note({"the miner's files are saved in ", set_directory(sys_, before_set)});
  // Recorded before the caller hears that chain-tuner runs, so that status says so too; a
  // cut before this record only saves the same files again.
  return enter(Stage::chain_tuner);
}

bool Lifecycle::run_stage(Program program) {
  const char* name = program_name(program);
  ++state_.runs;
  // The request yellow-fixer's finishing script will remove, if any.
  if (program == Program::yellow_fixer) state_.request = request_identity(sys_);
  if (!enter(stage_of(program))) return false;
  const double hours = deadline(program);
  note({name, " starts (", programs_.where(program), ")"});
  last_keep_ = sys_.now();
  Result<ProgramRun> run = programs_.run(program, hours, [&] { keep_while_running(program); });
  if (!run) return end_early(Ending::failed, cat({"cannot start ", run.failure().reason}));
  (program == Program::chain_tuner ? state_.chain_tuner : state_.yellow_fixer) = run->end;
  // The program's end is recorded before its log is kept: on a full /config the log gives
  // way, the record does not.
  if (Result<> recorded = record(); !recorded) {
    return fail(cat({"cannot record the state: ", recorded.failure().reason}));
  }
  Result<std::string> kept = keep_log(sys_, state_.tuning, state_.runs, name);
  const std::string kept_as = kept.value_or("");
  note({name, " ended with ", describe(run->end), kept_as.empty() ? "" : "; its log is kept as ",
        kept_as, kept ? "" : "; its log cannot be kept: ", kept ? "" : kept.failure().reason});
  if (run->ending == ProgramRun::Ending::stopped) return end_early(Ending::stopped, "");
  if (run->ending == ProgramRun::Ending::timed_out) {
    char text[64];
    std::snprintf(text, sizeof text, "%g hours", hours);
    return end_early(Ending::timed_out, cat({name, " ran past its deadline of ", text}));
  }
  return true;
}

bool Lifecycle::run_chain_tuner() {
  if (!run_stage(Program::chain_tuner)) return false;
  if (!name_exists(sys_.path(yellow_marker_path))) {
    return end_early(Ending::failed, cat({"chain-tuner ended with ", describe(*state_.chain_tuner),
                                          " without handing over (no ", yellow_marker_path, ")"}));
  }
  return true;
}

// yellow-fixer takes over. Its step file, empty (a fresh start to yellow-fixer), is made
// first, then the stage is recorded, then chain-tuner's marker goes: a cut before the record
// hands over again, and the step file then exists exactly while yellow-fixer has work left,
// which tells a cut before its first step from a cut after its finish.
bool Lifecycle::hand_over() {
  const std::string step = sys_.path(yellow_step_path);
  if (!name_exists(step)) {
    if (Result<> made = store_file(sys_, step, ""); !made) {
      return end_early(Ending::failed, cat({"cannot hand over: ", made.failure().reason}));
    }
  }
  if (!enter(Stage::yellow_fixer)) return false;
  const std::string marker = sys_.path(yellow_marker_path);
  if (!remove_file(sys_, marker) && errno != ENOENT) {
    return end_early(Ending::failed, cat({"cannot hand over: ", failure(marker, errno).reason}));
  }
  note({"chain-tuner handed over to yellow-fixer"});
  return true;
}

bool Lifecycle::run_yellow_fixer() {
  // A hand-over cut before the marker went; then the step file, made again for a fresh
  // start when it is gone though yellow-fixer's log says it did not finish.
  const std::string marker = sys_.path(yellow_marker_path);
  if (!remove_file(sys_, marker) && errno != ENOENT) {
    return end_early(Ending::failed, cat({"cannot hand over: ", failure(marker, errno).reason}));
  }
  const BoardMarks marks = read_marks(sys_, state_);
  if (!marks.step_problem.empty()) {
    return end_early(Ending::failed, cat({"cannot run yellow-fixer: ", marks.step_problem}));
  }
  const std::string step = sys_.path(yellow_step_path);
  if (!marks.yellow_step) {
    if (Result<> made = store_file(sys_, step, ""); !made) {
      return end_early(Ending::failed, cat({"cannot run yellow-fixer: ", made.failure().reason}));
    }
  }
  if (!run_stage(Program::yellow_fixer)) return false;
  if (*state_.yellow_fixer != ProgramEnd{}) {
    return end_early(Ending::failed,
                     cat({"yellow-fixer ended with ", describe(*state_.yellow_fixer)}));
  }
  // A step file left after its finishing entry is one yellow-fixer could not remove: it
  // finished (and ran the finishing script), and finish says what is left.
  if (name_exists(step) && read_marks(sys_, state_).fixer_log != FixerLog::finished) {
    return end_early(Ending::failed, cat({"yellow-fixer ended before its last iteration (",
                                          yellow_step_path, " is still there)"}));
  }
  return finish(true);
}

// The tuning finished: recorded first (a finishing script may reboot the board), then, when
// yellow-fixer's own finish was cut, its log kept and the finishing script run if
// /config/tune-running still asks for it. What the script leaves is the firmware's; a
// /config/tune-running that stays is a warning, since the init script then begins a new
// tuning at every boot.
bool Lifecycle::finish(bool fixer_ran) {
  const BoardMarks marks = read_marks(sys_, state_);
  // yellow-fixer's step file, when its own removal failed: removed now, or the record says
  // why it is still there (the next tuning removes it before it begins).
  std::string step_left;
  if (const std::string step = sys_.path(yellow_step_path);
      name_exists(step) && !remove_file(sys_, step)) {
    step_left = cat({"yellow-fixer finished, but its step file cannot be removed: ",
                     failure(step, errno).reason});
  }
  if (!enter_finished(step_left)) return false;
  if (!step_left.empty()) note({"warning: ", step_left});
  if (!fixer_ran) {
    if (name_exists(sys_.path(log_path)) && state_.runs > 0) {
      // Kept when it can be: the finish is recorded already.
      (void)keep_log(sys_, state_.tuning, state_.runs, program_name(Program::yellow_fixer));
    }
    if (new_request_since(state_, marks)) {
      note(
          {"yellow-fixer's finish was cut after its finishing script removed the request; "
           "the request made since begins the next tuning"});
      next_requested_ = true;
      return true;
    }
    if (marks.tune_running) {
      note({"yellow-fixer's finish was cut: runs ", finish_command});
      sys_.run_shell(finish_command);
    }
  }
  if (std::string left = tune_running_left(sys_); !left.empty()) note({"warning: ", left});
  note({"finished"});
  return true;
}

// An undo that was cut is finished before anything else, from the same set.
bool Lifecycle::finish_undo() {
  const std::string set = state_.undoing;
  PutBack put;
  if (Result<> undone = undo_files(sys_, state_, set, put); !undone) {
    return fail(cat({undone.failure().reason,
                     "; tune-session undo puts a set back, start --new begins a new tuning"}));
  }
  note({"the undo to ", set, " that was cut is finished: the files of ",
        set_directory(sys_, set.c_str()), put.are_back()});
  return true;
}

}  // namespace

std::vector<std::string> board_warnings(System& sys, Programs& programs) {
  std::vector<std::string> warnings;
  if (!programs.miner_client_found()) warnings.push_back(miner_client_warning);
  if (name_exists(sys.path(tune_running_path)) && !name_exists(sys.path(finish_script_path))) {
    warnings.push_back(std::string(finish_script_path) +
                       " is missing: nothing ends the tuning the firmware's way");
  }
  return warnings;
}

std::string tune_running_left(System& sys) {
  if (!name_exists(sys.path(tune_running_path))) return "";
  return std::string(tune_running_path) +
         " is still there after the tuning finished: with the init script, the next boot "
         "begins a new tuning";
}

int run_session(System& sys, Programs& programs, const StartOptions& options,
                const SessionOutput& out, SessionLock* held) {
  return Lifecycle(sys, programs, options, out, held).run();
}

}  // namespace tune::session
