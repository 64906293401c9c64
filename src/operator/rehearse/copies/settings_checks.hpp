// The checks of a settings line (the last line of autoTune.conf, a --settings or --compare
// line): what the programs take without a word but the operator may not mean, and the values
// outside what a board runs at, which a rehearsal refuses to run (its chip model means
// nothing there, or it would never end).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tune::rehearse {

struct SettingsFinding {
  std::string what;      // names the key and its value
  bool refused = false;  // a value a rehearsal does not run
};

// One finding per doubtful value: unknown keys, keys without a value, values that are not
// whole numbers, keys given more than once, voltage_to below voltage_from; and, refused,
// the values outside what a rehearsal runs, as each setting declares it.
std::vector<SettingsFinding> check_settings_line(std::string_view line);

}  // namespace tune::rehearse
