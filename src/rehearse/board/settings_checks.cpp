#include "settings_checks.hpp"

#include <map>

#include "chain_tuner.hpp"
#include "ladder.hpp"
#include "settings.hpp"
#include "text.hpp"

namespace tune::rehearse {

namespace {

struct Range {
  const char* key;
  SettingField field;
  long long low, high;
  const char* why;  // what the range is
};

const Range ranges[] = {
    {"voltage_from", &TuneSettings::voltage_from, lowest_board_voltage, highest_board_voltage,
     "a board runs at"},
    {"voltage_to", &TuneSettings::voltage_to, lowest_board_voltage, highest_board_voltage,
     "a board runs at"},
    {"freq_to", &TuneSettings::freq_to, freq_ladder[0], freq_ladder[top_ladder_step],
     "MHz of the chips' frequency ladder"},
    {"max_freq", &TuneSettings::max_freq, freq_ladder[0], freq_ladder[top_ladder_step],
     "MHz of the chips' frequency ladder"},
    {"wait_after_restart", &TuneSettings::wait_after_restart, -2147483648LL,
     longest_setting_seconds, "seconds (a year)"},
    {"wait_test_run_seconds", &TuneSettings::wait_test_run_seconds, -2147483648LL,
     longest_setting_seconds, "seconds (a year)"},
    {"stat_poll_interval", &TuneSettings::stat_poll_interval, 1, longest_setting_seconds,
     "seconds (at least a second between polls, at most a year)"},
    {"restarts_count", &TuneSettings::restarts_count, -2147483648LL, most_restarts,
     "passes, each a miner restart"},
};

std::string shown(std::string_view text) {
  return printable(text, 40);
}

}  // namespace

std::vector<SettingsFinding> check_settings_line(std::string_view line) {
  std::vector<SettingsFinding> findings;
  std::map<std::string, std::string> given;  // key -> its value as first given
  // The pairs as the programs split them.
  for (const std::string& pair : split_fields(std::string(line), '&')) {
    std::vector<std::string> parts = split_fields(pair, '=');
    if (parts.empty()) continue;
    const std::string& key = parts[0];
    if (!is_setting_key(key)) {
      findings.push_back({"unknown key \"" + shown(key) + "\"; the programs ignore it"});
      continue;
    }
    if (parts.size() < 2) {
      findings.push_back({key + " has no value; the programs keep the one in force"});
      continue;
    }
    const std::string& value = parts[1];
    if (!exact_int(value)) {
      findings.push_back({key + "=" + shown(value) + " is not a whole number; the programs read " +
                          std::to_string(parse_int(value))});
    }
    auto [earlier, first] = given.emplace(key, value);
    if (!first) {
      findings.push_back({key + " is given more than once (" + key + "=" + shown(earlier->second) +
                          ", then " + key + "=" + shown(value) + "); the programs take the last"});
      earlier->second = value;
    }
  }
  TuneSettings settings;
  const std::string whole(line);
  apply_settings_line(settings, chain_tuner_settings, whole.c_str());
  for (const Range& range : ranges) {
    const int value = settings.*range.field;
    if (!given.count(range.key) || (value >= range.low && value <= range.high)) continue;
    std::string limits = range.low == -2147483648LL ? "above the " + std::to_string(range.high)
                                                    : "outside the " + std::to_string(range.low) +
                                                          " to " + std::to_string(range.high);
    findings.push_back(
        {std::string(range.key) + "=" + std::to_string(value) + " is " + limits + " " + range.why,
         true});
  }
  if (settings.voltage_to < settings.voltage_from) {
    findings.push_back({"voltage_to " + std::to_string(settings.voltage_to) +
                        " is below voltage_from " + std::to_string(settings.voltage_from) +
                        "; the chain tuner never walks a voltage down"});
  }
  return findings;
}

}  // namespace tune::rehearse
