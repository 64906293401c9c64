// The checks of a settings line (the last line of autoTune.conf, a --settings or --compare
// line): what the programs take without a word but the operator may not mean, and the values
// outside what a board runs at, which a rehearsal refuses to run (its chip model means
// nothing there, or it would never end).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tune::rehearse {

// The ranges a rehearsal runs: the board's voltages, the chips' frequency ladder, durations
// up to a year, a miner polled at least a second apart, and passes a rehearsal can count.
inline constexpr int lowest_board_voltage = 600;  // the miner's units, hundredths of a volt
inline constexpr int highest_board_voltage = 1100;
inline constexpr int longest_setting_seconds = 365 * 24 * 3600;
inline constexpr int most_restarts = 1000;

struct SettingsFinding {
  std::string what;      // names the key and its value
  bool refused = false;  // a value a rehearsal does not run
};

// One finding per doubtful value: unknown keys, keys without a value, values that are not
// whole numbers, keys given more than once, voltage_to below voltage_from; and, refused,
// voltages, frequencies, durations and pass counts outside the ranges above.
std::vector<SettingsFinding> check_settings_line(std::string_view line);

}  // namespace tune::rehearse
