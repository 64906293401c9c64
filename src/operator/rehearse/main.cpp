// tune-rehearse: a whole tuning on a simulated machine, or a report on boards' files. This
// is its process: the tool run (tool.cpp), and every failure ended here in one line and a
// status.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>

#include "spread.hpp"
#include "tool.hpp"
#include "tool_error.hpp"

int main(int argc, char** argv) {
  using namespace tune;
  using namespace tune::rehearse;
  try {
    int status = run_tool(argc, argv);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, "tune-rehearse: standard output: %s\n", std::strerror(errno));
      return status_unusable;
    }
    return status;
  } catch (const ToolError& failure) {
    return end_with(failure);
  } catch (const Interrupted& interrupted) {
    // Its rehearsals stopped and their directory gone: ends as the signal would have ended it.
    std::fflush(stdout);
    std::signal(interrupted.signal, SIG_DFL);
    std::raise(interrupted.signal);
    return status_unusable;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tune-rehearse: %s\n", error.what());
    return status_unusable;
  }
}
