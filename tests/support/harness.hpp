// A simulated machine with a tuning context on it, and helpers to look at what a run did.
// Its root holds a board's files as write_files lays them out (config/, tmp/, sbin/).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "context.hpp"
#include "kit/board_files.hpp"
#include "preload/write_faults.h"
#include "sim_miner.hpp"
#include "sim_system.hpp"

namespace tune::testing {

class SimMachine {
 public:
  SimMachine() : ctx(sys) {}

  // Log entries in order, stamps checked for their shape and removed.
  std::vector<std::string> log() {
    std::vector<std::string> entries;
    std::string text = sys.read_file("/tmp/auto-tune").value_or("");
    EXPECT_TRUE(sim::split_log_entries(text, entries)) << "badly stamped log:\n" << text;
    return entries;
  }

  // A file's text, "<missing>" when it is not there.
  std::string text(std::string_view fixed_path) {
    return sys.read_file(fixed_path).value_or("<missing>");
  }

  // Runs the body the way a process would run it: a fatal exit ends it with a status.
  sim::RunResult run(const std::function<void()>& body) {
    return sys.run([&](System&) {
      body();
      return 0;
    });
  }

  sim::SimMiner miner;
  sim::SimSystem sys{miner};
  TuneContext ctx;
};

using Entries = std::vector<std::string>;

// How many times the log holds the entry.
inline long count(const Entries& entries, const std::string& entry) {
  return std::count(entries.begin(), entries.end(), entry);
}

// The cut points a sweep over `calls` write calls tries: every stride-th from the first, and
// the last. The stride is TUNE_CRASH_POINT_STRIDE when set (1: every one), else the sweep's
// own.
inline std::vector<long> cut_points(long calls, long default_stride) {
  const char* every = std::getenv("TUNE_CRASH_POINT_STRIDE");
  const long stride = every != nullptr ? std::max(1L, std::atol(every)) : default_stride;
  std::vector<long> points;
  for (long at = 1; at <= calls; at += stride) points.push_back(at);
  if (!points.empty() && points.back() != calls) points.push_back(calls);
  return points;
}

// One failing call of an error sweep: its number among a run's write-family calls on
// /config, its name, what it gives (an errno, or SHORT_WRITE), and whether the disk stays
// full or failing from then on (see fails_on_lasting_fault).
struct Failure {
  long at = 0;
  std::string call;
  int fault = 0;
  bool lasting = false;
  std::string describe() const {
    return call + " #" + std::to_string(at) + " failing with " + write_fault_name(fault) +
           (lasting ? ", and the disk stays so" : "");
  }
};

// The failures an error sweep tries over a run whose calls were `calls` (their names, in
// order): the calls cut_points picks, each with every failure it can give, then with the
// disk full (ENOSPC, EDQUOT) or failing (EIO) from it on.
inline std::vector<Failure> failures_to_try(const std::vector<std::string>& calls,
                                            long default_stride) {
  std::vector<Failure> failures;
  for (long at : cut_points(static_cast<long>(calls.size()), default_stride)) {
    int faults[8];
    const std::string& call = calls[static_cast<size_t>(at - 1)];
    for (int k = 0, n = write_faults_of(call.c_str(), faults); k < n; ++k) {
      failures.push_back({at, call, faults[k], false});
    }
    for (int fault : {ENOSPC, EDQUOT, EIO}) failures.push_back({at, call, fault, true});
  }
  return failures;
}

// How many of each failure a sweep tried: "ENOSPC 12, EDQUOT 12, ..., lasting EIO 4".
inline std::string tally(const std::vector<Failure>& failures) {
  std::vector<std::pair<std::string, int>> counts;
  for (const Failure& failure : failures) {
    const std::string name =
        std::string(failure.lasting ? "lasting " : "") + write_fault_name(failure.fault);
    auto it = std::find_if(counts.begin(), counts.end(),
                           [&](const auto& count) { return count.first == name; });
    if (it == counts.end()) {
      counts.emplace_back(name, 1);
    } else {
      ++it->second;
    }
  }
  std::string text;
  for (const auto& [name, count] : counts) {
    text += (text.empty() ? "" : ", ") + name + " " + std::to_string(count);
  }
  return text;
}

}  // namespace tune::testing
