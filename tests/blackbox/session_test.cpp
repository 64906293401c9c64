// tune-session as a board runs it: the built programs in the sandbox with the stand-in
// miner and virtual time, whole tunings, cuts at bad moments, stops, time-outs and undo.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <regex>
#include <set>

#include "sandbox.hpp"

namespace tune::blackbox {
namespace {

namespace fs = std::filesystem;

// A short tuning: two chain-tuner iterations, then yellow-fixer to its end.
void arrange_board(Sandbox& s) {
  s.write("config/autoTune.conf", "restarts_count=2&desired_rate=99999");
  s.write("config/tune-running", "");
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
  EXPECT_FALSE(s.exists("config/yellow"));  // consumed at the hand-over

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
      // Refused before it detaches: not even the session's log is made.
      {{"start"},
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
    EXPECT_FALSE(s.exists("tmp/tune-session.log"));
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
  EXPECT_NE(status.output.find("stage:         yellow-fixer, ended but not recorded as finished: "
                               "yellow-fixer had ended"),
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
  EXPECT_TRUE(std::regex_match(
      refused.errors, std::regex("tune-session: cannot begin tuning 2: /config has 0 KiB free; a "
                                 "new tuning needs [0-9]+ KiB [^\n]*\n")))
      << refused.errors;
  // Every look at the board says so, and what start would do.
  options.args = {"status"};
  Outcome status = s.run("tune-session", options);
  EXPECT_TRUE(std::regex_search(status.output, std::regex("\nnext: +tune-session start refuses: "
                                                          "/config has [0-9]+ KiB free; a new "
                                                          "tuning needs [0-9]+ KiB")))
      << status.output;
  EXPECT_EQ(s.text("config/tune-session.state"), state);
  EXPECT_EQ(saved_files_in(s, "config/tune-backup/before/"), before);
  EXPECT_EQ(saved_files_in(s, "config/tune-backup/original/"), original);
  EXPECT_FALSE(s.exists("config/tune-backup/.before.new"));
}

// A tuning that cannot go on for want of room on /config (the power cut mid-tuning, and the
// disk filled since) is refused before chain-tuner runs, the reason recorded in the state,
// which status shows at every look; with room the next start goes on with it.
TEST(Session, ATuningTooFullToGoOnSaysWhyAtEveryBoot) {
  Sandbox s;
  arrange_board(s);
  s.write("config/tune-session.state", "tuning=1\nstage=chain-tuner\nruns=1\nsince=0\n");
  RunOptions full;
  full.full_config_bytes = 2 * 1024 * 1024;
  full.free_config_bytes = 8 * 1024;
  full.args = {"start", "--foreground"};
  const std::string why =
      "/config has 8 KiB free; the tuning needs 16 KiB \\(room to replace the miner's files "
      "and the state\\)";
  for (int boot = 0; boot < 2; ++boot) {
    const Outcome refused = s.run("tune-session", full);
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(std::regex_match(
        refused.errors, std::regex("tune-session: tuning 1 failed in chain-tuner: " + why + "\n")))
        << refused.errors;
    EXPECT_FALSE(s.exists("tmp/auto-tune"));  // chain-tuner did not run
  }
  full.args = {"status"};
  const Outcome status = s.run("tune-session", full);
  EXPECT_TRUE(std::regex_search(status.output,
                                std::regex("\nstage: +failed in chain-tuner at [-0-9: ]+: " + why +
                                           "\n(.*\n)*next: +tune-session start refuses: " + why)))
      << status.output;
  EXPECT_EQ(session(s, {"start", "--foreground"}).status, 0);
  EXPECT_EQ(state_of(s)["stage"], "finished");
  EXPECT_EQ(state_of(s)["tuning"], "1");
}

// Pages (of 4 KiB, as tmpfs counts them) that the files under the directory take.
long pages_under(const std::string& dir) {
  long pages = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) pages += (static_cast<long>(entry.file_size()) + 4095) / 4096;
  }
  return pages;
}

// The second tuning of a board on a /config with every free size from none to a little past
// the room a tuning asks for: below that figure start refuses with it, one line and status
// 1, before anything is written; from it on the tuning finishes, and the state says so. The
// copies stay whole throughout.
TEST(Session, EveryFreeSizeOfConfigEndsWhereTheStateSays) {
  Sandbox base;
  arrange_board(base);
  const auto first = saved_files_in(base, "config/");
  ASSERT_EQ(session(base, {"start", "--foreground"}).status, 0);
  const auto tuned = saved_files_in(base, "config/");
  const long used = pages_under(base.root() + "/config");
  auto start_with = [&](Sandbox& s, long free_pages) {
    fs::copy(base.root() + "/config", s.root() + "/config",
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    RunOptions full;
    full.args = {"start", "--foreground"};
    full.full_config_bytes = 2 * 1024 * 1024;
    full.free_config_bytes = free_pages * 4096;
    return s.run("tune-session", full);
  };
  const std::regex figure(
      "tune-session: cannot begin tuning 2: /config has ([0-9]+) KiB free; "
      "a new tuning needs ([0-9]+) KiB \\(the copies of the miner's files, "
      "and room to replace each\\)\n");
  long needed_kib = 0;
  {
    Sandbox none;
    const Outcome refused = start_with(none, 0);
    std::smatch said;
    ASSERT_TRUE(std::regex_match(refused.errors, said, figure)) << refused.errors;
    needed_kib = std::stol(said[2]);
    // Its three miner files take a block each: a set of six blocks (with its directory and
    // records) and the backup directory, a block beside the largest, the state, marker, step.
    EXPECT_EQ(needed_kib, 44);
  }
  const char* every = std::getenv("TUNE_CRASH_POINT_STRIDE");
  const long stride = every != nullptr ? std::max(1L, std::atol(every)) : 2;
  long finished = 0, refused = 0, added_pages = 0;
  // Every stride-th size, and those on either side of the figure.
  std::set<long> sizes = {needed_kib / 4 - 1, needed_kib / 4};
  for (long free_pages = 0; free_pages <= needed_kib / 4 + 3; free_pages += stride) {
    sizes.insert(free_pages);
  }
  for (long free_pages : sizes) {
    SCOPED_TRACE(std::to_string(free_pages) + " pages free");
    Sandbox s;
    const Outcome outcome = start_with(s, free_pages);
    auto state = state_of(s);
    if (free_pages * 4 >= needed_kib) {
      ++finished;
      EXPECT_EQ(outcome.status, 0) << outcome.errors;
      EXPECT_EQ(state["stage"], "finished");
      EXPECT_EQ(state["tuning"], "2");
      EXPECT_EQ(saved_files_in(s, "config/tune-backup/before/"), tuned);
      // The tuning's own last log wins over older ones for the room left.
      const std::string last_log = "config/tune-logs/0002-" + state["runs"] + "-yellow-fixer.log";
      EXPECT_TRUE(s.text(last_log).ends_with(", quit\n")) << last_log;
      added_pages = std::max(added_pages, pages_under(s.root() + "/config") - used);
    } else {
      ++refused;
      std::smatch said;
      EXPECT_TRUE(std::regex_match(outcome.errors, said, figure)) << outcome.errors;
      EXPECT_EQ(outcome.status, 1);
      EXPECT_EQ(s.text("config/tune-session.state"), base.text("config/tune-session.state"));
      EXPECT_EQ(saved_files_in(s, "config/tune-backup/before/"), first);
    }
    EXPECT_EQ(saved_files_in(s, "config/tune-backup/original/"), first);
  }
  EXPECT_GT(finished, 0);
  EXPECT_GT(refused, 0);
  std::cout << "free sizes of /config from 0 to " << needed_kib / 4 + 3 << " pages, every "
            << stride << " and either side of the figure: " << refused << " refused below the "
            << needed_kib << " KiB a new tuning asks for, " << finished
            << " finished from it on (their files grew by at most " << added_pages * 4
            << " KiB, the kept logs within their cap)\n";
}

RunOptions started(std::vector<std::string> args,
                   std::vector<std::pair<std::string, std::string>> env = {}) {
  RunOptions options;
  options.args = std::move(args);
  options.env = std::move(env);
  return options;
}

// What status says of a board where something keeps a tuning from ending well.
TEST(Session, StatusNamesWhatIsWrongOnTheBoard) {
  const struct {
    const char* name;
    std::function<void(Sandbox&)> arrange;
    RunOptions start;     // no arguments: no start before the status
    const char* warned;   // by start, at once
    const char* warning;  // a "warning:" line of status ("": none in particular)
    int status = 0;
    const char* not_warned = "";  // a warning status must not give
  } cases[] = {
      {"bmminer-api is not where the programs look",
       [](Sandbox& s) { s.write("sim/time-limit", "100000\n"); },
       started({"start", "--foreground", "--chain-tuner-hours=1"},
               {{"PATH", "/opt/tune:/usr/bin:/bin"}}),
       "bmminer-api is not on tune-session's PATH",
       "bmminer-api is not on tune-session's PATH: the programs cannot reach the miner"},
      {"no finishing script while /config/tune-running asks for one",
       [](Sandbox& s) { s.remove("finish-tune.sh"); }, started({"start", "--foreground"}),
       "/sbin/finish-tune.sh is missing",
       "/sbin/finish-tune.sh is missing: nothing ends the tuning the firmware's way\n"
       "warning:       /config/tune-running is still there after the tuning finished: with the "
       "init script, the next boot begins a new tuning"},
      {"a finishing script that leaves /config/tune-running", [](Sandbox&) {},
       started({"start", "--foreground"}), "",
       "/config/tune-running is still there after the tuning finished: with the init script, the "
       "next boot begins a new tuning"},
      {"a program waiting for a miner that does not answer",
       [](Sandbox& s) {
         s.write("config/tune-session.state", "tuning=1\nstage=chain-tuner\nruns=1\n");
         s.write("tmp/auto-tune", "2027-01-01 00:00:00 Not started yet, wait 30 seconds\n");
       },
       {},
       "",
       "the miner does not answer \"bmminer-api -o stats\": the program waits for it until its "
       "stage's deadline"},
      {"original/ gone",
       [](Sandbox& s) {
         s.write("config/tune-session.state", "tuning=3\nstage=finished\n");
         s.make_dir("config/tune-backup/before");
       },
       {},
       "",
       "/config/tune-backup/original is missing: undo original cannot put back"},
      {"a first tuning cut while saving, whose next start saves original/",
       [](Sandbox& s) { s.write("config/tune-session.state", "tuning=1\nstage=saving\n"); },
       {},
       "",
       "",
       0,
       "original is missing"},
      {"a program stopped while it waited for a miner that does not answer",
       [](Sandbox& s) {
         s.write("config/tune-session.state", "tuning=1\nstage=stopped\nat=chain-tuner\nruns=1\n");
         s.write("tmp/auto-tune", "2027-01-01 00:00:00 Not started yet, wait 30 seconds\n");
       },
       {},
       "",
       "",
       0,
       "the miner does not answer"},
      {"no /config: the board cannot be used",
       [](Sandbox& s) { s.remove("config"); },
       {},
       "",
       "",
       3},
      {"a lock that is not a regular file",
       [](Sandbox& s) { s.make_dir("config/tune-session.lock"); },
       {},
       "",
       "cannot tell whether a tuning runs: /config/tune-session.lock: Is a directory",
       3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox s;
    arrange_board(s);
    c.arrange(s);
    if (!c.start.args.empty()) {
      Outcome started = s.run("tune-session", c.start);
      if (*c.warned) {
        EXPECT_TRUE(started.errors.starts_with(std::string("tune-session: warning: ") + c.warned))
            << started.errors;
      } else {
        EXPECT_EQ(started.errors.find("warning"), std::string::npos) << started.errors;
      }
    }
    Outcome status = session(s, {"status"});
    EXPECT_EQ(status.status, c.status) << status.errors;
    if (*c.not_warned) {
      EXPECT_EQ(status.output.find(c.not_warned), std::string::npos) << status.output;
    }
    if (!*c.warning) continue;
    EXPECT_NE(status.output.find(std::string("\nwarning:       ") + c.warning), std::string::npos)
        << status.output;
    Outcome json = session(s, {"status", "--json"});
    EXPECT_NE(json.output.find(std::string("\"warnings\":[\"")), std::string::npos) << json.output;
  }
}

// A lock held by another program keeps any tuning from starting. Held shared, on a file
// another user made, it is named alike by every command, with its holder and its file; no
// command shows the pid the state recorded of a finished session.
TEST(Session, EveryCommandNamesALockHeldByAnotherProgram) {
  Sandbox s;
  arrange_board(s);
  s.write("config/tune-session.state", "tuning=1\nstage=finished\npid=20\nsince=0\n");
  s.write("config/tune-session.lock", "");
  ASSERT_EQ(chown((s.root() + "/config/tune-session.lock").c_str(), 65534, 65534), 0);
  fs::permissions(s.root() + "/config/tune-session.lock", fs::perms(0644));
  Outcome held = shell(s,
                       "mkfifo /tmp/go; flock -s /config/tune-session.lock sh -c "
                       "'touch /tmp/held; read x </tmp/go' & "
                       "while [ ! -e /tmp/held ]; do :; done; "
                       "for command in status 'start --foreground' 'undo' 'stop'; do "
                       "tune-session $command; echo \"status $?\"; done 2>&1; echo >/tmp/go");
  const std::string holder =
      "the lock is held by pid [0-9]+ \\(flock, uid 0\\), not by a tune-session; its file "
      "/config/tune-session.lock is uid 65534's, mode 0644, not root's 0600: no tuning starts "
      "while it holds it\n";
  EXPECT_TRUE(std::regex_search(
      held.output, std::regex("\nwarning: +" + holder + "(.*\n)*status 0\n" +
                              "tune-session: " + holder + "status 3\n" + "tune-session: " + holder +
                              "status 3\n" + "tune-session: " + holder + "status 3\n")))
      << held.output;
  EXPECT_EQ(held.output.find("pid 20"), std::string::npos) << held.output;
  EXPECT_NE(held.output.find("\nnext:          tune-session start refuses while another program "
                             "holds /config/tune-session.lock\n"),
            std::string::npos)
      << held.output;
}

// A state that cannot be read blocks nothing for good: status shows why, start refuses and
// says what begins a new tuning over it, undo still puts the files back, and start --new
// sets it aside and numbers the new tuning after the highest kept log.
TEST(Session, AStateThatCannotBeReadIsShownAndCanBeBegunOver) {
  const struct {
    const char* name;
    std::function<void(Sandbox&)> arrange;
    const char* reason;
    bool run_new = false;
  } cases[] = {
      {"empty", [](Sandbox& s) { s.write("config/tune-session.state", ""); },
       "not a tuning session's state (no tuning number)"},
      {"CR LF",
       [](Sandbox& s) { s.write("config/tune-session.state", "tuning=1\r\nstage=finished\r\n"); },
       "not a tuning session's state (line 1 is not understood: tuning=1\\x0d)"},
      {"a stage of another version",
       [](Sandbox& s) { s.write("config/tune-session.state", "tuning=1\nstage=polishing\n"); },
       "not a tuning session's state (line 2 is not understood: stage=polishing)"},
      {"20 MB",
       [](Sandbox& s) { s.write("config/tune-session.state", std::string(20 << 20, 'x')); },
       "not a tuning session's state (larger than a state file can be)", true},
      {"a dangling link",
       [](Sandbox& s) {
         fs::create_symlink("/config/nowhere", s.root() + "/config/tune-session.state");
       },
       "a symbolic link, not the session's own file", true},
      {"a pipe",
       [](Sandbox& s) {
         ASSERT_EQ(mkfifo((s.root() + "/config/tune-session.state").c_str(), 0644), 0);
       },
       "not a regular file"},
      {"a directory", [](Sandbox& s) { s.make_dir("config/tune-session.state"); }, "Is a directory",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox s;
    arrange_board(s);
    s.make_dir("config/tune-logs");
    s.write("config/tune-logs/0004-2-yellow-fixer.log", "2027-01-01 00:00:00 Fix yellow\n");
    s.make_dir("config/tune-backup/before");
    for (const auto& [name, text] : saved_files_in(s, "config/")) {
      s.write("config/tune-backup/before/" + name, "kept\n");
    }
    s.write("config/tune-backup/before/absent", "");
    c.arrange(s);
    const std::string path = "/config/tune-session.state: ";

    Outcome status = session(s, {"status"});
    EXPECT_EQ(status.status, 3);
    EXPECT_NE(status.output.find("stage:         cannot be read: " + path + c.reason),
              std::string::npos)
        << status.output;
    EXPECT_NE(status.output.find("start --new begins a new tuning over it"), std::string::npos);
    Outcome json = session(s, {"status", "--json"});
    EXPECT_NE(json.output.find("\"state_error\":\"" + path), std::string::npos) << json.output;

    Outcome refused = session(s, {"start", "--foreground"});
    EXPECT_EQ(refused.status, 3);
    EXPECT_TRUE(refused.errors.starts_with("tune-session: cannot read " + path + c.reason))
        << refused.errors;
    EXPECT_NE(refused.errors.find("tune-session start --new begins a new tuning over it\n"),
              std::string::npos);

    if (c.run_new) {
      Outcome fresh = session(s, {"start", "--foreground", "--new"});
      EXPECT_EQ(fresh.status, 0) << fresh.errors;
      EXPECT_EQ(state_of(s)["tuning"], "5");
      EXPECT_EQ(state_of(s)["stage"], "finished");
      EXPECT_TRUE(s.exists("config/tune-session.state.unreadable"));
    } else {
      Outcome undone = session(s, {"undo"});
      EXPECT_EQ(undone.status, 0) << undone.errors;
      EXPECT_EQ(saved_files_in(s, "config/")["config.conf"], "kept\n");
      EXPECT_EQ(state_of(s)["stage"], "undone");
      EXPECT_EQ(state_of(s)["tuning"], "4");
    }
  }
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

  // On a /config too full for the set, the undo changes nothing and records nothing. (The
  // set's sizes and checksums are what `cksum` prints for its copies.)
  const std::string sums = s.text("config/tune-backup/before/sums");
  ASSERT_EQ(shell(s,
                  "cd /config/tune-backup/before && cksum config.conf manual_freqs.txt "
                  "autoTune.conf")
                .output,
            sums);
  s.write("config/tune-backup/before/autoTune.conf", std::string(23 * 1024, 'x'));
  s.write("config/tune-backup/before/config.conf", "changed\n");
  shell(s,
        "cd /config/tune-backup/before && cksum config.conf manual_freqs.txt autoTune.conf "
        ">sums");
  const auto now = saved_files_in(s, "config/");
  const std::string state = s.text("config/tune-session.state");
  RunOptions full;
  full.args = {"undo"};
  full.full_config_bytes = 2 * 1024 * 1024;
  full.free_config_bytes = 8 * 1024;
  Outcome refused = s.run("tune-session", full);
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(std::regex_match(refused.errors,
                               std::regex("tune-session: cannot put the miner's files back: "
                                          "/config/[a-zA-Z.]+: No space left on device\n")))
      << refused.errors;
  EXPECT_EQ(saved_files_in(s, "config/"), now);
  EXPECT_EQ(s.text("config/tune-session.state"), state);

  // A copy cut short since it was saved is refused by name, with nothing changed, and
  // status warns of it; a set saved by an earlier version, without sizes and checksums, is
  // put back unchecked.
  const std::string copy = s.text("config/tune-backup/original/config.conf");
  s.write("config/tune-backup/original/config.conf", copy.substr(0, copy.size() / 2));
  Outcome cut_short = session(s, {"undo", "original"});
  EXPECT_EQ(cut_short.status, 1);
  EXPECT_EQ(cut_short.errors,
            "tune-session: cannot put the miner's files back: "
            "/config/tune-backup/original/config.conf: does not match the size and checksum in "
            "/config/tune-backup/original/sums (cut short or changed since it was saved)\n");
  EXPECT_EQ(saved_files_in(s, "config/"), now);
  EXPECT_EQ(s.text("config/tune-session.state"), state);
  Outcome warned = session(s, {"status"});
  EXPECT_NE(warned.output.find("\nwarning:       undo original refuses its set: "
                               "/config/tune-backup/original/config.conf: does not match"),
            std::string::npos)
      << warned.output;
  s.write("config/tune-backup/original/config.conf", copy);
  s.remove("config/tune-backup/original/sums");
  EXPECT_NE(session(s, {"status"})
                .output.find("/config/tune-backup/original (unchecked: saved by "
                             "an earlier version)\n"),
            std::string::npos);
  Outcome unchecked = session(s, {"undo", "original"});
  EXPECT_EQ(unchecked.status, 0);
  EXPECT_NE(unchecked.output.find("/config/tune-backup/original are back (unchecked: saved by an "
                                  "earlier version); the miner restarts\n"),
            std::string::npos)
      << unchecked.output;
  EXPECT_EQ(saved_files_in(s, "config/"), original);
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
