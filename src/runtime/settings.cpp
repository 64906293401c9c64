#include "settings.hpp"

#include <cstdio>
#include <string>

#include "context.hpp"
#include "log.hpp"
#include "text.hpp"

namespace tune {

namespace {

struct SettingKey {
  const char* key;
  int TuneSettings::*field;
  bool yellow_fixer_reads;
};

constexpr SettingKey setting_keys[] = {
    {"restarts_count", &TuneSettings::restarts_count, false},
    {"max_freq", &TuneSettings::max_freq, false},
    {"freq_to", &TuneSettings::freq_to, false},
    {"voltage_from", &TuneSettings::voltage_from, false},
    {"voltage_to", &TuneSettings::voltage_to, false},
    {"ideal_percent", &TuneSettings::ideal_percent, true},
    {"wait_after_restart", &TuneSettings::wait_after_restart, true},
    {"stat_poll_interval", &TuneSettings::stat_poll_interval, true},
    {"wait_test_run_seconds", &TuneSettings::wait_test_run_seconds, true},
    {"desired_rate", &TuneSettings::desired_rate, true},
};

}  // namespace

void apply_settings_line(TuneSettings& settings, Program program, const char* line) {
  for (const std::string& pair : split_fields(line, '&')) {
    std::vector<std::string> parts = split_fields(pair, '=');
    if (parts.size() < 2) continue;  // nothing, or a key without a value
    for (const SettingKey& known : setting_keys) {
      if (program == Program::yellow_fixer && !known.yellow_fixer_reads) continue;
      if (parts[0] == known.key) settings.*known.field = parse_int(parts[1]);
    }
  }
}

void load_tune_settings(TuneContext& ctx) {
  std::FILE* file = std::fopen(ctx.sys.path(settings_path).c_str(), "r");
  if (file == nullptr) tune_fatal(ctx.sys, "Can't open config file", 0);
  std::string line;
  std::string last_line;
  bool has_line = false;
  while (read_line(file, line)) {
    last_line = line;
    has_line = true;
  }
  if (has_line) apply_settings_line(ctx.settings, ctx.program, last_line.c_str());
  TuneSettings& s = ctx.settings;
  if (ctx.program == Program::chain_tuner) {
    for (int slot = 0; slot < chain_count; ++slot) {
      ctx.state.chain_freq[slot] = s.freq_to;
      ctx.state.chain_voltage[slot] = s.voltage_to;
    }
  }
  std::fclose(file);
  if (ctx.program == Program::chain_tuner) {
    tune_logf(ctx.sys,
              "Config parse: freq_from=%d, freq_to=%d, voltage_from=%d, voltage_to=%d, "
              "ideal_percent=%d\n",
              s.freq_from, s.freq_to, s.voltage_from, s.voltage_to, s.ideal_percent);
  }
}

}  // namespace tune
