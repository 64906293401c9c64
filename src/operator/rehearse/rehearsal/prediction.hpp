// What a rehearsed tuning predicts for a board: the board today beside the board after the
// tuning, in the figures an operator weighs before spending hours of lowered hashrate on it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "board_report.hpp"

namespace tune::rehearse {

struct Prediction {
  double rate_today = 0, rate_after = 0;         // total measured GH/s
  double ideal_today = 0;                        // the miner's ideal rate today
  double power_today = 0, power_after = 0;       // the chip model's units
  int chips = 0;                                 // of the chains that hash
  int chips_changed = 0;                         // whose frequency the tuning changes
  int overrides_today = 0, overrides_after = 0;  // chips with an override step
  std::optional<long long> logged_seconds;  // the board's earlier tunings, as its logs span them
  long long virtual_seconds = 0;            // the rehearsed tuning's

  double gain() const { return rate_after - rate_today; }
  // Whether the board has been tuned before: its logs hold a tuning, or chips are overridden.
  bool tuned_before() const { return logged_seconds.has_value() || overrides_today > 0; }
  // Of today's rate; none when the board measures nothing today.
  std::optional<double> gain_percent() const;
};

// Rate per unit of the chip model's power; none without power.
std::optional<double> model_efficiency(double rate, double power);

Prediction predict(const BoardReport& today, const BoardReport& after, long long virtual_seconds);

// Why a rehearsed tuning predicts nothing, from its logs: a program failed (a settings file
// the programs cannot read, say), or stopped before the tuning's end. None when it finished.
std::optional<std::string> unfinished_tuning(const BoardReport& after);

// A prediction as one line of numbers, for a rehearsal run in another process, and back
// (none when the line is not one).
std::string encode_prediction(const Prediction& prediction);
std::optional<Prediction> decode_prediction(std::string_view line);

}  // namespace tune::rehearse
