// Whole runs of yellow-fixer on the simulated machine, in virtual time.
#include "yellow_fixer.hpp"

#include <algorithm>
#include <regex>
#include <set>

#include "chain_tuner.hpp"
#include "chip_model.hpp"
#include "harness.hpp"

namespace tune {
namespace {

using testing::count;
using testing::Entries;
using Rate = std::optional<float>;

// A board as the chain tuner leaves it: every chain at 650 MHz, no overrides yet.
struct Board : testing::SimMachine {
  explicit Board(const std::string& settings = "") {
    testing::write_files(sys.root(), testing::ready_board(settings, 650, 900));
    // Record the step file as the run goes.
    sys.observer = [this](sim::SimSystem& s) {
      std::string step = s.read_file(yellow_step_path).value_or("none");
      if (stored_steps.empty() || stored_steps.back() != step) stored_steps.push_back(step);
    };
  }
  sim::RunResult run_program() { return sys.run(yellow_fixer_main); }
  std::vector<std::string> stored_steps;
};

Entries matching(const Entries& entries, const std::string& part) {
  Entries found;
  for (const std::string& e : entries) {
    if (e.find(part) != std::string::npos) found.push_back(e);
  }
  return found;
}

float healthy(const sim::MinerView& view, int slot, int chip) {
  return sim::healthy_rate(view.freq[slot][chip]);
}

TEST(YellowFixer, AFreshRunThatChangesNothingStopsAfterThreeIterations) {
  Board board;
  board.sys.write_file("/tmp/auto-tune", "the chain tuner's log\n");
  sim::RunResult result = board.run_program();
  Entries log = board.log();
  Entries expected = {"Elapsed time is 5, need to wait another 175 seconds to reach 180 ...\n",
                      "Fix yellow\n",
                      "Current ideal rate 28241.40 is more than desired rate 16160.00\n",
                      "Current ideal rate 28241.40 is more than desired rate 16160.00\n",
                      "Three successful iterations in a row, quit\n"};
  EXPECT_EQ(log, expected);
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(board.sys.restarts, 1);
  EXPECT_EQ(board.stored_steps, (std::vector<std::string>{"none", "1", "2"}));
  EXPECT_FALSE(board.sys.exists(yellow_step_path));
  std::vector<long long> sleeps = {5, 175};
  sleeps.insert(sleeps.end(), 3 * observation_passes, pass_pause_seconds);
  EXPECT_EQ(board.sys.sleeps, sleeps);
  EXPECT_EQ(board.sys.finish_script_runs, 0);
  EXPECT_FALSE(board.sys.exists("/config/manual_freqs.txt"));
}

TEST(YellowFixer, ALowIdealRateStopsAnUnchangedRunAfterItsFirstIteration) {
  Board board("desired_rate=30000");
  board.run_program();
  Entries log = board.log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2],
            "Current ideal rate 28241.40 is less than desired rate 30300.00\n");
  EXPECT_EQ(log.back(), "Rate is less than desired, quit\n");
  EXPECT_EQ(board.stored_steps, (std::vector<std::string>{"none", "1"}));
}

TEST(YellowFixer, AThresholdEqualToTheSumCountsAsMore) {
  for (float first_chain : {16160.0f, 16159.99f}) {
    Board board;
    board.miner.ideal_rate = [first_chain](const sim::MinerView&, int slot) {
      return slot == 0 ? first_chain : 0.0f;
    };
    board.run_program();
    Entries log = board.log();
    if (first_chain == 16160.0f) {
      EXPECT_EQ(count(log, "Current ideal rate 16160.00 is more than desired rate 16160.00\n"), 2);
      EXPECT_EQ(log.back(), "Three successful iterations in a row, quit\n");
    } else {
      EXPECT_EQ(count(log, "Current ideal rate 16159.99 is less than desired rate 16160.00\n"), 1);
      EXPECT_EQ(log.back(), "Rate is less than desired, quit\n");
    }
  }
}

TEST(YellowFixer, AChipNeverReportedGoesDownThreeTimesThenTo300) {
  Board board;
  board.miner.chip_rate = [](const sim::MinerView& view, int slot, int chip) -> Rate {
    if (slot == 0 && chip == 0) return std::nullopt;
    return healthy(view, slot, chip);
  };
  sim::RunResult result = board.run_program();
  Entries log = board.log();
  EXPECT_EQ(matching(log, "Chip 1 on chain 2"),
            (Entries{"Chip 1 on chain 2 is red, new freq is 625\n",
                     "Chip 1 on chain 2 is red, new freq is 600\n",
                     "Chip 1 on chain 2 is red, new freq is 575\n",
                     "Chip 1 on chain 2 still red after 3 restarts with low hashrate 0.00 in a "
                     "row, decrease freq to 300\n",
                     "Chip 1 on chain 2 is red, new freq is 300\n"}));
  EXPECT_EQ(count(log, "Found 0 persistently yellow chips, decrease freq\n"), 4);
  EXPECT_EQ(count(log, "Found 1 red chips, doing restart\n"), 4);
  EXPECT_EQ(log.back(), "Three successful iterations in a row, quit\n");
  EXPECT_EQ(board.text("/config/manual_freqs.txt"), "2:1:8\n");
  EXPECT_EQ(board.sys.restarts, 5);
  EXPECT_FALSE(result.exited);
}

TEST(YellowFixer, RedChipsGoAtLeast25MHzDownToALadderFrequency) {
  Board board;
  std::string lines = testing::miner_config(650, 900);
  lines.replace(lines.find("freq2=650"), 9, "freq2=499");
  lines.replace(lines.find("freq3=650"), 9, "freq3=318");
  board.sys.write_file("/config/config.conf", lines);
  board.sys.write_file("/config/manual_freqs.txt", "2:1:44\n");  // chain 2 chip 1 at 500
  board.miner.chip_rate = [](const sim::MinerView& view, int slot, int chip) -> Rate {
    if (chip == 0 && slot <= 2) return 12.0f;
    return healthy(view, slot, chip);
  };
  board.run_program();
  Entries log = board.log();
  auto first_restart = std::find(log.begin(), log.end(), "Found 3 red chips, doing restart\n");
  ASSERT_NE(first_restart, log.end());
  EXPECT_EQ(matching(Entries(log.begin(), first_restart), "is red"),
            (Entries{"Chip 1 on chain 2 is red, new freq is 475\n",
                     "Chip 1 on chain 3 is red, new freq is 470\n",
                     "Chip 1 on chain 4 is red, new freq is 275\n"}));
  // Below the floor the 318 MHz chip is never handled again; the others keep going down.
  EXPECT_EQ(matching(log, "Chip 1 on chain 4").size(), 1u);
  std::string overrides = board.text("/config/manual_freqs.txt");
  EXPECT_NE(overrides.find("4:1:7\n"), std::string::npos) << overrides;
}

TEST(YellowFixer, ARateOfExactlyTenNeitherAddsToNorResetsTheStreak) {
  Board board;
  board.sys.write_file("/config/config.conf", testing::miner_config(800, 900));
  board.miner.chip_rate = [](const sim::MinerView& view, int slot, int chip) -> Rate {
    if (slot == 0 && chip == 0) return view.restarts == 4 ? 10.0f : 0.0f;
    return healthy(view, slot, chip);
  };
  board.run_program();
  EXPECT_EQ(matching(board.log(), "Chip 1 on chain 2"),
            (Entries{"Chip 1 on chain 2 is red, new freq is 775\n",
                     "Chip 1 on chain 2 is red, new freq is 750\n",
                     "Chip 1 on chain 2 is red, new freq is 725\n",
                     "Chip 1 on chain 2 is red, new freq is 700\n",
                     "Chip 1 on chain 2 still red after 3 restarts with low hashrate 0.00 in a "
                     "row, decrease freq to 300\n",
                     "Chip 1 on chain 2 is red, new freq is 300\n"}));
}

// Pass k of a fresh run's first iteration reads the rates written 170 + 10k seconds in.
bool in_passes(const sim::MinerView& view, int first, int last) {
  return view.restarts == 1 && view.now >= 170 + 10 * first && view.now <= 170 + 10 * last;
}

TEST(YellowFixer, FiveYellowPassesOfTwelveLowerAChipOneLadderStep) {
  Board board;
  board.miner.chip_rate = [](const sim::MinerView& view, int slot, int chip) -> Rate {
    float rate = healthy(view, slot, chip);
    if (slot == 0 && chip == 0 && in_passes(view, 1, 4)) return rate * 0.8f;
    if (slot == 0 && chip == 1 && in_passes(view, 3, 7)) return rate * 0.8f;
    return rate;
  };
  board.run_program();
  Entries log = board.log();
  EXPECT_EQ(count(log, "Found 1 persistently yellow chips, decrease freq\n"), 1);
  EXPECT_EQ(count(log, "Found persistently yellow chips, doing restart\n"), 1);
  EXPECT_EQ(board.text("/config/manual_freqs.txt"), "2:2:73\n");  // 650 -> 643 MHz
}

TEST(YellowFixer, AChipYellowThenRedIsLoweredTwiceInOneIteration) {
  Board board;
  board.miner.chip_rate = [](const sim::MinerView& view, int slot, int chip) -> Rate {
    float rate = healthy(view, slot, chip);
    if (slot == 3 && chip == 62 && in_passes(view, 1, 5)) return rate * 0.8f;
    if (slot == 3 && chip == 62 && in_passes(view, 6, 6)) return 0.0f;
    return rate;
  };
  board.run_program();
  Entries log = board.log();
  EXPECT_EQ(count(log, "Chip 63 on chain 6 is red, new freq is 625\n"), 1);
  EXPECT_EQ(count(log, "Found 1 persistently yellow chips, decrease freq\n"), 1);
  EXPECT_EQ(board.text("/config/manual_freqs.txt"), "6:63:69\n");  // 618 MHz
}

TEST(YellowFixer, APersistentlyYellowChipOffTheLadderIsCountedButKeepsItsFrequency) {
  Board board;
  board.sys.write_file("/config/config.conf", testing::miner_config(651, 900));
  board.miner.chip_rate = [](const sim::MinerView& view, int slot, int chip) -> Rate {
    float rate = healthy(view, slot, chip);
    return slot == 1 && chip == 9 && view.restarts == 1 ? rate * 0.8f : rate;
  };
  board.run_program();
  Entries log = board.log();
  EXPECT_EQ(count(log, "Found 1 persistently yellow chips, decrease freq\n"), 1);
  EXPECT_EQ(board.text("/config/manual_freqs.txt"), "");
}

// A chip at 1175 MHz that reports 12 is red in every iteration and never low enough to
// count towards the streak, so every iteration changes something.
void always_changing(Board& board) {
  board.sys.write_file("/config/manual_freqs.txt", "8:5:113\n");
  board.miner.chip_rate = [](const sim::MinerView& view, int slot, int chip) -> Rate {
    if (slot == 5 && chip == 4) return 12.0f;
    return healthy(view, slot, chip);
  };
}

TEST(YellowFixer, ARunThatAlwaysChangesStopsAtTheFifteenthCheck) {
  Board board;
  always_changing(board);
  board.run_program();
  Entries log = board.log();
  EXPECT_EQ(log.back(), "Number of checks is 15, quit\n");
  EXPECT_EQ(matching(log, "is red").size(), 15u);
  EXPECT_EQ(board.sys.restarts, 16);
  EXPECT_EQ(board.stored_steps.back(), "15");
  EXPECT_EQ(board.stored_steps.size(), 16u);
  EXPECT_EQ(board.text("/config/manual_freqs.txt"), "8:5:98\n");  // 15 times 25 MHz: 800
}

TEST(YellowFixer, ResumingFromStepSevenSkipsTheRestartAndStopsAtFifteen) {
  Board board;
  always_changing(board);
  board.sys.write_file(yellow_step_path, "7");
  board.run_program();
  Entries log = board.log();
  EXPECT_EQ(log[0], "Resuming tune from step 7\n");
  EXPECT_EQ(log[1], "Fix yellow\n");  // the miner has long been running: no wait entry
  EXPECT_EQ(board.sys.commands.front(), "echo ok > /config/restart");
  EXPECT_EQ(board.sys.restarts, 8);  // one per iteration, none at start-up
  EXPECT_EQ(board.sys.sleeps.front(), pass_pause_seconds);
  EXPECT_EQ(board.stored_steps[1], "8");
  EXPECT_EQ(board.stored_steps.back(), "15");
  EXPECT_EQ(log.back(), "Number of checks is 15, quit\n");
}

TEST(YellowFixer, StepFilesWithoutAStepStartFresh) {
  const struct {
    const char* content;
    bool logs_resume;
  } cases[] = {{"0", true}, {"abc\n7", true}, {"\n", true}, {"", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    Board board;
    board.sys.write_file(yellow_step_path, c.content);
    board.run_program();
    Entries log = board.log();
    EXPECT_EQ(log[0] == "Resuming tune from step 0\n", c.logs_resume);
    EXPECT_EQ(board.sys.sleeps.front(), 5);  // a restart came first
    EXPECT_EQ(board.sys.restarts, 1);
    EXPECT_EQ(board.stored_steps[1], "1");
  }
}

TEST(YellowFixer, ARunStoppedAfterAStepAdvanceResumesWithItsOverrides) {
  Board board;
  board.miner.chip_rate = [](const sim::MinerView& view, int slot, int chip) -> Rate {
    if (slot == 2 && chip == 30) return 30.0f;  // red at any frequency above 300
    return healthy(view, slot, chip);
  };
  bool killed = false;
  board.sys.observer = [&](sim::SimSystem& s) {
    if (!killed && s.read_file(yellow_step_path) == "2") {
      killed = true;
      throw sim::SimulatedExit{137};  // killed right after the second step advance
    }
  };
  sim::RunResult first = board.run_program();
  EXPECT_TRUE(first.exited);
  EXPECT_EQ(board.text("/config/manual_freqs.txt"), "4:31:66\n");  // 625, then 600 MHz
  EXPECT_EQ(board.text(yellow_step_path), "2");
  int restarts_before = board.sys.restarts;

  sim::RunResult second = board.run_program();
  EXPECT_FALSE(second.exited);
  Entries log = board.log();
  EXPECT_EQ(log[0], "Resuming tune from step 2\n");
  EXPECT_EQ(matching(log, "Chip 31 on chain 4")[0], "Chip 31 on chain 4 is red, new freq is 575\n");
  EXPECT_EQ(board.sys.commands[restarts_before], "echo ok > /config/restart");
  EXPECT_FALSE(board.sys.exists(yellow_step_path));
}

TEST(YellowFixer, AFatalExitKeepsTheLastStoredStep) {
  for (bool after_first_step : {false, true}) {
    Board board;
    board.miner.chip_rate = [](const sim::MinerView& view, int slot, int chip) -> Rate {
      return slot == 0 && chip == 0 ? 0.0f : healthy(view, slot, chip);
    };
    const std::string fatal_at = after_first_step ? "1" : "none";
    board.sys.observer = [&](sim::SimSystem& s) {
      if (s.read_file(yellow_step_path).value_or("none") == fatal_at && s.elapsed_seconds() > 200) {
        s.miner().keep_chip_rates = false;
        s.remove_file("/tmp/chip-rates");
      }
    };
    sim::RunResult result = board.run_program();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(board.log().back(), "Failed to read rates\n");
    EXPECT_EQ(board.sys.exists(yellow_step_path), after_first_step);
    EXPECT_EQ(board.sys.finish_script_runs, 0);
  }
}

TEST(YellowFixer, TheFinishingScriptRunsOnlyWhenATuningIsMarkedActive) {
  Board active;
  active.sys.write_file(tune_running_path, "");
  active.sys.finish_script_status = 1 << 8;  // the script fails: nobody is told
  sim::RunResult result = active.run_program();
  EXPECT_EQ(active.sys.finish_script_runs, 1);
  EXPECT_EQ(active.sys.commands.back(), "/bin/sh /sbin/finish-tune.sh");
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(active.sys.exists(yellow_step_path));

  Board idle;
  idle.run_program();
  EXPECT_EQ(idle.sys.finish_script_runs, 0);
}

TEST(YellowFixer, FatalStartUpEndings) {
  struct Ending {
    const char* name;
    std::function<void(Board&)> arrange;
    std::string last_entry;
    int parent_status;
  };
  const std::vector<Ending> endings = {
      {"settings missing", [](Board& b) { b.sys.remove_file("/config/autoTune.conf"); },
       "Can't open config file", 0},
      {"no shell", [](Board& b) { b.sys.shell_unavailable = true; }, "Can't restart asic\n", 255},
      {"statistics command", [](Board& b) { b.sys.stats_command_unavailable = true; },
       "Failed to run command\n", 1},
      {"chip rates", [](Board& b) { b.miner.keep_chip_rates = false; }, "Failed to read rates\n",
       1},
      {"bmminer.conf", [](Board& b) { b.sys.remove_file("/config/bmminer.conf"); },
       "Can't read /config/bmminer.conf\n", 1},
      {"bmminer.conf not JSON", [](Board& b) { b.sys.write_file("/config/bmminer.conf", "[1,"); },
       "Can't read json\n", 255},
  };
  for (const Ending& ending : endings) {
    SCOPED_TRACE(ending.name);
    Board board;
    ending.arrange(board);
    sim::RunResult result = board.run_program();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.parent_status(), ending.parent_status);
    EXPECT_EQ(board.log().back(), ending.last_entry);
    EXPECT_FALSE(board.sys.exists(yellow_step_path));
  }
}

TEST(YellowFixer, FollowsAChainTuningOfTheSameMachine) {
  Board board;
  sim::ChipModel model(sim::ChipModelOptions{.seed = 7});
  model.install(board.miner);
  board.sys.write_file("/config/autoTune.conf", "desired_rate=99999");
  ASSERT_FALSE(board.sys.run(chain_tuner_main).exited);
  std::string tuned_config = board.text("/config/config.conf");

  board.sys.write_file("/config/autoTune.conf", "");
  sim::RunResult result = board.run_program();
  EXPECT_FALSE(result.exited);
  Entries log = board.log();
  EXPECT_EQ(count(log, "Fix yellow\n"), 1);  // the chain tuner's log is gone
  EXPECT_TRUE(log.back() == "Three successful iterations in a row, quit\n" ||
              log.back() == "Number of checks is 15, quit\n" ||
              log.back() == "Rate is less than desired, quit\n")
      << log.back();
  EXPECT_EQ(board.text("/config/config.conf"), tuned_config);
  EXPECT_FALSE(board.sys.exists(yellow_step_path));
  std::string overrides = board.text("/config/manual_freqs.txt");
  std::regex line("[2346-8]:([1-9]|[1-5][0-9]|6[0-3]):([1-9]|[1-9][0-9]|10[0-9]|11[0-3])\n");
  size_t lines = 0;
  for (auto it = std::sregex_iterator(overrides.begin(), overrides.end(), line);
       it != std::sregex_iterator(); ++it) {
    ++lines;
  }
  EXPECT_EQ(std::count(overrides.begin(), overrides.end(), '\n'), static_cast<long>(lines));
  EXPECT_GT(lines, 0u);
}

}  // namespace
}  // namespace tune
