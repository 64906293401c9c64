// The one seam between the tuning code and the world outside memory: where the fixed paths
// live, the shell and pipe commands, the sleeps, the clock and the process exit.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace tune {

// What reading the first line of a command's output gave.
struct PipeLine {
  bool started = false;   // the pipe could be opened (popen succeeded)
  bool has_line = false;  // at least one byte could be read
  std::string line;       // the first line, with its "\n" when it had one
};

class System {
 public:
  virtual ~System() = default;

  // Where the fixed path (such as "/config/config.conf") lives on this system.
  virtual std::string path(std::string_view fixed_path) = 0;
  // Runs a shell command as system() does and returns its raw status (-1: no shell).
  virtual int run_shell(const char* command) = 0;
  // Starts a command with a pipe from its output and reads its first line.
  virtual PipeLine first_line_of(const char* command) = 0;
  // Blocks for the given number of seconds; zero or less returns at once.
  virtual void sleep_seconds(long long seconds) = 0;
  virtual std::time_t now() = 0;
  // Makes what was written to an open file (or a directory's new, renamed and removed
  // names) survive a power cut: 0, or -1 with errno set. The board syncs; the simulated
  // machine has no power to lose and does nothing.
  virtual int sync(int fd) = 0;
  [[noreturn]] virtual void exit_process(int status) = 0;
};

}  // namespace tune
