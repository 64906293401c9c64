#include "settings.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "context.hpp"
#include "files.hpp"
#include "log.hpp"
#include "text.hpp"

namespace tune {

namespace {

struct SettingKey {
  const char* key;
  SettingField field;
};

constexpr SettingKey setting_keys[] = {
    {"restarts_count", &TuneSettings::restarts_count},
    {"max_freq", &TuneSettings::max_freq},
    {"freq_to", &TuneSettings::freq_to},
    {"voltage_from", &TuneSettings::voltage_from},
    {"voltage_to", &TuneSettings::voltage_to},
    {"ideal_percent", &TuneSettings::ideal_percent},
    {"wait_after_restart", &TuneSettings::wait_after_restart},
    {"stat_poll_interval", &TuneSettings::stat_poll_interval},
    {"wait_test_run_seconds", &TuneSettings::wait_test_run_seconds},
    {"desired_rate", &TuneSettings::desired_rate},
};

}  // namespace

bool is_setting_key(std::string_view key) {
  for (const SettingKey& known : setting_keys) {
    if (key == known.key) return true;
  }
  return false;
}

void apply_settings_line(TuneSettings& settings, std::span<const SettingField> reads,
                         const char* line) {
  for (const std::string& pair : split_fields(line, '&')) {
    std::vector<std::string> parts = split_fields(pair, '=');
    if (parts.size() < 2) continue;  // nothing, or a key without a value
    for (const SettingKey& known : setting_keys) {
      if (std::find(reads.begin(), reads.end(), known.field) == reads.end()) continue;
      if (parts[0] == known.key) settings.*known.field = parse_int(parts[1]);
    }
  }
}

void load_tune_settings(TuneContext& ctx, std::span<const SettingField> reads) {
  std::optional<std::string> last_line;
  if (!for_each_line(ctx.sys, settings_path, [&](const std::string& line) { last_line = line; })) {
    tune_fatal(ctx.sys, 0, fatal_log::no_settings);
  }
  if (last_line) apply_settings_line(ctx.settings, reads, last_line->c_str());
}

}  // namespace tune
