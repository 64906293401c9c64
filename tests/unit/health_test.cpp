#include "health.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace tune {
namespace {

constexpr ChipHealth red = ChipHealth::red, yellow = ChipHealth::yellow, green = ChipHealth::green,
                     none = ChipHealth::unclassified;

TEST(ChipHealth, WorkedNumbersAt500MHz) {
  EXPECT_EQ(classify_chip(40.0f, 500, no_red_floor), red);
  EXPECT_EQ(classify_chip(45.0f, 500, no_red_floor), yellow);
  EXPECT_EQ(classify_chip(51.8f, 500, no_red_floor), green);
  EXPECT_EQ(classify_chip(74.8f, 500, no_red_floor), red);
  EXPECT_EQ(classify_chip(0.0f, 500, no_red_floor), red);
}

// At 87 MHz the expected rate rounds to exactly 10.0f, so rate / 10 gives the single-precision
// value nearest each boundary. Comparing in single precision would classify these differently.
TEST(ChipHealth, BoundariesAreComparedInDoublePrecision) {
  EXPECT_EQ(classify_chip(7.0f, 87, no_red_floor), red);     // 0.69999999 is red
  EXPECT_EQ(classify_chip(9.0f, 87, no_red_floor), yellow);  // 0.89999998 is yellow
  EXPECT_EQ(classify_chip(13.0f, 87, no_red_floor), green);  // 1.29999995 is green
  EXPECT_EQ(classify_chip(13.01f, 87, no_red_floor), red);
}

TEST(ChipHealth, OddRates) {
  EXPECT_EQ(classify_chip(-3.0f, 500, no_red_floor), red);
  EXPECT_EQ(classify_chip(std::numeric_limits<float>::infinity(), 500, no_red_floor), red);
  EXPECT_EQ(classify_chip(std::numeric_limits<float>::quiet_NaN(), 500, no_red_floor), none);
}

TEST(ChipHealth, NoFrequencyMeansNoClass) {
  EXPECT_EQ(classify_chip(0.0f, 0, no_red_floor), none);
  EXPECT_EQ(classify_chip(0.0f, 0, 300), none);
}

TEST(ChipHealth, TheRedFloorGatesOnlyRed) {
  EXPECT_EQ(classify_chip(0.0f, 100, no_red_floor), red);
  EXPECT_EQ(classify_chip(0.0f, -50, no_red_floor), red);  // any frequency but 0
  EXPECT_EQ(classify_chip(0.0f, 300, 300), none);
  EXPECT_EQ(classify_chip(25.0f, 300, 300), yellow);  // about 0.725
  EXPECT_EQ(classify_chip(0.0f, 301, 300), red);
  EXPECT_EQ(classify_chip(0.0f, -50, 300), none);
}

TEST(ChipHealth, UsesTheSlotsChipTableRow) {
  TuneState state;
  state.chain_freq[3] = 500;
  state.chip_rate[5][0] = 57.0f;  // row 5 is slot 3
  EXPECT_EQ(chip_health(state, 3, 0, no_red_floor), green);
  state.chip_rate[5][0] = 0.0f;
  state.chip_rate[3][0] = 57.0f;  // row 3 is slot 2, not slot 3
  EXPECT_EQ(chip_health(state, 3, 0, no_red_floor), red);
}

}  // namespace
}  // namespace tune
