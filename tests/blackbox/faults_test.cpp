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

TEST(BlackBoxFaults, AFullConfigFileSystemKeepsTheOldFilesWhole) {
  const struct {
    const char* program;
    int status;
    std::string last_entry;
  } programs[] = {
      // The chain lines cannot be stored: the run ends as for an unwritable file.
      {"chain-tuner", 1, "Can't open /config/config.conf\n"},
      // Overrides and steps that cannot be stored are passed over; the run goes on.
      {"yellow-fixer", 0, "Number of checks is 15, quit\n"},
  };
  for (const auto& p : programs) {
    SCOPED_TRACE(p.program);
    Sandbox sandbox;
    sandbox.write("config/autoTune.conf", "restarts_count=2&desired_rate=99999");
    sandbox.write("config/manual_freqs.txt", "2:1:70\n");
    std::string config = sandbox.text("config/config.conf");
    RunOptions options;
    options.full_config_bytes = 64 * 1024;
    Outcome outcome = sandbox.run(p.program, options);
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.status, p.status);
    EXPECT_EQ(sandbox.log().back(), p.last_entry);
    EXPECT_EQ(sandbox.text("config/config.conf"), config);
    EXPECT_EQ(sandbox.text("config/manual_freqs.txt"), "2:1:70\n");
    EXPECT_FALSE(sandbox.exists("config/yellow-step"));
    EXPECT_FALSE(sandbox.exists("config/.config.conf.tune-new"));
    EXPECT_FALSE(sandbox.exists("config/.manual_freqs.txt.tune-new"));
  }
}

}  // namespace
}  // namespace tune::blackbox
