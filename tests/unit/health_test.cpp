#include "health.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "harness.hpp"

namespace tune {
namespace {

struct Class {
  int red, yellow, green;
  bool operator==(const Class&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Class& c) {
  return os << "{red " << c.red << ", yellow " << c.yellow << ", green " << c.green << "}";
}

Class classify(TuneContext& ctx, int freq, float rate) {
  ctx.state.chain_freq[1] = freq;
  ctx.state.chip_rate[chain_number_of(1)][7] = rate;
  return Class{is_red(ctx, 1, 7), is_yellow(ctx, 1, 7), is_green(ctx, 1, 7)};
}

TEST(ChipHealth, WorkedNumbersAt500MHz) {
  testing::SimMachine m;
  EXPECT_EQ(classify(m.ctx, 500, 40.0f), (Class{1, 0, 0}));
  EXPECT_EQ(classify(m.ctx, 500, 45.0f), (Class{0, 1, 0}));
  EXPECT_EQ(classify(m.ctx, 500, 51.8f), (Class{0, 0, 1}));
  EXPECT_EQ(classify(m.ctx, 500, 74.8f), (Class{1, 0, 0}));
  EXPECT_EQ(classify(m.ctx, 500, 0.0f), (Class{1, 0, 0}));
}

// At 87 MHz the expected rate rounds to exactly 10.0f, so rate / 10 gives the single-precision
// value nearest each boundary. Comparing in single precision would classify these differently.
TEST(ChipHealth, BoundariesAreComparedInDoublePrecision) {
  testing::SimMachine m;
  EXPECT_EQ(classify(m.ctx, 87, 7.0f), (Class{1, 0, 0}));   // 0.69999999 is red
  EXPECT_EQ(classify(m.ctx, 87, 9.0f), (Class{0, 1, 0}));   // 0.89999998 is yellow
  EXPECT_EQ(classify(m.ctx, 87, 13.0f), (Class{0, 0, 1}));  // 1.29999995 is green
  EXPECT_EQ(classify(m.ctx, 87, 13.01f), (Class{1, 0, 0}));
}

TEST(ChipHealth, OddRates) {
  testing::SimMachine m;
  EXPECT_EQ(classify(m.ctx, 500, -3.0f), (Class{1, 0, 0}));
  EXPECT_EQ(classify(m.ctx, 500, std::numeric_limits<float>::infinity()), (Class{1, 0, 0}));
  EXPECT_EQ(classify(m.ctx, 500, std::numeric_limits<float>::quiet_NaN()), (Class{0, 0, 0}));
}

TEST(ChipHealth, NoFrequencyMeansNoClass) {
  testing::SimMachine chain_tuner(Program::chain_tuner);
  EXPECT_EQ(classify(chain_tuner.ctx, 0, 0.0f), (Class{0, 0, 0}));
  testing::SimMachine yellow_fixer(Program::yellow_fixer);
  EXPECT_EQ(classify(yellow_fixer.ctx, 0, 0.0f).yellow, 0);
}

TEST(ChipHealth, EachProgramHasItsOwnRedGate) {
  testing::SimMachine chain_tuner(Program::chain_tuner);
  EXPECT_EQ(classify(chain_tuner.ctx, 100, 0.0f).red, 1);
  EXPECT_EQ(classify(chain_tuner.ctx, -50, 0.0f).red, 1);  // any frequency but 0

  testing::SimMachine yellow_fixer(Program::yellow_fixer);
  EXPECT_EQ(classify(yellow_fixer.ctx, 300, 0.0f).red, 0);
  EXPECT_EQ(classify(yellow_fixer.ctx, 300, 25.0f).yellow, 1);  // about 0.725
  EXPECT_EQ(classify(yellow_fixer.ctx, 301, 0.0f).red, 1);
  EXPECT_EQ(classify(yellow_fixer.ctx, -50, 0.0f).red, 0);
}

TEST(ChipHealth, UsesTheSlotsChipTableRow) {
  testing::SimMachine m;
  m.ctx.state.chain_freq[3] = 500;
  m.ctx.state.chip_rate[5][0] = 57.0f;  // row 5 is slot 3
  EXPECT_EQ(is_green(m.ctx, 3, 0), 1);
  m.ctx.state.chip_rate[5][0] = 0.0f;
  m.ctx.state.chip_rate[3][0] = 57.0f;  // row 3 is slot 2, not slot 3
  EXPECT_EQ(is_red(m.ctx, 3, 0), 1);
}

}  // namespace
}  // namespace tune
