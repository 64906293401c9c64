// Power cuts at the writes the programs make on /config: after each one every miner file
// holds one of its whole versions (never a torn mix), and the next start of the program
// runs to its normal end. The suite tries every 7th write, the first and the last among
// them; TUNE_CRASH_POINT_STRIDE=1 (the "sweep" tests) tries every one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <vector>

#include "harness.hpp"
#include "sandbox.hpp"

namespace tune::blackbox {
namespace {

namespace fs = std::filesystem;

const char* const miner_files[] = {"config.conf", "manual_freqs.txt", "yellow-step"};

struct Session {
  const char* program;
  std::function<void(Sandbox&)> arrange;
  std::function<bool(const std::vector<std::string>& log)> ended_normally;
};

// What a file may hold after a cut: what it held before the run, and every content the
// uncut run gave it. "<missing>" stands for no file.
using Versions = std::map<std::string, std::set<std::string>>;

// The miner files as they are before a run; a step file may also be gone after one.
Versions versions_before_run(const Sandbox& sandbox) {
  Versions versions;
  for (const char* name : miner_files) {
    versions[name].insert(sandbox.text(std::string("config/") + name));
  }
  versions["yellow-step"].insert("<missing>");  // removed at the finish
  return versions;
}

// Adds what the preload recorded of a run made with sim/versions present.
void add_versions_given(const Sandbox& sandbox, Versions& versions) {
  for (const auto& entry : fs::directory_iterator(sandbox.root() + "/sim/versions")) {
    std::string name = entry.path().stem().string();  // NAME.K
    if (versions.count(name)) {
      versions[name].insert(sandbox.text("sim/versions/" + entry.path().filename().string()));
    }
  }
}

// The miner files that hold none of their whole versions, each a test failure.
long torn_files(const Sandbox& sandbox, const Versions& versions) {
  long torn = 0;
  for (const char* name : miner_files) {
    std::string content = sandbox.text(std::string("config/") + name);
    if (versions.at(name).count(content) == 0) {
      ++torn;
      ADD_FAILURE() << name << " is torn:\n" << content;
    }
  }
  return torn;
}

Versions versions_of_uncut_run(const Session& session, long& crash_points) {
  Sandbox sandbox;
  session.arrange(sandbox);
  Versions versions = versions_before_run(sandbox);
  sandbox.make_dir("sim/versions");
  Outcome outcome = sandbox.run(session.program);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_TRUE(session.ended_normally(sandbox.log()));
  crash_points = std::stol(sandbox.text(std::string("sim/crash-points.") + session.program));
  add_versions_given(sandbox, versions);
  return versions;
}

void sweep(const Session& session) {
  long crash_points = 0;
  const Versions versions = versions_of_uncut_run(session, crash_points);
  ASSERT_GT(crash_points, 0);
  long torn = 0;
  const std::vector<long> points = testing::cut_points(crash_points, 7);
  for (long at : points) {
    SCOPED_TRACE("power cut before crash point " + std::to_string(at));
    Sandbox sandbox;
    session.arrange(sandbox);
    sandbox.write("sim/crash-at", std::to_string(at) + "\n");
    Outcome cut = sandbox.run(session.program);
    EXPECT_EQ(cut.status, 128 + 9);
    torn += torn_files(sandbox, versions);
    sandbox.remove("sim/crash-at");
    Outcome next = sandbox.run(session.program);
    EXPECT_EQ(next.status, 0);
    EXPECT_TRUE(session.ended_normally(sandbox.log()));
  }
  std::cout << session.program << ": " << points.size() << " of " << crash_points
            << " crash points tried: " << torn << " torn files\n";
}

TEST(CrashPoints, ChainTunerLeavesWholeFilesAtEveryPowerCut) {
  sweep({"chain-tuner",
         [](Sandbox& s) { s.write("config/autoTune.conf", "restarts_count=2&desired_rate=99999"); },
         [](const std::vector<std::string>& log) {
           return !log.empty() && log.back() == "Auto tune is done, exit\n";
         }});
}

TEST(CrashPoints, YellowFixerLeavesWholeFilesAtEveryPowerCutAndResumes) {
  sweep({"yellow-fixer",
         [](Sandbox& s) {
           // One weak chip: three iterations with a change, then the first one without
           // ends the run below the desired rate.
           s.write("sim/miner.conf", "model=seeded\nseed=3\nweak=1\ndead=0\nmissing=0\n");
           s.write("config/autoTune.conf", "desired_rate=99999");
           s.write("config/manual_freqs.txt", "2:1:70\n");
           s.write("config/tune-running", "");
         },
         [](const std::vector<std::string>& log) {
           return !log.empty() && log.back().ends_with(", quit\n");
         }});
}

// The whole life of a tuning through tune-session, cut at every write-family call that
// tune-session or either program makes on /config, then started again (after a reboot:
// /tmp/auto-tune is gone) until the tuning has finished.
TEST(CrashPoints, ATuningThroughTheSessionFinishesWhereverThePowerGoes) {
  auto arrange = [](Sandbox& s) {
    s.write("sim/miner.conf", "model=healthy\n");
    s.write("config/autoTune.conf", "restarts_count=1&desired_rate=99999&voltage_from=940");
    s.write("config/manual_freqs.txt", "2:1:70\n");
    s.write("config/tune-running", "");
  };
  RunOptions start;
  start.args = {"start", "--foreground"};
  Versions versions;
  std::map<std::string, std::string> first;
  long crash_points = 0;
  {
    Sandbox uncut;
    arrange(uncut);
    for (const char* name : {"config.conf", "manual_freqs.txt", "autoTune.conf"}) {
      first[name] = uncut.text(std::string("config/") + name);
    }
    versions = versions_before_run(uncut);
    uncut.make_dir("sim/versions");
    uncut.write("sim/crash-count", "0\n");
    ASSERT_EQ(uncut.run("tune-session", start).status, 0);
    crash_points = std::stol(uncut.text("sim/crash-count"));
    add_versions_given(uncut, versions);
  }
  ASSERT_GT(crash_points, 0);
  long torn = 0, unfinished = 0;
  const std::vector<long> points = testing::cut_points(crash_points, 7);
  for (long at : points) {
    SCOPED_TRACE("power cut before crash point " + std::to_string(at) + " of the tuning");
    Sandbox sandbox;
    arrange(sandbox);
    sandbox.write("sim/crash-at", std::to_string(at) + " *\n");
    sandbox.write("sim/crash-count", "0\n");
    EXPECT_EQ(sandbox.run("tune-session", start).status, 128 + 9);
    torn += torn_files(sandbox, versions);
    sandbox.remove("sim/crash-at");
    int status = -1;
    for (int starts = 0; starts < 3 && status != 0; ++starts) {
      sandbox.remove("tmp/auto-tune");
      status = sandbox.run("tune-session", start).status;
    }
    if (status != 0) ++unfinished;
    EXPECT_EQ(status, 0);
    EXPECT_NE(sandbox.text("config/tune-session.state").find("\nstage=finished\n"),
              std::string::npos);
    for (const auto& [name, text] : first) {
      EXPECT_EQ(sandbox.text("config/tune-backup/original/" + name), text) << name;
    }
  }
  std::cout << "tune-session, chain-tuner and yellow-fixer: " << points.size() << " of "
            << crash_points << " crash points tried: " << torn << " torn files, " << unfinished
            << " tunings that did not finish\n";
}

}  // namespace
}  // namespace tune::blackbox
