#include "command_line.hpp"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string_view>

#include "argument_reader.hpp"
#include "ladder.hpp"
#include "settings_presets.hpp"
#include "text.hpp"
#include "tool_error.hpp"

namespace tune::rehearse {

namespace {

bool belongs(const OptionRow& option, size_t command) {
  return (option.commands & (1u << command)) != 0;
}

bool is_first_spelling(const CommandRow& row) {
  return *row.name == '\0';
}

// Lines of the usage: `left` in a column of 20, then `help` line by line.
std::string column_lines(std::string left, const char* help) {
  constexpr size_t column = 20;
  std::string text;
  left.resize(std::max(left.size() + 1, column), ' ');
  for (const std::string& line : split_lines(help)) {
    text += left + line + "\n";
    left.assign(column, ' ');
  }
  return text;
}

std::string option_lines(const ToolTables& tables, size_t command) {
  std::string text;
  for (const OptionRow& option : tables.options) {
    if (!belongs(option, command)) continue;
    text += column_lines(
        std::string("  ") + option.name + (option.value ? std::string(" ") + option.value : ""),
        option.help);
  }
  return text;
}

// "predict BOARD"
std::string command_words(const CommandRow& row) {
  return std::string(row.name) + (*row.words ? std::string(" ") + row.words : "");
}

constexpr char first_spelling[] =
    "Without a command, the tool is spelled as it first was, and still works so:\n"
    "  tune-rehearse [OPTIONS]             run\n"
    "  tune-rehearse --from BOARD [OPTIONS]\n"
    "                                      predict BOARD\n"
    "  tune-rehearse --from BOARD BOARD... [OPTIONS]\n"
    "                                      rank BOARD BOARD...\n"
    "  tune-rehearse --compare LINE... [--from BOARD] [OPTIONS]\n"
    "                                      compare LINE... [--from BOARD]\n"
    "each with the options of the command it stands for.\n";

constexpr char common_tail[] =
    "Options take their value as --opt VALUE or --opt=VALUE; \"--\" ends them. Chains are\n"
    "named by the miner's number everywhere (chain-tuner's own log says 1 2 3 5 6 7 for\n"
    "2 3 4 6 7 8).\n"
    "\n"
    "Exit status:\n"
    "  0  done; for a report, no findings\n"
    "  1  the report has findings (a tuning that did not finish is one)\n"
    "  2  bad usage: an unknown option, a missing or wrong value\n"
    "  3  a board directory or file cannot be read, or the output cannot be written;\n"
    "     a board too broken to fit a twin to; a compared line or ranked board without a\n"
    "     result, or a compared line refused\n";

std::string help_hint = "tune-rehearse --help";

// The presets --compare knows, each the plain line it stands for.
std::string preset_lines() {
  std::string text;
  for (const SettingsPreset& preset : settings_presets) {
    std::string name = std::string("  ") + preset.name;
    name.resize(14, ' ');
    text += name + preset.what + ":\n                " + preset.line + "\n";
  }
  return text;
}

}  // namespace

std::string usage(const ToolTables& tables) {
  std::string text =
      "Usage: tune-rehearse COMMAND [OPTIONS]\n"
      "       tune-rehearse --help | --version\n"
      "Rehearses a mining machine's tuning on a simulated machine in virtual time, and\n"
      "reports on boards' copied files.\n\nCommands:\n";
  for (const CommandRow& row : tables.commands) {
    if (!is_first_spelling(row)) text += column_lines("  " + command_words(row), row.what);
  }
  return text + "\nEach command's options: tune-rehearse COMMAND --help.\n\n" + first_spelling +
         "\nPresets (lines to paste into /config/autoTune.conf):\n" + preset_lines() + "\n" +
         common_tail;
}

std::string usage(const ToolTables& tables, size_t command) {
  const CommandRow& row = tables.commands[command];
  if (is_first_spelling(row)) return usage(tables);
  std::string text = "Usage: tune-rehearse " + command_words(row) + " [OPTIONS]\n";
  for (const std::string& line : split_lines(row.what)) text += "  " + line + "\n";
  text += "\nOptions:\n" + option_lines(tables, command);
  if ((tables.rehearsing & (1u << command)) != 0) {
    text += "\nPresets (for --settings, or a LINE to compare):\n" + preset_lines();
  }
  return text + "\n" + common_tail + "\nSee tune-rehearse(1).\n";
}

std::optional<size_t> command_named(const ToolTables& tables, std::string_view name) {
  for (size_t row = 0; row < tables.commands.size(); ++row) {
    if (!is_first_spelling(tables.commands[row]) && name == tables.commands[row].name) return row;
  }
  return std::nullopt;
}

void name_help_in_errors(const ToolTables& tables, size_t command) {
  const CommandRow& row = tables.commands[command];
  help_hint = is_first_spelling(row) ? "tune-rehearse --help"
                                     : std::string("tune-rehearse ") + row.name + " --help";
}

[[noreturn]] void usage_error(const std::string& message) {
  throw ToolError(status_usage, message + "; see " + help_hint);
}

long parse_count(const std::string& option, const std::string& text, long low, long high) {
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
    usage_error(option + " takes a number from " + std::to_string(low) + " to " +
                std::to_string(high) + ", not \"" + printable(text, 60) + "\"");
  }
  return value;
}

namespace {

std::optional<int> slot_of_chain(const std::string& text) {
  for (int slot = 0; slot < chain_count; ++slot) {
    if (text == std::to_string(miner_chain_number(slot))) return slot;
  }
  return std::nullopt;
}

}  // namespace

std::array<bool, chain_count> parse_chains(const std::string& list) {
  std::array<bool, chain_count> present{};
  for (const std::string& item : split_at(list, ',')) {
    std::optional<int> slot = slot_of_chain(item);
    if (!slot) {
      usage_error("--chains takes chain numbers from " + miner_chain_numbers(",", ",") +
                  ", not \"" + printable(item, 60) + "\"");
    }
    present[*slot] = true;
  }
  return present;
}

// "C:N": chain C by the miner's number, chip N.
std::pair<int, int> parse_chip(const std::string& text) {
  size_t colon = text.find(':');
  std::optional<int> slot =
      colon == std::string::npos ? std::nullopt : slot_of_chain(text.substr(0, colon));
  if (!slot)
    usage_error("--chip takes CHAIN:CHIP with CHAIN one of " + miner_chain_numbers(",", ",") +
                ", not \"" + text + "\"");
  int chip =
      static_cast<int>(parse_count("--chip's chip", text.substr(colon + 1), 1, chips_per_chain));
  return {*slot, chip - 1};
}

// A settings line as --settings or --compare takes it: one line of key=value pairs. A word
// without "=" (a mistyped preset) would be rehearsed as the defaults under another name.
std::string settings_word(const std::string& option, const std::string& word) {
  if (word.empty()) usage_error(option + " needs settings lines, not an empty one");
  if (word.find('\n') != std::string::npos) usage_error(option + " takes single lines");
  if (word.find('=') == std::string::npos) {
    std::string presets;
    for (const SettingsPreset& known : settings_presets) {
      presets += std::string(presets.empty() ? "" : ", ") + known.name;
    }
    usage_error(option + " takes settings lines (key=value&...) or a preset (" + presets +
                "), not \"" + printable(word, 60) + "\"");
  }
  return word;
}

// A duration such as "90", "90s", "15m", "2h", "1d": seconds, up to ten years.
long long parse_duration(const std::string& option, const std::string& text) {
  const size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
  const std::string unit = text.substr(digits);
  const long long scale = unit.empty() || unit == "s" ? 1
                          : unit == "m"               ? 60
                          : unit == "h"               ? 3600
                          : unit == "d"               ? 86400
                                                      : 0;
  if (digits == 0 || scale == 0) {
    usage_error(option + " takes a time such as 3600, 90m, 2h or 1d: " + printable(text, 60));
  }
  long long seconds = digits > 9 ? -1 : std::atoll(text.substr(0, digits).c_str()) * scale;
  if (seconds < 0 || seconds > 10LL * 365 * 86400) {
    usage_error(option + " takes a time up to ten years: " + printable(text, 60));
  }
  return seconds;
}

Shard parse_shard(const std::string& text) {
  // Digits and one slash only: sscanf alone would take blanks and signs.
  int number = 0, of = 0, end = 0;
  const bool read = text.find_first_not_of("0123456789/") == std::string::npos &&
                    std::sscanf(text.c_str(), "%5d/%5d%n", &number, &of, &end) == 2 &&
                    static_cast<size_t>(end) == text.size();
  if (!read || of < 1 || number < 1 || number > of) {
    usage_error("--shard takes K/N, shard K of N from 1 to N (N up to 99999), not \"" +
                printable(text, 60) + "\"");
  }
  return {number, of};
}

Request read_request(const ToolTables& tables, size_t command, int argc, char** argv, int first) {
  Request request;
  // Each option's row, with its value ("" for a flag), as given; then applied in the table's
  // order, so that of two wrong values the first in the table is named.
  std::map<size_t, std::string> given;
  ArgumentReader args(argc, argv, first);
  auto here = [&](const OptionRow& option) { return belongs(option, command); };
  for (Argument arg = args.next(tables.options, here); arg.kind != Argument::Kind::end;
       arg = args.next(tables.options, here)) {
    const std::string name(arg.name);
    switch (arg.kind) {
      case Argument::Kind::word:
        request.words.emplace_back(arg.text);
        if (!arg.after_dashes) request.words_before_dashes = request.words.size();
        break;
      case Argument::Kind::unknown:
        usage_error("unknown option " + printable(name, 60));
      case Argument::Kind::takes_no_value:
        usage_error(name + " takes no value");
      case Argument::Kind::needs_value:
        usage_error(name + " needs a value");
      case Argument::Kind::option: {
        const size_t row = static_cast<size_t>(arg.row);
        if (tables.options[row].value == nullptr) {
          given[row] = "";
          break;
        }
        if (arg.text.empty()) usage_error(name + " needs a value, not an empty one");
        if (!given.emplace(row, std::string(arg.text)).second)
          usage_error(name + " is given twice");
        break;
      }
      case Argument::Kind::end:
        break;
    }
  }
  for (const auto& [row, value] : given) {
    if (tables.options[row].apply != nullptr) tables.options[row].apply(request, value);
  }
  return request;
}

}  // namespace tune::rehearse
