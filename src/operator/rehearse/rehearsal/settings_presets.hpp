// Named settings lines to compare a board's tuning under. Each is a plain line for
// /config/autoTune.conf, to paste there: the programs know no presets, only that file.
#pragma once

#include <optional>
#include <string_view>

namespace tune::rehearse {

struct SettingsPreset {
  const char* name;
  const char* line;
  const char* what;  // for the usage text
};

inline constexpr SettingsPreset settings_presets[] = {
    {"eco", "max_freq=725&freq_to=750&voltage_from=860&voltage_to=900",
     "lower frequencies and voltages: less power for a little less rate"},
    {"balanced",
     "restarts_count=10&max_freq=800&freq_to=850&voltage_from=880&voltage_to=940&"
     "desired_rate=16000",
     "the programs' defaults, written out"},
    {"performance", "max_freq=875&freq_to=900&voltage_from=900&voltage_to=960",
     "higher frequencies and voltages: more rate for more power"},
};

inline std::optional<SettingsPreset> settings_preset(std::string_view name) {
  for (const SettingsPreset& preset : settings_presets) {
    if (name == preset.name) return preset;
  }
  return std::nullopt;
}

}  // namespace tune::rehearse
