#include "command_support.hpp"

#include <cerrno>

#include "board_files.hpp"
#include "files.hpp"
#include "kept_logs.hpp"
#include "stage_files.hpp"
#include "text.hpp"

namespace tune::session {

void print_line(std::FILE* stream, const std::string& line) {
  std::fprintf(stream, "%s\n", line.c_str());
  std::fflush(stream);
}

void say(std::FILE* stream, std::initializer_list<std::string_view> pieces) {
  print_line(stream, "tune-session: " + cat(pieces));
}

std::string foreign_holder(System& sys, const LockHolder& holder) {
  if (holder.pid <= 0 || holder.name == "tune-session") return "";
  const std::string file = lock_file_problem(sys);
  return cat({"the lock is held by pid ", std::to_string(holder.pid), " (", printable(holder.name),
              ", uid ", std::to_string(holder.uid), "), not by a tune-session",
              file.empty() ? "" : "; ", file, ": no tuning starts while it holds it"});
}

std::string lock_held_by_another(System& sys) {
  LockHolder holder;
  return lock_is_held(sys, &holder).value_or(false) ? foreign_holder(sys, holder) : "";
}

std::string running_session(System& sys) {
  LockHolder holder;
  const bool held = lock_is_held(sys, &holder).value_or(false);
  if (std::string other = held ? foreign_holder(sys, holder) : ""; !other.empty()) return other;
  Result<SessionState> read = read_state(sys);
  if (!read) return cat({"its state cannot be read: ", read.failure().reason});
  const SessionState& state = *read;
  // The pid is the holder's, as /proc tells it: the state's may be a finished session's.
  return cat({"tuning ", std::to_string(state.tuning), ", stage ",
              standing_name(state.stage, state.ending), " since ", local_stamp(state.since),
              ", session pid ", holder.pid > 0 ? std::to_string(holder.pid) : "unknown"});
}

Result<> take_lock(SessionLock& lock, System& sys, const char* busy, const char* then) {
  const Result<SessionLock::Taken> taken = lock.take(sys);
  if (taken && *taken == SessionLock::Taken::yes) return {};
  // Another program's hold is named alike by every command, whatever it kept this one from.
  if (std::string other = lock_held_by_another(sys); !other.empty()) return Failure{other};
  if (!taken) return Failure{cat({"cannot lock ", taken.failure().reason}), taken.failure().error};
  return Failure{cat({busy, running_session(sys), then})};
}

Result<SessionState> read_state_to_go_on(System& sys) {
  Result<SessionState> read = read_state(sys);
  if (read && read->tuning == 0) read->tuning = highest_kept_tuning(sys);
  return read;
}

namespace {

// Removes a file the programs leave, durably; a missing one is no failure.
Result<> clear_file(System& sys, const char* fixed_path) {
  const std::string path = sys.path(fixed_path);
  if (remove_file(sys, path) || errno == ENOENT) return {};
  return failure(path, errno);
}

}  // namespace

Result<> clear_marks(System& sys) {
  Result<> cleared = clear_file(sys, yellow_marker_path);
  if (!cleared) return cleared;
  return clear_file(sys, yellow_step_path);
}

}  // namespace tune::session
