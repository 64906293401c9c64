// A whole machine in memory and one directory: fixed paths mapped under a root directory,
// a virtual clock that sleeping advances, the shell commands and the statistics command
// answered by a simulated miner, and the process exit turned into a value.
#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "system.hpp"

namespace tune::sim {

class SimMiner;

// Thrown by exit_process so that a run ends where the process would have ended.
struct SimulatedExit {
  int status;
};

struct RunResult {
  bool exited = false;  // ended through an exit rather than by returning from main
  int status = 0;       // as passed to exit, or main's return value
  int parent_status() const { return status & 0xff; }  // what the parent's wait() reports
};

inline constexpr std::time_t sim_epoch = 1798761600;  // the virtual clock's start

class SimSystem final : public System {
 public:
  // Makes a fresh temporary root directory with config/, tmp/ and sbin/ under it, removed
  // again with the system.
  explicit SimSystem(SimMiner& miner);
  // Uses (and keeps) the given root directory, making config/, tmp/ and sbin/ under it.
  SimSystem(SimMiner& miner, const std::string& root);
  ~SimSystem() override;
  SimSystem(const SimSystem&) = delete;
  SimSystem& operator=(const SimSystem&) = delete;

  std::string path(std::string_view fixed_path) override;
  int run_shell(const char* command) override;
  PipeLine first_line_of(const char* command) override;
  void sleep_seconds(long long seconds) override;
  std::time_t now() override { return clock_; }
  int sync(int fd) override;
  [[noreturn]] void exit_process(int status) override;

  // Runs a program's main on this system and reports how it ended.
  RunResult run(const std::function<int(System&)>& program_main);

  // Test access to the mapped files.
  void write_file(std::string_view fixed_path, std::string_view content);
  std::optional<std::string> read_file(std::string_view fixed_path);
  bool exists(std::string_view fixed_path);
  void remove_file(std::string_view fixed_path);

  const std::string& root() const { return root_; }
  void set_clock(std::time_t clock) { clock_ = clock; }
  long long elapsed_seconds() const { return clock_ - sim_epoch; }
  SimMiner& miner() { return miner_; }

  // What the programs did.
  std::vector<long long> sleeps;      // every sleep asked for, in order
  std::vector<std::string> commands;  // every shell command run, in order
  int restarts = 0;                   // restart triggers written
  int stats_calls = 0;                // times the statistics command was started
  int finish_script_runs = 0;

  // Faults and answers to script.
  bool shell_unavailable = false;          // system() returns -1
  bool stats_command_unavailable = false;  // popen fails
  int finish_script_status = 0;            // what system() returns for the finishing script
  int directory_sync_error = 0;  // every sync of a directory fails with this errno (0: none)
  // What the finishing script does (a firmware's removes /config/tune-running, say), and
  // what system() returns for it; when set, it stands in for finish_script_status.
  std::function<int(SimSystem&)> finish_script;
  // Called after every sleep, shell command and statistics call: a test's view of the run
  // as it goes, and the place to inject faults or stop the run.
  std::function<void(SimSystem&)> observer;
  // Called as a sleep begins, before the clock moves: what the program did up to then,
  // at the time it did it.
  std::function<void(SimSystem&)> before_sleep;

 private:
  int shell(const char* command);
  PipeLine pipe(const char* command);

  SimMiner& miner_;
  std::string root_;
  bool remove_root_ = true;
  std::time_t clock_ = sim_epoch;
};

// Splits a log text into its entries with their stamps removed. Returns false if any entry
// does not begin with a "YYYY-MM-DD HH:MM:SS " stamp.
bool split_log_entries(const std::string& log, std::vector<std::string>& entries,
                       std::vector<std::string>* stamps = nullptr);

}  // namespace tune::sim
