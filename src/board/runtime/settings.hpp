// The tuning settings of /config/autoTune.conf: one "&"-joined line of key=value pairs.
#pragma once

#include <span>
#include <string_view>

namespace tune {

struct TuneContext;

inline constexpr char settings_path[] = "/config/autoTune.conf";

struct TuneSettings {
  int restarts_count = 10;
  int max_freq = 800;
  int freq_to = 850;
  int voltage_from = 880;
  int voltage_to = 940;
  int ideal_percent = 97;
  int wait_after_restart = 180;
  int stat_poll_interval = 30;
  int wait_test_run_seconds = 3600;
  int desired_rate = 16000;
};

// A setting a program reads from the file; each program names its own set of them.
using SettingField = int TuneSettings::*;

// True for a key of the settings file (either program's).
bool is_setting_key(std::string_view key);

// Applies one settings line over `settings`, taking only the keys of the fields `reads`.
void apply_settings_line(TuneSettings& settings, std::span<const SettingField> reads,
                         const char* line);

// Applies the last line of the settings file over the settings in force, taking only the
// keys of the fields `reads`. A missing file ends the run with "Can't open config file",
// status 0.
void load_tune_settings(TuneContext& ctx, std::span<const SettingField> reads);

}  // namespace tune
