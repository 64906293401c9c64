// tune-rehearse for its tests (rehearse-tests, which links the tool): a rehearsal into a
// directory, a command or the whole command line called in this process as main calls it,
// the built tool run as a process, and promtool's word on the metrics it writes.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "draws.hpp"
#include "kit/board_files.hpp"
#include "kit/process.hpp"
#include "kit/temp_dir.hpp"
#include "ladder.hpp"
#include "output.hpp"
#include "rehearse_commands.hpp"
#include "report_commands.hpp"
#include "settings_presets.hpp"
#include "text.hpp"
#include "tool.hpp"
#include "tool_error.hpp"

namespace tune::rehearse {

using testing::count;
using testing::slurp;
using testing::spit;
using testing::TempDir;

inline RehearsalResult rehearse_into(const std::string& dir, RehearsalOptions options = {}) {
  options.out_dir = dir;
  return rehearse(options, nullptr);
}

// A command called as main calls it: its status, or a ToolError's status and its one line on
// standard error; with what it wrote. `as_nobody`: in a child process, as "nobody".
inline testing::Outcome call_command(const std::function<int()>& command, bool as_nobody = false) {
  const auto as_main = [&] {
    try {
      return command();
    } catch (const ToolError& failure) {
      return end_with(failure);
    }
  };
  return testing::capture_output(as_main, {.child = as_nobody, .as_nobody = as_nobody});
}

// What a report's options ask for, named as the options are: Asked().json().chip(2, 1).
struct Asked : ReportRequest {
  Asked& json() {
    ReportRequest::json = true;
    return *this;
  }
  Asked& chip(int chain, int chip) {  // CHAIN:CHIP, the chip counted from 1
    ReportRequest::chip = {slot_of_miner_chain(chain), chip - 1};
    return *this;
  }
  Asked& out(const std::string& dir) {
    ReportRequest::out = dir;
    return *this;
  }
  Asked& pictures() {
    ReportRequest::pictures = true;
    return *this;
  }
  Asked& metrics(const std::string& file) {
    ReportRequest::metrics = file;
    return *this;
  }
};

// report DIR...: one board, or a farm, each board labelled as main labels them.
inline int report_boards(const std::vector<std::string>& dirs, ReportRequest request,
                         const std::string& labels_under = "") {
  Labels labels = board_labels(dirs, labels_under);
  if (!labels.problem.empty()) throw ToolError(status_usage, labels.problem);
  request.labels = std::move(labels.labels);
  request.refused = std::move(labels.refused);
  return dirs.size() == 1 ? report_one(dirs[0], request) : report_farm(dirs, request);
}

// The tool called in this process as its main calls it, in `cwd`, with `args` as the shell
// splits them: what the command line does, without a process of its own (`as_nobody`: in a
// child as "nobody", who may not reach the built tool where the checkout is private).
inline testing::Outcome call_tune_rehearse(const std::string& cwd, const std::string& args,
                                           bool as_nobody = false) {
  const testing::Outcome split =
      testing::run_process({"/bin/sh", "-c", "printf '%s\\0' " + args}, cwd);
  std::vector<std::string> words = {"tune-rehearse"};
  for (size_t at = 0; !args.empty() && at < split.output.size();) {
    const size_t end = split.output.find('\0', at);
    words.push_back(split.output.substr(at, end - at));
    at = end + 1;
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  testing::WorkingDir here(cwd);
  return call_command([&] { return run_tool(static_cast<int>(words.size()), argv.data()); },
                      as_nobody);
}

// The built tool run in `cwd` with `args` as the shell splits them.
inline testing::Outcome run_tune_rehearse(const std::string& cwd, const std::string& args) {
  return testing::run_process({"/bin/sh", "-c", "exec " TUNE_REHEARSE_PATH " " + args}, cwd);
}

// What promtool says of a metrics file: nothing when it takes the file as it is.
inline std::string promtool_problems(const std::string& path) {
  const testing::Outcome said =
      testing::run_process({"/bin/sh", "-c", "promtool check metrics < '" + path + "' 2>&1"});
  if (said.status == 127) return "promtool not found: scripts/install-deps installs it";
  return said.status == 0 ? "" : "promtool: " + said.output;
}

}  // namespace tune::rehearse
