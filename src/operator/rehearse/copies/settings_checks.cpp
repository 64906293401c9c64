#include "settings_checks.hpp"

#include <map>

#include "ladder.hpp"
#include "settings.hpp"
#include "text.hpp"

namespace tune::rehearse {

namespace {

std::string shown(std::string_view text) {
  return printable(text, 40);
}

bool all_digits(const std::string& text) {
  const size_t from = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
  return text.size() > from && text.find_first_not_of("0123456789", from) == std::string::npos;
}

}  // namespace

std::vector<SettingsFinding> check_settings_line(std::string_view line) {
  std::vector<SettingsFinding> findings;
  // A line of thousands of doubtful pairs names the first of them, and counts the rest.
  constexpr size_t most_shown = 10;
  size_t unshown = 0;
  auto doubt = [&](std::string what) {
    if (findings.size() < most_shown) {
      findings.push_back({std::move(what)});
    } else {
      ++unshown;
    }
  };
  struct Given {
    std::string first, last;
    int times = 0;
  };
  std::map<std::string, Given> given;  // by key
  std::vector<std::string> repeated;   // keys given more than once, in the order seen
  // The pairs as the programs split them.
  for (const std::string& pair : split_fields(std::string(line), '&')) {
    std::vector<std::string> parts = split_fields(pair, '=');
    if (parts.empty()) continue;
    const std::string& key = parts[0];
    if (!is_setting_key(key)) {
      doubt("unknown key \"" + shown(key) + "\"; the programs ignore it");
      continue;
    }
    if (parts.size() < 2) {
      doubt(key + " has no value; the programs keep the one in force");
      continue;
    }
    const std::string& value = parts[1];
    if (!exact_int(value)) {
      doubt(key + "=" + shown(value) +
            (all_digits(value) ? " is more than the programs hold; they read "
                               : " is not a whole number; the programs read ") +
            std::to_string(parse_int(value)));
    }
    Given& seen = given[key];
    if (seen.times++ == 0) seen.first = value;
    if (seen.times == 2) repeated.push_back(key);
    seen.last = value;
  }
  for (const std::string& key : repeated) {
    const Given& seen = given[key];
    doubt(seen.times == 2
              ? key + " is given more than once (" + key + "=" + shown(seen.first) + ", then " +
                    key + "=" + shown(seen.last) + "); the programs take the last"
              : key + " is given " + std::to_string(seen.times) + " times (first " + key + "=" +
                    shown(seen.first) + ", last " + key + "=" + shown(seen.last) +
                    "); the programs take the last");
  }
  if (unshown > 0) {
    findings.push_back({"and " + std::to_string(unshown) + " more doubtful pair" +
                        (unshown == 1 ? "" : "s") + " on the line"});
  }
  // Each value as the program that reads its key reads it.
  TuneSettings settings;
  const std::string whole(line);
  apply_settings_line(settings, read_by_any, whole.c_str());
  for (const SettingDeclaration& range : setting_declarations) {
    if (range.rehearsed == nullptr) continue;
    const int value = settings.*range.field;
    auto typed = given.find(range.key);
    if (typed == given.end() || (value >= range.low && value <= range.high)) continue;
    // The value as typed, and as the programs read it where that differs.
    const std::string as_read = std::to_string(value);
    const std::string value_text = typed->second.last == as_read
                                       ? as_read
                                       : shown(typed->second.last) + " (read as " + as_read + ")";
    const std::string limits =
        range.low == no_lower_limit
            ? "above the " + std::to_string(range.high)
            : "outside the " + std::to_string(range.low) + " to " + std::to_string(range.high);
    findings.push_back(
        {std::string(range.key) + "=" + value_text + " is " + limits + " " + range.rehearsed,
         true});
  }
  constexpr const char* voltage_to = key_of(&TuneSettings::voltage_to);
  constexpr const char* voltage_from = key_of(&TuneSettings::voltage_from);
  constexpr const char* restarts_count = key_of(&TuneSettings::restarts_count);
  if (settings.voltage_to < settings.voltage_from) {
    findings.push_back({std::string(voltage_to) + " " + std::to_string(settings.voltage_to) +
                        " is below " + voltage_from + " " + std::to_string(settings.voltage_from) +
                        "; the chain tuner never walks a voltage down"});
  }
  if (given.count(restarts_count) && settings.restarts_count <= 0) {
    findings.push_back({std::string(restarts_count) + "=" +
                        std::to_string(settings.restarts_count) +
                        " is 0 or less: chain-tuner runs no pass and ends at once, and "
                        "yellow-fixer alone tunes"});
  }
  return findings;
}

}  // namespace tune::rehearse
