// The built programs, unchanged, run as deployed: real paths, real shell, real pipe, real
// exit statuses, inside a sandbox with a stand-in miner and virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>

#include "sandbox.hpp"

namespace tune::blackbox {
namespace {

using Entries = std::vector<std::string>;

bool contains(const Entries& entries, const std::string& entry) {
  return std::find(entries.begin(), entries.end(), entry) != entries.end();
}

// chain:chip -> step of a manual_freqs.txt text.
std::map<std::string, int> overrides_of(const std::string& text) {
  std::map<std::string, int> steps;
  std::regex line("(\\d+:\\d+):(\\d+)\n");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    steps[(*it)[1]] = std::stoi((*it)[2]);
  }
  return steps;
}

struct Fatal {
  const char* name;
  const char* program;
  std::function<void(Sandbox&, RunOptions&)> arrange;
  std::string last_entry;
  int status;
};

TEST(BlackBox, EveryFatalEndingGivesItsStatusAndNoMarker) {
  const std::vector<Fatal> endings = {
      {"settings missing", "chain-tuner",
       [](Sandbox& s, RunOptions&) { s.remove("config/autoTune.conf"); }, "Can't open config file",
       0},
      {"bmminer.conf missing", "chain-tuner",
       [](Sandbox& s, RunOptions&) { s.remove("config/bmminer.conf"); },
       "Can't read /config/bmminer.conf\n", 1},
      {"bmminer.conf not JSON", "chain-tuner",
       [](Sandbox& s, RunOptions&) { s.write("config/bmminer.conf", "{\"bitmain-freq\""); },
       "Can't read json\n", 255},
      {"no wait for the trigger's shell", "chain-tuner",
       [](Sandbox&, RunOptions& o) { o.deny = Deny::wait; }, "Can't restart asic\n", 255},
      {"no process for the trigger", "chain-tuner",
       [](Sandbox&, RunOptions& o) { o.deny = Deny::spawn; }, "Failed to run command\n", 1},
      {"config.conf unwritable", "chain-tuner",
       [](Sandbox& s, RunOptions&) {
         s.remove("config/config.conf");
         s.make_dir("config/config.conf");
       },
       "Can't open /config/config.conf\n", 1},
      {"no pipe for the statistics", "chain-tuner",
       [](Sandbox&, RunOptions& o) { o.deny = Deny::pipe; }, "Failed to run command\n", 1},
      {"chip rates missing", "chain-tuner",
       [](Sandbox& s, RunOptions&) { s.write("sim/miner.conf", "chip_rates=off\n"); },
       "Failed to read rates\n", 1},
      {"settings missing", "yellow-fixer",
       [](Sandbox& s, RunOptions&) { s.remove("config/autoTune.conf"); }, "Can't open config file",
       0},
      {"no wait for the trigger's shell", "yellow-fixer",
       [](Sandbox&, RunOptions& o) { o.deny = Deny::wait; }, "Can't restart asic\n", 255},
      {"no pipe for the statistics", "yellow-fixer",
       [](Sandbox&, RunOptions& o) { o.deny = Deny::pipe; }, "Failed to run command\n", 1},
      {"chip rates missing after the restart", "yellow-fixer",
       [](Sandbox& s, RunOptions&) { s.write("sim/miner.conf", "chip_rates=off\n"); },
       "Failed to read rates\n", 1},
      {"bmminer.conf missing", "yellow-fixer",
       [](Sandbox& s, RunOptions&) { s.remove("config/bmminer.conf"); },
       "Can't read /config/bmminer.conf\n", 1},
      {"bmminer.conf not JSON", "yellow-fixer",
       [](Sandbox& s, RunOptions&) { s.write("config/bmminer.conf", "[\"x\""); },
       "Can't read json\n", 255},
  };
  for (const Fatal& fatal : endings) {
    SCOPED_TRACE(std::string(fatal.program) + ": " + fatal.name);
    Sandbox sandbox;
    sandbox.write("config/tune-running", "");
    RunOptions options;
    fatal.arrange(sandbox, options);
#ifdef TUNE_SANITIZED
    // The sanitizers' runtime probes memory through a pipe of its own; without pipes it
    // reports errors that are not the program's. The plain builds run these cases.
    if (options.deny == Deny::pipe) continue;
#endif
    Outcome outcome = sandbox.run(fatal.program, options);
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.status, fatal.status);
    Entries log = sandbox.log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), fatal.last_entry);
    EXPECT_FALSE(sandbox.exists("config/yellow"));
    EXPECT_FALSE(sandbox.exists("tmp/finish-ran"));
  }
}

TEST(BlackBox, NormalEndingsOfTheChainTunerLeaveTheMarker) {
  const struct {
    const char* name;
    const char* settings;
    const char* miner;
    std::string before_last;
    // The miner's two files are mount points, bound from elsewhere as some firmwares do:
    // they cannot be renamed over and are written in place.
    bool bound_files = false;
  } endings[] = {
      {"desired rate reached", "", "model=healthy\n",
       "Current rate 36930 is not less than desired rate 16000.00\n"},
      {"iterations used up", "restarts_count=2&desired_rate=99999", "model=seeded\n",
       "Trying to increase freqs of green chips before restart, reverting voltage on chain 7 to "
       "940\n"},
      {"no rate for the first chain", "", "unreported=1\n",
       "CGMiner not started in expected time, doing restart\n"},
      {"no restarts at all", "restarts_count=0", "",
       "Config parse: freq_from=500, freq_to=850, voltage_from=880, voltage_to=940, "
       "ideal_percent=97\n"},
      {"miner files bound into /config", "restarts_count=2&desired_rate=99999", "model=seeded\n",
       "Trying to increase freqs of green chips before restart, reverting voltage on chain 7 to "
       "940\n",
       true},
  };
  for (const auto& ending : endings) {
    SCOPED_TRACE(ending.name);
    Sandbox sandbox;
    sandbox.write("config/autoTune.conf", ending.settings);
    sandbox.write("sim/miner.conf", ending.miner);
    RunOptions options;
    const std::string untuned = sandbox.text("config/config.conf");
    if (ending.bound_files) {
      sandbox.make_dir("outside");
      sandbox.write("outside/config.conf", untuned);
      sandbox.write("outside/manual_freqs.txt", "");
      sandbox.write("config/manual_freqs.txt", "");
      options.binds = {{"outside/config.conf", "/config/config.conf"},
                       {"outside/manual_freqs.txt", "/config/manual_freqs.txt"}};
    }
    Outcome outcome = sandbox.run("chain-tuner", options);
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.status, 0);
    Entries log = sandbox.log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], ending.before_last);
    EXPECT_EQ(log.back(), "Auto tune is done, exit\n");
    EXPECT_EQ(sandbox.text("config/yellow"), "ok\n");
    if (ending.bound_files) {
      EXPECT_NE(sandbox.text("outside/config.conf"), untuned);
      EXPECT_NE(sandbox.text("outside/manual_freqs.txt"), "");
      EXPECT_FALSE(sandbox.exists("config/.config.conf.tune-new"));
    }
  }
}

TEST(BlackBox, TheYellowFixerTakesOverTheChainTunersFiles) {
  Sandbox sandbox;
  sandbox.write("config/autoTune.conf", "desired_rate=99999");
  ASSERT_EQ(sandbox.run("chain-tuner").status, 0);
  std::string tuned_config = sandbox.text("config/config.conf");
  std::map<std::string, int> tuned = overrides_of(sandbox.text("config/manual_freqs.txt"));
  ASSERT_FALSE(tuned.empty());

  sandbox.write("config/autoTune.conf", "");
  Outcome outcome = sandbox.run("yellow-fixer");
  EXPECT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.status, 0);
  Entries log = sandbox.log();
  EXPECT_FALSE(std::any_of(log.begin(), log.end(),
                           [](const std::string& e) { return e.starts_with("Config parse"); }));
  EXPECT_TRUE(contains(log, "Fix yellow\n"));
  EXPECT_EQ(sandbox.text("config/config.conf"), tuned_config);
  // The fixer loaded the tuner's overrides: every one is still there, never raised.
  std::map<std::string, int> fixed = overrides_of(sandbox.text("config/manual_freqs.txt"));
  for (const auto& [chip, step] : tuned) {
    ASSERT_EQ(fixed.count(chip), 1u) << chip;
    EXPECT_LE(fixed[chip], step) << chip;
  }
  EXPECT_FALSE(sandbox.exists("config/yellow-step"));
}

TEST(BlackBox, AFinishedYellowFixerSyncsTheRemovalOfItsStepFile) {
  // A removal not yet synced could come back after a power cut, and a finished run resume.
  Sandbox sandbox;
  sandbox.write("config/yellow-step", "1");
  sandbox.write("sim/trace", "");
  ASSERT_EQ(sandbox.run("yellow-fixer").status, 0);
  std::string trace = sandbox.text("sim/trace");
  EXPECT_TRUE(
      trace.ends_with("yellow-fixer remove /config/yellow-step\n"
                      "yellow-fixer fsync /config\n"))
      << trace;
}

TEST(BlackBox, AKilledYellowFixerResumesFromItsStoredStep) {
  Sandbox sandbox;
  sandbox.write("sim/miner.conf", "model=seeded\nkill=1:3\n");
  Outcome killed = sandbox.run("yellow-fixer");
  EXPECT_NE(killed.status, 0);
  ASSERT_EQ(sandbox.text("config/yellow-step"), "1");
  std::string overrides = sandbox.text("config/manual_freqs.txt");
  std::map<std::string, int> before = overrides_of(overrides);
  ASSERT_FALSE(before.empty());  // the first iteration changed something

  sandbox.write("sim/miner.conf", "model=seeded\n");
  Outcome resumed = sandbox.run("yellow-fixer");
  EXPECT_TRUE(resumed.exited);
  EXPECT_EQ(resumed.status, 0);
  Entries log = sandbox.log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0], "Resuming tune from step 1\n");
  EXPECT_EQ(log[1], "Fix yellow\n");  // no restart, so no wait for one
  std::map<std::string, int> after = overrides_of(sandbox.text("config/manual_freqs.txt"));
  for (const auto& [chip, step] : before) {
    ASSERT_EQ(after.count(chip), 1u) << chip;
    EXPECT_LE(after[chip], step) << chip;
  }
  EXPECT_FALSE(sandbox.exists("config/yellow-step"));
}

TEST(BlackBox, AYellowFixerKilledInItsFirstIterationStartsFresh) {
  Sandbox sandbox;
  sandbox.write("sim/miner.conf", "model=seeded\nkill=none:3\n");
  EXPECT_NE(sandbox.run("yellow-fixer").status, 0);
  EXPECT_FALSE(sandbox.exists("config/yellow-step"));
  sandbox.write("sim/miner.conf", "model=seeded\n");
  EXPECT_EQ(sandbox.run("yellow-fixer").status, 0);
  Entries log = sandbox.log();
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(log[0].starts_with("Elapsed time is ")) << log[0];  // restarted, then waited
}

TEST(BlackBox, TheFinishingScriptRunsOnlyForAnActiveTuning) {
  Sandbox active;
  active.write("config/tune-running", "");
  Outcome outcome = active.run("yellow-fixer");
  EXPECT_EQ(outcome.status, 0);  // the script's own failure is not the program's
  EXPECT_EQ(active.text("tmp/finish-ran"), "ran\n");

  Sandbox idle;
  EXPECT_EQ(idle.run("yellow-fixer").status, 0);
  EXPECT_FALSE(idle.exists("tmp/finish-ran"));
}

TEST(BlackBox, ArgumentsAndEnvironmentChangeNothing) {
  const char* files[] = {"tmp/auto-tune", "config/config.conf", "config/manual_freqs.txt",
                         "config/yellow", "tmp/chip-rates",     "sim/clock"};
  Sandbox plain;
  plain.write("config/autoTune.conf", "restarts_count=3&desired_rate=99999");
  ASSERT_EQ(plain.run("chain-tuner").status, 0);
  ASSERT_EQ(plain.run("yellow-fixer").status, 0);

  Sandbox noisy;
  noisy.write("config/autoTune.conf", "restarts_count=3&desired_rate=99999");
  RunOptions options;
  options.args = {"--restarts_count=1", "-h", "/config/other.conf"};
  options.env = {{"restarts_count", "1"}, {"DESIRED_RATE", "1"}, {"HOME", "/nowhere"},
                 {"LANG", "de_DE.UTF-8"}, {"LC_ALL", "C.UTF-8"}, {"POSIXLY_CORRECT", "1"}};
  ASSERT_EQ(noisy.run("chain-tuner", options).status, 0);
  ASSERT_EQ(noisy.run("yellow-fixer", options).status, 0);
  for (const char* file : files) EXPECT_EQ(noisy.text(file), plain.text(file)) << file;
  EXPECT_NE(plain.text("tmp/auto-tune"), "");
}

TEST(BlackBox, HelpAndVersionAnswerWithoutTouchingTheBoard) {
  for (const char* program : {"chain-tuner", "yellow-fixer"}) {
    for (const char* option : {"--help", "--version"}) {
      SCOPED_TRACE(std::string(program) + " " + option);
      Sandbox sandbox;
      sandbox.write("config/yellow-step", "3");
      const std::string config = sandbox.text("config/config.conf");
      RunOptions options;
      options.args = {option, "--ignored"};
      Outcome outcome = sandbox.run(program, options);
      EXPECT_TRUE(outcome.exited);
      EXPECT_EQ(outcome.status, 0);
      const std::string expected =
          option == std::string("--help")
              ? "Usage: " + std::string(program) + " [--help | --version]\n"
              : std::string(program) + " " TUNE_VERSION "\n";
      EXPECT_TRUE(outcome.output.starts_with(expected)) << outcome.output;
      EXPECT_FALSE(sandbox.exists("tmp/auto-tune"));
      EXPECT_FALSE(sandbox.exists("tmp/chip-rates"));
      EXPECT_FALSE(sandbox.exists("config/restart"));
      EXPECT_EQ(sandbox.text("config/config.conf"), config);
      EXPECT_EQ(sandbox.text("config/yellow-step"), "3");
      EXPECT_EQ(sandbox.text("sim/clock"), "0\n");
    }
  }
}

TEST(BlackBox, AWholeSessionGivesTheSameResultEveryTime) {
  std::vector<std::string> results;
  for (int run = 0; run < 2; ++run) {
    Sandbox sandbox;
    sandbox.write("config/tune-running", "");
    ASSERT_EQ(sandbox.run("chain-tuner").status, 0);
    std::string chain_log = sandbox.text("tmp/auto-tune");
    ASSERT_EQ(sandbox.run("yellow-fixer").status, 0);
    results.push_back(chain_log + sandbox.text("tmp/auto-tune") +
                      sandbox.text("config/manual_freqs.txt") + sandbox.text("config/config.conf"));
  }
  EXPECT_EQ(results[0], results[1]);
}

TEST(BlackBox, FullSessionsRunCleanUnderValgrind) {
#ifdef TUNE_SANITIZED
  GTEST_SKIP() << "valgrind cannot run sanitized binaries; the plain builds run this";
#endif
  Sandbox sandbox;
  sandbox.write("config/autoTune.conf", "desired_rate=99999");
  RunOptions options;
  options.valgrind = true;
  Outcome tuner = sandbox.run("chain-tuner", options);
  EXPECT_EQ(tuner.status, 0) << "memcheck reports errors or leaks (status 99)";
  EXPECT_EQ(sandbox.log().back(), "Auto tune is done, exit\n");
  sandbox.write("config/autoTune.conf", "");
  Outcome fixer = sandbox.run("yellow-fixer", options);
  EXPECT_EQ(fixer.status, 0) << "memcheck reports errors or leaks (status 99)";
  EXPECT_TRUE(sandbox.log().back().ends_with(", quit\n"));

  // tune-session over a whole tuning (its programs run as they are), then its other commands.
  Sandbox board;
  board.write("config/autoTune.conf", "restarts_count=1&desired_rate=99999");
  for (std::vector<std::string> args : {std::vector<std::string>{"start", "--foreground"},
                                        {"status"},
                                        {"status", "--json"},
                                        {"undo", "original"},
                                        {"stop"}}) {
    options.args = args;
    Outcome session = board.run("tune-session", options);
    EXPECT_EQ(session.status, 0) << args[0] << ": memcheck reports errors or leaks (status 99)\n"
                                 << session.errors;
  }
}

}  // namespace
}  // namespace tune::blackbox
