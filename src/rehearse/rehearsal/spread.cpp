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

#include "tool_error.hpp"

namespace tune::rehearse {

namespace {

bool write_all(int fd, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

// A record on a worker's pipe: "INDEX DONE LENGTH\n" and the text.
std::string record(size_t index, bool done, const std::string& text) {
  return std::to_string(index) + " " + (done ? "1" : "0") + " " + std::to_string(text.size()) +
         "\n" + text;
}

[[noreturn]] void work(int fd, size_t first, size_t count, size_t step,
                       const std::function<std::string(size_t)>& job) {
  for (size_t index = first; index < count; index += step) {
    std::string out;
    try {
      out = record(index, true, job(index));
    } catch (const ToolError& failure) {
      out = record(index, false, failure.message);
    } catch (const std::exception& error) {
      out = record(index, false, error.what());
    }
    if (!write_all(fd, out)) _exit(1);
  }
  _exit(0);
}

// Takes the whole records at the front of `buffer` into `results`.
void take_records(std::string& buffer, std::vector<JobResult>& results) {
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
    buffer.erase(0, end + 1 + length);
  }
}

volatile sig_atomic_t stop_signal = 0;

void note_stop(int signal) {
  stop_signal = signal;
}

// While the workers run, a signal that would end the tool is noted instead, so that the tool
// stops them and ends cleanly; the workers themselves end by it at once.
class StopSignals {
 public:
  StopSignals() {
    stop_signal = 0;
    struct sigaction noting = {};
    noting.sa_handler = note_stop;
    sigemptyset(&noting.sa_mask);
    for (size_t i = 0; i < std::size(signals_); ++i) sigaction(signals_[i], &noting, &old_[i]);
  }
  ~StopSignals() {
    for (size_t i = 0; i < std::size(signals_); ++i) sigaction(signals_[i], &old_[i], nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  static void reset_in_worker() {
    for (int signal : signals_) ::signal(signal, SIG_DFL);
  }

 private:
  static constexpr int signals_[] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction old_[3];
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
                                         const std::function<std::string(size_t)>& job,
                                         int workers) {
  std::vector<JobResult> results(count);
  const size_t step =
      std::clamp<size_t>(static_cast<size_t>(std::max(workers, 1)), 1, std::max<size_t>(count, 1));
  struct Worker {
    pid_t pid;
    int fd;
    std::string buffer;
  };
  std::vector<Worker> running;
  StopSignals stop_signals;
  std::fflush(nullptr);  // nothing buffered before the fork is written twice
  for (size_t first = 0; first < step && first < count; ++first) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) {
      throw ToolError(status_unusable,
                      std::string("cannot start a rehearsal: ") + std::strerror(errno));
    }
    pid_t pid = ::fork();
    if (pid == 0) {
      StopSignals::reset_in_worker();
      if (stop_signal != 0) _exit(1);
      ::close(pipe_fds[0]);
      for (const Worker& other : running) ::close(other.fd);
      work(pipe_fds[1], first, count, step, job);
    }
    ::close(pipe_fds[1]);
    if (pid < 0) {
      ::close(pipe_fds[0]);
      if (running.empty()) {
        throw ToolError(status_unusable,
                        std::string("cannot start a rehearsal: ") + std::strerror(errno));
      }
      break;  // the workers already running take the jobs of this one
    }
    running.push_back(Worker{pid, pipe_fds[0], {}});
  }
  std::vector<pollfd> fds;
  for (const Worker& worker : running) fds.push_back(pollfd{worker.fd, POLLIN, 0});
  size_t open = fds.size();
  char chunk[65536];
  while (open > 0 && stop_signal == 0) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        running[i].buffer.append(chunk, static_cast<size_t>(n));
        take_records(running[i].buffer, results);
        continue;
      }
      ::close(fds[i].fd);
      fds[i].fd = -1;
      --open;
    }
  }
  if (stop_signal != 0) {
    for (const Worker& worker : running) ::kill(worker.pid, SIGTERM);
  }
  for (size_t i = 0; i < running.size(); ++i) {
    if (fds[i].fd >= 0) ::close(fds[i].fd);
    int status = 0;
    while (::waitpid(running[i].pid, &status, 0) < 0 && errno == EINTR) {
    }
    for (size_t index = i; index < count; index += step) {
      if (!results[index].done && results[index].text.empty()) {
        results[index].text = how_it_ended(status);
      }
    }
  }
  if (stop_signal != 0) throw Interrupted{stop_signal};
  // Jobs of workers that never started: run here, one after another.
  for (size_t first = running.size(); first < step; ++first) {
    for (size_t index = first; index < count; index += step) {
      try {
        results[index] = JobResult{true, job(index)};
      } catch (const ToolError& failure) {
        results[index] = JobResult{false, failure.message};
      } catch (const std::exception& error) {
        results[index] = JobResult{false, error.what()};
      }
    }
  }
  return results;
}

}  // namespace tune::rehearse
