// tune-session as a board runs it: the built programs in the sandbox with the stand-in
// miner and virtual time, whole tunings, cuts at bad moments, stops, time-outs and undo.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>

#include "sandbox.hpp"

namespace tune::blackbox {
namespace {

namespace fs = std::filesystem;

const char* const saved[] = {"config.conf", "manual_freqs.txt", "autoTune.conf"};

// A short tuning: two chain-tuner iterations, then yellow-fixer to its end.
void arrange_board(Sandbox& s) {
  s.write("config/autoTune.conf", "restarts_count=2&desired_rate=99999");
  s.write("config/tune-running", "");
}

// The saved miner files as they stand in a directory of the sandbox ("config/", say).
std::map<std::string, std::string> saved_files_in(const Sandbox& s, const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const char* name : saved) files[name] = s.text(dir + name);
  return files;
}

std::map<std::string, std::string> state_of(const Sandbox& s) {
  std::map<std::string, std::string> state;
  std::string text = s.text("config/tune-session.state");
  std::regex line("([a-z-]+)=([^\n]*)\n");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    state[(*it)[1]] = (*it)[2];
  }
  return state;
}

Outcome session(Sandbox& s, std::vector<std::string> args) {
  RunOptions options;
  options.args = std::move(args);
  return s.run("tune-session", options);
}

Outcome shell(Sandbox& s, const std::string& script) {
  RunOptions options;
  options.args = {"-c", script};
  return s.run("sh", options);
}

std::vector<std::string> kept_logs(const Sandbox& s) {
  std::vector<std::string> names;
  if (!s.exists("config/tune-logs")) return names;
  for (const auto& entry : fs::directory_iterator(s.root() + "/config/tune-logs")) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Session, AWholeTuningRunsBothStagesKeepsCopiesAndLogs) {
  Sandbox s;
  arrange_board(s);
  s.write("config/manual_freqs.txt", "2:1:70\n");
  const auto first = saved_files_in(s, "config/");

  Outcome outcome = session(s, {"start", "--foreground"});
  EXPECT_EQ(outcome.status, 0) << outcome.output << outcome.errors;
  auto state = state_of(s);
  EXPECT_EQ(state["stage"], "finished");
  EXPECT_EQ(state["tuning"], "1");
  EXPECT_EQ(state["chain-tuner"], "status 0");
  EXPECT_EQ(state["yellow-fixer"], "status 0");
  EXPECT_EQ(saved_files_in(s, "config/tune-backup/original/"), first);
  EXPECT_EQ(saved_files_in(s, "config/tune-backup/before/"), first);
  EXPECT_NE(s.text("config/config.conf"), first.at("config.conf"));
  EXPECT_EQ(kept_logs(s),
            (std::vector<std::string>{"0001-1-chain-tuner.log", "0001-2-yellow-fixer.log"}));
  EXPECT_TRUE(
      s.text("config/tune-logs/0001-1-chain-tuner.log").ends_with("Auto tune is done, exit\n"));
  EXPECT_TRUE(s.text("config/tune-logs/0001-2-yellow-fixer.log").ends_with(", quit\n"));
  EXPECT_EQ(s.text("tmp/finish-ran"), "ran\n");
  EXPECT_TRUE(s.exists("config/tune-running"));  // the firmware's, untouched
  EXPECT_FALSE(s.exists("config/yellow-step"));

  Outcome status = session(s, {"status"});
  EXPECT_EQ(status.status, 0);
  EXPECT_NE(status.output.find("finished at"), std::string::npos) << status.output;
}

TEST(Session, BadUsageAndAnUnusableBoardAreOneLineAndChangeNothing) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string said;  // the start of standard error, or of standard output for status 0
    std::function<void(Sandbox&)> arrange = [](Sandbox&) {};
  } cases[] = {
      {{}, 2, "tune-session: a command is missing"},
      {{"frobnicate"}, 2, "tune-session: unknown command: frobnicate"},
      {{"start", "--chain-tuner-hours=0"}, 2, "tune-session: --chain-tuner-hours: not a decimal"},
      {{"start", "--chain-tuner-hours=0x10"}, 2, "tune-session: --chain-tuner-hours: not a"},
      {{"start", "--chain-tuner-hours=1e3"}, 2, "tune-session: --chain-tuner-hours: not a"},
      {{"start", "--yellow-fixer-hours", "nan"}, 2, "tune-session: --yellow-fixer-hours: not a"},
      {{"start", "--chain-tuner-hours"},
       2,
       "tune-session: --chain-tuner-hours: a number of hours "
       "is missing"},
      {{"start", "-f"}, 2, "tune-session: start: unknown option: -f"},
      {{"status", "--xml"}, 2, "tune-session: status: unknown option: --xml"},
      {{"stop", "now"}, 2, "tune-session: stop: unknown argument: now"},
      {{"undo", "yesterday"}, 2, "tune-session: undo: not before or original: yesterday"},
      {{"--version"}, 0, "tune-session " TUNE_VERSION "\n"},
      {{"undo", "--help"}, 0, "Usage: tune-session COMMAND"},
      {{"undo"}, 1, "tune-session: nothing to undo: /config/tune-backup/before: No such file"},
      {{"stop"}, 0, "tune-session: no tuning is running\n"},
      {{"start", "--foreground"},
       3,
       "tune-session: cannot lock /config/tune-session.lock: Is a directory\n",
       [](Sandbox& s) { s.make_dir("config/tune-session.lock"); }},
  };
  for (const auto& c : cases) {
    std::string name;
    for (const std::string& arg : c.args) name += arg + " ";
    SCOPED_TRACE(name);
    Sandbox s;
    c.arrange(s);
    const std::string config = s.text("config/config.conf");
    Outcome outcome = session(s, c.args);
    EXPECT_EQ(outcome.status, c.status);
    const std::string& said = c.status == 0 ? outcome.output : outcome.errors;
    EXPECT_TRUE(said.starts_with(c.said)) << said;
    if (c.status != 0) {
      EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
      EXPECT_EQ(outcome.output, "");
    }
    EXPECT_EQ(s.text("config/config.conf"), config);
    EXPECT_FALSE(s.exists("config/tune-backup"));
    EXPECT_FALSE(s.exists("tmp/auto-tune"));
  }
}

TEST(Session, TwoStartsAtOnceRunOneTuning) {
  Sandbox s;
  arrange_board(s);
  s.write("sim/served", "");
  Outcome both = shell(s,
                       "tune-session start --foreground >/tmp/a.out 2>&1 & a=$!; "
                       "tune-session start --foreground >/tmp/b.out 2>&1 & b=$!; "
                       "wait $a; echo $? >/tmp/a.status; wait $b; echo $? >/tmp/b.status");
  ASSERT_EQ(both.status, 0) << both.errors;
  std::set<std::string> statuses = {s.text("tmp/a.status"), s.text("tmp/b.status")};
  EXPECT_EQ(statuses, (std::set<std::string>{"0\n", "3\n"}));
  std::string refused = s.text("tmp/a.status") == "3\n" ? s.text("tmp/a.out") : s.text("tmp/b.out");
  EXPECT_TRUE(std::regex_match(refused, std::regex("tune-session: a tuning is already running: "
                                                   "tuning 1, stage [a-z-]+ since [-0-9: ]+, "
                                                   "session pid [0-9]+\n")))
      << refused;
  EXPECT_EQ(state_of(s)["stage"], "finished");
  // One chain-tuner, then one yellow-fixer: the miner never served two programs at once.
  std::vector<std::string> served;
  std::string calls = s.text("sim/served");
  for (size_t at = 0, end; (end = calls.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string caller = calls.substr(at, end - at);
    if (served.empty() || served.back() != caller) served.push_back(caller);
  }
  ASSERT_EQ(served.size(), 2u) << calls;
  EXPECT_TRUE(served[0].starts_with("chain-tuner "));
  EXPECT_TRUE(served[1].starts_with("yellow-fixer "));
}

// The power goes inside the finishing script, after yellow-fixer removed its step file and
// before the session recorded the finish: the next start records it, runs the script that
// did not end, and begins nothing new.
TEST(Session, ARebootInsideTheFinishingScriptFinishesTheTuningOnce) {
  Sandbox s;
  arrange_board(s);
  const auto first = saved_files_in(s, "config/");
  s.write("finish-tune.sh", "#!/bin/sh\nkill -9 -1\n");
  EXPECT_EQ(session(s, {"start", "--foreground"}).status, 128 + 9);
  EXPECT_EQ(state_of(s)["stage"], "yellow-fixer");
  EXPECT_FALSE(s.exists("config/yellow"));  // consumed at the hand-over
  EXPECT_FALSE(s.exists("config/yellow-step"));
  const auto tuned = saved_files_in(s, "config/");
  s.remove("tmp/auto-tune");  // /tmp does not survive a reboot

  Outcome status = session(s, {"status"});
  EXPECT_NE(status.output.find("stage:         finished: yellow-fixer had ended"),
            std::string::npos)
      << status.output;
  EXPECT_NE(status.output.find("records the tuning as finished (yellow-fixer had ended) and "
                               "runs /bin/sh /sbin/finish-tune.sh"),
            std::string::npos)
      << status.output;

  s.write("finish-tune.sh", "#!/bin/sh\necho ran >>/tmp/finish-ran\nrm /config/tune-running\n");
  Outcome next = session(s, {"start", "--foreground"});
  EXPECT_EQ(next.status, 0) << next.output << next.errors;
  EXPECT_NE(next.output.find("tune-session: tuning 1 finished\n"), std::string::npos)
      << next.output;
  auto state = state_of(s);
  EXPECT_EQ(state["tuning"], "1");
  EXPECT_EQ(state["stage"], "finished");
  EXPECT_EQ(state.count("warning"), 0u);
  EXPECT_EQ(s.text("tmp/finish-ran"), "ran\n");
  EXPECT_EQ(saved_files_in(s, "config/"), tuned);
  EXPECT_EQ(saved_files_in(s, "config/tune-backup/original/"), first);
  // Only a start after that begins a new tuning.
  status = session(s, {"status"});
  EXPECT_NE(status.output.find("next:          tune-session start begins a new tuning"),
            std::string::npos)
      << status.output;
}

TEST(Session, AFullConfigRefusesANewTuningAndKeepsTheCopies) {
  Sandbox s;
  arrange_board(s);
  ASSERT_EQ(session(s, {"start", "--foreground"}).status, 0);
  const std::string state = s.text("config/tune-session.state");
  const auto before = saved_files_in(s, "config/tune-backup/before/");
  const auto original = saved_files_in(s, "config/tune-backup/original/");
  RunOptions options;
  options.args = {"start", "--foreground"};
  options.full_config_bytes = 256 * 1024;
  Outcome refused = s.run("tune-session", options);
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(
      std::regex_match(refused.errors, std::regex("tune-session: [^\n]*No space left on device\n")))
      << refused.errors;
  EXPECT_EQ(s.text("config/tune-session.state"), state);
  EXPECT_EQ(saved_files_in(s, "config/tune-backup/before/"), before);
  EXPECT_EQ(saved_files_in(s, "config/tune-backup/original/"), original);
  EXPECT_FALSE(s.exists("config/tune-backup/.before.new"));
}

TEST(Session, UndoPutsBackTheFilesOfEitherSetByteForByte) {
  Sandbox s;
  arrange_board(s);
  const auto original = saved_files_in(s, "config/");
  ASSERT_FALSE(s.exists("config/manual_freqs.txt"));
  ASSERT_EQ(session(s, {"start", "--foreground"}).status, 0);
  s.write("config/autoTune.conf", "restarts_count=1&desired_rate=99999");
  const auto before = saved_files_in(s, "config/");
  ASSERT_EQ(session(s, {"start", "--foreground"}).status, 0);

  for (const auto& [set, expected] :
       {std::pair{"before", before}, std::pair{"original", original}}) {
    SCOPED_TRACE(set);
    s.remove("config/restart");
    Outcome undone = session(s, {"undo", set});
    EXPECT_EQ(undone.status, 0) << undone.errors;
    EXPECT_EQ(undone.output, "tune-session: the miner's files of /config/tune-backup/" +
                                 std::string(set) + " are back; the miner restarts\n");
    EXPECT_EQ(saved_files_in(s, "config/"), expected);
    EXPECT_EQ(s.text("config/restart"), "ok\n");
    EXPECT_FALSE(s.exists("config/yellow"));
    EXPECT_EQ(state_of(s)["stage"], "undone");
  }
  // After an undo the next start is a new tuning.
  Outcome status = session(s, {"status"});
  EXPECT_NE(status.output.find("begins a new tuning"), std::string::npos) << status.output;
}

TEST(Session, AStageWhoseMinerNeverStartsTimesOutAtItsDeadline) {
  Sandbox s;
  arrange_board(s);
  s.write("sim/miner.conf", "elapsed=never\n");
  s.write("sim/time-limit", "100000\n");  // a bound on the test itself
  Outcome outcome = session(s, {"start", "--foreground", "--chain-tuner-hours=1"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.errors,
            "tune-session: tuning 1 timed out in chain-tuner: chain-tuner ran past its deadline "
            "of 1 hours\n");
  auto state = state_of(s);
  EXPECT_EQ(state["stage"], "timed out");
  EXPECT_EQ(state["at"], "chain-tuner");
  EXPECT_EQ(state["chain-tuner"], "signal 15");
  EXPECT_GE(std::stol(s.text("sim/clock")), 3600);
  EXPECT_EQ(kept_logs(s), (std::vector<std::string>{"0001-1-chain-tuner.log"}));
  Outcome status = session(s, {"status"});
  EXPECT_TRUE(std::regex_search(status.output,
                                std::regex("\nnext: +tune-session start runs chain-tuner again\n")))
      << status.output;
}

TEST(Session, StatusWhileRunningThenStopThenStartGoesOn) {
  Sandbox s;
  arrange_board(s);
  s.write("sim/miner.conf", "elapsed=never\n");
  s.write("sim/time-limit", "100000\n");
  Outcome run = shell(s,
                      // standard input and error closed, as an init script may leave them
                      "tune-session start <&- >/tmp/start.out 2>&-; echo $? >/tmp/start.status; "
                      "tune-session status >/tmp/running; "
                      "tune-session status --json >/tmp/running.json; "
                      "tune-session undo >/tmp/undo.out 2>&1; echo $? >/tmp/undo.status; "
                      "tune-session stop >/tmp/stop.out; echo $? >/tmp/stop.status");
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(s.text("tmp/start.status"), "0\n");
  EXPECT_TRUE(std::regex_match(s.text("tmp/start.out"),
                               std::regex("tune-session: tuning 1 began \\(session pid [0-9]+\\): "
                                          "the miner's files are saved in /config/tune-backup; "
                                          "chain-tuner runs; see tune-session status\n")))
      << s.text("tmp/start.out");
  EXPECT_TRUE(std::regex_search(s.text("tmp/running"),
                                std::regex("stage: +chain-tuner, running since [-0-9: ]+ "
                                           "\\(session pid [0-9]+\\)\n")))
      << s.text("tmp/running");
  EXPECT_NE(s.text("tmp/running.json").find("\"running\":true"), std::string::npos);
  EXPECT_EQ(s.text("tmp/undo.status"), "3\n");
  EXPECT_TRUE(s.text("tmp/undo.out").starts_with("tune-session: refused while a tuning runs"));
  EXPECT_EQ(s.text("tmp/stop.status"), "0\n");
  EXPECT_EQ(s.text("tmp/stop.out"),
            "tune-session: tuning 1 stopped in chain-tuner; tune-session start goes on with it\n");
  EXPECT_EQ(state_of(s)["stage"], "stopped");
  EXPECT_TRUE(s.text("tmp/tune-session.log").find("chain-tuner starts") != std::string::npos);

  s.write("sim/miner.conf", "model=seeded\n");
  Outcome resumed = session(s, {"start", "--foreground"});
  EXPECT_EQ(resumed.status, 0) << resumed.errors;
  EXPECT_TRUE(resumed.output.find("tuning 1 goes on (session pid") != std::string::npos)
      << resumed.output;
  EXPECT_EQ(state_of(s)["stage"], "finished");
  EXPECT_EQ(state_of(s)["tuning"], "1");
}

}  // namespace
}  // namespace tune::blackbox
