// A simulated machine with a tuning context on it, and helpers to look at what a run did.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "context.hpp"
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

}  // namespace tune::testing
