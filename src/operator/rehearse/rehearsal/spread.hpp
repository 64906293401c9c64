// Independent jobs (rehearsals, each on its own directory) spread over the machine's cores:
// each worker is a process of its own, which shares nothing with the others but a pipe to
// the tool, so that a job that crashes takes only its own results with it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tune::rehearse {

struct JobResult {
  bool done = false;
  std::string text;  // what the job returned, or why it failed
};

// The cores this process may run on.
int usable_cores();

// Thrown when SIGINT, SIGTERM or SIGHUP ends the run: the workers are stopped and waited
// for, so that whoever catches it may clean up and end by the same signal.
struct Interrupted {
  int signal;
};

// Runs job(0) .. job(count - 1) in at most `workers` processes (0: one a usable core) and
// returns their results in the jobs' order. A job that throws fails with the exception's
// message; a worker that dies fails the jobs it had not finished. `answered`, when given, is
// told how many jobs have ended each time more have.
std::vector<JobResult> spread_over_cores(size_t count,
                                         const std::function<std::string(size_t)>& job, int workers,
                                         const std::function<void(size_t)>& answered = {});

}  // namespace tune::rehearse
