// What a rehearsal predicts: shown as it is known, and back exactly from the other
// processes the rehearsals run in, in the jobs' order, a job that fails or whose process
// dies costing only its own result.
#include "prediction.hpp"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

#include "predictions.hpp"
#include "report_json.hpp"
#include "spread.hpp"
#include "text.hpp"
#include "tool_error.hpp"

namespace tune::rehearse {
namespace {

TEST(Prediction, ComesBackFromAnotherProcessAsItWasMade) {
  Prediction p{.rate_today = 27757.351234567,
               .rate_after = 1.0 / 3,
               .power_today = 27204.2,
               .chips = 378,
               .chips_changed = 377,
               .overrides_today = 2,
               .overrides_after = 63,
               .logged_seconds = {},  // and 2335 s, below
               .virtual_seconds = 2940};
  for (std::optional<long long> logged : {std::optional<long long>(), std::optional(2335LL)}) {
    p.logged_seconds = logged;
    std::optional<Prediction> back = decode_prediction(encode_prediction(p));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->rate_today, p.rate_today);
    EXPECT_EQ(back->rate_after, p.rate_after);
    EXPECT_EQ(back->power_today, p.power_today);
    EXPECT_EQ(back->overrides_today, 2);
    EXPECT_EQ(back->overrides_after, 63);
    EXPECT_EQ(back->logged_seconds, logged);
    EXPECT_EQ(back->virtual_seconds, 2940);
  }
  for (const char* line : {"", "1 2 3", "0x1p+0 0x1p+0 0x1p+0 0x1p+0 1 2 3 4 5 6 extra"}) {
    EXPECT_FALSE(decode_prediction(line)) << line;
  }
}

TEST(Prediction, TextAndJsonSayWhatIsKnownAndNothingElse) {
  Prediction p{.power_today = 20000,
               .power_after = 27000,
               .chips = 378,
               .chips_changed = 377,
               .overrides_after = 73,
               .logged_seconds = {},  // it, and the rates, by case
               .virtual_seconds = 2880};
  const struct {
    const char* what;
    double today, after;
    std::optional<long long> logged;
    const char* text;  // in the prediction's text
    const char* json;  // in its JSON
  } cases[] = {
      {"a gain", 28000, 35000, std::nullopt,
       "measured rate     28000.00 -> 35000.00 (+25.0 %)|efficiency        1.400 -> 1.296|"
       "chips changed     377 of 378|chips overridden  0 -> 73|"
       "tuning duration   - (its logs) -> 0:48:00 (virtual)",
       "\"gain\":7000,\"gain_percent\":25,|\"logged_seconds\":null|\"virtual_seconds\":2880"},
      {"a loss too small to show", 35000, 34999, 3835, "(0.0 %)|1:03:55 (its logs)",
       "\"logged_seconds\":3835"},
      {"nothing measured today", 0, 35000, std::nullopt, "(-)|efficiency        0.000 ->",
       "\"gain_percent\":null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    p.rate_today = c.today;
    p.rate_after = c.after;
    p.logged_seconds = c.logged;
    const std::string text = format_twin_prediction("board-17", p);
    const std::string json = prediction_json("board-17", p);
    for (const auto& [expected, in] : {std::pair{c.text, &text}, std::pair{c.json, &json}}) {
      for (const std::string& part : split_at(expected, '|')) {
        EXPECT_NE(in->find(part), std::string::npos) << part << "\n" << *in;
      }
    }
    cJSON* parsed = cJSON_Parse(json.c_str());
    EXPECT_NE(parsed, nullptr) << json;
    cJSON_Delete(parsed);
  }
  // A comparison: today's row from the board, a row a line, a failed line with its reason.
  p.rate_today = 28000;
  p.logged_seconds = 3835;
  const std::string table = format_comparison(
      "the board", {{"eco", "max_freq=725", p, ""}, {"line 2", "x=1", std::nullopt, "killed"}});
  for (const char* part :
       {"     today              28000.00                1.400          0   1:03:55\n",
        "1    eco                35000.00   +25.0 %      1.296         73   0:48:00\n",
        "2    line 2       failed: killed\n", "  1 max_freq=725\n  2 x=1\n"}) {
    EXPECT_NE(table.find(part), std::string::npos) << part << "\n" << table;
  }
}

TEST(Prediction, BoardsRankByGainThenByName) {
  auto board = [](const char* dir, double today, double after) {
    Prediction p;
    p.rate_today = today;
    p.rate_after = after;
    return RankedBoard{dir, p};
  };
  std::vector<RankedBoard> boards = {board("c", 100, 90), board("b", 100, 150),
                                     board("a", 200, 250), board("d", 0, 10)};
  rank_by_gain(boards);
  std::string order;
  for (const RankedBoard& b : boards) order += b.dir;
  EXPECT_EQ(order, "abdc");  // a and b gain 50: by name; a board at 0 today has no percent
  EXPECT_NE(format_work_order(boards, 2, "").find("4 boards by predicted gain"), std::string::npos);
}

TEST(Spread, ResultsComeInTheJobsOrderAndAFailureIsOnlyItsJobs) {
  const struct {
    const char* what;
    size_t count;
    int workers;
    int dying;  // the job whose worker dies, or -1
  } cases[] = {
      {"more jobs than workers", 7, 2, -1},
      {"more workers than jobs", 2, 8, -1},
      {"one worker", 3, 1, -1},
      {"a worker killed in its second job", 7, 2, 3},
      {"the only worker killed in its first job", 3, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<JobResult> results = spread_over_cores(
        c.count,
        [&](size_t i) -> std::string {
          if (static_cast<int>(i) == c.dying) raise(SIGKILL);
          if (i == 2) throw ToolError(status_unusable, "board 2: no chip rates");
          if (i == 4) throw std::runtime_error("out of luck");
          return "job " + std::to_string(i) + " in " + std::to_string(getpid());
        },
        c.workers);
    ASSERT_EQ(results.size(), c.count);
    for (size_t i = 0; i < c.count; ++i) {
      SCOPED_TRACE(i);
      // A worker that dies costs the job it was on; a new worker takes the lane's others.
      const bool lost = static_cast<int>(i) == c.dying;
      if (lost) {
        EXPECT_FALSE(results[i].done);
        EXPECT_EQ(results[i].text, "its rehearsal process was killed by signal 9 (Killed)");
      } else if (i == 2 || i == 4) {
        EXPECT_FALSE(results[i].done);
        EXPECT_EQ(results[i].text, i == 2 ? "board 2: no chip rates" : "out of luck");
      } else {
        EXPECT_TRUE(results[i].done);
        EXPECT_TRUE(results[i].text.starts_with("job " + std::to_string(i) + " in "));
        EXPECT_EQ(results[i].text.find(std::to_string(getpid())), std::string::npos)
            << "ran in the tool's own process";
      }
    }
  }
}

TEST(Spread, AStopSignalStopsTheWorkersAndEndsTheRunForItsCatcher) {
  const pid_t tool = getpid();
  int caught = 0;
  try {
    spread_over_cores(
        4,
        [&](size_t i) -> std::string {
          if (i == 1) kill(tool, SIGTERM);  // as `kill` from another shell would
          pause();                          // the other jobs would never end on their own
          return "";
        },
        2);
  } catch (const Interrupted& interrupted) {
    caught = interrupted.signal;
  }
  EXPECT_EQ(caught, SIGTERM);
  // The tool's own handling of SIGTERM is back as it was.
  struct sigaction now = {};
  sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

}  // namespace
}  // namespace tune::rehearse
