// What `tune-session start` does next, read from the recorded state and from what the
// programs leave: chain-tuner's marker /config/yellow (it handed over), yellow-fixer's step
// file /config/yellow-step (it has work left) and its log (it reached its finish). Start and
// status both ask here, so that status always says what start will do. The table:
//
//   recorded                                     next
//   an undo under way (cut)                      finish_undo, then as undone
//   no tuning, finished, undone                  new_tuning
//   saving                                       save_sets
//   chain-tuner, no marker                       run_chain_tuner
//   chain-tuner, marker                          hand_over
//   yellow-fixer, its log says it finished       record_finished (and new_tuning when
//                                                a request was made since the script ran)
//   yellow-fixer, step file                      run_yellow_fixer
//   yellow-fixer, no step file, its log says     run_yellow_fixer (afresh)
//     it did not finish
//   yellow-fixer, no step file, otherwise        record_finished (as above)
//
// A stage that failed, was stopped or timed out stands where it ended.
#pragma once

#include <optional>
#include <string>

#include "programs.hpp"
#include "session_state.hpp"
#include "system.hpp"

namespace tune::session {

enum class Action {
  finish_undo,
  new_tuning,
  save_sets,
  run_chain_tuner,
  hand_over,
  run_yellow_fixer,
  record_finished,
};

// What yellow-fixer's log of the tuning says of its end: the live log /tmp/auto-tune when
// there is one (it holds the whole run), else the last kept log (a copy that may lack the
// last minutes, so only a finishing entry in it says anything).
enum class FixerLog { unknown, finished, unfinished };

struct BoardMarks {
  bool yellow_marker = false;
  std::optional<std::string> yellow_step;  // its first bytes, when the file exists
  std::string step_problem;  // a step file that is there but cannot be read: "PATH: reason"
  FixerLog fixer_log = FixerLog::unknown;  // read only where it decides
  bool tune_running = false;               // the firmware's /config/tune-running
  std::string request;                     // its request_identity
};

// Which file the firmware's request /config/tune-running is: its inode and change time
// ("INODE-SECONDS.NANOSECONDS"), so that a request made anew after one was removed is told
// from it; "none" when there is none.
std::string request_identity(System& sys);

// After a cut finish: a request made since yellow-fixer's finishing script removed the one
// the tuning had. That request asks for the next tuning, and is not the script's to remove.
bool new_request_since(const SessionState& state, const BoardMarks& marks);

BoardMarks read_marks(System& sys, const SessionState& state);

Action next_action(const SessionState& state, const BoardMarks& marks);

// What start does next, as a phrase: "runs chain-tuner again", "resumes yellow-fixer from
// step 4", ...
std::string describe_next(Action next, const SessionState& state, const BoardMarks& marks);

// True when the log holds one of yellow-fixer's finishing entries.
bool holds_fixer_finish(const std::string& log);

const char* program_name(Program program);
Stage stage_of(Program program);

}  // namespace tune::session
