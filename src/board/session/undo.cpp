#include "undo.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "board_files.hpp"
#include "command_support.hpp"
#include "copies.hpp"
#include "kept_logs.hpp"
#include "miner_restart.hpp"
#include "posix_system.hpp"
#include "session.hpp"
#include "session_lock.hpp"

namespace tune::session {

std::string undo_files(System& sys, SessionState& state, const std::string& set,
                       std::vector<std::string>& kept) {
  std::string error;
  std::optional<SetFiles> files = read_set(sys, set.c_str(), error);
  if (!files) return cat({"cannot put the miner's files back: ", error});
  // Every copy is written beside its file before the undo is recorded as under way: a full
  // /config refuses the undo with nothing changed and nothing recorded.
  std::vector<StagedReplace> staged;
  error = stage_set(sys, *files, staged);
  if (!error.empty()) return cat({"cannot put the miner's files back: ", error});
  // A set is made only by a tuning: a board whose state and logs are gone has had one.
  const int tuning = std::max(state.tuning, 1);
  SessionState undoing = state;
  undoing.undoing = set;
  // With no tuning recorded, its number comes from the kept logs; the record says none.
  if (undoing.stage == Stage::none) undoing.tuning = 0;
  undoing.pid = getpid();
  error = write_state(sys, undoing);
  if (!error.empty()) {
    drop_set(staged);
    return cat({"cannot record the undo: ", error});
  }
  state = undoing;
  error = commit_set(sys, *files, staged, kept);
  if (error.empty()) error = check_put_back(sys, *files);
  if (error.empty()) error = clear_marks(sys);
  if (!error.empty()) {
    return cat({"cannot put the miner's files back: ", error,
                "; the next undo or start finishes the undo"});
  }
  SessionState undone = state;
  undone.tuning = tuning;
  undone.stage = Stage::undone;
  undone.at = Stage::none;
  undone.reason.clear();
  undone.undone_to = set;
  undone.undoing.clear();
  undone.since = sys.now();
  error = write_state(sys, undone);
  if (!error.empty()) {
    return cat({"the miner's files are back, but the undo cannot be recorded: ", error,
                "; the next undo or start records it"});
  }
  state = undone;
  return "";
}

int undo_board(System& sys, const std::string& set,
               const std::function<void(bool error, const std::string& line)>& say) {
  if (!set_exists(sys, set.c_str())) {
    say(true, cat({"nothing to undo: ", failure(set_directory(sys, set.c_str()), ENOENT)}));
    return exit_failed;
  }
  StateRead read = read_state_to_go_on(sys);
  SessionState state = read.state;
  if (!read.error.empty()) {
    // A state that cannot be read does not keep the files from coming back: it is set aside,
    // and the undo recorded anew.
    std::string error = set_state_aside(sys);
    if (!error.empty()) {
      say(true, cat({"cannot read ", read.error, "; nor set it aside: ", error}));
      return exit_busy;
    }
    say(false, cat({"the state that could not be read (", read.error, ") is set aside as ",
                    sys.path(unreadable_state_path)}));
    state = SessionState{};
    state.tuning = highest_kept_tuning(sys);
  }
  // An undo that was cut is taken over: this one puts every file back as well.
  std::vector<std::string> kept;
  std::string error = undo_files(sys, state, set, kept);
  if (!error.empty()) {
    say(true, error);
    return exit_failed;
  }
  for (const std::string& file : kept) {
    say(false, cat({file,
                    " stays as it is: the set, made by an earlier version, does not say "
                    "whether it existed"}));
  }
  if (sys.run_shell(restart_command) == -1) {
    say(true, cat({"the miner's files are back, but the restart trigger cannot be run: ",
                   restart_command}));
    return exit_failed;
  }
  say(false, cat({"the miner's files of ", set_directory(sys, set.c_str()),
                  " are back; the miner restarts"}));
  return exit_done;
}

int undo(const char* set) {
  PosixSystem sys;
  SessionLock lock;
  std::string error = take_lock(lock, sys, "refused while a tuning runs: ", "; stop it first");
  if (!error.empty()) {
    say(stderr, {error});
    return exit_busy;
  }
  return undo_board(sys, set, [](bool is_error, const std::string& line) {
    say(is_error ? stderr : stdout, {line});
  });
}

}  // namespace tune::session
