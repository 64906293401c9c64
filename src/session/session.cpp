#include "session.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "board_files.hpp"
#include "chain_tuner.hpp"
#include "copies.hpp"
#include "files.hpp"
#include "kept_logs.hpp"
#include "miner_restart.hpp"
#include "plan.hpp"
#include "posix_system.hpp"
#include "program_run.hpp"
#include "session_lock.hpp"
#include "session_state.hpp"
#include "yellow_fixer.hpp"

namespace tune::session {

namespace {

constexpr char program_dir[] = "/usr/sbin";
// How long stop waits for the session to record the stop and let go of the lock.
constexpr int stop_wait_tenths = 600;

void pause_tenth() {
  struct timespec pause = {0, 100'000'000};
  nanosleep(&pause, nullptr);
}

void print_line(std::FILE* stream, const std::string& line) {
  std::fprintf(stream, "%s\n", line.c_str());
  std::fflush(stream);
}

// One line of tune-session's own: its name, then the pieces.
void say(std::FILE* stream, std::initializer_list<std::string_view> pieces) {
  print_line(stream, "tune-session: " + cat(pieces));
}

// "tuning 3, stage chain-tuner since 2026-12-08 04:44:49, session pid 1234"
std::string running_session(System& sys) {
  StateRead read = read_state(sys);
  if (!read.error.empty()) return cat({"its state cannot be read: ", read.error});
  const SessionState& state = read.state;
  return cat({"tuning ", std::to_string(state.tuning), ", stage ", stage_name(state.stage),
              " since ", local_stamp(state.since), ", session pid ", std::to_string(state.pid)});
}

// Takes the lock and reads the state; on failure `error` is the line to say (without the
// program's name): the lock or the state cannot be had, or another session runs (then
// `busy` and `then` frame what it does).
StateRead lock_and_read(SessionLock& lock, System& sys, const char* busy, const char* then) {
  StateRead read;
  std::string error;
  switch (lock.take(sys, error)) {
    case SessionLock::Taken::failed:
      read.error = cat({"cannot lock ", error});
      return read;
    case SessionLock::Taken::held_elsewhere:
      read.error = cat({busy, running_session(sys), then});
      return read;
    case SessionLock::Taken::yes:
      break;
  }
  read = read_state(sys);
  if (!read.error.empty()) read.error = cat({"cannot read ", read.error});
  return read;
}

// A tuning program beside this executable, else in /usr/sbin; empty when neither is there.
std::string find_program(const char* name) {
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    std::string beside(self, static_cast<size_t>(length));
    beside = beside.substr(0, beside.rfind('/') + 1) + name;
    if (access(beside.c_str(), X_OK) == 0) return beside;
  }
  std::string installed = cat({program_dir, "/", name});
  return access(installed.c_str(), X_OK) == 0 ? installed : "";
}

// Removes a file the programs leave, durably; a missing one is no failure.
std::string clear_file(System& sys, const char* fixed_path) {
  const std::string path = sys.path(fixed_path);
  if (remove_file(path) || errno == ENOENT) return "";
  return failure(path, errno);
}

std::string clear_marks(System& sys) {
  std::string error = clear_file(sys, yellow_marker_path);
  return error.empty() ? clear_file(sys, yellow_step_path) : error;
}

// A detached session's output (and its programs') goes to its log in /tmp.
void detach_streams() {
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int out = open(session_log_path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (out < 0) out = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (in >= 0) dup2(in, STDIN_FILENO);
  if (out >= 0) {
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
  }
  for (int fd : {in, out}) {
    if (fd > STDERR_FILENO) close(fd);
  }
}

// Tells whoever ran `start` how it went: on the terminal, or through a pipe to the parent
// that waits while a detached session gets going.
class Announcer {
 public:
  explicit Announcer(int pipe_fd) : fd_(pipe_fd) {}

  bool detached() const { return detached_; }

  // On a terminal every call prints (the start, then the outcome); through the pipe only
  // the first goes, as the parent returns with it.
  void operator()(int status, std::initializer_list<std::string_view> pieces) {
    const std::string line = "tune-session: " + cat(pieces);
    if (!detached_) {
      print_line(status == exit_done ? stdout : stderr, line);
      return;
    }
    if (done_) return;
    done_ = true;
    std::string message = cat({std::to_string(status), " ", line});
    const char* data = message.data();
    size_t left = message.size();
    while (left > 0) {
      ssize_t written = write(fd_, data, left);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) break;
      data += written;
      left -= static_cast<size_t>(written);
    }
    close(fd_);
  }

 private:
  int fd_;
  bool detached_ = fd_ >= 0;
  bool done_ = false;
};

class Session {
 public:
  Session(const StartOptions& options, Announcer& announce)
      : options_(options), announce_(announce) {}

  int run();

 private:
  bool begin();
  bool save();
  bool chain_tuner_stage();
  bool hand_over();
  bool yellow_fixer_stage();
  bool run_stage_program(Stage stage, const char* name, const std::string& path, double hours,
                         std::optional<ProgramEnd>& end);

  void note(std::initializer_list<std::string_view> what);
  void record();
  void enter(Stage stage);
  bool end_early(Stage how, const std::string& reason);
  std::string tuning_name() const { return "tuning " + std::to_string(state_.tuning); }

  PosixSystem sys_;
  const StartOptions& options_;
  Announcer& announce_;
  SessionLock lock_;
  SessionState state_;
  std::string chain_tuner_path_, yellow_fixer_path_;
};

void Session::note(std::initializer_list<std::string_view> what) {
  print_line(stdout, cat({local_stamp(sys_.now()), " ", tuning_name(), ": ", cat(what)}));
}

// The state is the session's memory across cuts, but the files the programs leave are
// the truth it goes by: a state that cannot be stored is noted and the work goes on.
void Session::record() {
  std::string error = write_state(sys_, state_);
  if (!error.empty()) note({"cannot record the state: ", error});
}

void Session::enter(Stage stage) {
  state_.stage = stage;
  state_.at = Stage::none;
  state_.reason.clear();
  state_.since = sys_.now();
  record();
}

// Records a stage that did not finish (failed, stopped, timed out) and ends the session.
bool Session::end_early(Stage how, const std::string& reason) {
  state_.at = state_.standing();
  state_.stage = how;
  state_.reason = reason;
  state_.since = sys_.now();
  record();
  const char* colon = reason.empty() ? "" : ": ";
  note({stage_name(how), " in ", stage_name(state_.at), colon, reason});
  announce_(exit_failed,
            {tuning_name(), " ", stage_name(how), " in ", stage_name(state_.at), colon, reason});
  return false;
}

int Session::run() {
  chain_tuner_path_ = find_program("chain-tuner");
  yellow_fixer_path_ = find_program("yellow-fixer");
  for (const auto& [name, path] : {std::pair{"chain-tuner", &chain_tuner_path_},
                                   std::pair{"yellow-fixer", &yellow_fixer_path_}}) {
    if (path->empty()) {
      announce_(exit_busy, {name, " is neither beside tune-session nor in ", program_dir});
      return exit_busy;
    }
  }
  hold_signals();
  StateRead read = lock_and_read(lock_, sys_, "a tuning is already running: ", "");
  if (!read.error.empty()) {
    announce_(exit_busy, {read.error});
    return exit_busy;
  }
  state_ = read.state;
  if (!begin()) return exit_failed;
  while (state_.stage != Stage::finished) {
    if (stop_requested()) {
      end_early(Stage::stopped, "");
      return exit_failed;
    }
    bool going_on =
        state_.standing() == Stage::chain_tuner ? chain_tuner_stage() : yellow_fixer_stage();
    if (!going_on) return exit_failed;
  }
  announce_(exit_done, {tuning_name(), " finished"});
  return exit_done;
}

// Decides between a new tuning and the one under way, records it, and tells the caller.
bool Session::begin() {
  const BoardMarks marks = read_marks(sys_);
  const Next next = next_step(state_, marks);
  const std::string plan = describe_next(next, marks);
  if (next == Next::finished_then_new) {
    state_.stage = Stage::finished;
    state_.since = sys_.now();
    note({"yellow-fixer had finished before the session was cut: recorded as finished"});
  }
  const bool fresh = next == Next::new_tuning || next == Next::finished_then_new;
  if (fresh) {
    SessionState previous = state_;
    state_ = SessionState{};
    state_.tuning = previous.tuning + 1;
    state_.stage = Stage::saving;
    state_.began = sys_.now();
    if (previous.tuning > 0) {
      state_.previous_tuning = previous.tuning;
      state_.previous_stage = previous.stage;
      state_.previous_ended = previous.since;
    }
  } else if (is_working(state_.stage) && state_.stage != Stage::saving && state_.runs > 0) {
    // The program's run was cut (the session killed, say, with no reboot): its log is still
    // in /tmp, and the next run would empty it.
    keep_log(sys_, state_.tuning, state_.runs, stage_name(state_.stage));
  } else if (state_.stage != state_.standing()) {
    // Going on after a failure, a stop or a time-out: back in the stage it ended in.
    state_.stage = state_.standing();
    state_.at = Stage::none;
    state_.reason.clear();
  }
  state_.pid = getpid();
  state_.since = sys_.now();
  std::string error = write_state(sys_, state_);
  if (!error.empty()) {
    announce_(exit_failed, {"cannot record the tuning: ", error});
    return false;
  }
  note({fresh ? "begins" : "goes on: ", fresh ? "" : plan});
  if (state_.stage == Stage::saving && !save()) return false;
  const std::string saved =
      cat({"the miner's files are saved in ", backup_dir, "; chain-tuner runs"});
  announce_(exit_done, {tuning_name(), fresh ? " began" : " goes on", " (session pid ",
                        std::to_string(state_.pid), "): ", fresh ? saved : plan,
                        announce_.detached() ? "; see tune-session status" : ""});
  return true;
}

// The copies of a new tuning, made before anything else changes, then the programs' marks
// of the tuning before it cleared.
bool Session::save() {
  std::string error = save_copies(sys_);
  if (error.empty()) error = clear_marks(sys_);
  if (!error.empty())
    return end_early(Stage::failed, cat({"cannot save the miner's files: ", error}));
  note({"the miner's files are saved in ", set_directory(sys_, before_set)});
  // Recorded as chain-tuner starts: a cut before that only saves the same files again.
  state_.stage = Stage::chain_tuner;
  return true;
}

bool Session::run_stage_program(Stage stage, const char* name, const std::string& path,
                                double hours, std::optional<ProgramEnd>& end) {
  ++state_.runs;
  enter(stage);
  note({name, " starts (", path, ")"});
  ProgramRun run = run_program(path, hours);
  if (run.ending == ProgramRun::Ending::not_started) {
    return end_early(Stage::failed, cat({"cannot start ", run.error}));
  }
  end = run.end;
  KeptLog kept = keep_log(sys_, state_.tuning, state_.runs, name);
  note({name, " ended with ", describe(run.end), kept.path.empty() ? "" : "; its log is kept as ",
        kept.path, kept.error.empty() ? "" : "; its log cannot be kept: ", kept.error});
  if (run.ending == ProgramRun::Ending::stopped) return end_early(Stage::stopped, "");
  if (run.ending == ProgramRun::Ending::timed_out) {
    char deadline[64];
    std::snprintf(deadline, sizeof deadline, "%g hours", hours);
    return end_early(Stage::timed_out, cat({name, " ran past its deadline of ", deadline}));
  }
  return true;
}

bool Session::chain_tuner_stage() {
  // A chain-tuner that handed over before a cut is not run again.
  if (!name_exists(sys_.path(yellow_marker_path))) {
    if (!run_stage_program(Stage::chain_tuner, "chain-tuner", chain_tuner_path_,
                           options_.chain_tuner_hours, state_.chain_tuner)) {
      return false;
    }
    if (!name_exists(sys_.path(yellow_marker_path))) {
      return end_early(Stage::failed, cat({"chain-tuner ended with ", describe(*state_.chain_tuner),
                                           " without handing over (no ", yellow_marker_path, ")"}));
    }
  }
  return hand_over();
}

// yellow-fixer takes over. Its step file, empty (a fresh start to yellow-fixer), is made
// first: it then exists exactly while yellow-fixer has work left, which tells a cut
// before its first step from a cut after its finish.
bool Session::hand_over() {
  const std::string step = sys_.path(yellow_step_path);
  if (!name_exists(step)) {
    std::string error = store_file(step, "");
    if (!error.empty()) return end_early(Stage::failed, cat({"cannot hand over: ", error}));
  }
  // Recorded as yellow-fixer starts: a cut before that finds chain-tuner's marker again.
  state_.stage = Stage::yellow_fixer;
  return true;
}

bool Session::yellow_fixer_stage() {
  const std::string step = sys_.path(yellow_step_path);
  const std::string problem = read_marks(sys_).step_problem;
  if (!problem.empty())
    return end_early(Stage::failed, cat({"cannot run yellow-fixer: ", problem}));
  if (name_exists(step)) {
    if (!run_stage_program(Stage::yellow_fixer, "yellow-fixer", yellow_fixer_path_,
                           options_.yellow_fixer_hours, state_.yellow_fixer)) {
      return false;
    }
    if (*state_.yellow_fixer != ProgramEnd{}) {
      return end_early(Stage::failed,
                       cat({"yellow-fixer ended with ", describe(*state_.yellow_fixer)}));
    }
    if (name_exists(step)) {
      return end_early(Stage::failed, cat({"yellow-fixer ended before its last iteration (",
                                           yellow_step_path, " is still there)"}));
    }
  }
  enter(Stage::finished);
  note({"finished"});
  return true;
}

// A detached start: the child gets going and tells the parent how, the parent passes
// that on and returns.
int start_detached(const StartOptions& options) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    say(stderr, {"cannot detach: ", std::strerror(errno)});
    return exit_busy;
  }
  pid_t child = fork();
  if (child < 0) {
    say(stderr, {"cannot detach: ", std::strerror(errno)});
    return exit_busy;
  }
  if (child == 0) {
    close(ends[0]);
    setsid();
    detach_streams();
    Announcer announce(ends[1]);
    int status = Session(options, announce).run();
    std::fflush(nullptr);
    _exit(status);
  }
  close(ends[1]);
  std::string message;
  char buffer[512];
  for (;;) {
    ssize_t got = read(ends[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    message.append(buffer, static_cast<size_t>(got));
  }
  close(ends[0]);
  size_t space = message.find(' ');
  if (space == std::string::npos || space == 0) {
    say(stderr, {"the detached session ended without a word; see ", session_log_path});
    return exit_failed;
  }
  int status = std::atoi(message.substr(0, space).c_str());
  print_line(status == exit_done ? stdout : stderr, message.substr(space + 1));
  return status;
}

// The pid of the running session, read from the state while the lock is held; 0 when the
// state does not name a tune-session process (it is being written, say).
long long session_pid(System& sys) {
  for (int tenth = 0; tenth < 10; ++tenth) {
    StateRead read = read_state(sys);
    long long pid = read.state.pid;
    FileRead comm = read_file(cat({"/proc/", std::to_string(pid), "/comm"}), 64);
    if (pid > 1 && comm.result == FileRead::Result::read && comm.text == "tune-session\n") {
      return pid;
    }
    pause_tenth();
  }
  return 0;
}

}  // namespace

int start(const StartOptions& options) {
  if (!options.foreground) return start_detached(options);
  Announcer announce(-1);
  return Session(options, announce).run();
}

int stop() {
  PosixSystem sys;
  std::string error;
  if (!lock_is_held(sys, error)) {
    if (!error.empty()) {
      say(stderr, {"cannot tell whether a tuning runs: ", error});
      return exit_busy;
    }
    say(stdout, {"no tuning is running"});
    return exit_done;
  }
  // A pid from the state is trusted only while the lock is held: after a reboot the same
  // number may be any process.
  long long pid = session_pid(sys);
  if (pid == 0) {
    say(stderr, {"a session holds ", sys.path(lock_path),
                 " but its pid is not known; nothing was signalled"});
    return exit_busy;
  }
  if (kill(static_cast<pid_t>(pid), SIGTERM) != 0) {
    say(stderr,
        {"cannot stop the session (pid ", std::to_string(pid), "): ", std::strerror(errno)});
    return exit_failed;
  }
  for (int tenth = 0; tenth < stop_wait_tenths; ++tenth) {
    if (!lock_is_held(sys, error)) {
      SessionState state = read_state(sys).state;
      const std::string tuning = cat({"tuning ", std::to_string(state.tuning)});
      if (state.stage == Stage::stopped) {
        say(stdout,
            {tuning, " stopped in ", stage_name(state.at), "; tune-session start goes on with it"});
      } else {
        say(stdout, {tuning, " ended: ", stage_name(state.stage)});
      }
      return exit_done;
    }
    pause_tenth();
  }
  say(stderr, {"the session (pid ", std::to_string(pid), ") has not ended within a minute"});
  return exit_failed;
}

int undo(const char* set) {
  PosixSystem sys;
  SessionLock lock;
  StateRead read = lock_and_read(lock, sys, "refused while a tuning runs: ", "; stop it first");
  if (!read.error.empty()) {
    say(stderr, {read.error});
    return exit_busy;
  }
  std::string error;
  if (!set_exists(sys, set)) {
    say(stderr, {"nothing to undo: ", failure(set_directory(sys, set), ENOENT)});
    return exit_failed;
  }
  error = restore_copies(sys, set);
  if (error.empty()) error = clear_marks(sys);
  if (!error.empty()) {
    say(stderr, {"cannot put the miner's files back: ", error});
    return exit_failed;
  }
  SessionState state = read.state;
  state.stage = Stage::undone;
  state.at = Stage::none;
  state.reason.clear();
  state.undone_to = set;
  state.pid = getpid();
  state.since = sys.now();
  error = write_state(sys, state);
  if (!error.empty()) say(stderr, {"cannot record the undo: ", error});
  if (sys.run_shell(restart_command) == -1) {
    say(stderr,
        {"the miner's files are back, but the restart trigger cannot be run: ", restart_command});
    return exit_failed;
  }
  say(stdout, {"the miner's files of ", set_directory(sys, set), " are back; the miner restarts"});
  return exit_done;
}

}  // namespace tune::session
