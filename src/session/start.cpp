// `tune-session start`: one tuning from its copies to its finish, in the foreground or
// detached, going on from where the last session left it.
#include <cstdio>

#include "command_support.hpp"
#include "detach.hpp"
#include "lifecycle.hpp"
#include "posix_system.hpp"
#include "process_programs.hpp"
#include "session.hpp"

namespace tune::session {

namespace {

int run_on_board(const StartOptions& options,
                 const std::function<void(int, const std::string&)>& announce, bool detached) {
  PosixSystem sys;
  ProcessPrograms programs;
  hold_signals();
  SessionOutput out;
  out.announce = announce;
  out.note = [](const std::string& line) { print_line(stdout, line); };
  out.detached = detached;
  return run_session(sys, programs, options, out);
}

}  // namespace

int start(const StartOptions& options) {
  {
    // Said at once, on the terminal or to the init script, before anything detaches.
    PosixSystem sys;
    ProcessPrograms programs;
    const std::string warning = board_warnings(sys, programs);
    if (!warning.empty()) say(stderr, {"warning: ", warning});
  }
  if (!options.foreground) {
    return run_detached([&](const std::function<void(int, const std::string&)>& announce) {
      return run_on_board(options, announce, true);
    });
  }
  return run_on_board(
      options,
      [](int status, const std::string& line) {
        print_line(status == exit_done ? stdout : stderr, "tune-session: " + line);
      },
      false);
}

}  // namespace tune::session
