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
  std::string error;
  LockHolder holder;
  return lock_is_held(sys, error, &holder) ? foreign_holder(sys, holder) : "";
}

std::string running_session(System& sys) {
  std::string error;
  LockHolder holder;
  const bool held = lock_is_held(sys, error, &holder);
  if (std::string other = held ? foreign_holder(sys, holder) : ""; !other.empty()) return other;
  StateRead read = read_state(sys);
  if (!read.error.empty()) return cat({"its state cannot be read: ", read.error});
  const SessionState& state = read.state;
  // The pid is the holder's, as /proc tells it: the state's may be a finished session's.
  return cat({"tuning ", std::to_string(state.tuning), ", stage ", stage_name(state.stage),
              " since ", local_stamp(state.since), ", session pid ",
              holder.pid > 0 ? std::to_string(holder.pid) : "unknown"});
}

std::string take_lock(SessionLock& lock, System& sys, const char* busy, const char* then) {
  std::string error;
  const SessionLock::Taken taken = lock.take(sys, error);
  // Another program's hold is named alike by every command, whatever it kept this one from.
  if (taken != SessionLock::Taken::yes) {
    if (std::string other = lock_held_by_another(sys); !other.empty()) return other;
  }
  switch (taken) {
    case SessionLock::Taken::failed:
      return cat({"cannot lock ", error});
    case SessionLock::Taken::held_elsewhere:
      return cat({busy, running_session(sys), then});
    case SessionLock::Taken::yes:
      break;
  }
  return "";
}

StateRead read_state_to_go_on(System& sys) {
  StateRead read = read_state(sys);
  if (read.error.empty() && read.state.tuning == 0) read.state.tuning = highest_kept_tuning(sys);
  return read;
}

namespace {

// Removes a file the programs leave, durably; a missing one is no failure.
std::string clear_file(System& sys, const char* fixed_path) {
  const std::string path = sys.path(fixed_path);
  if (remove_file(sys, path) || errno == ENOENT) return "";
  return failure(path, errno);
}

}  // namespace

std::string clear_marks(System& sys) {
  std::string error = clear_file(sys, yellow_marker_path);
  return error.empty() ? clear_file(sys, yellow_step_path) : error;
}

}  // namespace tune::session
