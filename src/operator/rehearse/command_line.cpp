#include "command_line.hpp"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "ladder.hpp"
#include "rehearsal_checks.hpp"
#include "rehearse_commands.hpp"
#include "settings_presets.hpp"
#include "text.hpp"
#include "tool_error.hpp"

namespace tune::rehearse {

namespace {

struct OptionSpec {
  Command command;
  const char* name;
  const char* value;  // what it takes, as the usage names it; nullptr for a flag
  const char* help;   // its lines in the usage, split at "\n"
  Apply apply;        // what it does with its value (a flag's is empty); none for --help and
                      // --version, which end the run wherever they stand, before the line is read
};

int count_of(const char* option, const std::string& text, long high) {
  return static_cast<int>(parse_count(option, text, 0, high));
}

// --settings: a preset's name or a line, refused with its warnings when a rehearsal would
// not run it.
std::string settings_of(const std::string& value);

constexpr OptionSpec option_table[] = {
    {Command::rehearse, "--seed", "N",
     "the simulated machine's seed (default 1); the same seed gives the\n"
     "same machine and the same run",
     [](Request& r, const std::string& v) {
       r.rehearsal.seed = static_cast<std::uint64_t>(parse_count("--seed", v, 0, 2147483647L));
     }},
    {Command::rehearse, "--settings", "LINE",
     "the line for /config/autoTune.conf, for example\n"
     "\"restarts_count=5&desired_rate=30000\", or a preset's name (default:\n"
     "empty, so every setting keeps its default); doubtful values are\n"
     "named in a warning, values outside what a board runs at refused",
     [](Request& r, const std::string& v) { r.rehearsal.settings = settings_of(v); }},
    {Command::rehearse, "--chains", "LIST",
     "populated chains by the miner's chain number, from 2,3,4,6,7,8\n"
     "(default: all)",
     [](Request& r, const std::string& v) { r.rehearsal.chain_present = parse_chains(v); }},
    {Command::rehearse, "--weak", "N", "weak chips across the machine (default 6)",
     [](Request& r, const std::string& v) {
       r.rehearsal.weak_chips = count_of("--weak", v, machine_chips);
     }},
    {Command::rehearse, "--dead", "N", "dead chips, rate 0 (default 2)",
     [](Request& r, const std::string& v) {
       r.rehearsal.dead_chips = count_of("--dead", v, machine_chips);
     }},
    {Command::rehearse, "--missing", "N",
     "chips the miner never lists in /tmp/chip-rates (default 1)",
     [](Request& r, const std::string& v) {
       r.rehearsal.missing_chips = count_of("--missing", v, machine_chips);
     }},
    {Command::rehearse, "--from", "BOARD",
     "rehearse the board whose files are copied in BOARD (as report\n"
     "reads them) on its twin: the chip model fitted to its chip rates\n"
     "and settings; the seed then draws only the rates' noise. Given\n"
     "more boards (--from BOARD BOARD...), rank them by the gain their\n"
     "tuning predicts, most first: the farm's order of work",
     [](Request& r, const std::string& v) { r.from = v; }},
    {Command::rehearse, "--compare", "LINE",
     "rehearse the same board (the seed's, or --from BOARD) once per\n"
     "settings line (--compare LINE LINE...), spread over the cores,\n"
     "and compare them in one table and --out's compare.svg; a LINE is\n"
     "a line for autoTune.conf or a preset: eco, balanced, performance",
     [](Request& r, const std::string& v) { r.compare = v; }},
    {Command::rehearse, "--draws", "K",
     "with --from or --compare: rehearse K draws of the board (its twin's\n"
     "chips within what its files allow, the rates' noise anew; 2 to 1000,\n"
     "default 3) and give each predicted figure as their median with an\n"
     "80 % interval; a gain whose interval holds 0 is not told",
     [](Request& r, const std::string& v) {
       r.draws = static_cast<int>(parse_count("--draws", v, 2, most_draws));
     }},
    {Command::rehearse, "--jobs", "N",
     "with --from or --compare: rehearse N draws or boards at once, each\n"
     "in a process of its own (1 to 256; default: one a core this process\n"
     "may use)",
     [](Request& r, const std::string& v) {
       r.rehearsal.jobs = static_cast<int>(parse_count("--jobs", v, 1, 256));
     }},
    {Command::rehearse, "--out", "DIR",
     "where the board's files and pictures go (default ./rehearsal);\n"
     "an existing directory must be empty or an earlier rehearsal's",
     [](Request& r, const std::string& v) { r.rehearsal.out_dir = v; }},
    {Command::rehearse, "--help", nullptr, "print this help and end (also -h, anywhere)", nullptr},
    {Command::rehearse, "--version", nullptr, "print the version and end", nullptr},
    {Command::report, "--help", nullptr, "print this help and end (also -h)", nullptr},
    {Command::report, "--json", nullptr, "print the report as one JSON document instead of text",
     [](Request& r, const std::string&) { r.report.json = true; }},
    {Command::report, "--chip", "C:N",
     "print chip N of chain C (2, 3, 4, 6, 7 or 8): its state and every\n"
     "change of its frequency",
     [](Request& r, const std::string& v) { r.report.chip = parse_chip(v); }},
    {Command::report, "--out", "DIR",
     "draw into DIR (made when missing): one board's heat map, or for many\n"
     "boards the farm's overview (farm.svg); without it the report draws\n"
     "nothing",
     [](Request& r, const std::string& v) { r.report.out = v; }},
    {Command::report, "--pictures", nullptr,
     "with --out on many boards: also draw each board's heat map",
     [](Request& r, const std::string&) { r.report.pictures = true; }},
    {Command::report, "--metrics", "FILE",
     "also write the report in the Prometheus text format to FILE,\n"
     "replaced whole (node_exporter's textfile collector reads *.prom)",
     [](Request& r, const std::string& v) { r.report.metrics = v; }},
    {Command::report, "--labels-under", "DIR",
     "label each board (in the metrics, the pictures' names) by its path\n"
     "under DIR, the same whatever else is reported with it (default: its\n"
     "path under the deepest directory holding all the boards given)",
     [](Request& r, const std::string& v) { r.labels_under = v; }},
    {Command::report, "--boards", "LIST",
     "the farm's list of boards, as collect-boards -f reads it: a listed\n"
     "board none of the DIRs is the copy of (a DIR is named as collect-\n"
     "boards names a copy) is a finding, \"not copied\"",
     [](Request& r, const std::string& v) { r.report.boards_list = v; }},
    {Command::report, "--stale-after", "TIME",
     "a copy taken longer ago than TIME (seconds, or with s, m, h or d;\n"
     "default 1h) is a finding: the board may be down or out of reach",
     [](Request& r, const std::string& v) {
       r.report.age.stale_after = parse_duration("--stale-after", v);
     }},
};

constexpr char usage_head[] =
    "Usage:\n"
    "  tune-rehearse [OPTIONS]              rehearse chain-tuner, then yellow-fixer, on a\n"
    "                                       simulated machine in virtual time\n"
    "  tune-rehearse --from BOARD [OPTIONS] rehearse the tuning a board's copy would run\n"
    "                                       next, on its twin, and predict what it gains\n"
    "  tune-rehearse --compare LINE... [--from BOARD] [OPTIONS]\n"
    "                                       settings lines compared on one board\n"
    "  tune-rehearse --from BOARD BOARD... [--settings LINE] [--seed N] [--draws K]\n"
    "                                       boards ranked by the gain of their tuning\n"
    "  tune-rehearse report DIR [OPTIONS]   report on a board's files copied into DIR\n"
    "                                       (auto-tune, chip-rates, config.conf,\n"
    "                                       manual_freqs.txt, bmminer.conf, chain-tuner.log;\n"
    "                                       flat, or under config/ and tmp/)\n"
    "  tune-rehearse report DIR DIR... [--json] [--out DIR [--pictures]] [--metrics FILE]\n"
    "                                       one line per board, then the farm's totals\n"
    "  tune-rehearse --help | --version\n";

constexpr char usage_tail[] =
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

// The options of one command in the usage: name and value in a column of 20, then the help.
std::string option_lines(Command command) {
  constexpr size_t column = 20;
  std::string text;
  for (const OptionSpec& option : option_table) {
    if (option.command != command) continue;
    std::string left =
        std::string("  ") + option.name + (option.value ? std::string(" ") + option.value : "");
    left.resize(std::max(left.size() + 1, column), ' ');
    for (const std::string& line : split_lines(option.help)) {
      text += left + line + "\n";
      left.assign(column, ' ');
    }
  }
  return text;
}

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

std::string usage() {
  return std::string(usage_head) + "\nRehearsal options:\n" + option_lines(Command::rehearse) +
         "\nPresets for --compare (lines to paste into /config/autoTune.conf):\n" + preset_lines() +
         "\nReport options:\n" + option_lines(Command::report) + "\n" + usage_tail;
}

[[noreturn]] void usage_error(const std::string& message) {
  throw ToolError(status_usage, message + "; see tune-rehearse --help");
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

static std::optional<int> slot_of_chain(const std::string& text) {
  for (int slot = 0; slot < chain_count; ++slot) {
    if (text == std::to_string(miner_chain_number(slot))) return slot;
  }
  return std::nullopt;
}

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

// Reads the command's options as the table gives them, --help and --version among them.
CommandLine parse_command_line(int argc, char** argv, int first, Command command) {
  std::set<std::string> values, flags;
  for (const OptionSpec& option : option_table) {
    if (option.command == command) (option.value ? values : flags).insert(option.name);
  }
  CommandLine line;
  bool options_ended = false;  // after "--", every word is a directory
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (options_ended || arg == "-" || !arg.starts_with("-")) {
      line.words.push_back(arg);
      if (!options_ended) line.words_before_dashes = line.words.size();
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      line.words_before_dashes = line.words.size();
      continue;
    }
    if (arg == "-h" && flags.count("--help")) arg = "--help";
    size_t equals = arg.find('=');
    std::string name = arg.substr(0, equals);
    if (!arg.starts_with("--")) usage_error("unknown option " + printable(name, 60));
    if (flags.count(name)) {
      if (equals != std::string::npos) usage_error(name + " takes no value");
      line.flags.insert(name);
    } else if (values.count(name)) {
      std::string value;
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
      } else if (i + 1 < argc && !std::string_view(argv[i + 1]).starts_with("--")) {
        value = argv[++i];
      } else {
        usage_error(name + " needs a value");
      }
      if (value.empty()) usage_error(name + " needs a value, not an empty one");
      if (line.values.count(name)) usage_error(name + " is given twice");
      line.values[name] = value;
    } else {
      usage_error("unknown option " + printable(name, 60));
    }
  }
  return line;
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

namespace {

std::string settings_of(const std::string& value) {
  std::optional<SettingsPreset> preset = settings_preset(value);
  const std::string line = preset ? preset->line : settings_word("--settings", value);
  if (std::optional<std::string> why = refused_settings(line)) {
    print_warnings(settings_warnings(line, "--settings"));
    usage_error("--settings: " + *why + "; not rehearsed");
  }
  return line;
}

}  // namespace

Request read_request(const CommandLine& line, Command command) {
  Request request;
  for (const OptionSpec& option : option_table) {
    if (option.command != command || option.apply == nullptr) continue;
    if (auto value = line.values.find(option.name); value != line.values.end()) {
      option.apply(request, value->second);
    } else if (line.flags.count(option.name)) {
      option.apply(request, "");
    }
  }
  return request;
}

}  // namespace tune::rehearse
