#include "rehearsal_checks.hpp"

#include "chain_tuner.hpp"
#include "settings.hpp"
#include "text.hpp"

namespace tune::rehearse {

std::vector<std::string> settings_warnings(const std::string& line, const std::string& source) {
  std::vector<std::string> warnings;
  // The pairs as the programs split them.
  for (const std::string& pair : split_fields(line, '&')) {
    std::vector<std::string> parts = split_fields(pair, '=');
    if (parts.empty()) continue;
    const std::string& key = parts[0];
    if (!is_setting_key(key)) {
      warnings.push_back(source + ": unknown key \"" + key + "\"; the programs ignore it");
    } else if (parts.size() < 2) {
      warnings.push_back(source + ": " + key + " has no value; the programs keep the one in force");
    } else if (!exact_int(parts[1])) {
      warnings.push_back(source + ": " + key + "=" + parts[1] +
                         " is not a whole number; the programs read " +
                         std::to_string(parse_int(parts[1])));
    }
  }
  TuneSettings settings;
  apply_settings_line(settings, chain_tuner_settings, line.c_str());
  if (settings.voltage_to < settings.voltage_from) {
    warnings.push_back(source + ": voltage_to " + std::to_string(settings.voltage_to) +
                       " is below voltage_from " + std::to_string(settings.voltage_from) +
                       "; the chain tuner never walks a voltage down");
  }
  return warnings;
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
