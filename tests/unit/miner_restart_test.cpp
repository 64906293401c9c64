#include "miner_restart.hpp"

#include <climits>

#include "chain_tuner.hpp"
#include "harness.hpp"
#include "yellow_fixer.hpp"

namespace tune {
namespace {

using testing::Entries;
using testing::SimMachine;
using Sleeps = std::vector<long long>;

TEST(ParseElapsed, TakesTheDigitsAfterTheFirstElapsed) {
  EXPECT_EQ(parse_elapsed("STATS=0,Elapsed=185,Calls=0\n"), 185);
  EXPECT_EQ(parse_elapsed("Elapsed=7|Elapsed=9,"), 7);
  EXPECT_EQ(parse_elapsed("Elapsed=42"), 42);  // no "," after it
  EXPECT_EQ(parse_elapsed("Elapsed=42\n"), 42);
  EXPECT_EQ(parse_elapsed("Elapsed=,x"), 0);
  EXPECT_EQ(parse_elapsed("elapsed=5,"), -1);
  EXPECT_EQ(parse_elapsed(""), -1);
  EXPECT_EQ(parse_elapsed("Elapsed=" + std::string(150, '9') + ","), INT_MAX);
  EXPECT_EQ(parse_elapsed("Elapsed=" + std::string(97, '0') + "12345,"), 12);  // 99 kept
  EXPECT_EQ(parse_elapsed(std::string("x\0Elapsed=5,", 12)), -1);  // the line ends at NUL
}

TEST(RestartMiner, ChainTunerReadsOnceAndSleepsTheMissingTime) {
  SimMachine m;
  m.miner.stats_script = {"STATS=0,Elapsed=0,x=1\n"};
  restart_miner(m.ctx, check_miner_started);
  EXPECT_EQ(m.sys.commands, (std::vector<std::string>{"echo ok > /config/restart"}));
  EXPECT_EQ(*m.sys.read_file("/config/restart"), "ok\n");
  EXPECT_EQ(m.sys.sleeps, (Sleeps{5, 180}));
  EXPECT_EQ(m.sys.stats_calls, 1);  // the running time is not read again
  EXPECT_EQ(m.log(),
            (Entries{"Elapsed time: 0\n",
                     "Elapsed time is 0, need to wait another 180 seconds to reach 180 ...\n"}));
}

TEST(RestartMiner, YellowFixerReadsAgainUntilTheTargetIsReached) {
  SimMachine m;
  m.miner.stats_script = {"Elapsed=0,\n", "Elapsed=170,\n", "Elapsed=180,\n"};
  restart_miner(m.ctx, wait_for_elapsed);
  EXPECT_EQ(m.sys.sleeps, (Sleeps{5, 180, 10}));
  EXPECT_EQ(m.sys.stats_calls, 3);
  EXPECT_EQ(m.log(),
            (Entries{"Elapsed time is 0, need to wait another 180 seconds to reach 180 ...\n",
                     "Elapsed time is 170, need to wait another 10 seconds to reach 180 ...\n"}));
}

TEST(WaitForMiner, PollsUntilARunningTimeAppears) {
  for (MinerReadyCheck check : {check_miner_started, wait_for_elapsed}) {
    SimMachine m;
    m.miner.stats_script = {std::nullopt, std::string("STATS=0,When=1\n"), std::string("\n"),
                            std::string("Elapsed=180,\n")};
    wait_for_miner(m.ctx, check);
    EXPECT_EQ(m.sys.sleeps, (Sleeps{30, 30, 30}));
    Entries expected(3, "Not started yet, wait 30 seconds\n");
    if (check == check_miner_started) expected.push_back("Elapsed time: 180\n");
    EXPECT_EQ(m.log(), expected);
  }
}

TEST(WaitForMiner, ARunningTimeAtTheTargetNeedsNoSleep) {
  for (MinerReadyCheck check : {check_miner_started, wait_for_elapsed}) {
    SimMachine m;
    m.ctx.settings.wait_after_restart = 0;
    m.miner.stats_script = {"Elapsed=0,\n"};
    wait_for_miner(m.ctx, check);
    EXPECT_TRUE(m.sys.sleeps.empty());
  }
}

TEST(WaitForMiner, NegativeIntervalsAndHugeGapsStayDefined) {
  SimMachine m;
  m.ctx.settings.stat_poll_interval = -30;
  m.ctx.settings.wait_after_restart = INT_MAX;
  m.miner.stats_script = {std::nullopt, "Elapsed=-2147483648,\n", "Elapsed=2147483647,\n"};
  wait_for_miner(m.ctx, wait_for_elapsed);
  EXPECT_EQ(m.sys.sleeps, (Sleeps{0, INT_MAX}));
  EXPECT_EQ(m.log()[0], "Not started yet, wait -30 seconds\n");
}

TEST(RestartMiner, AShellThatCannotRunIsFatal) {
  SimMachine m;
  m.sys.shell_unavailable = true;
  sim::RunResult result = m.run([&] { restart_miner(m.ctx, check_miner_started); });
  EXPECT_EQ(result.status, -1);
  EXPECT_EQ(result.parent_status(), 255);
  EXPECT_TRUE(m.sys.sleeps.empty());
  EXPECT_EQ(m.log(), (Entries{"Can't restart asic\n"}));
}

TEST(RestartMiner, AStatisticsCommandThatCannotStartIsFatal) {
  for (MinerReadyCheck check : {check_miner_started, wait_for_elapsed}) {
    SimMachine m;
    m.sys.stats_command_unavailable = true;
    sim::RunResult result = m.run([&] { restart_miner(m.ctx, check); });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(m.log(), (Entries{"Failed to run command\n"}));
  }
}

}  // namespace
}  // namespace tune
