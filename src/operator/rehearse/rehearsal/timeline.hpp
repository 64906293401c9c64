// What a rehearsal samples as virtual time passes, for the timeline picture.
#pragma once

#include <array>
#include <vector>

#include "ladder.hpp"

namespace tune::rehearse {

// The miner's rate at a reading.
struct TimelineSample {
  double hours = 0;  // virtual time since the session began
  double total_rate = 0;
};

// The chains' frequencies and voltages as the programs wrote them into config.conf, at the
// moment they wrote them (the board's own, as it began, first).
struct WrittenSettings {
  double hours = 0;
  std::array<int, chain_count> voltage{}, freq{};
};

struct Timeline {
  std::vector<TimelineSample> samples;
  std::vector<WrittenSettings> settings;
  std::array<bool, chain_count> chain_present{};
  double yellow_fixer_start_hours = -1;  // where the second program began, if it ran
};

}  // namespace tune::rehearse
