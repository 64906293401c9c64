// Power cuts at the writes the programs make on /config: after each one every miner file
// holds one of its whole versions (never a torn mix), and the next start of the program
// runs to its normal end. Then the same calls made to fail instead: the files stay whole,
// the program ends as it documents, and the next start runs to its normal end. The suite
// tries every 7th call, the first and the last among them; TUNE_CRASH_POINT_STRIDE=1 (the
// "sweep" tests) tries every one.
#include <gtest/gtest.h>
#include <sys/xattr.h>

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

// The names of the write-family calls a run made on /config, as the preload traced them:
// of one program, or of all (nullptr).
std::vector<std::string> traced_calls(const Sandbox& sandbox, const char* program) {
  std::vector<std::string> calls;
  const std::string trace = sandbox.text("sim/trace");
  for (size_t at = 0, end; (end = trace.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = trace.substr(at, end - at);
    const size_t space = line.find(' ');
    if (program != nullptr && line.substr(0, space) != program) continue;
    calls.push_back(line.substr(space + 1, line.find(' ', space + 1) - space - 1));
  }
  return calls;
}

// One failure for each call tried, the calls taking their failures in turn: over a sweep
// every failure meets every kind of call, at a fraction of the runs (the in-process sweeps
// try every failure at every call).
std::vector<testing::Failure> one_failure_each(const std::vector<testing::Failure>& all) {
  std::vector<testing::Failure> picked;
  for (size_t first = 0; first < all.size();) {
    size_t end = first;
    while (end < all.size() && all[end].at == all[first].at) ++end;
    const size_t turn = picked.size() % (end - first);
    picked.push_back(all[first + turn]);
    first = end;
  }
  return picked;
}

// Arms the preload to fail the failure's call ("0" for none: the calls are only counted,
// closes among them) of the program, or of all programs together ("*").
void fail_at(Sandbox& sandbox, const testing::Failure& failure, const char* who) {
  sandbox.write("sim/fail-at", std::to_string(failure.at) + " " + std::to_string(failure.fault) +
                                   " " + (failure.lasting ? "1 " : "0 ") + who + "\n");
}

// Every write-family call of a program's run made to fail in turn (see one_failure_each):
// the miner files stay whole, the program ends normally or with "Can't open" (status 1), and
// with the error gone the next start runs to its normal end.
void error_sweep(const Session& session) {
  Versions versions;
  std::vector<std::string> calls;
  {
    Sandbox uncut;
    session.arrange(uncut);
    versions = versions_before_run(uncut);
    uncut.make_dir("sim/versions");
    uncut.write("sim/trace", "");
    fail_at(uncut, {}, session.program);
    ASSERT_EQ(uncut.run(session.program).status, 0);
    add_versions_given(uncut, versions);
    calls = traced_calls(uncut, session.program);
  }
  ASSERT_FALSE(calls.empty());
  // The step file's removal at the finish: the last one (its number among the calls).
  const long removal_at =
      static_cast<long>(calls.rend() - std::find(calls.rbegin(), calls.rend(), "remove"));
  long torn = 0, ended_otherwise = 0;
  const auto failures = one_failure_each(testing::failures_to_try(calls, 21));
  for (const testing::Failure& failure : failures) {
    SCOPED_TRACE(failure.describe());
    Sandbox sandbox;
    session.arrange(sandbox);
    sandbox.make_dir("sim/versions");
    fail_at(sandbox, failure, session.program);
    Outcome failed = sandbox.run(session.program);
    Versions given = versions;
    add_versions_given(sandbox, given);
    torn += torn_files(sandbox, given);
    const std::vector<std::string> log = sandbox.log();
    const bool normal = failed.status == 0 && session.ended_normally(log);
    const bool cannot_open =
        failed.status == 1 && !log.empty() && log.back().starts_with("Can't open /config/");
    if (!normal && !cannot_open) ++ended_otherwise;
    EXPECT_TRUE(normal || cannot_open)
        << "status " << failed.status << ", last entry " << (log.empty() ? "none" : log.back());
    // After a normal end the step file is gone, unless its removal is what failed (then the
    // session, which runs the program, names it).
    const bool removal_failed =
        failure.at == removal_at ||
        (failure.lasting && failure.fault == EIO && failure.at < removal_at);
    EXPECT_TRUE(!normal || !sandbox.exists("config/yellow-step") || removal_failed);
    if (normal) continue;
    sandbox.remove("sim/fail-at");
    EXPECT_EQ(sandbox.run(session.program).status, 0);
    EXPECT_TRUE(session.ended_normally(sandbox.log()));
  }
  EXPECT_EQ(torn, 0);
  std::cout << session.program << ": " << failures.size() << " failures ("
            << testing::tally(failures) << ") at " << calls.size() << " calls tried: " << torn
            << " torn files, " << ended_otherwise << " other endings\n";
}

// The firmware's attributes on the miner's files, which every replace carries over.
void give_attributes(Sandbox& s) {
  const std::string value(120, 'x');
  for (const char* name : {"config/config.conf", "config/manual_freqs.txt"}) {
    if (!s.exists(name)) s.write(name, "");
    for (const char* attribute : {"user.firmware-a", "user.firmware-b"}) {
      setxattr((s.root() + "/" + name).c_str(), attribute, value.data(), value.size(), 0);
    }
  }
}

const Session chain_tuner_run = {"chain-tuner",
                                 [](Sandbox& s) {
                                   s.write("config/autoTune.conf",
                                           "restarts_count=2&desired_rate=99999");
                                   give_attributes(s);
                                 },
                                 [](const std::vector<std::string>& log) {
                                   return !log.empty() && log.back() == "Auto tune is done, exit\n";
                                 }};

// One weak chip: an iteration with a change, then the first one without ends the run below
// the desired rate.
const Session yellow_fixer_run = {"yellow-fixer",
                                  [](Sandbox& s) {
                                    s.write("sim/miner.conf",
                                            "model=seeded\nseed=4\nweak=1\ndead=0\nmissing=0\n");
                                    s.write("config/autoTune.conf", "desired_rate=99999");
                                    s.write("config/manual_freqs.txt", "2:1:70\n");
                                    s.write("config/tune-running", "");
                                    give_attributes(s);
                                  },
                                  [](const std::vector<std::string>& log) {
                                    return !log.empty() && log.back().ends_with(", quit\n");
                                  }};

TEST(CrashPoints, ChainTunerLeavesWholeFilesAtEveryPowerCut) {
  sweep(chain_tuner_run);
}

TEST(CrashPoints, YellowFixerLeavesWholeFilesAtEveryPowerCutAndResumes) {
  sweep(yellow_fixer_run);
}

TEST(WriteErrors, ChainTunerKeepsWholeFilesWhateverCallFails) {
  error_sweep(chain_tuner_run);
}

TEST(WriteErrors, YellowFixerKeepsWholeFilesWhateverCallFails) {
  error_sweep(yellow_fixer_run);
}

// A short tuning through tune-session: one chain-tuner iteration, then yellow-fixer.
void arrange_tuning(Sandbox& s) {
  s.write("sim/miner.conf", "model=healthy\n");
  s.write("config/autoTune.conf", "restarts_count=1&desired_rate=99999&voltage_from=940");
  s.write("config/manual_freqs.txt", "2:1:70\n");
  s.write("config/tune-running", "");
  give_attributes(s);
}

const RunOptions start = [] {
  RunOptions options;
  options.args = {"start", "--foreground"};
  return options;
}();

// Starts the session again (after a reboot: /tmp/auto-tune is gone) until it finishes, at
// most three times; the last status.
int start_until_finished(Sandbox& sandbox) {
  int status = -1;
  for (int starts = 0; starts < 3 && status != 0; ++starts) {
    sandbox.remove("tmp/auto-tune");
    status = sandbox.run("tune-session", start).status;
  }
  return status;
}

// The whole life of a tuning through tune-session, cut at every write-family call that
// tune-session or either program makes on /config, then started again until the tuning has
// finished.
// What an uncut tuning through the session gives a sweep: the board's first files, every
// version the miner files took, the crash points of all three programs, and (when
// `traced`) the names of tune-session's own write-family calls on /config, closes among
// them.
struct UncutTuning {
  std::map<std::string, std::string> first;
  Versions versions;
  long crash_points = 0;
  std::vector<std::string> calls;
};

UncutTuning uncut_tuning(bool traced) {
  UncutTuning run;
  Sandbox uncut;
  arrange_tuning(uncut);
  run.first = saved_files_in(uncut, "config/");
  run.versions = versions_before_run(uncut);
  uncut.make_dir("sim/versions");
  uncut.write("sim/crash-count", "0\n");
  if (traced) {
    uncut.write("sim/trace", "");
    fail_at(uncut, {}, "*");
  }
  EXPECT_EQ(uncut.run("tune-session", start).status, 0);
  run.crash_points = std::stol(uncut.text("sim/crash-count"));
  add_versions_given(uncut, run.versions);
  run.calls = traced_calls(uncut, "tune-session");
  return run;
}

TEST(CrashPoints, ATuningThroughTheSessionFinishesWhereverThePowerGoes) {
  const UncutTuning uncut = uncut_tuning(false);
  const Versions& versions = uncut.versions;
  const std::map<std::string, std::string>& first = uncut.first;
  const long crash_points = uncut.crash_points;
  ASSERT_GT(crash_points, 0);
  long torn = 0, unfinished = 0;
  const std::vector<long> points = testing::cut_points(crash_points, 7);
  for (long at : points) {
    SCOPED_TRACE("power cut before crash point " + std::to_string(at) + " of the tuning");
    Sandbox sandbox;
    arrange_tuning(sandbox);
    sandbox.write("sim/crash-at", std::to_string(at) + " *\n");
    sandbox.write("sim/crash-count", "0\n");
    EXPECT_EQ(sandbox.run("tune-session", start).status, 128 + 9);
    torn += torn_files(sandbox, versions);
    sandbox.remove("sim/crash-at");
    const int status = start_until_finished(sandbox);
    if (status != 0) ++unfinished;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(state_of(sandbox)["stage"], "finished");
    EXPECT_EQ(saved_files_in(sandbox, "config/tune-backup/original/"), first);
  }
  std::cout << "tune-session, chain-tuner and yellow-fixer: " << points.size() << " of "
            << crash_points << " crash points tried: " << torn << " torn files, " << unfinished
            << " tunings that did not finish\n";
}

// What tune-session said of a run agrees with its state: "finished" (or status 0 for a
// start) only where the state holds it, and status shows the stage the state holds.
void expect_words_true(Sandbox& sandbox, const Outcome& outcome, const char* finished_word) {
  std::map<std::string, std::string> state = state_of(sandbox);
  if (outcome.status == 0 || outcome.output.find(finished_word) != std::string::npos) {
    EXPECT_EQ(state["stage"], "finished") << outcome.output << outcome.errors;
  }
  RunOptions status;
  status.args = {"status", "--json"};
  const Outcome shown = sandbox.run("tune-session", status);
  EXPECT_EQ(shown.status, 0) << shown.output << shown.errors;
  const std::string stage = state.count("stage") ? state["stage"] : "none";
  EXPECT_NE(shown.output.find("\"stage\":\"" + stage + "\""), std::string::npos) << shown.output;
}

// The same tuning with every write-family call that tune-session makes on /config made to
// fail in turn (see one_failure_each; the programs' own are failed by their own sweeps, and
// every call of a whole tuning by the in-process one): the files stay whole, start and
// status say only what the state holds, and with the error gone the next start finishes
// that same tuning, its copies whole.
TEST(WriteErrors, ATuningThroughTheSessionSaysOnlyWhatItStoredAndFinishesOnce) {
  const UncutTuning uncut = uncut_tuning(true);
  const Versions& versions = uncut.versions;
  const std::map<std::string, std::string>& first = uncut.first;
  const std::vector<std::string>& calls = uncut.calls;
  long torn = 0, unfinished = 0;
  const auto failures = one_failure_each(testing::failures_to_try(calls, 21));
  for (const testing::Failure& failure : failures) {
    SCOPED_TRACE(failure.describe());
    Sandbox sandbox;
    arrange_tuning(sandbox);
    sandbox.make_dir("sim/versions");
    sandbox.write("sim/crash-count", "0\n");
    fail_at(sandbox, failure, "tune-session");
    const Outcome failed = sandbox.run("tune-session", start);
    Versions given = versions;
    add_versions_given(sandbox, given);
    torn += torn_files(sandbox, given);
    sandbox.remove("sim/fail-at");
    expect_words_true(sandbox, failed, "tuning 1 finished");
    const int status = failed.status == 0 ? 0 : start_until_finished(sandbox);
    if (status != 0) ++unfinished;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(state_of(sandbox)["stage"], "finished");
    EXPECT_EQ(state_of(sandbox)["tuning"], "1");
    EXPECT_EQ(saved_files_in(sandbox, "config/tune-backup/original/"), first);
  }
  EXPECT_EQ(torn, 0);
  std::cout << "tune-session in a whole tuning: " << failures.size() << " failures ("
            << testing::tally(failures) << ") at " << calls.size() << " calls tried: " << torn
            << " torn files, " << unfinished << " tunings that did not finish\n";
}

// An undo with every write-family call it makes on /config made to fail in turn: it puts
// every file back and says so, or says it did not and leaves the files as they were or the
// undo recorded as under way, or says they are back but not recorded; the state stays one
// status accepts, and the next undo finishes it.
TEST(WriteErrors, AnUndoThatFailsSaysSoAndTheNextOneFinishesIt) {
  Sandbox tuned;
  arrange_tuning(tuned);
  const auto first = saved_files_in(tuned, "config/");
  ASSERT_EQ(tuned.run("tune-session", start).status, 0);
  const auto after = saved_files_in(tuned, "config/");
  auto board = [&](Sandbox& s) {
    fs::copy(tuned.root() + "/config", s.root() + "/config",
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  };
  RunOptions undo;
  undo.args = {"undo", "original"};
  std::vector<std::string> calls;
  {
    Sandbox uncut;
    board(uncut);
    uncut.write("sim/trace", "");
    fail_at(uncut, {}, "tune-session");
    ASSERT_EQ(uncut.run("tune-session", undo).status, 0);
    ASSERT_EQ(saved_files_in(uncut, "config/"), first);
    calls = traced_calls(uncut, "tune-session");
  }
  const auto failures = one_failure_each(testing::failures_to_try(calls, 7));
  long shown_back_wrongly = 0;
  for (const testing::Failure& failure : failures) {
    SCOPED_TRACE(failure.describe());
    Sandbox sandbox;
    board(sandbox);
    fail_at(sandbox, failure, "tune-session");
    const Outcome failed = sandbox.run("tune-session", undo);
    sandbox.remove("sim/fail-at");
    const auto now = saved_files_in(sandbox, "config/");
    auto state = state_of(sandbox);
    if (failed.status == 0) {
      if (now != first || state["stage"] != "undone") ++shown_back_wrongly;
      EXPECT_EQ(now, first);
      EXPECT_EQ(state["stage"], "undone");
    } else {
      // Or the files are back and it says the record of that may not last (a failed sync).
      const bool back_unrecorded =
          now == first &&
          failed.errors.find("are back, but the undo cannot be recorded") != std::string::npos;
      EXPECT_TRUE(now == after || state["undoing"] == "original" || back_unrecorded)
          << failed.errors;
      EXPECT_EQ(failed.output.find("are back"), std::string::npos) << failed.output;
    }
    RunOptions status;
    status.args = {"status"};
    EXPECT_EQ(sandbox.run("tune-session", status).status, 0);
    EXPECT_EQ(sandbox.run("tune-session", undo).status, 0);
    EXPECT_EQ(saved_files_in(sandbox, "config/"), first);
  }
  EXPECT_EQ(shown_back_wrongly, 0);
  std::cout << "tune-session undo: " << failures.size() << " failures (" << testing::tally(failures)
            << ") at " << calls.size() << " calls tried: " << shown_back_wrongly
            << " shown back wrongly\n";
}

}  // namespace
}  // namespace tune::blackbox
