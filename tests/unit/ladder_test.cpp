#include "ladder.hpp"

#include <gtest/gtest.h>

#include <climits>

namespace tune {
namespace {

TEST(FreqLadder, IsStrictlyAscendingWithItsLandmarks) {
  for (int i = 1; i < ladder_size; ++i) EXPECT_LT(freq_ladder[i - 1], freq_ladder[i]) << i;
  EXPECT_EQ(freq_ladder[0], 100);
  EXPECT_EQ(freq_ladder[8], 300);
  EXPECT_EQ(freq_ladder[44], 500);
  EXPECT_EQ(freq_ladder[98], 800);
  EXPECT_EQ(freq_ladder[113], 1175);
}

TEST(LadderIndexOf, FindsExactFrequenciesOnly) {
  EXPECT_EQ(ladder_index_of(100), 0);
  EXPECT_EQ(ladder_index_of(300), 8);
  EXPECT_EQ(ladder_index_of(1175), 113);
  EXPECT_EQ(ladder_index_of(401), -1);
  EXPECT_EQ(ladder_index_of(0), -1);
}

TEST(LadderStepDown, GivesTheHighestFrequencyAtLeastTheGapBelow) {
  EXPECT_EQ(ladder_step_down(500, 25), 475);
  EXPECT_EQ(ladder_step_down(499, 25), 470);
  EXPECT_EQ(ladder_step_down(412, 25), 375);
  EXPECT_EQ(ladder_step_down(402, 25), 375);
  EXPECT_EQ(ladder_step_down(800, 25), 775);
  EXPECT_EQ(ladder_step_down(801, 25), 775);
  EXPECT_EQ(ladder_step_down(125, 25), 100);
  EXPECT_EQ(ladder_step_down(124, 25), 0);
  EXPECT_EQ(ladder_step_down(1200, 25), 1175);
  EXPECT_EQ(ladder_step_down(INT_MAX, 25), 1175);
  EXPECT_EQ(ladder_step_down(INT_MIN, 25), 0);
}

TEST(ChainNumbering, SkipsChainFour) {
  const int expected[chain_count] = {1, 2, 3, 5, 6, 7};
  for (int slot = 0; slot < chain_count; ++slot) EXPECT_EQ(chain_number_of(slot), expected[slot]);
}

TEST(EffectiveChipFreq, OverrideThenChainThenBase) {
  TuneState state;
  state.base_freq = 650;
  state.chain_freq[3] = 600;
  const int row = chip_table_row(3);  // slot 3 lives in row 5
  ASSERT_EQ(row, 5);
  for (int none : {0, -1, -2}) {
    state.chip_override[row][0] = none;
    EXPECT_EQ(effective_chip_freq(state, 3, 0), 600);
  }
  state.chain_freq[3] = 0;
  EXPECT_EQ(effective_chip_freq(state, 3, 0), 650);
  state.chip_override[row][0] = 1;
  EXPECT_EQ(effective_chip_freq(state, 3, 0), 125);  // 100 MHz is never selectable
  state.chip_override[row][0] = 44;
  EXPECT_EQ(effective_chip_freq(state, 3, 0), 500);
  // A step past the top counts as the top step.
  state.chip_override[row][0] = 114;
  EXPECT_EQ(effective_chip_freq(state, 3, 0), 1175);
  state.chip_override[row][0] = INT_MAX;
  EXPECT_EQ(effective_chip_freq(state, 3, 0), 1175);
}

}  // namespace
}  // namespace tune
