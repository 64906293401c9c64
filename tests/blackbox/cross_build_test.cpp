// Another build of the programs (the static armhf build under qemu-arm, or the static host
// build) against the build under test, on the endings that need no long sleeps: static
// programs ignore the virtual-time preload, so their sleeps are real.
//   TUNE_CROSS_BUILD_DIR=build/armhf-release TUNE_CROSS_LAUNCHER=qemu-arm
//   build/dev/tests/blackbox-tests --gtest_filter='CrossBuild.*'
// Without the other build or its tools (scripts/build-board and scripts/install-cross-deps
// give them) the tests skip and say why; TUNE_CROSS_REQUIRED=1 makes that a failure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "sandbox.hpp"

namespace tune::blackbox {
namespace {

struct Case {
  const char* name;
  const char* program;
  std::function<void(Sandbox&)> arrange;
  std::vector<std::string> args = {};
  bool on_disk = false;      // a sandbox on a disk's file system
  bool same_output = false;  // standard output compared too (no stamps of the clock in it)
};

struct Result {
  Outcome outcome;
  std::vector<std::string> log;
  std::vector<std::string> files;
};

const char* const board_programs[] = {"chain_tuner/chain-tuner", "yellow_fixer/yellow-fixer",
                                      "session/tune-session"};

bool on_path(const std::string& tool) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = std::min(dirs.find(':', start), dirs.size());
    std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && access((dir + "/" + tool).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// Why the other build cannot be tried here, or "" when it can.
std::string missing_for_cross_build(const std::vector<std::string>& tools) {
  const char* build_dir = std::getenv("TUNE_CROSS_BUILD_DIR");
  if (build_dir == nullptr) return "TUNE_CROSS_BUILD_DIR names no other build";
  for (const char* program : board_programs) {
    std::string built = std::string(build_dir) + "/src/board/" + program;
    if (access(built.c_str(), X_OK) != 0) {
      return built + " is not built (scripts/build-board builds it)";
    }
  }
  for (const std::string& tool : tools) {
    if (!on_path(tool)) return tool + " is not installed (scripts/install-cross-deps installs it)";
  }
  return "";
}

#define SKIP_WITHOUT_CROSS_BUILD(tools)                                 \
  if (std::string why = missing_for_cross_build(tools); !why.empty()) { \
    if (std::getenv("TUNE_CROSS_REQUIRED") != nullptr) FAIL() << why;   \
    GTEST_SKIP() << why;                                                \
  }

Result run_case(const Case& c, RunOptions options) {
  Sandbox sandbox(c.on_disk);
  c.arrange(sandbox);
  Result result;
  options.args = c.args;
  result.outcome = sandbox.run(c.program, options);
  result.log = sandbox.log();
  for (const char* file :
       {"config/config.conf", "config/manual_freqs.txt", "config/yellow", "config/yellow-step",
        "config/restart", "tmp/chip-rates", "config/tune-backup/original/config.conf",
        "config/tune-logs/0001-1-chain-tuner.log"}) {
    result.files.push_back(sandbox.text(file));
  }
  return result;
}

TEST(CrossBuild, ShortEndingsMatchTheBuildUnderTest) {
  const char* launcher = std::getenv("TUNE_CROSS_LAUNCHER");
  std::vector<std::string> tools;
  if (launcher != nullptr) tools.push_back(launcher);
  SKIP_WITHOUT_CROSS_BUILD(tools);
  const std::string build_dir = std::getenv("TUNE_CROSS_BUILD_DIR");
  const Case cases[] = {
      {"settings missing", "chain-tuner", [](Sandbox& s) { s.remove("config/autoTune.conf"); }},
      {"bmminer.conf missing", "chain-tuner", [](Sandbox& s) { s.remove("config/bmminer.conf"); }},
      {"bmminer.conf not JSON", "chain-tuner",
       [](Sandbox& s) { s.write("config/bmminer.conf", "{\"bitmain-freq\":"); }},
      {"no restarts", "chain-tuner",
       [](Sandbox& s) { s.write("config/autoTune.conf", "restarts_count=0&max_freq=1"); }},
      {"settings missing", "yellow-fixer", [](Sandbox& s) { s.remove("config/autoTune.conf"); }},
      {"chip rates missing after the restart", "yellow-fixer",
       [](Sandbox& s) {
         s.write("sim/miner.conf", "chip_rates=off\n");
         s.write("sim/stats-script", "STATS=0,Elapsed=180,chain_rate2=1\n");
       }},
      // tune-session runs the build under test's chain-tuner beside it either way.
      {"a tuning whose chain-tuner finds no settings",
       "tune-session",
       [](Sandbox& s) { s.remove("config/autoTune.conf"); },
       {"start", "--foreground"}},
      // A 32-bit build needs large-file calls to list a directory whose offsets are 64-bit
      // (ext4 gives them to qemu-arm, a 64-bit process), and 64-bit time for a stamp past
      // 2038: status reads both, the kept logs for the last line of the last tuning.
      {"a finished tuning of 2039 and its kept logs",
       "tune-session",
       [](Sandbox& s) {
         s.write("config/tune-session.state",
                 "tuning=3\nstage=finished\nsince=2200000000\nbegan=2199990000\n");
         s.make_dir("config/tune-logs");
         for (int tuning = 1; tuning <= 3; ++tuning) {
           s.write("config/tune-logs/000" + std::to_string(tuning) + "-1-yellow-fixer.log",
                   "2039-09-19 01:46:40 Tuning of tuning " + std::to_string(tuning) + " done\n");
         }
         s.remove("tmp/auto-tune");
       },
       {"status"},
       true,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.program) + ": " + c.name);
    RunOptions other;
    const std::string program = c.program;
    other.binary = build_dir + "/src/board/" +
                   (program == "chain-tuner"    ? "chain_tuner/"
                    : program == "yellow-fixer" ? "yellow_fixer/"
                                                : "session/") +
                   program;
    if (launcher != nullptr) other.launcher = launcher;
    Result expected = run_case(c, RunOptions{});
    Result actual = run_case(c, other);
    EXPECT_TRUE(actual.outcome.exited);
    EXPECT_EQ(actual.outcome.status, expected.outcome.status);
    EXPECT_EQ(actual.log, expected.log);
    if (c.same_output) {
      EXPECT_EQ(actual.outcome.output, expected.outcome.output);
    }
    ASSERT_EQ(actual.files.size(), expected.files.size());
    for (size_t i = 0; i < actual.files.size(); ++i) {
      EXPECT_EQ(actual.files[i], expected.files[i]) << "file " << i;
    }
    EXPECT_FALSE(expected.log.empty() && expected.outcome.output.empty());
  }
}

// What a board's flash takes: each program of the armhf build, stripped as the packages
// ship it, in half a megabyte.
TEST(CrossBuild, TheBoardsProgramsAreUnder500000Bytes) {
  SKIP_WITHOUT_CROSS_BUILD(std::vector<std::string>{"arm-linux-gnueabihf-strip"});
  const std::string build_dir = std::getenv("TUNE_CROSS_BUILD_DIR");
  const testing::TempDir dir;
  const std::string stripped = dir / "stripped";
  for (const char* program : board_programs) {
    SCOPED_TRACE(program);
    const std::string built = build_dir + "/src/board/" + program;
    const Outcome strip =
        testing::run_process({"arm-linux-gnueabihf-strip", "-o", stripped, built});
    ASSERT_EQ(strip.status, 0) << strip.errors;
    // The README's figure: under 500,000 bytes each, stripped.
    EXPECT_LT(std::filesystem::file_size(stripped), 500000u);
  }
}

}  // namespace
}  // namespace tune::blackbox
