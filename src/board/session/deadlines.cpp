#include "deadlines.hpp"

#include <algorithm>

#include "board_files.hpp"
#include "chain_tuner.hpp"
#include "session_state.hpp"
#include "settings.hpp"
#include "yellow_fixer.hpp"

namespace tune::session {

double default_deadline_hours(System& sys, Program program) {
  // The settings as the program would take them: the last line of the file, its own keys
  // only. The file is read without blocking, as the session reads every file.
  TuneSettings settings;
  const SettingReaders readers =
      program == Program::chain_tuner ? chain_tuner_settings : yellow_fixer_settings;
  FileRead file = read_file(sys.path(settings_path), 64 * 1024, true);
  if (file.result == FileRead::Result::read) {
    // The programs' last line, an empty one too (which sets nothing).
    std::string text = file.text;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    const size_t newline = text.rfind('\n');
    text.erase(0, newline == std::string::npos ? 0 : newline + 1);
    apply_settings_line(settings, readers, text.c_str());
  }
  const double seconds = program == Program::chain_tuner
                             ? chain_tuner_longest_run_seconds(settings)
                             : yellow_fixer_longest_run_seconds(settings);
  return std::clamp(2 * seconds / 3600, 1.0, longest_deadline_hours);
}

}  // namespace tune::session
