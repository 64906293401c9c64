#include "process.hpp"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace tune::testing {

namespace {

constexpr uid_t nobody = 65534;

// A file of no name that takes what a stream writes, read back whole.
class Sink {
 public:
  Sink() : file_(std::tmpfile()) {
    if (file_ == nullptr) ADD_FAILURE() << "no temporary file for a stream";
  }
  ~Sink() {
    if (file_ != nullptr) std::fclose(file_);
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;
  int fd() const { return fileno(file_); }
  std::string text() const {
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = pread(fd(), buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;)
      text.append(buffer, static_cast<size_t>(n));
    return text;
  }

 private:
  FILE* file_;
};

// In a child: its two streams to the sinks, and "nobody" when asked and root.
bool become(const Sink& out, const Sink& err, bool as_nobody) {
  if (dup2(out.fd(), 1) < 0 || dup2(err.fd(), 2) < 0) return false;
  if (as_nobody && getuid() == 0) {
    return setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0;
  }
  return true;
}

void wait_into(pid_t pid, Outcome& outcome) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  outcome.exited = WIFEXITED(status);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

Outcome run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
  Outcome outcome;
  Sink out, err;
  std::vector<std::string> args = argv;
  std::vector<char*> raw;
  for (std::string& arg : args) raw.push_back(arg.data());
  raw.push_back(nullptr);
  // The child's failure to start, told back through a pipe that its exec closes.
  int told[2];
  if (pipe2(told, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "no pipe to start " << argv[0];
    return outcome;
  }
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(told[0]);
    if (become(out, err, options.as_nobody) &&
        (options.cwd.empty() || chdir(options.cwd.c_str()) == 0)) {
      execvpe(raw[0], raw.data(), environ);
    }
    const int error = errno;
    (void)!write(told[1], &error, sizeof error);
    _exit(127);
  }
  close(told[1]);
  int error = 0;
  const bool failed = pid < 0 || read(told[0], &error, sizeof error) == sizeof error;
  close(told[0]);
  if (pid > 0) wait_into(pid, outcome);
  if (failed) ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(error);
  outcome.output = out.text();
  outcome.errors = err.text();
  return outcome;
}

Outcome capture_output(const std::function<int()>& body, bool as_nobody) {
  Outcome outcome;
  Sink out, err;
  std::fflush(nullptr);
  if (as_nobody && getuid() == 0) {
    const pid_t pid = fork();
    if (pid == 0) {
      int status = 125;
      try {
        if (become(out, err, true)) status = body();
      } catch (...) {
        std::fputs("an exception left the call\n", stderr);
      }
      std::fflush(nullptr);
      _exit(status);
    }
    if (pid < 0) ADD_FAILURE() << "cannot fork: " << std::strerror(errno);
    if (pid > 0) wait_into(pid, outcome);
  } else {
    const int saved_out = dup(1), saved_err = dup(2);
    dup2(out.fd(), 1);
    dup2(err.fd(), 2);
    struct Restore {
      int out, err;
      ~Restore() {
        std::fflush(nullptr);
        dup2(out, 1);
        dup2(err, 2);
        close(out);
        close(err);
      }
    };
    {
      Restore restore{saved_out, saved_err};
      outcome.status = body();
    }
    outcome.exited = true;
  }
  outcome.output = out.text();
  outcome.errors = err.text();
  return outcome;
}

void expect_every_part(const std::string& expected, const Outcome& outcome) {
  const std::string both = outcome.output + outcome.errors;
  for (size_t at = 0, bar; at <= expected.size(); at = bar + 1) {
    bar = expected.find('|', at);
    if (bar == std::string::npos) bar = expected.size();
    const std::string part = expected.substr(at, bar - at);
    EXPECT_NE(both.find(part), std::string::npos) << part << "\n" << both;
  }
}

}  // namespace tune::testing
