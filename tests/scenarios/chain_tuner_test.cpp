// Whole runs of chain-tuner on the simulated machine, in virtual time.
#include "chain_tuner.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>

#include "chip_model.hpp"
#include "harness.hpp"

namespace tune {
namespace {

using testing::count;
using testing::Entries;
using Sleeps = std::vector<long long>;

// A board ready for the chain tuner: global frequency 650, every chain at 600 MHz and 900, the
// given settings line.
struct Board : testing::SimMachine {
  explicit Board(const std::string& settings = "") {
    testing::write_files(sys.root(), testing::ready_board(settings, 600, 900));
  }
  sim::RunResult run_program() { return sys.run(chain_tuner_main); }
};

std::string format(const char* fmt, int a, int b = 0) {
  char buffer[200];
  std::snprintf(buffer, sizeof buffer, fmt, a, b);
  return buffer;
}

// What one restart logs on the simulated miner: it reports 5 seconds after the trigger.
void add_restart(Entries& log) {
  log.push_back("Elapsed time: 5\n");
  log.push_back("Elapsed time is 5, need to wait another 175 seconds to reach 180 ...\n");
}

void add_counts(Entries& log, int chain) {
  log.push_back(format("Number of reds on chain %d: %d\n", chain));
  log.push_back(format("Number of yellow on chain %d: %d\n", chain));
}

const int chain_numbers[chain_count] = {1, 2, 3, 5, 6, 7};

TEST(ChainTuner, HealthyMachineWalksDownThenEndsOnTheDesiredRate) {
  Board board;
  sim::RunResult result = board.run_program();

  Entries expected = {
      "Config parse: freq_from=500, freq_to=850, voltage_from=880, voltage_to=940, "
      "ideal_percent=97\n"};
  add_restart(expected);
  expected.push_back("GET STAT\n");
  expected.push_back("CHECK RATES\n");
  for (int voltage = 930; voltage >= 880; voltage -= 10) {
    for (int chain : chain_numbers) {
      add_counts(expected, chain);
      expected.push_back(format("Chain %d is ok, decreasing voltage to %d\n", chain, voltage));
    }
    expected.push_back("Update config with new voltage and wait 60 seconds...\n");
  }
  for (int chain : chain_numbers) {
    add_counts(expected, chain);
    expected.push_back(format("Voltage of Chain %d is lowest (%d), stop decreasing\n", chain, 880));
  }
  // 63 chips at 850 MHz report 6155.17 per chain; the total is truncated after each addition.
  expected.push_back("Current rate 36930 is not less than desired rate 16000.00\n");
  expected.push_back("Auto tune is done, exit\n");
  EXPECT_EQ(board.log(), expected);

  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(board.text("/config/yellow"), "ok\n");
  EXPECT_EQ(board.sys.restarts, 1);
  EXPECT_EQ(board.sys.sleeps, (Sleeps{5, 175, 60, 60, 60, 60, 60, 60}));
  EXPECT_EQ(board.text("/config/config.conf"),
            "bitmain-fan-ctrl=false\n"
            "bitmain-freq1=850\nbitmain-voltage1=880\nbitmain-freq2=850\nbitmain-voltage2=880\n"
            "bitmain-freq3=850\nbitmain-voltage3=880\nbitmain-freq4=850\nbitmain-voltage4=880\n"
            "bitmain-freq5=850\nbitmain-voltage5=880\nbitmain-freq6=850\nbitmain-voltage6=880\n"
            "api-listen=true");
  EXPECT_EQ(board.text("/config/manual_freqs.txt"), "");
}

TEST(ChainTuner, TooManyRedsAtTopVoltageCutsTheChainFrequency) {
  Board board("restarts_count=1&desired_rate=1");
  board.miner.chip_rate = [](const sim::MinerView& view, int slot,
                             int chip) -> std::optional<float> {
    if (slot == 1 && chip < 16) return 0.0f;
    return sim::healthy_rate(view.freq[slot][chip]);
  };
  sim::RunResult result = board.run_program();
  Entries log = board.log();
  EXPECT_EQ(count(log, "Too much reds on chain 2: 16\n"), 1);
  EXPECT_EQ(count(log, "Voltage 940 on chain 2 is max, decreasing chain freq to 825\n"), 1);
  EXPECT_EQ(count(log, "Number of yellow on chain 2: 0\n"), 0);
  // A cut in this iteration skips the desired-rate check, low as the target is.
  for (const std::string& entry : log) EXPECT_EQ(entry.find("Current rate"), std::string::npos);
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(log.back(), "Auto tune is done, exit\n");
  std::string config = board.text("/config/config.conf");
  EXPECT_NE(config.find("bitmain-freq2=825\nbitmain-voltage2=940\n"), std::string::npos) << config;
}

TEST(ChainTuner, FifteenRedAndElevenYellowIsHealthy) {
  Board board("restarts_count=1&desired_rate=99999");
  board.miner.chip_rate = [](const sim::MinerView& view, int slot,
                             int chip) -> std::optional<float> {
    float healthy = sim::healthy_rate(view.freq[slot][chip]);
    if (slot == 0 && chip < 15) return 0.0f;
    if (slot == 0 && chip < 26) return healthy * 0.8f;
    return healthy;
  };
  board.run_program();
  Entries log = board.log();
  auto first = std::find(log.begin(), log.end(), "Number of reds on chain 1: 15\n");
  ASSERT_NE(first, log.end());
  EXPECT_EQ(*(first + 1), "Number of yellow on chain 1: 11\n");
  EXPECT_EQ(*(first + 2), "Chain 1 is ok, decreasing voltage to 930\n");
  // Red chips went 25 MHz down (825 is step 99) and were never raised.
  std::string overrides = board.text("/config/manual_freqs.txt");
  for (int chip = 1; chip <= 15; ++chip) {
    EXPECT_NE(overrides.find("2:" + std::to_string(chip) + ":99\n"), std::string::npos) << chip;
  }
}

TEST(ChainTuner, AChainUnhealthyDuringTheWalkIsRaisedAndSettlesThereNextTime) {
  Board board("restarts_count=2");
  board.miner.chip_rate = [](const sim::MinerView& view, int slot,
                             int chip) -> std::optional<float> {
    float healthy = sim::healthy_rate(view.freq[slot][chip]);
    if (slot == 2 && chip < 12 && view.voltage[2] <= 900) return healthy * 0.8f;
    return healthy;
  };
  sim::RunResult result = board.run_program();
  Entries log = board.log();
  auto walk = std::find(log.begin(), log.end(), "Chain 3 is ok, decreasing voltage to 900\n");
  ASSERT_NE(walk, log.end());
  auto raise = std::find(walk, log.end(), "Too much yellow chips on chain 3: 12\n");
  ASSERT_NE(raise, log.end());
  EXPECT_EQ(*(raise + 1), "Voltage 900 on chain 3 is not max, increasing voltage to 910\n");
  EXPECT_EQ(count(log, "Chain 3 is ok, decreasing voltage to 890\n"), 0);
  // Second iteration: settled at once at the raised voltage, then the desired rate ends it.
  auto second = std::find(raise, log.end(), "CHECK RATES\n");
  ASSERT_NE(second, log.end());
  EXPECT_NE(std::find(second, log.end(), "Voltage of Chain 3 is lowest (910), stop decreasing\n"),
            log.end());
  EXPECT_NE(std::find(second, log.end(), "Voltage of Chain 1 is lowest (880), stop decreasing\n"),
            log.end());
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(board.sys.restarts, 2);
}

TEST(ChainTuner, SkippedAndUnreportedChains) {
  Board board("restarts_count=1");
  board.miner.chain_present[4] = false;   // reports "chain_rate7=": rate 0
  board.miner.chain_reported[5] = false;  // no keys at all: rate -1
  sim::RunResult result = board.run_program();
  Entries log = board.log();
  long passes = count(log, "Update config with new voltage and wait 60 seconds...\n") + 1;
  EXPECT_EQ(passes, 7);
  EXPECT_EQ(count(log, "Rate of chain 6 is 0, skip\n"), passes);
  EXPECT_EQ(count(log, "Voltage of Chain 7 is lowest (880), stop decreasing\n"), 1);
  // Four chains at 6155.17 and the unreported one's -1.
  EXPECT_EQ(count(log, "Current rate 24619 is not less than desired rate 16000.00\n"), 1);
  EXPECT_TRUE(result.exited);
}

TEST(ChainTuner, GreenPhaseSitsOutSkippedChainsAndRestoresVoltages) {
  Board board("restarts_count=1&desired_rate=99999");
  board.miner.chain_present[4] = false;
  board.miner.chain_reported[5] = false;
  board.run_program();
  Entries log = board.log();
  for (int chain : {1, 2, 3, 5}) {
    EXPECT_EQ(count(log, format("Trying to increase freqs of green chips before restart, "
                                "decreasing voltage of chain %d to %d\n",
                                chain, 870)),
              1);
    EXPECT_EQ(count(log, format("Trying to increase freqs of green chips before restart, "
                                "reverting voltage on chain %d to %d\n",
                                chain, 880)),
              1);
  }
  for (int chain : {6, 7}) {
    EXPECT_EQ(count(log, format("Trying to increase freqs of green chips before restart, "
                                "increasing freqs of green chips on chain %d\n",
                                chain)),
              0);
  }
  // Every voltage as the check phase left it; the skipped chain was never walked down.
  std::string config = board.text("/config/config.conf");
  for (int digit = 1; digit <= 6; ++digit) {
    std::string line = "bitmain-voltage" + std::to_string(digit) + (digit == 5 ? "=940" : "=880");
    EXPECT_NE(config.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(board.text("/config/yellow"), "ok\n");
  EXPECT_EQ(log.back(), "Auto tune is done, exit\n");
}

TEST(ChainTuner, GreenChipsRiseTwoStepsUnlessTheyWereEverRed) {
  Board board("restarts_count=1&desired_rate=99999&freq_to=750");
  board.miner.chip_rate = [](const sim::MinerView& view, int slot,
                             int chip) -> std::optional<float> {
    if (slot == 0 && chip == 4 && view.voltage[0] == 940) return 0.0f;  // red in the first pass
    return sim::healthy_rate(view.freq[slot][chip]);
  };
  board.run_program();
  std::string overrides = board.text("/config/manual_freqs.txt");
  // 750 -> 762 MHz is step 92; the once-red chip keeps its cut to 725 MHz (step 86).
  EXPECT_NE(overrides.find("2:4:92\n2:5:86\n2:6:92\n"), std::string::npos);
  EXPECT_NE(overrides.find("8:63:92\n"), std::string::npos);
  EXPECT_EQ(std::count(overrides.begin(), overrides.end(), '\n'), chain_count * chips_per_chain);
  EXPECT_EQ(board.sys.sleeps.back(), 60);  // the green phase's minute
}

TEST(ChainTuner, ChipsAtOrAboveMaxFreqAreNotRaised) {
  Board board("restarts_count=1&desired_rate=99999&freq_to=800");
  board.run_program();
  EXPECT_EQ(board.text("/config/manual_freqs.txt"), "");
}

TEST(ChainTuner, ARaiseNeverPassesTheTopStepAndOffLadderChipsRiseTwoEntries) {
  Board board("restarts_count=1&desired_rate=99999&freq_to=1150&max_freq=2000");
  board.run_program();
  std::string top = board.text("/config/manual_freqs.txt");
  EXPECT_NE(top.find("2:1:113\n"), std::string::npos);

  Board between("restarts_count=1&desired_rate=99999&freq_to=401");
  between.run_program();
  // 401 MHz lies between 400 and 404; two entries above it is 406 MHz, step 14.
  EXPECT_NE(between.text("/config/manual_freqs.txt").find("2:1:14\n"), std::string::npos);
}

TEST(ChainTuner, MissingFirstChainRateEndsTheRunNormally) {
  Board board;
  board.miner.chain_reported[0] = false;
  sim::RunResult result = board.run_program();
  Entries log = board.log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 3], "GET STAT\n");
  EXPECT_EQ(log[log.size() - 2], "CGMiner not started in expected time, doing restart\n");
  EXPECT_EQ(log.back(), "Auto tune is done, exit\n");
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(board.sys.restarts, 1);
  EXPECT_EQ(board.text("/config/yellow"), "ok\n");
}

TEST(ChainTuner, NoRestartsAtAll) {
  Board board("restarts_count=0");
  sim::RunResult result = board.run_program();
  EXPECT_EQ(board.log(), (Entries{"Config parse: freq_from=500, freq_to=850, voltage_from=880, "
                                  "voltage_to=940, ideal_percent=97\n",
                                  "Auto tune is done, exit\n"}));
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(board.sys.restarts, 0);
  EXPECT_EQ(board.text("/config/config.conf"), testing::miner_config(600, 900));
  EXPECT_EQ(board.text("/config/yellow"), "ok\n");
}

TEST(ChainTuner, AnUnreachableVoltageFloorIsPassedUntilTheChainFails) {
  Board board("restarts_count=1&voltage_from=885&desired_rate=99999");
  board.miner.chip_rate = [](const sim::MinerView& view, int slot,
                             int chip) -> std::optional<float> {
    float healthy = sim::healthy_rate(view.freq[slot][chip]);
    return view.voltage[slot] < 855 && chip < 12 ? healthy * 0.8f : healthy;
  };
  board.run_program();
  Entries log = board.log();
  EXPECT_EQ(count(log, "Chain 1 is ok, decreasing voltage to 880\n"), 1);
  EXPECT_EQ(count(log, "Chain 1 is ok, decreasing voltage to 850\n"), 1);
  EXPECT_EQ(count(log, "Voltage 850 on chain 1 is not max, increasing voltage to 860\n"), 1);
  EXPECT_NE(board.text("/config/config.conf").find("bitmain-voltage1=860"), std::string::npos);
}

TEST(ChainTuner, AFrequencyCutBelow125ReachesZeroAndChipsRunAtBaseFreq) {
  Board board("restarts_count=2&freq_to=120&desired_rate=99999");
  board.miner.chip_rate = [](const sim::MinerView& view, int slot,
                             int chip) -> std::optional<float> {
    if (view.restarts == 1 && slot == 0 && chip < 16) return 0.0f;
    return sim::healthy_rate(view.freq[slot][chip]);
  };
  board.run_program();
  Entries log = board.log();
  EXPECT_EQ(count(log, "Voltage 940 on chain 1 is max, decreasing chain freq to 0\n"), 1);
  // The second restart runs chain 1 at the global 650 MHz, where it is healthy.
  auto second = std::find(log.begin() + 1, log.end(), "GET STAT\n");
  second = std::find(second + 1, log.end(), "GET STAT\n");
  ASSERT_NE(second, log.end());
  EXPECT_NE(std::find(second, log.end(), "Number of reds on chain 1: 0\n"), log.end());
  EXPECT_NE(board.text("/config/config.conf").find("bitmain-freq1=0\n"), std::string::npos);
}

struct FatalEnding {
  const char* name;
  std::function<void(Board&)> arrange;
  Entries last_entries;
  int parent_status;
};

TEST(ChainTuner, EveryFatalEndingLeavesNoMarker) {
  const std::vector<FatalEnding> endings = {
      {"settings missing",
       [](Board& b) { b.sys.remove_file("/config/autoTune.conf"); },
       {"Can't open config file"},
       0},
      {"bmminer.conf missing",
       [](Board& b) { b.sys.remove_file("/config/bmminer.conf"); },
       {"Can't read /config/bmminer.conf\n"},
       1},
      {"bmminer.conf not JSON",
       [](Board& b) { b.sys.write_file("/config/bmminer.conf", "{"); },
       {"Can't read json\n"},
       255},
      {"no shell for the trigger",
       [](Board& b) { b.sys.shell_unavailable = true; },
       {"Can't restart asic\n"},
       255},
      {"config.conf unwritable",
       [](Board& b) {
         b.sys.remove_file("/config/config.conf");
         std::filesystem::create_directory(b.sys.path("/config/config.conf"));
       },
       {"Can't open /config/config.conf\n"},
       1},
      {"statistics command",
       [](Board& b) { b.sys.stats_command_unavailable = true; },
       {"Failed to run command\n"},
       1},
      {"chip rates missing",
       [](Board& b) { b.miner.keep_chip_rates = false; },
       {"GET STAT\n", "Failed to read rates\n"},
       1},
  };
  for (const FatalEnding& ending : endings) {
    SCOPED_TRACE(ending.name);
    Board board;
    board.sys.write_file("/tmp/auto-tune", "an earlier run's log\n");
    ending.arrange(board);
    sim::RunResult result = board.run_program();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.parent_status(), ending.parent_status);
    Entries log = board.log();
    ASSERT_GE(log.size(), ending.last_entries.size());
    EXPECT_EQ(Entries(log.end() - ending.last_entries.size(), log.end()), ending.last_entries);
    EXPECT_FALSE(board.sys.exists("/config/yellow"));
    // The log is fresh: its first entry is a failure of the start-up or the settings line.
    EXPECT_TRUE(log[0].starts_with("Config parse") || log.size() == ending.last_entries.size());
  }
}

TEST(ChainTuner, EachRunStartsFromFreshState) {
  std::string first_log;
  std::string first_overrides;
  for (int run = 0; run < 2; ++run) {
    Board board("restarts_count=3&desired_rate=99999");
    sim::ChipModel model(sim::ChipModelOptions{});
    model.install(board.miner);
    board.run_program();
    std::string log = board.text("/tmp/auto-tune");
    std::string overrides = board.text("/config/manual_freqs.txt");
    if (run == 0) {
      first_log = log;
      first_overrides = overrides;
    } else {
      EXPECT_EQ(log, first_log);
      EXPECT_EQ(overrides, first_overrides);
    }
  }
}

TEST(ChainTuner, TenIterationsOnTheSeededChipModelLeaveWellFormedFiles) {
  Board board("desired_rate=99999");
  sim::ChipModel model(sim::ChipModelOptions{});
  model.install(board.miner);
  sim::RunResult result = board.run_program();
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(board.sys.restarts, 10);
  EXPECT_EQ(board.log().back(), "Auto tune is done, exit\n");
  EXPECT_EQ(board.text("/config/yellow"), "ok\n");

  std::string config = board.text("/config/config.conf");
  EXPECT_TRUE(config.starts_with("bitmain-fan-ctrl=false\n"));
  std::smatch match;
  for (int digit = 1; digit <= 6; ++digit) {
    std::regex freq("bitmain-freq" + std::to_string(digit) + "=([0-9]+)");
    ASSERT_TRUE(std::regex_search(config, match, freq)) << config;
    EXPECT_GE(ladder_index_of(std::stoi(match[1])), 0);
    std::regex voltage("bitmain-voltage" + std::to_string(digit) + "=(8[89]0|9[0-4]0)");
    EXPECT_TRUE(std::regex_search(config, voltage)) << config;
  }
  std::string overrides = board.text("/config/manual_freqs.txt");
  std::regex line("([2346-8]):([0-9]+):([0-9]+)\n");
  size_t lines = 0;
  for (auto it = std::sregex_iterator(overrides.begin(), overrides.end(), line);
       it != std::sregex_iterator(); ++it) {
    int chip = std::stoi((*it)[2]);
    int step = std::stoi((*it)[3]);
    EXPECT_TRUE(chip >= 1 && chip <= 63 && step >= 1 && step <= 113) << it->str();
    ++lines;
  }
  EXPECT_GT(lines, 0u);
  EXPECT_EQ(std::count(overrides.begin(), overrides.end(), '\n'), static_cast<long>(lines));
}

}  // namespace
}  // namespace tune
