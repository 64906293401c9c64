// A tool run as a process, and a call in this one, seen the same way: how it ended, what it
// wrote to standard output and to standard error.
#pragma once

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace tune::testing {

struct Outcome {
  bool exited = false;  // ended normally (not by a signal), as the shell sees it
  int status = -1;      // the exit status the shell reports: $?
  std::string output;   // what it wrote to standard output
  std::string errors;   // and to standard error
};

// Where a call runs: here, or in a child process of this one (as the unprivileged user
// "nobody" when asked and root: root passes every permission check).
struct Where {
  bool child = false;
  bool as_nobody = false;
};

// Calls `body` with standard output and error going to files of no name: what it wrote, and
// what it returned as the status.
inline Outcome capture_output(const std::function<int()>& body, Where where = {}) {
  FILE* const files[] = {std::tmpfile(), std::tmpfile()};
  std::fflush(nullptr);
  const int kept[] = {dup(1), dup(2)};
  struct Restore {
    const int* kept;
    ~Restore() {
      std::fflush(nullptr);
      for (int fd : {1, 2}) {
        dup2(kept[fd - 1], fd);
        close(kept[fd - 1]);
      }
    }
  };
  Outcome outcome;
  {
    const Restore restore{kept};
    for (int fd : {1, 2}) dup2(fileno(files[fd - 1]), fd);
    if (!where.child) {
      outcome.status = body();
      outcome.exited = true;
    } else if (const pid_t pid = fork(); pid == 0) {
      int status = 125;
      try {
        const bool nobody = where.as_nobody && getuid() == 0;
        if (!nobody || (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0))
          status = body();
      } catch (...) {
        std::fputs("an exception left the call\n", stderr);
      }
      std::fflush(nullptr);
      _exit(status);
    } else {
      int raw = 0;
      while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
      }
      outcome.exited = WIFEXITED(raw);
      outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
  }
  for (int fd : {1, 2}) {
    std::string& text = fd == 1 ? outcome.output : outcome.errors;
    char buffer[65536];
    std::fseek(files[fd - 1], 0, SEEK_SET);
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, files[fd - 1])) > 0;)
      text.append(buffer, n);
    std::fclose(files[fd - 1]);
  }
  return outcome;
}

// Runs `argv` (its first word a path, or a program on PATH) in `cwd` (empty: here) and waits.
inline Outcome run_process(const std::vector<std::string>& argv, const std::string& cwd = "",
                           bool as_nobody = false) {
  std::vector<std::string> words = argv;
  std::vector<char*> raw;
  for (std::string& word : words) raw.push_back(word.data());
  raw.push_back(nullptr);
  const std::string cannot = "cannot start " + argv[0] + ": ";
  Outcome outcome = capture_output(
      [&] {
        if (cwd.empty() || chdir(cwd.c_str()) == 0) execvp(raw[0], raw.data());
        std::fprintf(stderr, "%s%s\n", cannot.c_str(), std::strerror(errno));
        return 127;
      },
      {.child = true, .as_nobody = as_nobody});
  if (outcome.status == 127 && outcome.errors.starts_with(cannot)) ADD_FAILURE() << outcome.errors;
  return outcome;
}

// How many times `part` is in `text` (an output, a file's text).
inline size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Each "|"-separated part of `expected` is in the outcome's output or its errors.
inline void expect_every_part(const std::string& expected, const Outcome& outcome) {
  const std::string both = outcome.output + outcome.errors;
  for (size_t at = 0, bar; at <= expected.size(); at = bar + 1) {
    bar = std::min(expected.find('|', at), expected.size());
    const std::string part = expected.substr(at, bar - at);
    EXPECT_NE(both.find(part), std::string::npos) << part << "\n" << both;
  }
}

}  // namespace tune::testing
