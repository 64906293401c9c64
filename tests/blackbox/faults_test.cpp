// Faults around the built programs: a miner client that is missing or never reports its
// running time, and /config on a full file system.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "sandbox.hpp"

namespace tune::blackbox {
namespace {

using Entries = std::vector<std::string>;

// The twelve chain lines and the miner's own lines of a whole config.conf.
void expect_whole_chain_config(const std::string& config) {
  EXPECT_TRUE(config.starts_with("bitmain-fan-ctrl=false\n")) << config;
  EXPECT_TRUE(config.ends_with("api-listen=true") || config.ends_with("api-listen=true\n"))
      << config;
  for (int digit = 1; digit <= 6; ++digit) {
    std::regex freq("\nbitmain-freq" + std::to_string(digit) + "=[0-9]+\n");
    std::regex voltage("\nbitmain-voltage" + std::to_string(digit) + "=[0-9]+\n");
    EXPECT_TRUE(std::regex_search(config, freq)) << config;
    EXPECT_TRUE(std::regex_search(config, voltage)) << config;
  }
}

TEST(BlackBoxFaults, AMinerThatNeverReportsItsRunningTimeIsWaitedForOneEntryPerTry) {
  const struct {
    const char* name;
    std::function<void(Sandbox&)> arrange;
  } faults[] = {
      {"client missing: only the shell runs", [](Sandbox& s) { s.remove("sim/bin/bmminer-api"); }},
      {"no Elapsed=", [](Sandbox& s) { s.write("sim/miner.conf", "elapsed=never\n"); }},
  };
  for (const auto& fault : faults) {
    for (const char* program : {"chain-tuner", "yellow-fixer"}) {
      SCOPED_TRACE(std::string(program) + ", " + fault.name);
      Sandbox sandbox;
      fault.arrange(sandbox);
      sandbox.write("sim/time-limit", "600\n");  // virtual seconds, then the run is killed
      Outcome outcome = sandbox.run(program);
      EXPECT_EQ(outcome.status, 128 + 9);  // killed at the limit, still waiting
      Entries log = sandbox.log();
      // 5 seconds after the trigger, then one try every 30: the 20th pause passes 600.
      long tries = std::count(log.begin(), log.end(), "Not started yet, wait 30 seconds\n");
      EXPECT_EQ(tries, 20);
      EXPECT_EQ(log.back(), "Not started yet, wait 30 seconds\n");
      EXPECT_EQ(sandbox.text("sim/clock"), "605\n");
      expect_whole_chain_config(sandbox.text("config/config.conf"));
    }
  }
}

TEST(BlackBoxFaults, AFullConfigFileSystemKeepsConfigConfWhole) {
  Sandbox sandbox;
  sandbox.write("config/autoTune.conf", "restarts_count=2&desired_rate=99999");
  RunOptions options;
  options.full_config_bytes = 64 * 1024;
  Outcome outcome = sandbox.run("chain-tuner", options);
  EXPECT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.status, 0);
  // Rewritten in place, the file reuses the space its truncation freed.
  std::string config = sandbox.text("config/config.conf");
  expect_whole_chain_config(config);
  EXPECT_NE(config.find("bitmain-voltage1=940"), std::string::npos) << config;
  EXPECT_EQ(sandbox.log().back(), "Auto tune is done, exit\n");
  // The overrides file had no space to grow into: it holds whole lines or none.
  std::string overrides = sandbox.text("config/manual_freqs.txt");
  EXPECT_TRUE(std::regex_match(overrides, std::regex("([0-9]+:[0-9]+:[0-9]+\n)*"))) << overrides;
}

}  // namespace
}  // namespace tune::blackbox
