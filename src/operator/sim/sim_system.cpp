#include "sim_system.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "log.hpp"
#include "miner_restart.hpp"
#include "miner_stats.hpp"
#include "sim_miner.hpp"
#include "stage_files.hpp"

namespace tune::sim {

namespace {

// The programs' own commands, as the runtime names them.
constexpr const char* restart_trigger_command = restart_command;

constexpr int shell_status(int exit_code) {
  return exit_code << 8;
}

std::string make_board_dirs(const std::string& root) {
  std::filesystem::create_directories(root);
  for (const char* dir : {"/config", "/tmp", "/sbin"}) {
    std::filesystem::create_directory(root + dir);
  }
  return root;
}

std::string make_temporary_root() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmpdir != nullptr && *tmpdir ? tmpdir : "/tmp") + "/tune-sim-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("cannot make a sim directory");
  return make_board_dirs(buffer.data());
}

bool is_stamp_at(const std::string& text, size_t pos) {
  return read_log_stamp(std::string_view(text).substr(pos)).has_value();
}

}  // namespace

SimSystem::SimSystem(SimMiner& miner) : miner_(miner), root_(make_temporary_root()) {}

SimSystem::SimSystem(SimMiner& miner, const std::string& root)
    : miner_(miner), root_(make_board_dirs(root)), remove_root_(false) {}

SimSystem::~SimSystem() {
  std::error_code ignored;
  if (remove_root_) std::filesystem::remove_all(root_, ignored);
}

std::string SimSystem::path(std::string_view fixed_path) {
  return root_ + std::string(fixed_path);
}

int SimSystem::run_shell(const char* command) {
  int status = shell(command);
  if (observer) observer(*this);
  return status;
}

int SimSystem::shell(const char* command) {
  commands.emplace_back(command);
  if (shell_unavailable) return -1;
  std::string_view cmd(command);
  if (cmd == restart_trigger_command || cmd == yellow_marker_command) {
    std::string target(cmd.substr(cmd.find('/')));
    std::ofstream out(path(target), std::ios::binary | std::ios::trunc);
    bool written = static_cast<bool>(out << "ok\n");
    out.close();
    if (cmd == restart_trigger_command) {
      // The miner restarts when the trigger is written; a failed write restarts nothing.
      if (!written) return shell_status(2);
      ++restarts;
      miner_.restart(*this);
    }
    return written ? 0 : shell_status(2);
  }
  if (cmd == finish_command) {
    ++finish_script_runs;
    return finish_script ? finish_script(*this) : finish_script_status;
  }
  return shell_status(127);
}

PipeLine SimSystem::first_line_of(const char* command) {
  PipeLine result = pipe(command);
  if (observer) observer(*this);
  return result;
}

PipeLine SimSystem::pipe(const char* command) {
  PipeLine result;
  if (std::strcmp(command, stats_command) != 0) {
    result.started = true;  // the shell runs and finds nothing to print
    return result;
  }
  ++stats_calls;
  if (stats_command_unavailable) return result;
  result.started = true;
  std::optional<std::string> answer = miner_.stats(*this);
  if (answer && !answer->empty()) {
    result.has_line = true;
    size_t end = answer->find('\n');
    result.line = end == std::string::npos ? *answer : answer->substr(0, end + 1);
  }
  return result;
}

// Nothing is synced: the simulated machine has no power to lose. A disk that fails a
// directory's sync is simulated.
int SimSystem::sync(int fd) {
  struct stat info;
  if (directory_sync_error != 0 && fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    errno = directory_sync_error;
    return -1;
  }
  return 0;
}

void SimSystem::sleep_seconds(long long seconds) {
  seconds = std::max(0LL, seconds);
  if (before_sleep) before_sleep(*this);
  sleeps.push_back(seconds);
  clock_ += seconds;
  miner_.tick(*this);
  if (observer) observer(*this);
}

void SimSystem::exit_process(int status) {
  throw SimulatedExit{status};
}

RunResult SimSystem::run(const std::function<int(System&)>& program_main) {
  try {
    return RunResult{false, program_main(*this)};
  } catch (const SimulatedExit& exit) {
    return RunResult{true, exit.status};
  }
}

void SimSystem::write_file(std::string_view fixed_path, std::string_view content) {
  std::ofstream out(path(fixed_path), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::optional<std::string> SimSystem::read_file(std::string_view fixed_path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path(fixed_path), ec)) return std::nullopt;
  std::ifstream in(path(fixed_path), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool SimSystem::exists(std::string_view fixed_path) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::symlink_status(path(fixed_path), ignored));
}

void SimSystem::remove_file(std::string_view fixed_path) {
  std::error_code ignored;
  std::filesystem::remove(path(fixed_path), ignored);
}

bool split_log_entries(const std::string& log, std::vector<std::string>& entries,
                       std::vector<std::string>* stamps) {
  entries.clear();
  if (stamps != nullptr) stamps->clear();
  size_t pos = 0;
  while (pos < log.size()) {
    if (!is_stamp_at(log, pos)) return false;
    if (stamps != nullptr) stamps->push_back(log.substr(pos, log_stamp_length - 1));
    pos += log_stamp_length;
    // An entry runs to its line break, or up to the next stamp when it has none.
    size_t end = pos;
    while (end < log.size() && log[end] != '\n' && !is_stamp_at(log, end)) ++end;
    if (end < log.size() && log[end] == '\n') ++end;
    entries.push_back(log.substr(pos, end - pos));
    pos = end;
  }
  return true;
}

}  // namespace tune::sim
