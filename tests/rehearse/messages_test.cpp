// The programs' log entries that the report and the rehearsal read: each written through
// the programs' own logging with its one definition, and read back the report's way.
#include <gtest/gtest.h>

#include <functional>

#include "board_report.hpp"
#include "chain_tuner_messages.hpp"
#include "kit/board_files.hpp"
#include "log.hpp"
#include "miner_restart.hpp"
#include "sim_miner.hpp"
#include "sim_system.hpp"
#include "yellow_fixer_messages.hpp"

namespace tune::rehearse {
namespace {

TEST(ProgramMessages, EveryEntryTheToolReadsReadsBackWithItsNumbers) {
  namespace tuner = chain_tuner_log;
  namespace fixer = yellow_fixer_log;
  const struct {
    const char* message;
    std::function<void(System&)> write;
    std::vector<double> numbers;
  } cases[] = {
      {catch_up_message,
       [](System& s) { tune_logf(s, catch_up_message, 0, 180, 180); },
       {0, 180, 180}},
      {not_started_message, [](System& s) { tune_logf(s, not_started_message, 30); }, {30}},
      {tuner::elapsed, [](System& s) { tune_logf(s, tuner::elapsed, 3600); }, {3600}},
      {tuner::get_stat, [](System& s) { tune_log(s, tuner::get_stat); }, {}},
      {tuner::not_started_in_time, [](System& s) { tune_log(s, tuner::not_started_in_time); }, {}},
      {tuner::check_rates, [](System& s) { tune_log(s, tuner::check_rates); }, {}},
      {tuner::settle, [](System& s) { tune_logf(s, tuner::settle, 60); }, {60}},
      {tuner::green_lowering,
       [](System& s) { tune_logf(s, tuner::green_lowering, 5, 930); },
       {5, 930}},
      {tuner::green_raising, [](System& s) { tune_logf(s, tuner::green_raising, 7); }, {7}},
      {tuner::green_reverting,
       [](System& s) { tune_logf(s, tuner::green_reverting, 1, 940); },
       {1, 940}},
      {tuner::rate_reached,
       [](System& s) { tune_logf(s, tuner::rate_reached, 36930, 16000.0); },
       {36930, 16000}},
      {tuner::rate_below,
       [](System& s) { tune_logf(s, tuner::rate_below, 12, 99999.0); },
       {12, 99999}},
      {tuner::done, [](System& s) { tune_log(s, tuner::done); }, {}},
      {fixer::resuming, [](System& s) { tune_logf(s, fixer::resuming, -3); }, {-3}},
      {fixer::fix_yellow, [](System& s) { tune_log(s, fixer::fix_yellow); }, {}},
      {fixer::forced_chip,
       [](System& s) { tune_logf(s, fixer::forced_chip, 13, 6, 4, 12.345, 300); },
       {13, 6, 4, 12.35, 300}},  // the rate as written, to two places
      {fixer::red_chip, [](System& s) { tune_logf(s, fixer::red_chip, 63, 8, 575); }, {63, 8, 575}},
      {fixer::ideal_above,
       [](System& s) { tune_logf(s, fixer::ideal_above, 35876.9, 16160.0); },
       {35876.9, 16160}},
      {fixer::ideal_below,
       [](System& s) { tune_logf(s, fixer::ideal_below, 0.0, 100999.0); },
       {0, 100999}},
      {fixer::persistent_yellow, [](System& s) { tune_logf(s, fixer::persistent_yellow, 2); }, {2}},
      {fixer::yellow_restart, [](System& s) { tune_log(s, fixer::yellow_restart); }, {}},
      {fixer::red_restart, [](System& s) { tune_logf(s, fixer::red_restart, 4); }, {4}},
      {fixer::three_successful, [](System& s) { tune_log(s, fixer::three_successful); }, {}},
      {fixer::check_limit, [](System& s) { tune_logf(s, fixer::check_limit, 15); }, {15}},
      {fixer::rate_below_desired, [](System& s) { tune_log(s, fixer::rate_below_desired); }, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    sim::SimMiner miner;
    sim::SimSystem sys(miner);
    c.write(sys);
    std::vector<std::string> entries;
    ASSERT_TRUE(sim::split_log_entries(sys.read_file("/tmp/auto-tune").value_or(""), entries));
    ASSERT_EQ(entries.size(), 1u);
    std::optional<std::vector<double>> numbers = read_message(c.message, entries[0]);
    ASSERT_TRUE(numbers) << entries[0];
    ASSERT_EQ(numbers->size(), c.numbers.size());
    for (size_t i = 0; i < c.numbers.size(); ++i) EXPECT_DOUBLE_EQ((*numbers)[i], c.numbers[i]);
    // A cut entry, or another message, is not this one; every cut may be one.
    EXPECT_FALSE(read_message(c.message, entries[0].substr(0, entries[0].size() - 2)));
    EXPECT_FALSE(read_message(c.message, "x" + entries[0]));
    for (size_t length = 0; length <= entries[0].size(); ++length)
      EXPECT_TRUE(may_be_cut_from(c.message, entries[0].substr(0, length))) << length;
    std::string other = "x";  // appended, not prefixed: GCC 12 warns of an overlap that is not
    other += entries[0].substr(0, 3);
    EXPECT_FALSE(may_be_cut_from(c.message, other));
  }
}

TEST(ProgramMessages, TheReportReadsSessionsAndChipChangesFromThem) {
  namespace fixer = yellow_fixer_log;
  sim::SimMiner miner;
  sim::SimSystem sys(miner);
  tune_logf(sys, fixer::resuming, 2);
  tune_log(sys, fixer::fix_yellow);
  tune_logf(sys, fixer::forced_chip, 13, 6, 4, 12.5, 300);
  tune_logf(sys, fixer::red_chip, 13, 6, 300);
  tune_logf(sys, fixer::red_chip, 1, 2, 575);
  tune_logf(sys, fixer::red_restart, 2);
  tune_log(sys, fixer::yellow_restart);
  tune_logf(sys, fixer::check_limit, 15);
  const std::string dir = sys.root() + "/board";
  testing::write_files(
      dir, {{"auto-tune", *sys.read_file("/tmp/auto-tune")}, {"chip-rates", "2:1:66.09\n"}});

  BoardReport report = read_board(dir);
  ASSERT_EQ(report.sessions.size(), 1u);
  EXPECT_EQ(report.sessions[0].program, "yellow-fixer");
  EXPECT_EQ(report.sessions[0].restarts, 2);  // resumed: no restart at its start
  EXPECT_EQ(report.sessions[0].ending, "Number of checks is 15, quit");
  const std::vector<ChipChange>& forced = report.chains[3].chips[12].history;  // chain 6
  ASSERT_FALSE(forced.empty());
  EXPECT_EQ(forced[0].cause, forced_cause);
  EXPECT_EQ(forced[0].new_freq, 300);
  const std::vector<ChipChange>& red = report.chains[0].chips[0].history;  // chain 2
  ASSERT_FALSE(red.empty());
  EXPECT_EQ(red[0].cause, red_cause);
  EXPECT_EQ(red[0].new_freq, 575);
}

}  // namespace
}  // namespace tune::rehearse
