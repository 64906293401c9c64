// A tool run as a process, and a call in this one, seen the same way: how it ended, what it
// wrote to standard output and to standard error.
#pragma once

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

struct ProcessOptions {
  std::string cwd;         // where it runs; empty: here
  bool as_nobody = false;  // as the unprivileged user "nobody" when root (root reads every file)
};

// Runs `argv` (its first word a path, or a program on PATH) with this process's environment
// and waits for it.
Outcome run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Calls `body` with its standard output and error going to files, and gives what it wrote and
// its return value as the status. `as_nobody` (when root): in a child process of this one,
// as "nobody".
Outcome capture_output(const std::function<int()>& body, bool as_nobody = false);

// Each "|"-separated part of `expected` is in the outcome's output or its errors.
void expect_every_part(const std::string& expected, const Outcome& outcome);

}  // namespace tune::testing
