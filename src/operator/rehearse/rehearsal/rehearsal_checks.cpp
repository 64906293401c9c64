#include "rehearsal_checks.hpp"

#include "settings_checks.hpp"
#include "text.hpp"
#include "tool_error.hpp"

namespace tune::rehearse {

std::vector<std::string> settings_warnings(const std::string& line, const std::string& source) {
  std::vector<std::string> warnings;
  for (const SettingsFinding& finding : check_settings_line(line)) {
    if (!finding.refused) warnings.push_back(source + ": " + finding.what);
  }
  return warnings;
}

std::optional<std::string> refused_settings(const std::string& line) {
  for (const SettingsFinding& finding : check_settings_line(line)) {
    if (finding.refused) return finding.what;
  }
  return std::nullopt;
}

void refuse_board_settings(const RehearsalOptions& options, const std::string& board) {
  if (!options.settings.empty()) return;  // --settings, checked as it was given
  auto file = options.files.find("autoTune.conf");
  if (file == options.files.end()) return;
  const std::vector<std::string> lines = split_lines(file->second);
  if (lines.empty()) return;
  if (std::optional<std::string> why = refused_settings(lines.back())) {
    throw ToolError(status_unusable, board + "/autoTune.conf: " + *why +
                                         "; not rehearsed (--settings LINE rehearses others)");
  }
}

std::vector<std::string> rehearsal_warnings(const RehearsalOptions& options) {
  std::vector<std::string> warnings = settings_warnings(options.settings, "--settings");
  constexpr int machine_chips = chain_count * chips_per_chain;
  int special = options.weak_chips + options.dead_chips + options.missing_chips;
  if (special > machine_chips) {
    warnings.push_back("--weak, --dead and --missing ask for " + std::to_string(special) +
                       " chips of " + std::to_string(machine_chips) +
                       "; the machine gets as many as it has, weak ones first");
  }
  return warnings;
}

}  // namespace tune::rehearse
