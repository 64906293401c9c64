#include "miner_stats.hpp"

#include <cmath>
#include <cstring>

#include "harness.hpp"

namespace tune {
namespace {

using testing::Entries;
using testing::SimMachine;

void expect_rates(const float (&actual)[chain_count], std::vector<float> expected) {
  for (int slot = 0; slot < chain_count; ++slot) EXPECT_EQ(actual[slot], expected[slot]) << slot;
}

TEST(ReadMinerStats, OnlyTheNamedSlotsGetValues) {
  SimMachine m;
  m.miner.stats_script.push_back("STATS=0,Elapsed=200,chain_rate2=2500.5,chain_rate6=0|x=1\n");
  read_miner_stats(m.ctx);
  expect_rates(m.ctx.state.chain_rate, {2500.5f, -1, -1, 0, -1, -1});
  expect_rates(m.ctx.state.chain_rate_ideal, {-1, -1, -1, -1, -1, -1});
}

TEST(ReadMinerStats, KeyRules) {
  TuneState state;
  apply_stats_line(state,
                   "a=1,chain_rate3=10|chain_rate3=20,chain_rateideal2=30.25|chain_rate4=,"
                   " chain_rate7=5,Chain_rate8=6,chain_rateideal7=|chain_rate6==7,x\n");
  EXPECT_EQ(state.chain_rate[1], 20.0f);  // the later occurrence wins
  EXPECT_EQ(state.chain_rate_ideal[0], 30.25f);
  EXPECT_EQ(state.chain_rate[2], 0.0f);        // a key without a value stores 0
  EXPECT_EQ(state.chain_rate_ideal[4], 0.0f);  // also for the ideal rate
  EXPECT_EQ(state.chain_rate[4], 0.0f);        // blank before the key: not recognised
  EXPECT_EQ(state.chain_rate[5], 0.0f);        // other letter case: not recognised
  EXPECT_EQ(state.chain_rate[3], 7.0f);        // runs of "=" count as one
}

TEST(ReadMinerStats, EveryReadingStartsFromNoValues) {
  SimMachine m;
  m.miner.stats_script = {"chain_rate2=100,chain_rateideal2=110\n", std::string("\n"),
                          std::nullopt};
  read_miner_stats(m.ctx);
  EXPECT_EQ(m.ctx.state.chain_rate[0], 100.0f);
  read_miner_stats(m.ctx);  // an empty line
  expect_rates(m.ctx.state.chain_rate, {-1, -1, -1, -1, -1, -1});
  m.ctx.state.chain_rate[2] = 5;
  read_miner_stats(m.ctx);  // no output at all
  expect_rates(m.ctx.state.chain_rate, {-1, -1, -1, -1, -1, -1});
  expect_rates(m.ctx.state.chain_rate_ideal, {-1, -1, -1, -1, -1, -1});
}

TEST(ReadMinerStats, OnlyTheFirstLineIsRead) {
  SimMachine m;
  m.miner.stats_script.push_back("chain_rate2=1\nchain_rate3=2\n");
  read_miner_stats(m.ctx);
  EXPECT_EQ(m.ctx.state.chain_rate[0], 1.0f);
  EXPECT_EQ(m.ctx.state.chain_rate[1], -1.0f);
}

TEST(ReadMinerStats, ACommandThatCannotStartIsFatal) {
  SimMachine m;
  m.sys.stats_command_unavailable = true;
  sim::RunResult result = m.run([&] { read_miner_stats(m.ctx); });
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(m.log(), (Entries{"Failed to run command\n"}));
}

TEST(ReadChipRates, FillsTheNamedChipsAndKeepsTheRest) {
  SimMachine m;
  m.sys.write_file(chip_rates_path, "2:1:57.2\n6:1:40\n5:3:9\n16:63:1.5:extra\n");
  m.ctx.state.chip_rate[1][5] = 33.0f;
  read_chip_rates(m.ctx);
  EXPECT_EQ(m.ctx.state.chip_rate[1][0], 57.2f);  // slot 0, chip index 0
  EXPECT_EQ(m.ctx.state.chip_rate[5][0], 40.0f);  // slot 3
  EXPECT_EQ(m.ctx.state.chip_rate[4][2], 9.0f);   // row of no slot, stored anyway
  EXPECT_EQ(m.ctx.state.chip_rate[15][62], 1.5f);
  EXPECT_EQ(m.ctx.state.chip_rate[1][5], 33.0f);
  m.sys.write_file(chip_rates_path, "2:1:nan\n2:2:x\n");
  read_chip_rates(m.ctx);
  EXPECT_TRUE(std::isnan(m.ctx.state.chip_rate[1][0]));
  EXPECT_EQ(m.ctx.state.chip_rate[1][1], 0.0f);
  m.sys.write_file(chip_rates_path, "");
  read_chip_rates(m.ctx);
  EXPECT_EQ(m.ctx.state.chip_rate[5][0], 40.0f);
}

TEST(ReadChipRates, LinesOutsideTheTableAreIgnored) {
  TuneState state;
  for (const char* line : {"0:1:5\n", "17:1:5\n", "2:0:5\n", "2:64:5\n", "2:1\n", "\n",
                           "-2147483648:1:5\n", "2:4294967297:5\n"}) {
    apply_chip_rate_line(state, line);
  }
  TuneState untouched;
  EXPECT_EQ(std::memcmp(state.chip_rate, untouched.chip_rate, sizeof state.chip_rate), 0);
}

TEST(ReadChipRates, AMissingFileIsFatal) {
  SimMachine m;
  m.miner.keep_chip_rates = false;
  sim::RunResult result = m.run([&] { read_chip_rates(m.ctx); });
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(m.log(), (Entries{"Failed to read rates\n"}));
}

}  // namespace
}  // namespace tune
