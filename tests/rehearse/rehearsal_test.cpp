// A whole tuning rehearsed on the simulated machine: repeatable runs, both programs leaving a
// board's files, a summary and a chip history that agree with those files, and a timeline of
// the chains' settings as the programs wrote them.
#include "rehearsal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>

#include "board_report.hpp"
#include "kit/rehearse_calls.hpp"
#include "report_text.hpp"
#include "sim_system.hpp"
#include "text.hpp"

namespace tune::rehearse {
namespace {

namespace fs = std::filesystem;

TEST(Rehearsal, TheSameSeedGivesTheSameFilesAndSummary) {
  TempDir a, b;
  rehearse_into(a.path());
  rehearse_into(b.path());
  for (const char* file : {"config/config.conf", "config/manual_freqs.txt", "tmp/auto-tune",
                           "tmp/chip-rates", "chain-tuner.log", "chip-history.txt"}) {
    EXPECT_EQ(slurp(a / file), slurp(b / file)) << file;
  }
  std::string summary_a = format_summary(read_board(a.path()));
  std::string summary_b = format_summary(read_board(b.path()));
  EXPECT_EQ(summary_a.substr(summary_a.find('\n')), summary_b.substr(summary_b.find('\n')));
  EXPECT_NE(slurp(a / "tmp/auto-tune"), "");

  TempDir other;
  RehearsalOptions seed_two;
  seed_two.seed = 2;
  rehearse_into(other.path(), seed_two);
  EXPECT_NE(slurp(a / "tmp/chip-rates"), slurp(other / "tmp/chip-rates"));
}

TEST(Rehearsal, BothProgramsRunAndLeaveABoardsFiles) {
  TempDir dir;
  RehearsalResult result = rehearse_into(dir.path());
  EXPECT_TRUE(result.chain_tuner.ran);
  EXPECT_EQ(result.chain_tuner.parent_status, 0);
  EXPECT_TRUE(result.yellow_fixer.ran);
  EXPECT_FALSE(result.yellow_fixer.exited);
  EXPECT_GT(result.chain_tuner.restarts, 0);
  EXPECT_EQ(slurp(dir / "config/yellow"), "ok\n");
  EXPECT_FALSE(fs::exists(dir / "config/yellow-step"));
  EXPECT_NE(slurp(dir / "chain-tuner.log").find("Config parse"), std::string::npos);
  EXPECT_NE(slurp(dir / "tmp/auto-tune").find("Fix yellow\n"), std::string::npos);
  EXPECT_GT(result.timeline.samples.size(), 10u);
}

TEST(Rehearsal, SummaryAndChipHistoryAgreeWithTheFiles) {
  TempDir dir;
  RehearsalOptions options;
  options.chain_present = {true, true, false, true, true, true};  // chain 4 absent
  options.dead_chips = 4;
  rehearse_into(dir.path(), options);
  BoardReport report = read_board(dir.path());
  EXPECT_TRUE(report.findings.empty());

  // Count overrides and rated chips per miner chain number straight from the files.
  std::map<int, int> overrides, rated;
  std::regex line("(\\d+):(\\d+):([^\\n]+)\\n");
  std::string text = slurp(dir / "config/manual_freqs.txt");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    ++overrides[std::stoi((*it)[1])];
  }
  text = slurp(dir / "tmp/chip-rates");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    ++rated[std::stoi((*it)[1])];
  }
  for (const ChainView& chain : report.chains) {
    int number = chain.number;
    EXPECT_EQ(chain.overrides, overrides[number]) << number;
    EXPECT_EQ(chain.present, rated[number] > 0) << number;
    if (!chain.present) continue;
    EXPECT_EQ(chain.red + chain.yellow + chain.green + chain.unrated, 63);
    EXPECT_EQ(63 - chain.unrated, rated[number]);
  }
  EXPECT_FALSE(report.chains[2].present);
  std::string summary = format_summary(report);
  EXPECT_NE(summary.find("\n    4    2     3  absent"), std::string::npos) << summary;
  ASSERT_EQ(report.sessions.size(), 2u);
  EXPECT_EQ(report.sessions[0].program, "chain-tuner");
  EXPECT_EQ(report.sessions[1].program, "yellow-fixer");

  // Each recorded change starts where the last one ended and the last ends where the chip
  // runs now; the yellow fixer's logged red chips are among the red changes.
  ASSERT_TRUE(report.history_recorded);
  int changes = 0;
  for (int slot = 0; slot < chain_count; ++slot) {
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      const std::vector<ChipChange>& history = report.chains[slot].chips[chip].history;
      for (size_t i = 1; i < history.size(); ++i) {
        EXPECT_EQ(history[i].old_freq, history[i - 1].new_freq);
      }
      if (history.empty()) continue;
      ++changes;
      EXPECT_EQ(history.back().new_freq, report.chains[slot].chips[chip].freq);
    }
  }
  EXPECT_GT(changes, 0);
  // Each red lowering the log names is in the record at the time the log stamps it.
  std::string log = slurp(dir / "tmp/auto-tune");
  std::string record = slurp(dir / "chip-history.txt");
  std::regex red("([-0-9]+ [:0-9]+) Chip (\\d+) on chain (\\d+) is red, new freq is (\\d+)\\n");
  int reds = 0;
  for (std::sregex_iterator it(log.begin(), log.end(), red), end; it != end; ++it, ++reds) {
    const std::smatch& m = *it;
    std::string change = std::string(m[1]) + "\t" + std::string(m[3]) + ":" + std::string(m[2]);
    EXPECT_NE(record.find(change + "\t"), std::string::npos) << change;
  }
  EXPECT_GT(reds, 0);
}

// The timeline's chain settings change when the programs wrote them: each voltage step the
// chain tuner logs is in the timeline at the second of its log entry, on its chain.
TEST(Timeline, ChainSettingsChangeAtTheMomentTheProgramsWroteThem) {
  TempDir dir;
  const Timeline timeline = rehearse_into(dir.path()).timeline;
  ASSERT_FALSE(timeline.settings.empty());
  const std::regex step(
      "^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) Chain (\\d) is ok, "
      "decreasing voltage to (\\d+)$");
  int checked = 0;
  for (const std::string& line : split_lines(slurp(dir / "chain-tuner.log"))) {
    std::smatch m;
    if (!std::regex_match(line, m, step)) continue;
    struct tm when = {};
    ASSERT_NE(strptime(m[1].str().c_str(), "%Y-%m-%d %H:%M:%S", &when), nullptr);
    when.tm_isdst = -1;  // the log stamps local time
    const double hours = static_cast<double>(std::mktime(&when) - sim::sim_epoch) / 3600.0;
    const int logged = std::stoi(m[2]);  // the log's chains 1 2 3 5 6 7 are slots 0 to 5
    const int slot = logged <= 3 ? logged - 1 : logged - 2;
    const int voltage = std::stoi(m[3]);
    // The first setting from that moment on holds the new voltage, and is of that moment.
    auto from = std::find_if(timeline.settings.begin(), timeline.settings.end(),
                             [&](const WrittenSettings& s) { return s.hours >= hours - 1e-9; });
    ASSERT_NE(from, timeline.settings.end()) << line;
    EXPECT_NEAR(from->hours * 3600, hours * 3600, 1e-6) << line;
    EXPECT_EQ(from->voltage[slot], voltage) << line;
    ++checked;
  }
  EXPECT_GT(checked, 3);
}

}  // namespace
}  // namespace tune::rehearse
