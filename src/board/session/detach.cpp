#include "detach.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board_files.hpp"
#include "command_support.hpp"
#include "exit_status.hpp"
#include "files.hpp"
#include "text.hpp"

namespace tune::session {

namespace {

// The session's log in /tmp, appended to when it is this user's own regular file, else made
// anew: a file someone else left there (or a pipe, which would block) gets none of it.
int open_session_log() {
  int fd = open(session_log_path, O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat info;
  if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid())) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    unlink(session_log_path);
    fd = open(session_log_path, O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC,
              0644);
  }
  if (fd >= 0) fcntl(fd, F_SETFL, O_APPEND);  // blocking again, as output expects
  return fd;
}

// A detached session's output (and its programs') goes to its log in /tmp.
void detach_streams() {
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int out = open_session_log();
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

}  // namespace

int run_detached(FunctionRef<int(FunctionRef<void(int, const std::string&)>)> session) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    say(stderr, {"cannot detach: ", error_text(errno)});
    return exit_busy;
  }
  pid_t child = fork();
  if (child < 0) {
    say(stderr, {"cannot detach: ", error_text(errno)});
    return exit_busy;
  }
  if (child == 0) {
    close(ends[0]);
    setsid();
    detach_streams();
    // Only the first line goes through the pipe, as the parent returns with it; the rest
    // is the log's.
    bool told = false;
    int status = session([&](int status, const std::string& line) {
      const std::string said = "tune-session: " + line;
      if (told) {
        print_line(status == exit_done ? stdout : stderr, said);
        return;
      }
      told = true;
      write_all(ends[1], cat({std::to_string(status), " ", said}));
      close(ends[1]);
    });
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

}  // namespace tune::session
