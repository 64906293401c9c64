// The twin's fitting on chips whose truth is known: what a rate shows, what it only bounds,
// and what a chain's other chips say of a chip whose rate shows nothing.
#include "twin.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>

#include "chip_model.hpp"
#include "health.hpp"
#include "sim_miner.hpp"

namespace tune::rehearse {
namespace {

// A chip at `freq` on a chain at `voltage` whose limit at that voltage is `limit`, rated as
// the model rates it without noise.
ChipEvidence rated(int freq, int voltage, double limit) {
  double over = freq - limit;
  double share = over <= 0 ? 1.0 : std::max(0.0, 1 - over / sim::population::falloff_mhz);
  return {freq, voltage, static_cast<float>(expected_rate(freq) * share), std::nullopt};
}

TEST(Twin, EachChipFromWhatItsFilesShow) {
  const struct {
    const char* what;
    ChipEvidence chip;
    sim::ChipKind kind;
    double low, high;  // where the fitted limit at the nominal voltage must lie
  } cases[] = {
      {"past its limit: the rate shows where it is", rated(850, 880, 800), sim::ChipKind::normal,
       799, 801},
      {"at a higher voltage, taken back to the nominal one", rated(850, 910, 836),
       sim::ChipKind::normal, 799, 801},
      {"full rate: above where it ran, less what the noise hides", rated(800, 880, 900),
       sim::ChipKind::normal, 796, 1e9},
      {"full rate, and red higher up: between the two",
       {650, 880, static_cast<float>(expected_rate(650)), 760},
       sim::ChipKind::normal,
       646,
       760},
      // Lowered to 650 from the chain's 700: yellow at the step above (656), so its limit
      // lies below that step less what a yellow chip's rate falls short by.
      {"held below its chain: below the step above",
       {650, 880, static_cast<float>(expected_rate(650)), std::nullopt, 700},
       sim::ChipKind::normal,
       640,
       646},
      {"far below any chain: weak", rated(650, 880, 590), sim::ChipKind::weak, 589, 591},
      {"a rate that is not a number: the population's",
       {650, 880, std::numeric_limits<float>::quiet_NaN(), std::nullopt},
       sim::ChipKind::normal,
       600,
       1000},
      {"a negative rate: the same",
       {650, 880, -50.0f, std::nullopt},
       sim::ChipKind::normal,
       600,
       1000},
      {"rate 0: dead", {650, 880, 0.0f, std::nullopt}, sim::ChipKind::dead, 0, 1e9},
      {"never listed: missing",
       {650, 880, std::nullopt, std::nullopt},
       sim::ChipKind::missing,
       0,
       1e9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    BoardEvidence evidence;
    for (auto& chain : evidence) chain.fill(rated(650, 880, 800));
    evidence[0][0] = c.chip;
    const sim::ChipTraits fitted = fit_twin(evidence)[0][0];
    EXPECT_EQ(fitted.kind, c.kind);
    EXPECT_GE(fitted.limit_at_nominal, c.low);
    EXPECT_LE(fitted.limit_at_nominal, c.high);
  }
}

TEST(Twin, ARedLoweringBoundsTheChipWhereverTheLogGivesIt) {
  const struct {
    const char* what;
    std::vector<ChipChange> history;  // in the board's own logs
    std::vector<KeptRedChip> kept;    // in tune-session's kept logs
    std::optional<int> red_at;
  } cases[] = {
      {"from a known frequency", {{"", 850, 825, red_cause}}, {}, 850},
      // Lowered to 700: it ran at less than 706 + 25 MHz, the next step up and the gap.
      {"from an unknown one: the most it can have been", {{"", {}, 700, red_cause}}, {}, 731},
      {"a forced lowering or another cause says nothing",
       {{"", 850, 300, forced_cause}, {"", 850, 825, "not in the log"}},
       {},
       std::nullopt},
      {"an earlier tuning's kept log", {}, {{0, 5, 800, 775}}, 800},
      {"the lowest of them", {{"", 850, 825, red_cause}}, {{0, 5, {}, 750}, {0, 5, 900, 875}}, 781},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    BoardReport report;
    for (const ChipChange& change : c.history) report.chains[0].chips[5].history.push_back(change);
    report.kept.red_chips = c.kept;
    EXPECT_EQ(evidence_of(report)[0][5].red_at, c.red_at);
  }
}

TEST(Twin, AChainsShownChipsMoveItsOtherChipsWhichSpreadAsARealChainsDo) {
  BoardEvidence evidence;
  for (auto& chain : evidence) chain.fill(rated(650, 880, 800));
  for (int chip = 0; chip < 20; ++chip) evidence[1][chip] = rated(900, 880, 830);
  sim::ChipTable table = fit_twin(evidence);
  auto mean_and_spread = [&](int slot, int first) {
    double sum = 0, squares = 0;
    int n = chips_per_chain - first;
    for (int chip = first; chip < chips_per_chain; ++chip) {
      sum += table[slot][chip].limit_at_nominal;
      squares += table[slot][chip].limit_at_nominal * table[slot][chip].limit_at_nominal;
    }
    double mean = sum / n;
    return std::pair{mean, std::sqrt(squares / n - mean * mean)};
  };
  // 20 chips 45 MHz above the population's level take their chain about 29 MHz up; a chain
  // that shows nothing stays at the population's level. Either spreads as chips do (35).
  auto [moved, moved_spread] = mean_and_spread(1, 20);
  auto [level, spread] = mean_and_spread(0, 0);
  EXPECT_NEAR(moved, 785 + 45 * 20 / (20 + 35.0 * 35 / (15 * 15)), 12);
  EXPECT_NEAR(level, 785, 12);
  EXPECT_NEAR(spread, 35, 8);
  EXPECT_NEAR(moved_spread, 35, 10);
  // The same evidence, the same twin.
  EXPECT_EQ(fit_twin(evidence)[0][5].limit_at_nominal, table[0][5].limit_at_nominal);
}

TEST(Twin, ASeededMachineRunFastGivesBackItsLimits) {
  sim::ChipModel truth(sim::ChipModelOptions{7});
  sim::MinerView view;
  for (int slot = 0; slot < chain_count; ++slot) {
    view.voltage[slot] = 910;
    for (int chip = 0; chip < chips_per_chain; ++chip) view.freq[slot][chip] = 900;
  }
  BoardEvidence evidence;
  for (int slot = 0; slot < chain_count; ++slot) {
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      evidence[slot][chip] = {900, 910, truth.rate(view, slot, chip), std::nullopt};
    }
  }
  sim::ChipTable table = fit_twin(evidence);
  int compared = 0;
  for (int slot = 0; slot < chain_count; ++slot) {
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      const sim::ChipTraits& real = truth.traits(slot, chip);
      const sim::ChipTraits& fitted = table[slot][chip];
      if (real.kind == sim::ChipKind::dead || real.kind == sim::ChipKind::missing) {
        EXPECT_EQ(fitted.kind, real.kind);
        continue;
      }
      double limit = truth.stable_limit(slot, chip, 910);
      if (limit > 900 - 0.05 * sim::population::falloff_mhz || limit < 900 - 110) continue;
      // The noise of a rate (1.5 %) is 1.8 MHz of limit.
      double fitted_limit = fitted.limit_at_nominal + fitted.limit_per_volt * 30;
      EXPECT_NEAR(fitted_limit, limit, 2.5) << slot << ":" << chip;
      ++compared;
    }
  }
  EXPECT_GT(compared, 250);  // most of the 378: those past their limit, not too far
}

}  // namespace
}  // namespace tune::rehearse
