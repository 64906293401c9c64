// The board wing and the JSON presenter at their own level: the checks of each file, the
// chip history the logs tell, and the JSON document's shape.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <tuple>

#include "board_report.hpp"
#include "kit/board_files.hpp"
#include "kit/temp_dir.hpp"
#include "pictures.hpp"
#include "report_json.hpp"
#include "report_text.hpp"
#include "settings_checks.hpp"

namespace tune::rehearse {
namespace {

// A board's copied files, flat: a finished board's, the given ones over them.
class Board {
 public:
  explicit Board(const testing::Files& files) {
    testing::write_files(dir_.path(), testing::finished_copy(files));
  }
  BoardReport read() const { return read_board(dir_.path()); }
  const std::string& dir() const { return dir_.path(); }

 private:
  testing::TempDir dir_;
};

std::string kind(const cJSON* item) {
  if (cJSON_IsNumber(item)) return "number";
  if (cJSON_IsString(item)) return "string";
  if (cJSON_IsNull(item)) return "null";
  if (cJSON_IsBool(item)) return "bool";
  if (cJSON_IsArray(item)) return "array";
  return cJSON_IsObject(item) ? "object" : "?";
}

TEST(BoardChecks, EachLineTheProgramsReadOtherwiseIsNamed) {
  const struct {
    const char* file;
    std::string text;
    int line;
    std::string what;
  } cases[] = {
      {"bmminer.conf", "{\"bitmain-freq\":", 1,
       "not valid JSON: the programs end with \"Can't read json\", status 255"},
      {"bmminer.conf", "{\"bitmain-freq\": 650}", 0,
       "no \"bitmain-freq\" string holding a frequency: chips without a chain frequency run at "
       "0 MHz in the programs' eyes"},
      {"config.conf", "bitmain-freq1=650\nbitmain-freq1=700\n", 2,
       "bitmain-freq1 was already given on line 1; the programs take the later one"},
      {"config.conf", "bitmain-freq2=65x\n", 1,
       "\"bitmain-freq2=65x\": the value is not a whole number; the programs read 65, outside "
       "the chips' 100 to 1175 MHz"},
      {"config.conf", "bitmain-freq2=650.5\n", 1,
       "\"bitmain-freq2=650.5\": the value is not a whole number; the programs read 650"},
      {"config.conf", "bitmain-freq3=1200\n", 1,
       "chain frequency 1200 MHz is outside the chips' 100 to 1175 MHz"},
      {"config.conf", "bitmain-freq4=650\nbitmain-voltage4\n", 2,
       "\"bitmain-voltage4\": no \"=\"; the programs skip it"},
      {"manual_freqs.txt", "2:1:120\n", 1,
       "step 120 is past the top of the ladder (113); the chip runs at 1175 MHz"},
      {"manual_freqs.txt", "2:1:70\n2:1:71\n", 2,
       "chip 1 of chain 2 was already given on line 1; the later one counts"},
      {"manual_freqs.txt", "2:1:7o\n", 1, "step \"7o\" is not a whole number; the programs read 7"},
      {"manual_freqs.txt", "2:1\n", 1,
       "expected chain:chip:step, got \"2:1\"; the programs ignore it"},
      {"chip-rates", "2.0:1:74.71\n", 1,
       "\"2.0:1:74.71\": the chain or chip field is not a whole number"},
      {"chip-rates", "2:1:74.71\n17:1:74.71\n", 2,
       "\"17:1:74.71\": chain field 1 to 16 and chip 1 to 63 expected; the programs ignore it"},
      {"chain-tuner.log", "", 0, "empty: the log holds no run"},
      {"chip-rates", "2:1:95.5x\n", 1, "rate \"95.5x\" is not a number; the programs read 95.5"},
      {"chip-rates", "2:1:1e400\n", 1, "rate \"1e400\" is not a finite number"},
      {"chip-rates", "2:1:74.71\n2:1:70\n", 2,
       "chip 1 of chain 2 was already given on line 1; the programs take the later one"},
      {"auto-tune",
       "2027-01-01 00:00:00 Fix yellow\r\n2027-01-01 00:09:00 Number of checks is 15, quit\r\n", 1,
       "lines end in CR LF, not LF: the programs write LF; the log was changed on its way (every "
       "line; reported once)"},
      {"auto-tune",
       "2027-13-45 99:99:99 Fix yellow\n2027-01-01 00:09:00 Number of checks is 15, quit\n", 1,
       "impossible time stamp \"2027-13-45 99:99:99\": no span is taken from it"},
      // The settings line, the last of autoTune.conf, as --settings and --compare check it.
      {"autoTune.conf", "freq_to=5\nrestart_count=3\n", 2,
       "unknown key \"restart_count\"; the programs ignore it"},
      {"autoTune.conf", "freq_to", 1, "freq_to has no value; the programs keep the one in force"},
      {"autoTune.conf", "desired_rate=3e4", 1,
       "desired_rate=3e4 is not a whole number; the programs read 3"},
      {"autoTune.conf", "freq_to=850&freq_to=600", 1,
       "freq_to is given more than once (freq_to=850, then freq_to=600); the programs take the "
       "last"},
      {"autoTune.conf", "voltage_from=500", 1,
       "voltage_from=500 is outside the 600 to 1100 a board runs at"},
      {"autoTune.conf", "max_freq=2000", 1,
       "max_freq=2000 is outside the 100 to 1175 MHz of the chips' frequency ladder"},
      {"autoTune.conf", "wait_after_restart=2147483647", 1,
       "wait_after_restart=2147483647 is above the 31536000 seconds (a year)"},
      {"autoTune.conf", "stat_poll_interval=0", 1,
       "stat_poll_interval=0 is outside the 1 to 31536000 seconds (at least a second between "
       "polls, at most a year)"},
      {"autoTune.conf", "restarts_count=-1", 1,
       "restarts_count=-1 is 0 or less: chain-tuner runs no pass and ends at once, and "
       "yellow-fixer alone tunes"},
      {"autoTune.conf", "restarts_count=5000", 1,
       "restarts_count=5000 is above the 1000 passes, each a miner restart"},
      {"autoTune.conf", "voltage_from=900&voltage_to=890", 1,
       "voltage_to 890 is below voltage_from 900; the chain tuner never walks a voltage down"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file) + ": " + c.text);
    Board board({{c.file, c.text}});
    BoardReport report = board.read();
    ASSERT_EQ(report.findings.size(), 1u)
        << (report.findings.empty() ? "" : report.findings[0].text());
    EXPECT_EQ(report.findings[0].file, board.dir() + "/" + c.file);
    EXPECT_EQ(report.findings[0].line, c.line);
    EXPECT_EQ(report.findings[0].what, c.what);
  }
}

// A settings line of many doubtful pairs names the first ten and counts the rest; a key
// given many times is named once; a value the programs cannot hold is named as typed and
// as read.
TEST(BoardChecks, ASettingsLineOfManyDoubtsStaysShortAndSaysWhatWasTyped) {
  std::string line;
  for (int i = 0; i < 30; ++i) line += printed("k%d=1&", i);
  for (int i = 0; i < 5; ++i) line += printed("desired_rate=%d&", i);
  line += "freq_to=99999999999";
  const std::vector<SettingsFinding> findings = check_settings_line(line);
  ASSERT_EQ(findings.size(), 12u);
  EXPECT_EQ(findings[0].what, "unknown key \"k0\"; the programs ignore it");
  EXPECT_EQ(findings[10].what, "and 22 more doubtful pairs on the line");
  EXPECT_FALSE(findings[10].refused);
  EXPECT_EQ(findings[11].what,
            "freq_to=99999999999 (read as 2147483647) is outside the 100 to 1175 MHz of the "
            "chips' frequency ladder");
  EXPECT_TRUE(findings[11].refused);
  const std::vector<SettingsFinding> few =
      check_settings_line("desired_rate=1&desired_rate=2&desired_rate=3&freq_to=99999999999");
  ASSERT_EQ(few.size(), 3u);
  EXPECT_EQ(few[0].what,
            "freq_to=99999999999 is more than the programs hold; they read 2147483647");
  EXPECT_EQ(few[1].what,
            "desired_rate is given 3 times (first desired_rate=1, last desired_rate=3); the "
            "programs take the last");
}

TEST(BoardHistory, TheLogsTellRedAndForcedLoweringsAndTheRestIsNotInTheLog) {
  const struct {
    const char* name;
    std::string log;
    std::string overrides;             // the chip's final state
    std::vector<std::string> changes;  // of chain 2 chip 2: "when old->new cause"
  } cases[] = {
      {"one red lowering",
       "2027-01-01 00:20:00 Chip 2 on chain 2 is red, new freq is 625\n",
       "2:2:70\n",
       {"2027-01-01 00:20:00 ?->625 red"}},
      {"a forced lowering is one change with the red line after it",
       "2027-01-01 00:20:00 Chip 2 on chain 2 is red, new freq is 625\n"
       "2027-01-01 00:40:00 Chip 2 on chain 2 still red after 4 restarts with low hashrate 1.00 "
       "in a row, decrease freq to 300\n"
       "2027-01-01 00:40:00 Chip 2 on chain 2 is red, new freq is 300\n",
       "2:2:8\n",
       {"2027-01-01 00:20:00 ?->625 red", "2027-01-01 00:40:00 625->300 forced to 300 MHz"}},
      {"a later change the log does not name",
       "2027-01-01 00:20:00 Chip 2 on chain 2 is red, new freq is 625\n",
       "2:2:60\n",
       {"2027-01-01 00:20:00 ?->625 red", " 625->562 not in the log"}},
      {"another chip's line, a chain no slot has, and a cut line are no change of this chip",
       "2027-01-01 00:20:00 Chip 3 on chain 2 is red, new freq is 625\n"
       "2027-01-01 00:21:00 Chip 2 on chain 5 is red, new freq is 625\n"
       "2027-01-01 00:22:00 Chip 2 on chain 2 is red, new freq is 62",
       "",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Board board({{"auto-tune", "2027-01-01 00:00:00 Fix yellow\n" + c.log},
                 {"manual_freqs.txt", c.overrides},
                 {"config.conf", "bitmain-freq1=650\n"}});
    BoardReport report = board.read();
    std::vector<std::string> changes;
    for (const ChipChange& change : report.chains[0].chips[1].history) {
      changes.push_back(change.when + " " +
                        (change.old_freq ? std::to_string(*change.old_freq) : "?") + "->" +
                        std::to_string(change.new_freq) + " " + change.cause);
    }
    EXPECT_EQ(changes, c.changes);
    EXPECT_FALSE(report.history_recorded);
  }
}

TEST(BoardOutcome, TheLastRunTellsHowTheTuningEnded) {
  const struct {
    const char* name;
    std::map<std::string, std::string> files;
    Outcome outcome;
    std::string program;  // of the last session
    std::string ending;   // as shown
  } cases[] = {
      {"yellow-fixer finished",
       {},
       Outcome::finished,
       "yellow-fixer",
       "Number of checks is 15, quit"},
      {"chain-tuner failed at once",
       {{"auto-tune",
         "2027-01-01 00:00:00 Config parse: freq_from=500, freq_to=850, "
         "voltage_from=880, voltage_to=940, ideal_percent=97\n"
         "2027-01-01 00:00:00 Can't read json\n"}},
       Outcome::failed,
       "chain-tuner",
       "Can't read json"},
      {"a missing settings file (no line break, status 0) is a failure",
       {{"auto-tune", "2027-01-01 00:00:00 Can't open config file"}},
       Outcome::failed,
       "unknown",
       "Can't open config file"},
      {"a log cut in the middle of a line",
       {{"auto-tune", "2027-01-01 00:00:00 Fix yellow\n2027-01-01 00:10:00 Current i"}},
       Outcome::interrupted,
       "yellow-fixer",
       "Current i"},
      {"a log with CR LF is still yellow-fixer's, and finished",
       {{"auto-tune",
         "2027-01-01 00:00:00 Fix yellow\r\n2027-01-01 00:09:00 Three successful "
         "iterations in a row, quit\r\n"}},
       Outcome::finished,
       "yellow-fixer",
       "Three successful iterations in a row, quit"},
      {"a log cut before \"Fix yellow\" is yellow-fixer's by its resume",
       {{"auto-tune", "2027-01-01 00:00:00 Resuming tune from step 3\n"}},
       Outcome::interrupted,
       "yellow-fixer",
       "Resuming tune from step 3"},
      {"chain-tuner finished and no yellow-fixer log: between the stages",
       {{"auto-tune", "2027-01-01 00:00:00 Auto tune is done, exit\n"}},
       Outcome::interrupted,
       "chain-tuner",
       "Auto tune is done, exit"},
      {"chain-tuner's log cut inside its first entry",
       {{"auto-tune", "2027-01-01 00:00:00 Config parse: freq_from=500, freq_to=8"}},
       Outcome::interrupted,
       "chain-tuner",
       "Config parse: freq_from=500, freq_to=8"},
      {"a cut entry either program may write tells nothing",
       {{"auto-tune", "2027-01-01 00:00:00 Elapsed time"}},
       Outcome::interrupted,
       "unknown",
       "Elapsed time"},
      {"only what both programs write",
       {{"auto-tune",
         "2027-01-01 00:00:00 Not started yet, wait 30 "
         "seconds\n"}},
       Outcome::interrupted,
       "unknown",
       "Not started yet, wait 30 seconds"},
      {"an escape sequence in the last entry stays inert",
       {{"auto-tune", "2027-01-01 00:00:00 Fix yellow\n2027-01-01 00:01:00 \x1b]0;x\x07\n"}},
       Outcome::interrupted,
       "yellow-fixer",
       "\\x1b]0;x\\x07"},
      {"tune-session's state tells, over the logs",
       {{"tune-session.state", "tuning=2\nstage=timed out\nat=chain-tuner\n"}},
       Outcome::failed,
       "yellow-fixer",
       "Number of checks is 15, quit"},
      {"a finished state",
       {{"tune-session.state", "tuning=2\nstage=finished\n"}},
       Outcome::finished,
       "yellow-fixer",
       "Number of checks is 15, quit"},
      {"a failed state decides, whatever else the copy lacks (a stopped miner's rates)",
       {{"tune-session.state",
         "tuning=1\nstage=failed\nat=chain-tuner\nreason=Failed to read rates\n"},
        {"chip-rates", testing::absent}},
       Outcome::failed,
       "yellow-fixer",
       "Number of checks is 15, quit"},
      {"so does a stopped one",
       {{"tune-session.state", "tuning=1\nstage=stopped\nat=yellow-fixer\n"},
        {"chip-rates", testing::absent}},
       Outcome::interrupted,
       "yellow-fixer",
       "Number of checks is 15, quit"},
      {"a stage at work in an incomplete copy tells nothing",
       {{"tune-session.state", "tuning=1\nstage=yellow-fixer\n"}, {"chip-rates", testing::absent}},
       Outcome::unknown,
       "yellow-fixer",
       "Number of checks is 15, quit"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Board board(c.files);
    BoardReport report = board.read();
    EXPECT_EQ(report.outcome, c.outcome);
    ASSERT_FALSE(report.sessions.empty());
    EXPECT_EQ(report.sessions.back().program, c.program);
    EXPECT_EQ(report.sessions.back().ending, c.ending);
    bool outcome_finding = false;
    for (const Finding& f : report.findings) {
      outcome_finding |= f.line == 0 && (f.what.find("interrupted") != std::string::npos ||
                                         f.what.find("failed") != std::string::npos ||
                                         f.what.find("not finished") != std::string::npos ||
                                         f.what.find("between its stages") != std::string::npos);
    }
    // An incomplete copy's finding says so instead.
    EXPECT_EQ(outcome_finding, c.outcome != Outcome::finished && c.outcome != Outcome::unknown);
  }
}

TEST(BoardKept, TheKeptCopiesAndLogsShowBeforeAndAfterAndEachTuningsOutcome) {
  const std::string yellow_fixer_done =
      "2027-01-01 01:00:00 Fix yellow\n"
      "2027-01-01 01:10:00 Chip 7 on chain 3 is red, new freq is 775\n"
      "2027-01-01 02:00:00 Number of checks is 15, quit\n";
  Board board(
      {{"tune-session.state", "tuning=10\nstage=timed out\nat=yellow-fixer\n"},
       {"config.conf", "bitmain-freq1=600\nbitmain-voltage1=930\n"},
       {"manual_freqs.txt", "2:1:5\n2:2:5\n"},
       {"tune-backup/original/config.conf", "bitmain-freq1=650\nbitmain-voltage1=940\n"},
       {"tune-backup/before/manual_freqs.txt", "2:7:3\n"},  // no config.conf
       // the logs kept under config/, as a copy of /config holds them
       {"config/tune-logs/0008-1-chain-tuner.log",
        "2027-01-01 00:00:00 Not started yet, wait 30 seconds\n"},
       {"config/tune-logs/0009-1-chain-tuner.log", "2027-01-01 00:00:00 Auto tune is done, exit\n"},
       {"config/tune-logs/0009-2-yellow-fixer.log", yellow_fixer_done},
       {"config/tune-logs/0010-1-chain-tuner.log", "2027-01-01 00:00:00 Auto tune is done, exit\n"},
       {"config/tune-logs/0010-2-yellow-fixer.log", "2027-01-01 01:00:00 Fix yellow\n"}});
  BoardReport report = board.read();
  const KeptRecord& kept = report.kept;
  ASSERT_EQ(kept.sets.size(), 2u);
  EXPECT_EQ(kept.sets[0].name, "original");
  EXPECT_EQ(kept.sets[0].chains[0].freq, 650);
  EXPECT_EQ(kept.sets[0].chains[1].freq, std::nullopt);  // no line of its own: not 0
  EXPECT_EQ(kept.sets[1].chains[0].freq, std::nullopt);
  EXPECT_EQ(kept.sets[1].chains[0].overrides, 1);
  // 8: only what both programs write, kept under chain-tuner's name; 10: the state's word.
  const std::vector<std::pair<int, Outcome>> expected = {
      {8, Outcome::interrupted}, {9, Outcome::finished}, {10, Outcome::failed}};
  ASSERT_EQ(kept.tunings.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(kept.tunings[i].tuning, expected[i].first);
    EXPECT_EQ(kept.tunings[i].outcome, expected[i].second) << expected[i].first;
  }
  EXPECT_EQ(kept.tunings[1].logs.size(), 2u);
  // A red lowering in a kept log, for a twin: what the chip could not hold.
  ASSERT_EQ(kept.red_chips.size(), 1u);
  EXPECT_EQ(kept.red_chips[0].slot, 1);
  EXPECT_EQ(kept.red_chips[0].chip, 6);
  EXPECT_EQ(kept.red_chips[0].new_freq, 775);

  std::string text = format_summary(report);
  EXPECT_NE(text.find("settings, original -> before -> now (kept in " + board.dir() +
                      "/tune-backup):\n"
                      "  chain 2: freq 650 -> ? -> 600 MHz, volt 940 -> ? -> 930, "
                      "overrides 0 -> 1 -> 2\n"
                      "kept tunings (" +
                      board.dir() +
                      "/config/tune-logs):\n"
                      "  tuning 8: interrupted (0008-1-chain-tuner.log)\n"
                      "  tuning 9: finished (0009-1-chain-tuner.log, 0009-2-yellow-fixer.log)\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("chain 3:"), std::string::npos) << "a chain no set or rate speaks of";

  cJSON* root = cJSON_Parse(report_json(report).c_str());
  ASSERT_NE(root, nullptr);
  const cJSON* json = cJSON_GetObjectItem(root, "kept");
  const cJSON* before_chain =
      cJSON_GetArrayItem(cJSON_GetObjectItem(cJSON_GetObjectItem(json, "before"), "chains"), 0);
  EXPECT_EQ(kind(cJSON_GetObjectItem(before_chain, "freq")), "null");
  EXPECT_EQ(cJSON_GetObjectItem(before_chain, "overrides")->valueint, 1);
  const cJSON* last = cJSON_GetArrayItem(cJSON_GetObjectItem(json, "tunings"), 2);
  EXPECT_STREQ(cJSON_GetObjectItem(last, "outcome")->valuestring, "failed");
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(last, "logs")), 2);
  cJSON_Delete(root);

  // A copy without them says nothing of them; the JSON has nulls and no tunings.
  Board plain({});
  EXPECT_EQ(format_summary(plain.read()).find("kept"), std::string::npos);
  root = cJSON_Parse(report_json(plain.read()).c_str());
  json = cJSON_GetObjectItem(root, "kept");
  EXPECT_EQ(kind(cJSON_GetObjectItem(json, "original")), "null");
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(json, "tunings")), 0);
  cJSON_Delete(root);
}

TEST(BoardChecks, AFileOfBadLinesGivesABoundedReport) {
  std::string bad;
  for (int i = 0; i < 150; ++i) bad += "not a rate\n";
  Board board({{"chip-rates", bad + "2:1:74.71\n"}});
  BoardReport report = board.read();
  ASSERT_EQ(report.findings.size(), 101u);
  EXPECT_EQ(report.findings.back().what, "50 more findings in this file are not shown");
}

TEST(BoardHistory, ALogOfEndlessLoweringsKeepsEachChipsLatestChanges) {
  std::string log = "2027-01-01 00:00:00 Fix yellow\n";
  const int lowerings = 2 * ChipHistories::kept_per_chip + 55;
  for (int i = 0; i < lowerings; ++i) {
    log += "2027-01-01 00:01:00 Chip 2 on chain 2 is red, new freq is " + std::to_string(1000 - i) +
           "\n";
  }
  Board board({{"auto-tune", log}, {"manual_freqs.txt", ""}});
  const BoardReport report = board.read();
  const ChipView& chip = report.chains[0].chips[1];
  ASSERT_EQ(chip.history.size(), ChipHistories::kept_per_chip);
  // The lowerings the log names, then the one to the final frequency it does not.
  EXPECT_EQ(chip.earlier_changes, lowerings + 1 - static_cast<long long>(chip.history.size()));
  EXPECT_EQ(chip.history[0].new_freq,
            1000 - (lowerings + 1 - static_cast<int>(chip.history.size())));
  EXPECT_EQ(chip.history[chip.history.size() - 2].new_freq, 1000 - (lowerings - 1));
  EXPECT_EQ(chip.history.back().cause, "not in the log");
}

// The kind of a JSON value: "number", "string", "null", "bool", "array" or "object".
TEST(ReportJson, EveryMemberIsThereWithItsKindAndWhatIsUnknownIsNull) {
  Board board({{"chip-rates", "2:1:74.71\n2:2:nan\n"},
               {"auto-tune",
                "2027-01-01 00:00:00 Fix yellow\n"
                "2027-01-01 00:20:00 Chip 1 on chain 2 is red, new freq is 625\n"},
               {"config.conf", "bitmain-freq1=650\nbitmain-freq9=1\n"}});
  BoardReport report = board.read();
  cJSON* root = cJSON_Parse(report_json(report).c_str());
  ASSERT_NE(root, nullptr);
  const struct {
    const cJSON* in;
    const char* member;
    std::string kind;
  } members[] = {
      {root, "board", "string"},   {root, "rehearsal", "bool"}, {root, "chains", "array"},
      {root, "chips", "array"},    {root, "totals", "object"},  {root, "history_source", "string"},
      {root, "sessions", "array"}, {root, "findings", "array"}, {root, "ended_at", "number"},
      {root, "kept", "object"},
  };
  for (const auto& m : members)
    EXPECT_EQ(kind(cJSON_GetObjectItem(m.in, m.member)), m.kind) << m.member;
  const cJSON* chips = cJSON_GetObjectItem(root, "chips");
  ASSERT_EQ(cJSON_GetArraySize(chips), chain_count * chips_per_chain);
  const cJSON* first = cJSON_GetArrayItem(chips, 0);
  EXPECT_EQ(kind(cJSON_GetObjectItem(first, "rate")), "number");
  EXPECT_EQ(kind(cJSON_GetObjectItem(first, "earlier_changes")), "number");
  EXPECT_EQ(kind(cJSON_GetObjectItem(cJSON_GetArrayItem(chips, 1), "rate")), "null");  // nan
  EXPECT_EQ(kind(cJSON_GetObjectItem(cJSON_GetArrayItem(chips, 2), "rate")), "null");  // none
  const cJSON* change = cJSON_GetArrayItem(cJSON_GetObjectItem(first, "history"), 0);
  EXPECT_EQ(kind(cJSON_GetObjectItem(change, "when")), "string");
  EXPECT_EQ(kind(cJSON_GetObjectItem(change, "old_freq")), "null");
  EXPECT_EQ(cJSON_GetObjectItem(change, "new_freq")->valueint, 625);
  const cJSON* finding = cJSON_GetArrayItem(cJSON_GetObjectItem(root, "findings"), 0);
  EXPECT_EQ(cJSON_GetObjectItem(finding, "line")->valueint, 2);
  for (const char* key : {"chains", "measured_rate", "ideal_rate", "red", "yellow", "green",
                          "no_rate", "overrides"}) {
    EXPECT_EQ(kind(cJSON_GetObjectItem(cJSON_GetObjectItem(root, "totals"), key)), "number") << key;
  }
  cJSON_Delete(root);

  // A farm document is whole JSON however its boards came out.
  FarmTotals totals;
  totals.add(report);
  ++totals.unusable;
  FarmJson farm;
  std::string document = farm.begin();
  document += farm.board(report);
  document += farm.unusable("gone \"board\"", "gone: No such file or directory");
  document += farm.end(totals);
  cJSON* parsed = cJSON_Parse(document.c_str());
  ASSERT_NE(parsed, nullptr) << document;
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(parsed, "boards")), 2);
  EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(parsed, "totals"), "boards")->valueint, 2);
  EXPECT_STREQ(
      cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(parsed, "boards"), 1), "board")
          ->valuestring,
      "gone \"board\"");
  cJSON_Delete(parsed);
}

// A rate the report calls impossible is a finding and no part of any sum; a farm none of
// whose boards has its rates has rates unknown, never 0.
TEST(BoardTotals, ImpossibleRatesEnterNoSumAndUnknownRatesStayUnknown) {
  using testing::Files;
  Board odd(Files{{"chip-rates", "2:1:74.71\n2:2:1e30\n2:3:-5\n2:4:74.71\n"}});
  BoardReport report = odd.read();
  EXPECT_EQ(report.findings.size(), 2u);
  EXPECT_NEAR(report.chains[0].measured_rate, 149.42, 0.01);
  EXPECT_NEAR(totals_of(report).measured_rate, 149.42, 0.01);
  EXPECT_EQ(totals_of(report).red, 0);  // their chips' classes are unknown, not red
  EXPECT_EQ(totals_of(report).unrated, 61);
  EXPECT_NE(format_board_line(report).find("rate 149.4 "), std::string::npos)
      << format_board_line(report);
  FarmTotals farm;  // and a board whose ideal rate is unknown, left out and counted apart
  farm.add(report);
  farm.add(Board(Files{{"config.conf", ""}}).read());
  EXPECT_NEAR(farm.sum.measured_rate, 149.42, 0.01);
  EXPECT_NE(format_farm_totals(farm).find("(boards without rates: 0, without settings: 1)"),
            std::string::npos)
      << format_farm_totals(farm);

  // A chain the copy shows hashing (the miner's chain 3; a kept file tells as well as the
  // copy's) that chip-rates lists no more: the board's ideal rate holds it, its measured rate
  // does not. Chains never shown hashing stay outside the sums.
  const std::string hashing =
      "2027-01-01 00:03:00 Rate of chain 3 is 0, skip\n"
      "2027-01-01 00:03:00 Number of reds on chain 2: 3\n";
  const std::string chip_9 =
      "2027-01-01 00:05:00 Fix yellow\n2027-01-01 00:05:00 Chip 9 on chain 3 ";
  const std::tuple<const char*, std::string, const char*> shown_hashing[] = {
      {"chain-tuner.log", hashing, "chain-tuner's log"},
      {"tune-logs/0001-1-chain-tuner.log", hashing, "chain-tuner's log"},
      {"auto-tune",
       chip_9 + "is red, new freq is 600\n2027-01-01 00:06:00 Found 0 persistently yellow chips, "
                "decrease freq\n",
       "yellow-fixer's log"},
      {"tune-logs/0001-2-yellow-fixer.log",
       chip_9 +
           "still red after 3 restarts with low hashrate 4.20 in a row, decrease freq to 300\n",
       "yellow-fixer's log"},
      {"manual_freqs.txt", "2:9:20\n3:9:20\n", "manual_freqs.txt"},
      {"tune-backup/before/manual_freqs.txt", "3:9:20\n", "a saved manual_freqs.txt"},
  };
  for (const auto& [file, text, shown_by] : shown_hashing) {
    SCOPED_TRACE(file);
    Board lost(Files{{"config.conf", "bitmain-freq1=650\nbitmain-freq2=650\nbitmain-freq3=650\n"},
                     {file, text}});
    BoardReport with_lost = lost.read();
    EXPECT_TRUE(with_lost.chains[1].lost);
    EXPECT_STREQ(with_lost.chains[1].shown_hashing_by, shown_by);
    EXPECT_FALSE(with_lost.chains[2].lost);
    BoardTotals sums = totals_of(with_lost);
    EXPECT_EQ(sums.chains, 2);
    EXPECT_NEAR(sums.ideal_rate, 2 * with_lost.chains[0].ideal_rate, 0.01);
    EXPECT_NEAR(sums.measured_rate, 74.71, 0.01);
    EXPECT_EQ(sums.unrated, 62 + 63);
    EXPECT_NE(
        report_json(with_lost).find("\"chain\":3,\"slot\":1,\"digit\":2,\"chain_tuner_number\":2,"
                                    "\"present\":false,\"lost\":true,"),
        std::string::npos);
    EXPECT_NE(heat_map_svg(with_lost, "lost").find(">lost: no chip rates"), std::string::npos);
  }

  Board bare(Files{{"chip-rates", ""}}), other(Files{{"chip-rates", ""}});
  FarmTotals unknown, unread;  // and a farm none of whose boards could be read
  unknown.add(bare.read());
  unknown.add(other.read());
  EXPECT_NE(format_farm_totals(unknown).find("rates unknown (boards without rates: 2), overrides"),
            std::string::npos)
      << format_farm_totals(unknown);
  EXPECT_NE(format_farm_totals(unread).find("rates unknown (boards without rates: 0)"),
            std::string::npos);
  cJSON* totals = cJSON_Parse(("{\"boards\":[" + FarmJson().end(unknown)).c_str());
  ASSERT_NE(totals, nullptr);
  cJSON* sums = cJSON_GetObjectItem(totals, "totals");
  EXPECT_FALSE(cJSON_IsTrue(cJSON_GetObjectItem(sums, "rates_known")));
  EXPECT_FALSE(cJSON_IsTrue(cJSON_GetObjectItem(sums, "settings_known")));
  EXPECT_EQ(kind(cJSON_GetObjectItem(sums, "measured_rate")), "null");
  cJSON_Delete(totals);
  // One board with rates makes the farm's rates those of that board.
  unknown.add(report);
  EXPECT_NE(format_farm_totals(unknown).find("rate 149.4 of ideal"), std::string::npos);
}

}  // namespace
}  // namespace tune::rehearse
