#include "spread.hpp"

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>

#include "files.hpp"
#include "tool_error.hpp"

namespace tune::rehearse {

namespace {

// A record on a worker's pipe: "INDEX DONE LENGTH\n" and the text.
std::string record(size_t index, bool done, const std::string& text) {
  return std::to_string(index) + " " + (done ? "1" : "0") + " " + std::to_string(text.size()) +
         "\n" + text;
}

// A job's result, or why it failed: the message of what it threw.
JobResult run_job(const std::function<std::string(size_t)>& job, size_t index) {
  try {
    return JobResult{true, job(index)};
  } catch (const ToolError& failure) {
    return JobResult{false, failure.message};
  } catch (const std::exception& error) {
    return JobResult{false, error.what()};
  }
}

[[noreturn]] void work(int fd, size_t first, size_t count, size_t step,
                       const std::function<std::string(size_t)>& job) {
  for (size_t index = first; index < count; index += step) {
    JobResult result = run_job(job, index);
    if (!write_all(fd, record(index, result.done, result.text))) _exit(1);
  }
  _exit(0);
}

// Takes the whole records at the front of `buffer` into `results`.
void take_records(std::string& buffer, std::vector<JobResult>& results,
                  std::vector<bool>& answered) {
  for (;;) {
    size_t end = buffer.find('\n');
    if (end == std::string::npos) return;
    size_t index = 0, length = 0;
    int done = 0;
    if (std::sscanf(buffer.c_str(), "%zu %d %zu", &index, &done, &length) != 3 ||
        index >= results.size()) {
      buffer.clear();  // cannot be: the worker wrote it
      return;
    }
    if (buffer.size() - end - 1 < length) return;
    results[index] = JobResult{done == 1, buffer.substr(end + 1, length)};
    answered[index] = true;
    buffer.erase(0, end + 1 + length);
  }
}

volatile sig_atomic_t stop_signal = 0;

void note_stop(int signal) {
  stop_signal = signal;
}

// While the workers run, a signal that would end the tool is noted instead, so that the tool
// stops them and ends cleanly; the workers themselves end by it at once. The signals are
// held back but while the tool waits for its workers (`waiting`): one that came between a
// look at stop_signal and the wait would otherwise wait for ever.
class StopSignals {
 public:
  StopSignals() {
    stop_signal = 0;
    struct sigaction noting = {};
    noting.sa_handler = note_stop;
    sigemptyset(&noting.sa_mask);
    sigset_t stops;
    sigemptyset(&stops);
    for (size_t i = 0; i < std::size(signals_); ++i) {
      sigaction(signals_[i], &noting, &old_[i]);
      sigaddset(&stops, signals_[i]);
    }
    sigprocmask(SIG_BLOCK, &stops, &old_mask_);
    waiting_ = old_mask_;
    for (int signal : signals_) sigdelset(&waiting_, signal);
  }
  ~StopSignals() {
    sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
    for (size_t i = 0; i < std::size(signals_); ++i) sigaction(signals_[i], &old_[i], nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  void reset_in_worker() const {
    for (int signal : signals_) ::signal(signal, SIG_DFL);
    sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  // The mask to wait with: the stop signals let through.
  const sigset_t* waiting() const { return &waiting_; }

 private:
  static constexpr int signals_[] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction old_[3];
  sigset_t old_mask_, waiting_;
};

std::string how_it_ended(int status) {
  if (WIFSIGNALED(status)) {
    return std::string("its rehearsal process was killed by signal ") +
           std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
  }
  return "its rehearsal process ended with status " + std::to_string(WEXITSTATUS(status)) +
         " before its result";
}

}  // namespace

int usable_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

std::vector<JobResult> spread_over_cores(size_t count,
                                         const std::function<std::string(size_t)>& job, int workers,
                                         const std::function<void(size_t)>& on_answer) {
  if (workers <= 0) workers = usable_cores();
  std::vector<JobResult> results(count);
  std::vector<bool> answered(count, false);
  size_t told = 0;
  auto tell = [&] {
    if (!on_answer) return;
    const size_t ended = static_cast<size_t>(std::count(answered.begin(), answered.end(), true));
    if (ended > told) on_answer(told = ended);
  };
  // Lane k holds jobs k, k + lanes, k + 2 lanes...: one worker at a time runs a lane.
  const size_t lanes =
      std::clamp<size_t>(static_cast<size_t>(std::max(workers, 1)), 1, std::max<size_t>(count, 1));
  struct Worker {
    pid_t pid = -1;
    int fd = -1;
    std::string buffer;
  };
  std::vector<Worker> running(std::min(lanes, count));
  std::vector<pollfd> fds(running.size(), pollfd{-1, POLLIN, 0});
  StopSignals stop_signals;
  auto next_unanswered = [&](size_t lane) {
    size_t index = lane;
    while (index < count && answered[index]) index += lanes;
    return index;
  };
  // A worker for the lane's jobs from `from` on; false when the system gives none.
  auto start = [&](size_t lane, size_t from) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return false;
    std::fflush(nullptr);  // nothing buffered before the fork is written twice
    pid_t pid = ::fork();
    if (pid == 0) {
      stop_signals.reset_in_worker();
      if (stop_signal != 0) _exit(1);
      ::close(pipe_fds[0]);
      for (const Worker& other : running) {
        if (other.fd >= 0) ::close(other.fd);
      }
      work(pipe_fds[1], from, count, lanes, job);
    }
    ::close(pipe_fds[1]);
    if (pid < 0) {
      ::close(pipe_fds[0]);
      return false;
    }
    running[lane] = Worker{pid, pipe_fds[0], {}};
    fds[lane].fd = pipe_fds[0];
    return true;
  };
  auto fail_rest_of_lane = [&](size_t lane, const std::string& why) {
    for (size_t index = next_unanswered(lane); index < count; index += lanes) {
      if (!answered[index]) results[index] = JobResult{false, why};
      answered[index] = true;
    }
  };
  for (size_t lane = 0; lane < running.size(); ++lane) {
    if (!start(lane, lane)) {
      if (lane == 0) {
        throw ToolError(status_unusable,
                        std::string("cannot start a rehearsal: ") + std::strerror(errno));
      }
      // The lanes that have workers run on; this one's jobs run here once they are done.
    }
  }
  size_t open = 0;
  for (const pollfd& fd : fds) open += fd.fd >= 0;
  char chunk[65536];
  while (open > 0 && stop_signal == 0) {
    if (::ppoll(fds.data(), fds.size(), nullptr, stop_signals.waiting()) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (size_t lane = 0; lane < fds.size(); ++lane) {
      if (fds[lane].fd < 0 || fds[lane].revents == 0) continue;
      ssize_t n = ::read(fds[lane].fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        running[lane].buffer.append(chunk, static_cast<size_t>(n));
        take_records(running[lane].buffer, results, answered);
        tell();
        continue;
      }
      // The worker has ended: when before its lane's end, the job it was on fails, and a new
      // worker takes the lane's other jobs.
      ::close(fds[lane].fd);
      fds[lane].fd = -1;
      --open;
      int status = 0;
      while (::waitpid(running[lane].pid, &status, 0) < 0 && errno == EINTR) {
      }
      running[lane] = Worker{};
      size_t lost = next_unanswered(lane);
      if (lost >= count) continue;
      results[lost] = JobResult{false, how_it_ended(status)};
      answered[lost] = true;
      tell();
      size_t rest = next_unanswered(lane);
      if (rest >= count || stop_signal != 0) continue;
      if (start(lane, rest)) {
        ++open;
      } else {
        fail_rest_of_lane(lane, std::string("cannot start a rehearsal: ") + std::strerror(errno));
      }
    }
  }
  for (size_t lane = 0; lane < running.size(); ++lane) {
    if (running[lane].pid < 0) continue;
    // At once, even a worker someone stopped: what it was doing is given up anyway.
    if (stop_signal != 0) ::kill(running[lane].pid, SIGKILL);
    ::close(running[lane].fd);
    int status = 0;
    while (::waitpid(running[lane].pid, &status, 0) < 0 && errno == EINTR) {
    }
    fail_rest_of_lane(lane, how_it_ended(status));
  }
  if (stop_signal != 0) throw Interrupted{stop_signal};
  // Lanes no worker could take: run here, one job after another.
  for (size_t index = 0; index < count; ++index) {
    if (answered[index]) continue;
    results[index] = run_job(job, index);
    answered[index] = true;
    tell();
  }
  return results;
}

}  // namespace tune::rehearse
