#include "undo.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "board_files.hpp"
#include "command_support.hpp"
#include "exit_status.hpp"
#include "kept_logs.hpp"
#include "miner_restart.hpp"
#include "posix_system.hpp"
#include "saved_sets.hpp"
#include "session_lock.hpp"

namespace tune::session {

namespace {

// The failure with what it kept from: "WHAT: PATH: reason[THEN]".
Failure framed(const char* what, const Failure& failure, const char* then = "") {
  return {cat({what, failure.reason, then}), failure.error};
}

}  // namespace

const char* PutBack::are_back() const {
  return checked ? " are back" : " are back (unchecked: saved by an earlier version)";
}

Result<> undo_files(System& sys, SessionState& state, const std::string& set, PutBack& put) {
  Result<SavedSet> saved = read_set(sys, set.c_str());
  if (!saved) return framed("cannot put the miner's files back: ", saved.failure());
  put.checked = saved->checked;
  // Every copy is written beside its file before the undo is recorded as under way: a full
  // /config refuses the undo with nothing changed and nothing recorded.
  std::vector<StagedReplace> staged;
  if (Result<> written = stage_set(sys, *saved, staged); !written) {
    return framed("cannot put the miner's files back: ", written.failure());
  }
  // A set is made only by a tuning: a board whose state and logs are gone has had one.
  const int tuning = std::max(state.tuning, 1);
  SessionState undoing = state;
  undoing.undoing = set;
  // With no tuning recorded, its number comes from the kept logs; the record says none.
  if (undoing.no_tuning()) undoing.tuning = 0;
  undoing.pid = getpid();
  if (Result<> recorded = write_state(sys, undoing); !recorded) {
    drop_set(staged);
    return framed("cannot record the undo: ", recorded.failure());
  }
  state = undoing;
  Result<> put_back = commit_set(sys, *saved, staged, put.kept);
  if (put_back) put_back = check_put_back(sys, *saved);
  if (put_back) put_back = clear_marks(sys);
  if (!put_back) {
    return framed("cannot put the miner's files back: ", put_back.failure(),
                  "; the next undo or start finishes the undo");
  }
  SessionState undone = state;
  undone.tuning = tuning;
  undone.stage = Stage::none;
  undone.ending = Ending::undone;
  undone.reason.clear();
  undone.undone_to = set;
  undone.undoing.clear();
  undone.since = sys.now();
  if (Result<> recorded = write_state(sys, undone); !recorded) {
    return framed("the miner's files are back, but the undo cannot be recorded: ",
                  recorded.failure(), "; the next undo or start records it");
  }
  state = undone;
  return {};
}

int undo_board(System& sys, const std::string& set,
               FunctionRef<void(bool error, const std::string& line)> say) {
  if (!set_exists(sys, set.c_str())) {
    say(true, cat({"nothing to undo: ", failure(set_directory(sys, set.c_str()), ENOENT).reason}));
    return exit_failed;
  }
  Result<SessionState> read = read_state_to_go_on(sys);
  SessionState state = read.value_or(SessionState{});
  if (!read) {
    // A state that cannot be read does not keep the files from coming back: it is set aside,
    // and the undo recorded anew.
    if (Result<> aside = set_state_aside(sys); !aside) {
      say(true, cat({"cannot read ", read.failure().reason,
                     "; nor set it aside: ", aside.failure().reason}));
      return exit_busy;
    }
    say(false, cat({"the state that could not be read (", read.failure().reason,
                    ") is set aside as ", sys.path(unreadable_state_path)}));
    state = SessionState{};
    state.tuning = highest_kept_tuning(sys);
  }
  // An undo that was cut is taken over: this one puts every file back as well.
  PutBack put;
  if (Result<> undone = undo_files(sys, state, set, put); !undone) {
    say(true, undone.failure().reason);
    return exit_failed;
  }
  for (const std::string& file : put.kept) {
    say(false, cat({file,
                    " stays as it is: the set, made by an earlier version, does not say "
                    "whether it existed"}));
  }
  if (sys.run_shell(restart_command) == -1) {
    say(true, cat({"the miner's files are back, but the restart trigger cannot be run: ",
                   restart_command}));
    return exit_failed;
  }
  say(false, cat({"the miner's files of ", set_directory(sys, set.c_str()), put.are_back(),
                  "; the miner restarts"}));
  return exit_done;
}

int undo(const char* set) {
  PosixSystem sys;
  SessionLock lock;
  if (Result<> locked = take_lock(lock, sys, "refused while a tuning runs: ", "; stop it first");
      !locked) {
    say(stderr, {locked.failure().reason});
    return exit_busy;
  }
  return undo_board(sys, set, [](bool is_error, const std::string& line) {
    say(is_error ? stderr : stdout, {line});
  });
}

}  // namespace tune::session
