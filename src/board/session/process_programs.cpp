#include "process_programs.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "board_files.hpp"
#include "text.hpp"

namespace tune::session {

namespace {

constexpr char program_dir[] = "/usr/sbin";

// How often a waiting session looks at its deadline: often enough to end a stage within
// seconds of it, rarely enough to cost nothing on a board.
constexpr long poll_seconds = 1;
// How long a program may take to end after SIGTERM, in polls.
constexpr int grace_polls = 10;

bool stop_seen = false;

sigset_t held_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&set, signal);
  return set;
}

void note_signal(int signal) {
  if (signal == SIGTERM || signal == SIGINT || signal == SIGHUP) stop_seen = true;
}

// Waits up to `seconds` for a held signal (0: only takes what is pending).
void wait_for_signal(long seconds) {
  sigset_t set = held_signals();
  struct timespec timeout = {seconds, 0};
  int signal = sigtimedwait(&set, nullptr, &timeout);
  if (signal > 0) note_signal(signal);
}

void child_ended(int) {}

ProgramEnd end_of(int status) {
  if (WIFSIGNALED(status)) return {true, WTERMSIG(status)};
  return {false, WEXITSTATUS(status)};
}

// Ends the program's group: SIGTERM, a grace, then SIGKILL.
ProgramEnd end_group(pid_t pid) {
  kill(-pid, SIGTERM);
  int status = 0;
  for (int poll = 0; poll < grace_polls; ++poll) {
    if (waitpid(pid, &status, WNOHANG) == pid) return end_of(status);
    wait_for_signal(poll_seconds);
  }
  kill(-pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return end_of(status);
}

[[noreturn]] void become_program(const std::string& path, pid_t session) {
  setpgid(0, 0);
  // A session that dies (killed, or cut short by a crash) takes its program with it: no
  // program runs on unsupervised, and the next start finds the board free.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != session) _exit(127);
  signal(SIGPIPE, SIG_DFL);
  signal(SIGCHLD, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const std::string name = path.substr(path.rfind('/') + 1);
  char* const argv[] = {const_cast<char*>(name.c_str()), nullptr};
  execv(path.c_str(), argv);
  _exit(127);
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

}  // namespace

void hold_signals() {
  struct sigaction action = {};
  action.sa_handler = child_ended;  // not ignored, so that it stays pending while held
  sigemptyset(&action.sa_mask);
  sigaction(SIGCHLD, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t set = held_signals();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

bool ProcessPrograms::stop_requested() {
  wait_for_signal(0);
  return stop_seen;
}

std::string ProcessPrograms::where(Program program) {
  return find_program(program_name(program));
}

bool ProcessPrograms::miner_client_found() {
  const char* path = std::getenv("PATH");
  // As the shell searches an unset PATH.
  const std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = std::min(dirs.find(':', start), dirs.size());
    std::string dir = end > start ? dirs.substr(start, end - start) : ".";
    if (access(cat({dir, "/bmminer-api"}).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

double monotonic_seconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

Result<ProgramRun> ProcessPrograms::run(Program program, double hours,
                                        FunctionRef<void()> meanwhile) {
  ProgramRun run;
  const std::string path = where(program);
  if (path.empty()) return failure(program_name(program), ENOENT);
  const pid_t session = getpid();
  const double deadline = monotonic_seconds() + hours * 3600;
  pid_t pid = fork();
  if (pid < 0) return failure(path, errno);
  if (pid == 0) become_program(path, session);
  setpgid(pid, pid);  // also here, so that a signal to the group reaches it at once
  for (;;) {
    int status = 0;
    pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid) {
      run.ending = ProgramRun::Ending::ended;
      run.end = end_of(status);
      return run;
    }
    if (stop_requested()) {
      run.ending = ProgramRun::Ending::stopped;
    } else if (monotonic_seconds() >= deadline) {
      run.ending = ProgramRun::Ending::timed_out;
    } else {
      wait_for_signal(poll_seconds);
      meanwhile();
      continue;
    }
    run.end = end_group(pid);
    return run;
  }
}

}  // namespace tune::session
