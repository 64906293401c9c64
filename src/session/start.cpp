// `tune-session start`: one tuning from its copies to its finish, in the foreground or
// detached, going on from where the last session left it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "board_files.hpp"
#include "chain_tuner.hpp"
#include "command_support.hpp"
#include "copies.hpp"
#include "kept_logs.hpp"
#include "plan.hpp"
#include "posix_system.hpp"
#include "program_run.hpp"
#include "session.hpp"
#include "session_lock.hpp"
#include "session_state.hpp"
#include "yellow_fixer.hpp"

namespace tune::session {

namespace {

constexpr char program_dir[] = "/usr/sbin";

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
  // Recorded before the caller hears that chain-tuner runs, so that status says so too; a
  // cut before this record only saves the same files again.
  enter(Stage::chain_tuner);
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
    std::string error = store_file(sys_, step, "");
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

}  // namespace

int start(const StartOptions& options) {
  if (!options.foreground) return start_detached(options);
  Announcer announce(-1);
  return Session(options, announce).run();
}

}  // namespace tune::session
