// tune-rehearse's command line: its arguments read against the tool's two tables (its
// commands and its options, in tool.cpp), the usage texts made from them, the usage error
// with its one hint, and the readers of the options' values. A value that is wrong is a
// usage error: one line and status 2. What the commands do is theirs: nothing here knows.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "board_list.hpp"
#include "ladder.hpp"

namespace tune::rehearse {

// What a command line asks for: each option that was given, as the value it takes (nothing
// when it was not given), and the words between the options.
struct Request {
  std::optional<std::uint64_t> seed;
  std::optional<std::string> settings;  // a preset's name or a line, as given
  std::optional<std::array<bool, chain_count>> chains;
  std::optional<int> weak, dead, missing;
  std::optional<std::string> from;     // the first board of --from
  std::optional<std::string> compare;  // the first line of --compare
  std::optional<int> draws, jobs;
  std::optional<std::string> out;  // a rehearsal's DIR, or the report's OUTDIR
  bool json = false, pictures = false;
  std::optional<std::pair<int, int>> chip;  // slot and chip index
  std::optional<std::string> metrics, labels_under, boards;
  std::optional<long long> stale_after;
  std::optional<Shard> shard;
  bool markdown = false, roff = false;  // the settings table as the docs hold it
  std::vector<std::string> words;
  size_t words_before_dashes = 0;  // the words after "--" are directories, whatever they say
};

struct Invocation;  // what a command goes by (tool.cpp)

// One command: the row of the tool's table that is all there is of it.
struct CommandRow {
  const char* name;   // as typed; "" for the first spelling, which has no word of its own
  const char* words;  // what it takes besides its options, as the usage names it
  const char* what;   // its lines in the usage, split at "\n"
  int (*run)(Invocation& invocation);
};

// The commands an option belongs to: a bit for each row of the command table.
using CommandSet = unsigned;

struct OptionRow {
  CommandSet commands;
  const char* name;
  const char* value;  // what it takes, as the usage names it; nullptr for a flag
  const char* help;   // its lines in the usage, split at "\n"
  // What it does with its value (a flag's is empty); none for --help and --version, which
  // end the run wherever they stand, before the line is read.
  void (*apply)(Request& request, const std::string& value);
};

struct ToolTables {
  std::span<const CommandRow> commands;  // the first spelling last
  std::span<const OptionRow> options;
  CommandSet rehearsing;  // the commands whose usage lists the presets
};

// The commands of `names` ("run predict", "first-spelling" for the row without a name), as
// a set: a name not in `commands` fails the build where the set is made at compile time.
template <size_t N>
constexpr CommandSet commands_named(const CommandRow (&commands)[N], std::string_view names) {
  CommandSet set = 0;
  while (!names.empty()) {
    const size_t space = names.find(' ');
    const std::string_view name = names.substr(0, space);
    names = space == std::string_view::npos ? "" : names.substr(space + 1);
    size_t row = 0;
    while (row < N && name != (*commands[row].name ? commands[row].name : "first-spelling")) ++row;
    if (row == N) throw "an option names a command the table does not have";
    set |= 1u << row;
  }
  return set;
}

// The tool's usage: its commands, the first spelling, the presets and the exit statuses.
std::string usage(const ToolTables& tables);
// One command's usage: its synopsis, what it does and its options (the first spelling's is
// the tool's).
std::string usage(const ToolTables& tables, size_t command);

// The row of the command named `name`, if any.
std::optional<size_t> command_named(const ToolTables& tables, std::string_view name);

// Ends the run with status 2 and `message`, and names the help to read:
// "see tune-rehearse COMMAND --help", or the tool's for the first spelling.
[[noreturn]] void usage_error(const std::string& message);
// The command whose help a usage error names from now on.
void name_help_in_errors(const ToolTables& tables, size_t command);

// Reads the command's options as the table gives them, from argument `first` on, and applies
// each in the table's order: what the command line asks for.
Request read_request(const ToolTables& tables, size_t command, int argc, char** argv, int first);

// A whole number from `low` to `high`.
long parse_count(const std::string& option, const std::string& text, long low, long high);
// Populated chains by the miner's numbers, "2,3,6".
std::array<bool, chain_count> parse_chains(const std::string& list);
// "C:N": chain C by the miner's number, chip N; as slot and chip index.
std::pair<int, int> parse_chip(const std::string& text);
// A duration such as "90", "90s", "15m", "2h", "1d": seconds, up to ten years.
long long parse_duration(const std::string& option, const std::string& text);
Shard parse_shard(const std::string& text);
// A settings line as --settings or --compare takes it (a preset is looked up before).
std::string settings_word(const std::string& option, const std::string& word);

}  // namespace tune::rehearse
