#include "deadlines.hpp"

#include <algorithm>

#include "chain_tuner.hpp"
#include "session_state.hpp"
#include "settings.hpp"
#include "yellow_fixer.hpp"

namespace tune::session {

double default_deadline_hours(System& sys, Program program) {
  // The settings as the program would take them: the last line of the file, its own keys
  // only (a file that cannot be read leaves the defaults).
  TuneSettings settings;
  const SettingReaders readers =
      program == Program::chain_tuner ? chain_tuner_settings : yellow_fixer_settings;
  std::string line;
  if (read_last_settings_line(sys, line)) apply_settings_line(settings, readers, line.c_str());
  const double seconds = program == Program::chain_tuner
                             ? chain_tuner_longest_run_seconds(settings)
                             : yellow_fixer_longest_run_seconds(settings);
  return std::clamp(2 * seconds / 3600, 1.0, longest_deadline_hours);
}

}  // namespace tune::session
