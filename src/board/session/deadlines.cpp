#include "deadlines.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "board_files.hpp"
#include "chain_tuner.hpp"
#include "miner_restart.hpp"
#include "session_state.hpp"
#include "settings.hpp"
#include "yellow_fixer.hpp"

namespace tune::session {

namespace {

// The settings as the program reads them: the last line of the file, its own keys only.
TuneSettings settings_of(System& sys, Program program) {
  TuneSettings settings;
  FileRead file = read_file(sys.path(settings_path), 64 * 1024, true);
  if (file.result != FileRead::Result::read) return settings;
  std::string text = file.text;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  const std::string last =
      text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
  if (program == Program::chain_tuner) {
    apply_settings_line(settings, chain_tuner_settings, last.c_str());
  } else {
    apply_settings_line(settings, yellow_fixer_settings, last.c_str());
  }
  return settings;
}

}  // namespace

double default_deadline_hours(System& sys, Program program) {
  const TuneSettings s = settings_of(sys, program);
  const double wait = std::max(0, s.wait_after_restart);
  const double restart = restart_pause_seconds + wait;
  double seconds = 0;
  if (program == Program::chain_tuner) {
    // Each iteration: a restart, check passes that change a chain (each settles for a
    // minute; a chain walks its voltage down one step a pass, then settles), the minute of
    // the green phase.
    const double voltage_steps =
        std::fabs(static_cast<double>(s.voltage_to) - s.voltage_from) / voltage_step;
    const double passes = voltage_steps + 2;
    seconds = std::max(0, s.restarts_count) * (restart + (passes + 1) * settle_wait_seconds);
  } else {
    // The first restart, then up to the check limit of iterations: each observes every chip
    // for its passes and restarts the miner after a change.
    seconds = (check_limit + 1) * restart +
              static_cast<double>(check_limit) * observation_passes * pass_pause_seconds;
  }
  return std::clamp(2 * seconds / 3600, 1.0, longest_deadline_hours);
}

}  // namespace tune::session
