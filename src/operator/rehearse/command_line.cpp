#include "command_line.hpp"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "argument_reader.hpp"
#include "ladder.hpp"
#include "rehearsal_checks.hpp"
#include "rehearse_commands.hpp"
#include "settings_presets.hpp"
#include "text.hpp"
#include "tool_error.hpp"

namespace tune::rehearse {

namespace {

// The commands a row belongs to.
constexpr unsigned in(std::initializer_list<Command> commands) {
  unsigned mask = 0;
  for (Command command : commands) mask |= 1u << static_cast<unsigned>(command);
  return mask;
}
constexpr unsigned rehearsing = in(
    {Command::run, Command::predict, Command::compare, Command::rank, Command::spelled_by_flags});
constexpr unsigned every_command =
    in({Command::run, Command::predict, Command::compare, Command::rank, Command::report,
        Command::settings, Command::spelled_by_flags});

struct OptionRow {
  unsigned commands;
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

constexpr unsigned report_only = in({Command::report});
constexpr unsigned flags_only = in({Command::spelled_by_flags});
constexpr unsigned chip_counts = in({Command::run, Command::compare, Command::spelled_by_flags});
constexpr unsigned predicting =
    in({Command::predict, Command::compare, Command::rank, Command::spelled_by_flags});

constexpr OptionRow option_table[] = {
    {rehearsing, "--seed", "N",
     "the seed (default 1): the simulated machine's, or for a board's\n"
     "twin the draw of its chips and the rates' noise; the same seed\n"
     "gives the same run",
     [](Request& r, const std::string& v) {
       r.rehearsal.seed = static_cast<std::uint64_t>(parse_count("--seed", v, 0, 2147483647L));
     }},
    {rehearsing & ~in({Command::compare}), "--settings", "LINE",
     "the line for /config/autoTune.conf, for example\n"
     "\"restarts_count=5&desired_rate=30000\", or a preset's name (default:\n"
     "empty, so every setting keeps its default; for a board, its own);\n"
     "doubtful values are named in a warning, values outside what a\n"
     "rehearsal runs (tune-rehearse settings) refused",
     [](Request& r, const std::string& v) { r.rehearsal.settings = settings_of(v); }},
    {chip_counts, "--chains", "LIST",
     "populated chains by the miner's chain number, from 2,3,4,6,7,8\n"
     "(default: all)",
     [](Request& r, const std::string& v) { r.rehearsal.chain_present = parse_chains(v); }},
    {chip_counts, "--weak", "N", "weak chips across the machine (default 6)",
     [](Request& r, const std::string& v) {
       r.rehearsal.weak_chips = count_of("--weak", v, machine_chips);
     }},
    {chip_counts, "--dead", "N", "dead chips, rate 0 (default 2)",
     [](Request& r, const std::string& v) {
       r.rehearsal.dead_chips = count_of("--dead", v, machine_chips);
     }},
    {chip_counts, "--missing", "N", "chips the miner never lists in /tmp/chip-rates (default 1)",
     [](Request& r, const std::string& v) {
       r.rehearsal.missing_chips = count_of("--missing", v, machine_chips);
     }},
    {flags_only, "--from", "BOARD",
     "predict BOARD; with more boards (--from BOARD BOARD...), rank\n"
     "BOARD...; with --compare, the board the lines are compared on",
     [](Request& r, const std::string& v) { r.from = v; }},
    {in({Command::compare}), "--from", "BOARD",
     "compare the lines on the twin of the board whose files are copied\n"
     "in BOARD (as report reads them), not on the seed's machine",
     [](Request& r, const std::string& v) { r.from = v; }},
    {flags_only, "--compare", "LINE", "compare LINE... [--from BOARD]",
     [](Request& r, const std::string& v) { r.compare = v; }},
    {predicting, "--draws", "K",
     "rehearse K draws of each board (its twin's chips within what its\n"
     "files allow, the rates' noise anew; 2 to 1000, default 3) and give\n"
     "each predicted figure as their median with an 80 % interval; a gain\n"
     "whose interval holds 0 is not told",
     [](Request& r, const std::string& v) {
       r.draws = static_cast<int>(parse_count("--draws", v, 2, most_draws));
     }},
    {predicting, "--jobs", "N",
     "rehearse N draws or boards at once, each in a process of its own\n"
     "(1 to 256; default: one a core this process may use)",
     [](Request& r, const std::string& v) {
       r.rehearsal.jobs = static_cast<int>(parse_count("--jobs", v, 1, 256));
     }},
    {rehearsing & ~in({Command::rank}), "--out", "DIR",
     "where the board's files and pictures go (default ./rehearsal);\n"
     "an existing directory must be empty or an earlier rehearsal's",
     [](Request& r, const std::string& v) { r.rehearsal.out_dir = v; }},
    {report_only, "--json", nullptr, "print the report as one JSON document instead of text",
     [](Request& r, const std::string&) { r.report.json = true; }},
    {report_only, "--chip", "C:N",
     "print chip N of chain C (2, 3, 4, 6, 7 or 8): its state and every\n"
     "change of its frequency",
     [](Request& r, const std::string& v) { r.report.chip = parse_chip(v); }},
    {report_only, "--out", "OUTDIR",
     "draw into OUTDIR (made when missing): one board's heat map, or for many\n"
     "boards the farm's overview (farm.svg); without it the report draws\n"
     "nothing",
     [](Request& r, const std::string& v) { r.report.out = v; }},
    {report_only, "--pictures", nullptr,
     "with --out on many boards: also draw each board's heat map",
     [](Request& r, const std::string&) { r.report.pictures = true; }},
    {report_only, "--metrics", "FILE",
     "also write the report in the Prometheus text format to FILE,\n"
     "replaced whole (node_exporter's textfile collector reads *.prom)",
     [](Request& r, const std::string& v) { r.report.metrics = v; }},
    {report_only, "--labels-under", "ROOT",
     "label each board (in the metrics, the pictures' names) by its path\n"
     "under ROOT, the same whatever else is reported with it (default: its\n"
     "path under the deepest directory holding all the boards given)",
     [](Request& r, const std::string& v) { r.labels_under = v; }},
    {report_only, "--boards", "LIST",
     "the farm's list of boards, as collect-boards -f reads it: a listed\n"
     "board none of the DIRs is the copy of (a DIR is named as collect-\n"
     "boards names a copy) is a finding, \"not copied\"",
     [](Request& r, const std::string& v) { r.report.boards_list = v; }},
    {report_only, "--stale-after", "TIME",
     "a copy taken longer ago than TIME (seconds, or with s, m, h or d;\n"
     "default 1h) is a finding: the board may be down or out of reach",
     [](Request& r, const std::string& v) {
       r.report.age.stale_after = parse_duration("--stale-after", v);
     }},
    {in({Command::settings}), "--markdown", nullptr, "print the table as docs/board.md holds it",
     [](Request& r, const std::string&) { r.markdown = true; }},
    {in({Command::settings}), "--roff", nullptr, "print the table as the manual pages hold it",
     [](Request& r, const std::string&) { r.roff = true; }},
    {every_command, "--help", nullptr, "print this help and end (also -h, anywhere)", nullptr},
    {flags_only, "--version", nullptr, "print the version and end", nullptr},
};

// The commands: each its name, what it takes besides options, and what it does.
struct CommandRow {
  Command command;
  const char* name;
  const char* words;  // what it takes besides its options, as the usage names it
  const char* what;   // its lines in the usage, split at "\n"
};

constexpr CommandRow command_table[] = {
    {Command::run, "run", "",
     "rehearse chain-tuner, then yellow-fixer, on a simulated machine in\n"
     "virtual time; the summary and the pictures' paths are printed"},
    {Command::predict, "predict", "BOARD",
     "rehearse the tuning the board whose files are copied in BOARD (as\n"
     "report reads them) would run next, on its twin: the chip model\n"
     "fitted to its chip rates and settings; predict what it gains"},
    {Command::compare, "compare", "LINE...",
     "rehearse one board (the seed's, or --from BOARD's twin) once per\n"
     "settings line, spread over the cores, and compare them in one table\n"
     "and --out's compare.svg; a LINE is a line for autoTune.conf or a\n"
     "preset: eco, balanced, performance"},
    {Command::rank, "rank", "BOARD...",
     "predict every board's next tuning and print the boards by the gain\n"
     "it predicts, most first: the farm's order of work"},
    {Command::report, "report", "DIR...",
     "report on a board's files copied into DIR (auto-tune, chip-rates,\n"
     "config.conf, manual_freqs.txt, bmminer.conf, chain-tuner.log; flat,\n"
     "or under config/ and tmp/); for many, one line per board, then the\n"
     "farm's totals"},
    {Command::settings, "settings", "",
     "print the settings of /config/autoTune.conf: each key's default, the\n"
     "programs that read it, the values a rehearsal runs and its meaning"},
};

const CommandRow& row_of(Command command) {
  for (const CommandRow& row : command_table) {
    if (row.command == command) return row;
  }
  return command_table[0];  // the first spelling rehearses, as run does
}

// The options of one command in the usage: name and value in a column of 20, then the help.
bool belongs(const OptionRow& option, Command command) {
  return (option.commands & in({command})) != 0;
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

std::string option_lines(Command command) {
  std::string text;
  for (const OptionRow& option : option_table) {
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

std::string usage() {
  std::string text =
      "Usage: tune-rehearse COMMAND [OPTIONS]\n"
      "       tune-rehearse --help | --version\n"
      "Rehearses a mining machine's tuning on a simulated machine in virtual time, and\n"
      "reports on boards' copied files.\n\nCommands:\n";
  for (const CommandRow& row : command_table) {
    text += column_lines("  " + command_words(row), row.what);
  }
  return text + "\nEach command's options: tune-rehearse COMMAND --help.\n\n" + first_spelling +
         "\nPresets (lines to paste into /config/autoTune.conf):\n" + preset_lines() + "\n" +
         common_tail;
}

std::string usage(Command command) {
  if (command == Command::spelled_by_flags) return usage();
  const CommandRow& row = row_of(command);
  std::string text = "Usage: tune-rehearse " + command_words(row) + " [OPTIONS]\n";
  for (const std::string& line : split_lines(row.what)) text += "  " + line + "\n";
  text += "\nOptions:\n" + option_lines(command);
  if ((rehearsing & in({command})) != 0) {
    text += "\nPresets (for --settings, or a LINE to compare):\n" + preset_lines();
  }
  return text + "\n" + common_tail + "\nSee tune-rehearse(1).\n";
}

std::optional<Command> command_named(std::string_view name) {
  for (const CommandRow& row : command_table) {
    if (name == row.name) return row.command;
  }
  return std::nullopt;
}

void name_help_in_errors(Command command) {
  help_hint = command == Command::spelled_by_flags
                  ? "tune-rehearse --help"
                  : std::string("tune-rehearse ") + row_of(command).name + " --help";
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

CommandLine parse_command_line(int argc, char** argv, int first, Command command) {
  CommandLine line;
  ArgumentReader args(argc, argv, first);
  const std::span<const OptionRow> rows(option_table);
  auto here = [&](const OptionRow& option) { return belongs(option, command); };
  for (Argument arg = args.next(rows, here); arg.kind != Argument::Kind::end;
       arg = args.next(rows, here)) {
    const std::string name(arg.name);
    switch (arg.kind) {
      case Argument::Kind::word:
        line.words.emplace_back(arg.text);
        if (!arg.after_dashes) line.words_before_dashes = line.words.size();
        break;
      case Argument::Kind::unknown:
        usage_error("unknown option " + printable(name, 60));
      case Argument::Kind::takes_no_value:
        usage_error(name + " takes no value");
      case Argument::Kind::needs_value:
        usage_error(name + " needs a value");
      case Argument::Kind::option:
        if (option_table[arg.row].value == nullptr) {
          line.flags.insert(name);
          break;
        }
        if (arg.text.empty()) usage_error(name + " needs a value, not an empty one");
        if (line.values.count(name)) usage_error(name + " is given twice");
        line.values[name] = std::string(arg.text);
        break;
      case Argument::Kind::end:
        break;
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
  for (const OptionRow& option : option_table) {
    if (!belongs(option, command) || option.apply == nullptr) continue;
    if (auto value = line.values.find(option.name); value != line.values.end()) {
      option.apply(request, value->second);
    } else if (line.flags.count(option.name)) {
      option.apply(request, "");
    }
  }
  return request;
}

}  // namespace tune::rehearse
