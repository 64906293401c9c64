// What a rehearsal predicts: shown as it is known, and back exactly from the other
// processes the rehearsals run in, in the jobs' order, a job that fails or whose process
// dies costing only its own result.
#include "prediction.hpp"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

#include "draws.hpp"
#include "kit/temp_dir.hpp"
#include "predictions.hpp"
#include "ranking.hpp"
#include "rehearsal.hpp"
#include "report_json.hpp"
#include "spread.hpp"
#include "text.hpp"
#include "tool_error.hpp"
#include "twin.hpp"

namespace tune::rehearse {
namespace {

TEST(Prediction, ComesBackFromAnotherProcessAsItWasMade) {
  Prediction p{.rate_today = 27757.351234567,
               .rate_after = 1.0 / 3,
               .ideal_today = 28000.25,
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
    EXPECT_EQ(back->ideal_today, p.ideal_today);
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

// Three draws of a board at `today` whose tuning gains `gains` (one a draw), each with its
// chips as given.
DrawnPrediction drawn(double today, std::vector<double> gains, bool tuned = false) {
  std::vector<Prediction> draws;
  for (double gain : gains) {
    Prediction p{.rate_today = today,
                 .rate_after = today + gain,
                 .ideal_today = today * 1.02,
                 .power_today = 20000,
                 .power_after = 27000,
                 .chips = 378,
                 .chips_changed = 377,
                 .overrides_today = tuned ? 40 : 0,
                 .overrides_after = 73,
                 .logged_seconds = {},
                 .virtual_seconds = 2880};
    draws.push_back(p);
  }
  return summarise_draws(draws, false);
}

TEST(Prediction, IntervalsWidenWithFewerDrawsAndTheUnseenSpread) {
  const struct {
    const char* what;
    std::vector<double> values;
    double unseen;
    Interval expected;
  } cases[] = {
      {"none", {}, 0, {0, 0, 0}},
      {"one value, nothing unseen", {5}, 0, {5, 5, 5}},
      {"one value, the unseen spread alone", {5}, 1, {5 - 1.282, 5, 5 + 1.282}},
      // Mean 2, s = 1: half = t(0.9, 2) * sqrt(1 + 1/3) = 1.886 * 1.1547; with the unseen
      // spread, hypot(2.1778, 1.282).
      {"three values", {3, 1, 2}, 0, {2 - 2.1778, 2, 2 + 2.1778}},
      {"three values and the unseen", {1, 2, 3}, 1, {2 - 2.5268, 2, 2 + 2.5268}},
      // Of an even count, the lower middle value: one a draw gave.
      {"four values", {4, 1, 3, 2}, 0, {2 - 2.3642, 2, 2 + 2.3642}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Interval got = interval_of(c.values, c.unseen);
    EXPECT_NEAR(got.low, c.expected.low, 1e-3);
    EXPECT_NEAR(got.median, c.expected.median, 1e-9);
    EXPECT_NEAR(got.high, c.expected.high, 1e-3);
  }
}

// A prediction's draws: the same seed gives the same draws, each draw chips and noise of its
// own, each board other draws; the draw shown is the one of the median gain, and the twin's
// intervals are wider by the spread its draws cannot show.
TEST(Prediction, DrawsAreTheSeedsAndTheBoardsAndTheShownOneIsTheMedianGains) {
  const testing::TempDir dir;
  RehearsalOptions board;
  board.out_dir = dir.path();
  rehearse(board, nullptr);
  const BoardTwin before = twin_of(dir / before_tuning_dir), after = twin_of(dir.path());
  const RehearsalOptions base;
  auto limits = [](const RehearsalOptions& o) {
    std::vector<double> all;
    for (const auto& chain : *o.chips) {
      for (const sim::ChipTraits& chip : chain) all.push_back(chip.limit_at_nominal);
    }
    return all;
  };
  const RehearsalOptions one = drawn_options(base, &before, 1);
  EXPECT_EQ(limits(one), limits(drawn_options(base, &before, 1)));
  EXPECT_EQ(one.noise_seed, drawn_options(base, &before, 1).noise_seed);
  const RehearsalOptions two = drawn_options(base, &before, 2);
  EXPECT_NE(limits(one), limits(two));
  EXPECT_NE(one.noise_seed, two.noise_seed);
  RehearsalOptions reseeded = base;
  reseeded.seed = 2;
  EXPECT_NE(limits(one), limits(drawn_options(reseeded, &before, 1)));
  EXPECT_NE(one.noise_seed, drawn_options(base, &after, 1).noise_seed);
  // Without a twin only the noise is drawn: the seeded machine's chips stay.
  EXPECT_FALSE(drawn_options(base, nullptr, 1).chips);
  EXPECT_NE(drawn_options(base, nullptr, 1).noise_seed, drawn_options(base, nullptr, 2).noise_seed);

  std::vector<Prediction> draws = drawn(35000, {300, -50, 120, 90, 400}).draws;
  const DrawnPrediction plain = summarise_draws(draws, false), twin = summarise_draws(draws, true);
  EXPECT_EQ(plain.typical, 2u);  // +120, the median of five
  EXPECT_EQ(plain.shown().gain(), 120);
  EXPECT_EQ(twin.gain.median, plain.gain.median);
  EXPECT_GT(twin.gain.high - twin.gain.low, plain.gain.high - plain.gain.low);
  // A tuned board's twin: its measured error there added, so draws that agree on +300 of
  // 35000, a gain told on a new board, are none on a tuned one.
  const DrawnPrediction fresh = summarise_draws(drawn(35000, {300, 280, 320}).draws, true);
  const DrawnPrediction tuned = summarise_draws(drawn(35000, {300, 280, 320}, true).draws, true);
  EXPECT_EQ(tuned.gain.median, 300);
  EXPECT_GE(tuned.gain.high - tuned.gain.median, 1.28 * tuned_twin_unseen_share * 35000);
  EXPECT_TRUE(fresh.gain_told());
  EXPECT_FALSE(tuned.gain_told());
  std::optional<std::vector<Prediction>> back = decode_predictions(encode_predictions(draws));
  ASSERT_TRUE(back);
  ASSERT_EQ(back->size(), 5u);
  EXPECT_EQ((*back)[4].rate_after, draws[4].rate_after);
  for (const char* text : {"", "\n", "1 2 3\n"}) EXPECT_FALSE(decode_predictions(text)) << text;
}

TEST(Prediction, TextAndJsonTellAGainOnlyWhereItsIntervalLeavesOutZero) {
  const struct {
    const char* what;
    DrawnPrediction p;
    const char* text;  // in the prediction's text, parts split at |
    const char* json;  // in its JSON
    const char* not_in_text;
  } cases[] = {
      {"a gain", drawn(28000, {6900, 7000, 7100}),
       "the median of 3 draws|measured rate     28000.00 -> 35000.00 (34782.22 .. 35217.78)|"
       "gain              +7000.00 (+25.0 %), interval +6782.22 .. +7217.78 (+24.2 % .. +25.8 %)|"
       "efficiency        1.400 -> 1.296|chips changed     377 of 378|chips overridden  0 -> 73|"
       "tuning duration   - (its logs) -> 0:48:00 (virtual)",
       "\"draws\":3,|\"gain_told\":true,\"gain\":7000,\"gain_percent\":25,|"
       "\"gain_low\":6782.2|\"logged_seconds\":null|\"virtual_seconds\":2880|"
       "\"measured_rate_low\":34782.2",
       "no gain"},
      {"a loss told", drawn(35000, {-300, -200, -250}), "gain              -250.00 (-0.7 %)",
       "\"gain_told\":true,\"gain\":-250,", "no gain"},
      {"a gain inside the noise", drawn(35000, {-100, 150, 20}),
       "gain              no gain that the twin can tell, interval -",
       "\"gain_told\":false,\"gain\":null,\"gain_percent\":null,\"gain_low\":-", "+20.00"},
      {"nothing measured today", drawn(0, {35000}),
       "gain              +35000.00, interval +35000.00 .. +35000.00\n|efficiency        0.000 ->",
       "\"gain_percent\":null", "%)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = format_twin_prediction("board-17", c.p);
    const std::string json = prediction_json("board-17", c.p);
    for (const auto& [expected, in] : {std::pair{c.text, &text}, std::pair{c.json, &json}}) {
      for (const std::string& part : split_at(expected, '|')) {
        EXPECT_NE(in->find(part), std::string::npos) << part << "\n" << *in;
      }
    }
    EXPECT_EQ(text.find(c.not_in_text), std::string::npos) << text;
    cJSON* parsed = cJSON_Parse(json.c_str());
    EXPECT_NE(parsed, nullptr) << json;
    cJSON_Delete(parsed);
  }
}

TEST(Prediction, AComparisonShowsEachLineAsItEnded) {
  DrawnPrediction today_board = drawn(28000, {6900, 7000, 7100});
  std::vector<Prediction> logged = today_board.draws;
  for (Prediction& p : logged) p.logged_seconds = 3835;
  const std::vector<ComparedSettings> lines = {
      {"eco", "max_freq=725", summarise_draws(logged, false), "", ""},
      {"ideal_percent=97&desired_rate=16000", "ideal_percent=97&desired_rate=16000",
       drawn(28000, {-100, 150, 20}), "", ""},
      {"freq_to=2", "freq_to=2", std::nullopt, "",
       "freq_to=2 is outside the 100 to 1175 MHz of the chips' frequency ladder"},
      {"x=1", "x=1", std::nullopt, "killed", ""},
  };
  const std::string table = format_comparison("the board", lines, true);
  for (const char* part :
       {"     today                      28000.00                                      1.400     "
        "     0   1:03:55\n",
        "1    eco                        35000.00        34782 .. 35218   +25.0 %      1.296       "
        "  73   0:48:00\n",
        "2    ideal_percent=97&de…       28020.00        27748 .. 28292    untold ",
        "untold: no gain that the twin can tell",
        "3    freq_to=2            refused: freq_to=2 is outside the 100 to 1175 MHz",
        "4    x=1                  failed: killed\n",
        "  1 max_freq=725\n  2 ideal_percent=97&desired_rate=16000\n"}) {
    EXPECT_NE(table.find(part), std::string::npos) << part << "\n" << table;
  }
}

TEST(Prediction, TheOrderOfWorkRanksByTheLowerEndAndListsUntoldGainsApart) {
  // Later tunings rank by each board's interval's lower end; first tunings, whose ranking by
  // the twin was measured no better than the population's, all alike, by name.
  ASSERT_EQ(ranked_by(TuningKind::again), RankedBy::twin);
  ASSERT_EQ(ranked_by(TuningKind::first), RankedBy::population);
  std::vector<RankedBoard> boards = {
      {"wide", drawn(35000, {100, 400, 700}, true), 0},      // median 400, low near -250
      {"narrow", drawn(35000, {190, 200, 210}, true), 0},    // median 200, low near 178
      {"narrower", drawn(35000, {149, 150, 151}, true), 0},  // low near 148
      {"noise", drawn(35000, {-100, 150, 20}, true), 0},
      {"loss", drawn(35000, {-300, -200, -250}, true), 0},
      {"new-b", drawn(28000, {6900, 7000, 7100}), 0},
      {"new-a", drawn(28000, {6000, 6050, 6100}), 0},
      {"new-c", drawn(28000, {7900, 8000, 8100}), 0},
  };
  WorkOrder order = order_work(boards);
  std::string told, untold;
  for (const RankedBoard& b : order.told) told += b.dir + " ";
  for (const RankedBoard& b : order.untold) untold += b.dir + " ";
  EXPECT_EQ(told, "new-a new-b new-c narrow narrower ");
  EXPECT_EQ(untold, "loss noise wide ");  // a loss told is no work to do
  EXPECT_EQ(order.first_tunings, 3);
  EXPECT_EQ(order.later_tunings, 2);
  const std::string text = format_work_order(order, 2, "", 3);
  for (const char* part :
       {"\n1        +6050.00  +21.6 %",  // the first tunings alike: one rank
        "\n1        +8000.00  +28.6 %", "\n4         +200.00", "\n5         +150.00",
        "3 boards without a told gain (no gain that the twin can tell, or a loss: the interval "
        "holds or lies below 0), by name:\n-         -250.00   -0.7 %          -359 .. -141",
        "\n-               -        -          -252 .. +292",
        "8 boards by the lower end of their predicted gain's 80 % interval (twins, 3 draws each; "
        "simulated chip model); 2 more could not be predicted\n",
        "first tunings (3 boards) ranked alike (one rank), by the population's mean gain: the twin "
        "ranks them no better",
        "settings: each board's own autoTune.conf\ntold gains: 5 of 8 boards\n"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  }
  EXPECT_EQ(text.find("later tunings ("), std::string::npos) << text;
  // No untold row carries a signed gain: only its interval.
  const std::string untold_rows = text.substr(text.find("by name:\n"));
  EXPECT_EQ(untold_rows.find("+20.00"), std::string::npos) << untold_rows;
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
    std::vector<size_t> told;  // how many had ended, each time more had
    std::vector<JobResult> results = spread_over_cores(
        c.count,
        [&](size_t i) -> std::string {
          if (static_cast<int>(i) == c.dying) raise(SIGKILL);
          if (i == 2) throw ToolError(status_unusable, "board 2: no chip rates");
          if (i == 4) throw std::runtime_error("out of luck");
          return "job " + std::to_string(i) + " in " + std::to_string(getpid());
        },
        c.workers, [&](size_t ended) { told.push_back(ended); });
    ASSERT_EQ(results.size(), c.count);
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(told.back(), c.count);  // the progress reaches every job, dead workers' too
    EXPECT_TRUE(std::is_sorted(told.begin(), told.end()) &&
                std::adjacent_find(told.begin(), told.end()) == told.end());
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

// Again and again: a signal that comes at any moment of the tool's wait (even between its
// look for one and the wait itself) ends the run.
TEST(Spread, AStopSignalStopsTheWorkersAndEndsTheRunForItsCatcher) {
  const pid_t tool = getpid();
  for (int run = 0; run < 50; ++run) {
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
  }
  // The tool's own handling of SIGTERM is back as it was.
  struct sigaction now = {};
  sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

}  // namespace
}  // namespace tune::rehearse
