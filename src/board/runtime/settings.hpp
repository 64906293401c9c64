// The tuning settings of /config/autoTune.conf: one "&"-joined line of key=value pairs.
// Each setting is declared once, in `setting_declarations`: its key, the member it fills,
// its default, the programs that read it, the values a rehearsal runs and what it means.
// The programs' readers, the operator tool's checks and its settings table (from which the
// docs' tables are made) all come from that one list.
#pragma once

#include <string>
#include <string_view>

#include "ladder.hpp"
#include "system.hpp"

namespace tune {

struct TuneContext;

inline constexpr char settings_path[] = "/config/autoTune.conf";

// Every member takes its declared default on construction.
struct TuneSettings {
  TuneSettings();

  int restarts_count;
  int max_freq;
  int freq_to;
  int voltage_from;
  int voltage_to;
  int ideal_percent;
  int wait_after_restart;
  int stat_poll_interval;
  int wait_test_run_seconds;
  int desired_rate;
};

using SettingField = int TuneSettings::*;

// The programs that read a setting, a bit each; each takes only its own keys from the file.
enum SettingReaders : unsigned {
  read_by_chain_tuner = 1,
  read_by_yellow_fixer = 2,
  read_by_tune_session = 4,
  read_by_both = read_by_chain_tuner | read_by_yellow_fixer,
};

// Every program that reads settings, by name: what the settings table, the docs and the
// report's checks go through. A new reader is a bit above and a row here.
struct SettingReader {
  SettingReaders bit;
  const char* name;
};
inline constexpr SettingReader setting_readers[] = {
    {read_by_chain_tuner, "chain-tuner"},
    {read_by_yellow_fixer, "yellow-fixer"},
    {read_by_tune_session, "tune-session"},
};
// Every reader's keys: a line as whichever program reads each key.
inline constexpr SettingReaders read_by_any = [] {
  unsigned all = 0;
  for (const SettingReader& reader : setting_readers) all |= reader.bit;
  return static_cast<SettingReaders>(all);
}();

// The values a rehearsal runs. The programs take any whole number; outside these the
// simulated chips mean nothing, or a rehearsal would never end.
inline constexpr long long no_lower_limit = -2147483648LL;
inline constexpr int lowest_board_voltage = 600;  // the miner's units, hundredths of a volt
inline constexpr int highest_board_voltage = 1100;
inline constexpr int longest_setting_seconds = 365 * 24 * 3600;
inline constexpr int most_restarts = 1000;

struct SettingDeclaration {
  const char* key;
  SettingField field;
  int default_value;
  SettingReaders readers;
  // The values a rehearsal runs (`low` no_lower_limit: none below) and what they are, as
  // a finding names them: "is outside the LOW to HIGH <rehearsed>".
  long long low, high;
  const char* rehearsed;  // nullptr: any value
  const char* meaning;    // one line, for the settings table
};

inline constexpr SettingDeclaration setting_declarations[] = {
    {"restarts_count", &TuneSettings::restarts_count, 10, read_by_chain_tuner, no_lower_limit,
     most_restarts, "passes, each a miner restart", "tuning iterations, one miner restart each"},
    {"max_freq", &TuneSettings::max_freq, 800, read_by_chain_tuner, freq_ladder[0],
     freq_ladder[top_ladder_step], "MHz of the chips' frequency ladder",
     "green chips are raised only below this (MHz)"},
    {"freq_to", &TuneSettings::freq_to, 850, read_by_chain_tuner, freq_ladder[0],
     freq_ladder[top_ladder_step], "MHz of the chips' frequency ladder",
     "starting frequency of every chain (MHz)"},
    {"voltage_from", &TuneSettings::voltage_from, 880, read_by_chain_tuner, lowest_board_voltage,
     highest_board_voltage, "a board runs at", "starting floor of the voltage walk-down"},
    {"voltage_to", &TuneSettings::voltage_to, 940, read_by_chain_tuner, lowest_board_voltage,
     highest_board_voltage, "a board runs at", "starting and highest chain voltage"},
    {"ideal_percent", &TuneSettings::ideal_percent, 97, read_by_both, 0, 0, nullptr, "logged only"},
    {"wait_after_restart", &TuneSettings::wait_after_restart, 180, read_by_both, no_lower_limit,
     longest_setting_seconds, "seconds (a year)",
     "seconds the miner must have run before rates are read"},
    {"stat_poll_interval", &TuneSettings::stat_poll_interval, 30, read_by_both, 1,
     longest_setting_seconds, "seconds (at least a second between polls, at most a year)",
     "seconds between start-up checks"},
    {"wait_test_run_seconds", &TuneSettings::wait_test_run_seconds, 3600, read_by_both,
     no_lower_limit, longest_setting_seconds, "seconds (a year)", "read and kept, unused"},
    {"desired_rate", &TuneSettings::desired_rate, 16000, read_by_both, 0, 0, nullptr,
     "target total rate"},
};

// True for a key of the settings file (any program's).
bool is_setting_key(std::string_view key);

// The declaration of the setting a member holds; its key ("restarts_count") is how messages
// name it.
constexpr const SettingDeclaration& declaration_of(SettingField field) {
  for (const SettingDeclaration& declared : setting_declarations) {
    if (declared.field == field) return declared;
  }
  throw "a member no setting declares";
}
constexpr const char* key_of(SettingField field) {
  return declaration_of(field).key;
}

// The last line of the settings file, with its "\n" when it has one; false, with nothing
// read, when the file cannot be opened (or is not a regular file). The one reader of the
// file, for the programs and for the session.
bool read_last_settings_line(System& sys, std::string& line);

// Applies one settings line over `settings`, taking only the keys `readers` read.
void apply_settings_line(TuneSettings& settings, SettingReaders readers, const char* line);

// Applies the last line of the settings file over the settings in force, taking only the
// keys `readers` read. A missing file ends the run with "Can't open config file", status 0.
void load_tune_settings(TuneContext& ctx, SettingReaders readers);

}  // namespace tune
