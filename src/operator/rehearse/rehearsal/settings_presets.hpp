// Named settings lines to compare a board's tuning under. Each is a plain line for
// /config/autoTune.conf, to paste there: the programs know no presets, only that file.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "settings.hpp"

namespace tune::rehearse {

struct SettingsPreset {
  const char* name;
  const char* line;
  const char* what;  // for the usage text
};

// "key=default&...": the settings of `fields` at their declared defaults, made when the
// program is built (a line too long for its room does not build).
struct DefaultsLine {
  char text[200] = {};
};
constexpr DefaultsLine defaults_line(std::initializer_list<SettingField> fields) {
  DefaultsLine line;
  size_t at = 0;
  for (SettingField field : fields) {
    if (at > 0) line.text[at++] = '&';
    const SettingDeclaration& declared = declaration_of(field);
    for (const char* key = declared.key; *key != '\0'; ++key) line.text[at++] = *key;
    line.text[at++] = '=';
    if (declared.default_value < 0) line.text[at++] = '-';
    const long long magnitude =
        declared.default_value < 0 ? -1LL * declared.default_value : declared.default_value;
    long long digits = 1;
    while (digits * 10 <= magnitude) digits *= 10;
    for (; digits > 0; digits /= 10)
      line.text[at++] = static_cast<char>('0' + magnitude / digits % 10);
  }
  line.text[at] = '\0';
  return line;
}
inline constexpr DefaultsLine tuning_defaults = defaults_line(
    {&TuneSettings::restarts_count, &TuneSettings::max_freq, &TuneSettings::freq_to,
     &TuneSettings::voltage_from, &TuneSettings::voltage_to, &TuneSettings::desired_rate});

inline constexpr SettingsPreset settings_presets[] = {
    {"eco", "max_freq=725&freq_to=750&voltage_from=860&voltage_to=900",
     "lower frequencies and voltages: less power for a little less rate"},
    {"balanced", tuning_defaults.text, "the programs' defaults, written out"},
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
