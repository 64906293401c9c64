// The session's records on real files in a temporary /config: the state file, the saved sets
// before a tuning, the kept logs, and what start does next.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "board_files.hpp"
#include "harness.hpp"
#include "kept_logs.hpp"
#include "plan.hpp"
#include "reason_of.hpp"
#include "saved_sets.hpp"
#include "session_state.hpp"

namespace tune::session {
namespace {

namespace fs = std::filesystem;

using Board = testing::SimMachine;

TEST(SessionState, ReadsBackWhatItWritesAndRefusesWhatItCannotTake) {
  SessionState state;
  state.tuning = 7;
  state.ending = Ending::timed_out;
  state.stage = Stage::yellow_fixer;
  state.pid = 4242;
  state.began = 1798761600;
  state.since = 1798765200;
  state.runs = 3;
  state.chain_tuner = ProgramEnd{false, 0};
  state.yellow_fixer = ProgramEnd{true, 15};
  state.reason = "yellow-fixer ran past\nits deadline";  // a line break would split the record
  state.previous_tuning = 6;
  state.previous_ending = Ending::undone;
  state.previous_ended = 1798700000;
  state.undoing = "original";
  state.chain_tuner_hours = "2.5";
  state.yellow_fixer_hours = "0.0000000000000000001";  // read back as written
  state.warning = "/sbin/finish-tune.sh left /config/tune-running";
  std::string problem;
  std::optional<SessionState> read = parse_state(format_state(state), problem);
  ASSERT_TRUE(read) << problem;
  EXPECT_EQ(format_state(*read), format_state(state));
  EXPECT_EQ(read->reason, "yellow-fixer ran past its deadline");
  EXPECT_EQ(read->stage, Stage::yellow_fixer);

  // Taken: the last "\n" may be missing, and keys of a later version are passed over.
  for (const char* text : {"tuning=3\nstage=chain-tuner\npid=12", "tuning=3\nstage=chain-tuner\n",
                           "tuning=3\nstage=chain-tuner\nwatts=1400\n"}) {
    std::optional<SessionState> taken = parse_state(text, problem);
    ASSERT_TRUE(taken) << text << ": " << problem;
    EXPECT_EQ(taken->tuning, 3);
    EXPECT_EQ(taken->stage, Stage::chain_tuner);
  }
  // As an older version recorded a stop that came just after an undo: stopped, in no stage.
  std::optional<SessionState> stopped =
      parse_state("tuning=3\nstage=stopped\nat=undone\n", problem);
  ASSERT_TRUE(stopped) << problem;
  EXPECT_EQ(format_state(*stopped), "tuning=3\nstage=stopped\npid=0\nbegan=0\nsince=0\nruns=0\n");
  // Refused, never taken for "no tuning yet" (which would begin the numbering anew).
  const struct {
    const char* text;
    const char* problem;
  } refused[] = {
      {"", "no tuning number"},
      {"tuning=7\n", "no stage"},
      {"tuning=7\nstage=yellow-fixxer\n", "line 2 is not understood: stage=yellow-fixxer"},
      {"tuning=x\nstage=finished\n", "line 1 is not understood: tuning=x"},
      {"tuning=-4\nstage=finished\n", "line 1 is not understood: tuning=-4"},
      {"tuning=99999999999999999999\nstage=finished\n", "line 1 is not understood"},
      {"tuning=1\nstage=finished\nchain-tuner=exit 0\n", "line 3 is not understood"},
      {"tuning=1\nstage=undone\nundone-to=yesterday\n", "line 3 is not understood"},
      {"tuning=1\n\x1b]0;x\x07\nstage=finished\n", "line 2 is not understood: \\x1b]0;x\\x07"},
      {"tuning=1\r\nstage=finished\n", "line 1 is not understood: tuning=1\\x0d"},
      {"tuning=1\nstage=finished\nundoing=sideways\n", "line 3 is not understood"},
      {"tuning=0\nstage=chain-tuner\n", "tuning 0 cannot be at stage chain-tuner"},
      {"tuning=1000000000\nstage=finished\n", "tuning 1000000000 cannot be at stage finished"},
      {"tuning=1\nstage=finished\nchain-tuner-hours=0\n", "line 3 is not understood"},
      {"tuning=1\nstage=finished\nyellow-fixer-hours=1e3\n", "line 3 is not understood"},
      {"tuning=1\nstage=finished\nyellow-fixer-hours=8761\n", "line 3 is not understood"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.text);
    EXPECT_FALSE(parse_state(c.text, problem));
    EXPECT_TRUE(problem.starts_with(c.problem)) << problem;
  }
}

TEST(SessionState, AMissingFileIsNoTuningAndAnUnreadableOneIsAnError) {
  Board b;
  EXPECT_EQ(read_state(b.sys).value_or(SessionState{}).stage, Stage::none);
  EXPECT_EQ(reason_of(read_state(b.sys)), "");
  SessionState state;
  state.tuning = 1;
  state.ending = Ending::finished;
  EXPECT_EQ(reason_of(write_state(b.sys, state)), "");
  EXPECT_EQ(read_state(b.sys).value_or(SessionState{}).ending, Ending::finished);
  b.sys.write_file(state_path, std::string(70000, 'a'));
  EXPECT_EQ(reason_of(read_state(b.sys)), b.sys.path(state_path) +
                                              ": not a tuning session's state (larger than a state "
                                              "file can be)");
  fs::remove(b.sys.path(state_path));
  fs::create_directory(b.sys.path(state_path));
  EXPECT_EQ(reason_of(read_state(b.sys)), b.sys.path(state_path) + ": Is a directory");
  EXPECT_NE(reason_of(write_state(b.sys, state)), "");
}

TEST(Plan, StartGoesOnFromTheRecordedStageAndTheProgramsMarks) {
  using Log = FixerLog;
  const struct {
    std::optional<Ending> ending;
    Stage stage;
    bool marker;
    std::optional<std::string> step;
    Log log;
    Action next;
    const char* said;
    const char* undoing = "";
  } cases[] = {
      {std::nullopt,
       Stage::none,
       false,
       {},
       Log::unknown,
       Action::new_tuning,
       "begins a new tuning"},
      {Ending::finished,
       Stage::none,
       true,
       {},
       Log::unknown,
       Action::new_tuning,
       "begins a new tuning"},
      {Ending::undone,
       Stage::none,
       false,
       {},
       Log::unknown,
       Action::new_tuning,
       "begins a new tuning"},
      {std::nullopt,
       Stage::saving,
       true,
       {},
       Log::unknown,
       Action::save_sets,
       "saves the miner's files again"},
      {std::nullopt,
       Stage::chain_tuner,
       false,
       {},
       Log::unknown,
       Action::run_chain_tuner,
       "runs chain-tuner again"},
      {Ending::failed,
       Stage::chain_tuner,
       false,
       {},
       Log::unknown,
       Action::run_chain_tuner,
       "runs chain-tuner again"},
      // chain-tuner handed over just before the cut: it does not run again
      {std::nullopt,
       Stage::chain_tuner,
       true,
       {},
       Log::unknown,
       Action::hand_over,
       "starts yellow-fixer afresh"},
      {std::nullopt, Stage::chain_tuner, true, "", Log::unknown, Action::hand_over,
       "starts yellow-fixer afresh"},
      // the stage recorded, the marker not yet gone
      {std::nullopt, Stage::yellow_fixer, true, "", Log::unknown, Action::run_yellow_fixer,
       "starts yellow-fixer afresh"},
      {Ending::stopped, Stage::yellow_fixer, false, "4", Log::unknown, Action::run_yellow_fixer,
       "resumes yellow-fixer from step 4"},
      {Ending::timed_out, Stage::yellow_fixer, false, " 12xyz\n", Log::unknown,
       Action::run_yellow_fixer, "resumes yellow-fixer from step 12"},
      {std::nullopt, Stage::yellow_fixer, false, "0", Log::unknown, Action::run_yellow_fixer,
       "starts yellow-fixer afresh"},
      // no step file: yellow-fixer had finished (a cut in its finish), unless its whole log
      // says it had not
      {std::nullopt,
       Stage::yellow_fixer,
       false,
       {},
       Log::unknown,
       Action::record_finished,
       "records the tuning as finished"},
      {std::nullopt,
       Stage::yellow_fixer,
       false,
       {},
       Log::finished,
       Action::record_finished,
       "records the tuning as finished"},
      {Ending::stopped,
       Stage::yellow_fixer,
       false,
       {},
       Log::unknown,
       Action::record_finished,
       "records the tuning as finished"},
      {std::nullopt,
       Stage::yellow_fixer,
       false,
       {},
       Log::unfinished,
       Action::run_yellow_fixer,
       "starts yellow-fixer afresh"},
      // an undo that was cut comes first, whatever else stands
      {Ending::finished,
       Stage::none,
       false,
       {},
       Log::unknown,
       Action::finish_undo,
       "finishes the undo to original that was cut",
       "original"},
      {std::nullopt,
       Stage::chain_tuner,
       true,
       {},
       Log::unknown,
       Action::finish_undo,
       "finishes the undo to before that was cut",
       "before"},
  };
  for (const auto& c : cases) {
    SessionState state;
    state.ending = c.ending;
    state.stage = c.stage;
    state.undoing = c.undoing;
    BoardMarks marks{c.marker, c.step, "", c.log, false, "none"};
    SCOPED_TRACE(std::string(standing_name(c.stage, c.ending)) + " in " + stage_name(c.stage));
    EXPECT_EQ(next_action(state, marks), c.next);
    EXPECT_TRUE(describe_next(c.next, state, marks).starts_with(c.said))
        << describe_next(c.next, state, marks);
  }
  BoardMarks unreadable{true,         "",    "/config/yellow-step: Is a directory",
                        Log::unknown, false, "none"};
  EXPECT_EQ(describe_next(Action::run_yellow_fixer, SessionState{}, unreadable),
            "cannot run yellow-fixer: /config/yellow-step: Is a directory");
}

TEST(SavedSets, TheFirstFilesStayAndBeforeFollowsEachTuning) {
  Board b;
  b.sys.write_file("/config/config.conf", "first config\n");
  b.sys.write_file("/config/autoTune.conf", "restarts_count=2");
  ASSERT_EQ(reason_of(save_sets(b.sys, true)), "");
  b.sys.write_file("/config/config.conf", "tuned config\n");
  b.sys.write_file("/config/manual_freqs.txt", "2:1:70\n");
  ASSERT_EQ(reason_of(save_sets(b.sys, true)), "");  // original/ is never replaced

  EXPECT_EQ(b.text("/config/tune-backup/original/config.conf"), "first config\n");
  EXPECT_EQ(b.text("/config/tune-backup/original/manual_freqs.txt"), "<missing>");
  EXPECT_EQ(b.text("/config/tune-backup/before/config.conf"), "tuned config\n");
  EXPECT_EQ(b.text("/config/tune-backup/before/manual_freqs.txt"), "2:1:70\n");
  EXPECT_EQ(b.text("/config/tune-backup/before/autoTune.conf"), "restarts_count=2");

  EXPECT_EQ(b.text("/config/tune-backup/original/absent"), "manual_freqs.txt\n");
  EXPECT_EQ(b.text("/config/tune-backup/before/absent"), "");
  // Each copy's checksum and size as `cksum` prints them (its values, taken from coreutils).
  EXPECT_EQ(b.text("/config/tune-backup/original/sums"),
            "3941447348 13 config.conf\n414736179 16 autoTune.conf\n");
  EXPECT_EQ(posix_checksum(""), 4294967295u);
  EXPECT_EQ(posix_checksum(std::string(300, 'a')), 1664553091u);

  // Undo puts back each file byte for byte, and removes one the set records as absent.
  std::vector<std::string> kept;
  b.sys.write_file("/config/config.conf", "third\n");
  ASSERT_EQ(reason_of(restore_set(b.sys, original_set, kept)), "");
  EXPECT_EQ(b.text("/config/config.conf"), "first config\n");
  EXPECT_FALSE(b.sys.exists("/config/manual_freqs.txt"));
  ASSERT_EQ(reason_of(restore_set(b.sys, before_set, kept)), "");
  EXPECT_EQ(b.text("/config/manual_freqs.txt"), "2:1:70\n");

  // A later tuning, not the first, makes no original/ where there is none.
  fs::remove_all(b.sys.path("/config/tune-backup/original"));
  ASSERT_EQ(reason_of(save_sets(b.sys, false)), "");
  EXPECT_FALSE(set_exists(b.sys, original_set));
}

TEST(SavedSets, ACutBetweenTheTwoRenamesBringsTheOlderSetBack) {
  Board b;
  b.sys.write_file("/config/config.conf", "first\n");
  ASSERT_EQ(reason_of(save_sets(b.sys, true)), "");
  // As a cut leaves it: the older set stepped aside, the new one not yet in place.
  fs::rename(b.sys.path("/config/tune-backup/before"),
             b.sys.path("/config/tune-backup/.before.old"));
  fs::create_directory(b.sys.path("/config/tune-backup/.before.new"));
  b.sys.write_file("/config/tune-backup/.before.new/config.conf", "half");
  b.sys.write_file("/config/config.conf", "second\n");
  EXPECT_TRUE(set_exists(b.sys, before_set));  // status and undo still see it
  std::vector<std::string> kept;
  ASSERT_EQ(reason_of(restore_set(b.sys, before_set, kept)), "");
  EXPECT_EQ(b.text("/config/config.conf"), "first\n");
  EXPECT_FALSE(b.sys.exists("/config/tune-backup/.before.old"));
  EXPECT_FALSE(b.sys.exists("/config/tune-backup/.before.new"));
  EXPECT_EQ(reason_of(restore_set(b.sys, "nothing", kept)),
            b.sys.path("/config/tune-backup/nothing") + ": No such file or directory");
}

TEST(SavedSets, WhatCannotBeReadWholeIsNoCopyAndChangesNothing) {
  Board b;
  fs::create_directory(b.sys.path("/config/autoTune.conf"));
  EXPECT_EQ(reason_of(save_sets(b.sys, true)),
            b.sys.path("/config/autoTune.conf") + ": Is a directory");
  EXPECT_FALSE(set_exists(b.sys, before_set));
  EXPECT_FALSE(set_exists(b.sys, original_set));
  fs::remove(b.sys.path("/config/autoTune.conf"));
  b.sys.write_file("/config/tune-backup", "a file");
  EXPECT_EQ(reason_of(save_sets(b.sys, true)),
            b.sys.path("/config/tune-backup") + ": Not a directory");
}

// Undo from a set that lacks what it should hold, or onto a file that cannot take a copy:
// refused with the path and nothing changed, never a live file removed for a missing copy.
TEST(SavedSets, ASetPutsBackAllItHoldsOrNothing) {
  const std::string set = "/config/tune-backup/before/";
  auto mismatch = [](const std::string& copy) {
    return "/config/tune-backup/before/" + copy +
           ": does not match the size and checksum in ";  // then its sums, and why
  };
  const struct {
    const char* name;
    std::function<void(Board&)> arrange;
    std::string error;      // in the refusal; "" when put back
    const char* config;     // /config/config.conf afterwards
    const char* overrides;  // /config/manual_freqs.txt afterwards
    std::vector<std::string> kept = {};
  } cases[] = {
      {"whole", [](Board&) {}, "", "first\n", "<missing>"},
      {"a copy the set should hold is gone",
       [&](Board& b) { fs::remove(b.sys.path(set + "config.conf")); },
       "config.conf: missing, though the set should hold it", "tuned\n", "2:1:70\n"},
      {"a copy that is a directory",
       [&](Board& b) { fs::create_directory(b.sys.path(set + "manual_freqs.txt")); },
       "manual_freqs.txt: Is a directory", "tuned\n", "2:1:70\n"},
      {"a copy too large to be the miner's",
       [&](Board& b) {
         std::ofstream(b.sys.path(set + "config.conf")) << std::string(16 * 1024 * 1024 + 1, '1');
       },
       "config.conf: too large to be the miner's", "tuned\n", "2:1:70\n"},
      {"a pipe where a file goes back",
       [](Board& b) {
         fs::remove(b.sys.path("/config/manual_freqs.txt"));
         ASSERT_EQ(mkfifo(b.sys.path("/config/manual_freqs.txt").c_str(), 0644), 0);
       },
       "manual_freqs.txt: not a regular file", "tuned\n", "<missing>"},
      {"a set an earlier version made: no record of what was absent",
       [&](Board& b) {
         fs::remove(b.sys.path(set + "absent"));
         fs::remove(b.sys.path(set + "sums"));
       },
       "",
       "first\n",
       "2:1:70\n",
       {"/config/manual_freqs.txt"}},
      {"a copy cut short since it was saved",
       [&](Board& b) { b.sys.write_file(set + "config.conf", "fir"); }, mismatch("config.conf"),
       "tuned\n", "2:1:70\n"},
      {"a copy changed since, its size the same",
       [&](Board& b) { b.sys.write_file(set + "config.conf", "firsT\n"); }, mismatch("config.conf"),
       "tuned\n", "2:1:70\n"},
      {"a copy the sums do not name", [&](Board& b) { b.sys.write_file(set + "sums", ""); },
       mismatch("config.conf"), "tuned\n", "2:1:70\n"},
      {"sums that name a copy the set does not hold",
       [&](Board& b) {
         b.sys.write_file(set + "sums", b.text(set + "sums") + "4294967295 0 manual_freqs.txt\n");
       },
       mismatch("manual_freqs.txt"), "tuned\n", "2:1:70\n"},
      {"sums with a line of their own",
       [&](Board& b) { b.sys.write_file(set + "sums", b.text(set + "sums") + "x\n"); },
       "sums: names files the set does not hold", "tuned\n", "2:1:70\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Board b;
    b.sys.write_file("/config/config.conf", "first\n");
    ASSERT_EQ(reason_of(save_sets(b.sys, true)), "");
    b.sys.write_file("/config/config.conf", "tuned\n");
    b.sys.write_file("/config/manual_freqs.txt", "2:1:70\n");
    c.arrange(b);
    std::vector<std::string> kept;
    const std::string error = reason_of(restore_set(b.sys, before_set, kept));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_EQ(error.empty(), c.error.empty()) << error;
    EXPECT_EQ(b.text("/config/config.conf"), c.config);
    EXPECT_EQ(b.text("/config/manual_freqs.txt"), c.overrides);
    std::vector<std::string> expected_kept;
    for (const std::string& file : c.kept) expected_kept.push_back(b.sys.path(file));
    EXPECT_EQ(kept, expected_kept);
  }
}

TEST(KeptLogs, TheLastFiveTuningsStayWithinTheCap) {
  Board b;
  EXPECT_EQ(keep_log(b.sys, 1, 1, "chain-tuner").value_or("?"), "");  // no log to keep
  for (int tuning = 1; tuning <= 7; ++tuning) {
    b.sys.write_file("/tmp/auto-tune",
                     "2027-01-01 00:00:00 tuning " + std::to_string(tuning) + "\n");
    Result<std::string> kept = keep_log(b.sys, tuning, 1, "chain-tuner");
    EXPECT_EQ(reason_of(kept), "");
    EXPECT_EQ(kept.value_or(""),
              b.sys.path("/config/tune-logs/000" + std::to_string(tuning) + "-1-chain-tuner.log"));
  }
  b.sys.write_file("/config/tune-logs/notes.txt", "the operator's");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(b.sys.path("/config/tune-logs"))) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"0003-1-chain-tuner.log", "0004-1-chain-tuner.log",
                                             "0005-1-chain-tuner.log", "0006-1-chain-tuner.log",
                                             "0007-1-chain-tuner.log", "notes.txt"}));

  // Long logs: each keeps its last whole lines, and the oldest go past the cap.
  std::string line = "2027-01-01 00:00:00 " + std::string(79, 'x') + "\n";  // 100 bytes
  std::string long_log;
  for (int i = 0; i < 2000; ++i) long_log += line;
  b.sys.write_file("/tmp/auto-tune", long_log);
  for (int run = 2; run <= 4; ++run)
    EXPECT_EQ(reason_of(keep_log(b.sys, 7, run, "yellow-fixer")), "");
  std::string kept = b.text("/config/tune-logs/0007-4-yellow-fixer.log");
  EXPECT_EQ(kept.size(), kept_log_limit / line.size() * line.size());
  EXPECT_TRUE(kept.starts_with(line));
  long long total = 0;
  for (const auto& entry : fs::directory_iterator(b.sys.path("/config/tune-logs"))) {
    if (entry.path().extension() == ".log") total += entry.file_size();
  }
  EXPECT_LE(total, static_cast<long long>(kept_logs_cap));
  EXPECT_TRUE(b.sys.exists("/config/tune-logs/0007-3-yellow-fixer.log"));

  // Listed in the order written (run 10 after run 9), the operator's file passed over.
  b.sys.write_file("/tmp/auto-tune", "2027-01-01 00:00:00 short\n");
  EXPECT_EQ(reason_of(keep_log(b.sys, 7, 9, "chain-tuner")), "");
  EXPECT_EQ(reason_of(keep_log(b.sys, 7, 10, "yellow-fixer")), "");
  std::vector<KeptLogFile> listed = list_kept_logs(b.sys.path("/config/tune-logs"));
  ASSERT_GE(listed.size(), 2u);
  EXPECT_EQ(listed.back().name, "0007-10-yellow-fixer.log");
  EXPECT_EQ(listed.back().program, "yellow-fixer");
  EXPECT_EQ(listed[listed.size() - 2].run, 9);
  EXPECT_EQ(listed[listed.size() - 2].program, "chain-tuner");

  // Names that only look like a kept log's are passed over, numbers too large among them;
  // the highest tuning kept numbers the next one when the state is gone.
  for (const char* name : {"99999999999-1-chain-tuner.log", "8-99999999999-x.log", "8-.log",
                           "-8-1-x.log", "8-1-x.log.tune-new"}) {
    b.sys.write_file(std::string("/config/tune-logs/") + name, "x\n");
  }
  EXPECT_EQ(list_kept_logs(b.sys.path("/config/tune-logs")).size(), listed.size());
  EXPECT_EQ(highest_kept_tuning(b.sys), 7);
}

TEST(BoardFiles, TheLastLineOfALog) {
  EXPECT_EQ(last_line("one\ntwo\n"), "two");
  EXPECT_EQ(last_line("one\ntwo\r\n\n"), "two");
  EXPECT_EQ(last_line(""), "");
}

}  // namespace
}  // namespace tune::session
