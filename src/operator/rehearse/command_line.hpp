// tune-rehearse's command line: one table of options, each row naming the commands it
// belongs to, from which every command's usage text and its parsing are made, and the
// readers of the options' values. A value that is wrong is a usage error: one line and
// status 2.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "draws.hpp"
#include "ladder.hpp"
#include "rehearsal.hpp"
#include "report_commands.hpp"

namespace tune::rehearse {

// The commands, and `spelled_by_flags`: the tool without a command, as it was first spelled
// (the rehearsal, and --from, --compare choosing the others), which keeps working.
enum class Command { run, predict, compare, rank, report, settings, spelled_by_flags };

// What a command line asks for: each option's row in the table fills its part.
struct Request {
  RehearsalOptions rehearsal;
  int draws = default_draws;
  std::optional<std::string> from;     // the first board of --from
  std::optional<std::string> compare;  // the first line of --compare
  ReportRequest report;
  std::optional<std::string> labels_under;
  bool markdown = false, roff = false;  // the settings table as the docs hold it
};
using Apply = void (*)(Request& request, const std::string& value);

// The command line, as options by name and the words between them.
struct CommandLine {
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  std::vector<std::string> words;
  size_t words_before_dashes = 0;  // the words after "--" are directories, whatever they say
};

inline constexpr long machine_chips = chain_count * chips_per_chain;

// The tool's usage: its commands, the first spelling, the presets and the exit statuses.
std::string usage();
// One command's usage: its synopsis, what it does and its options.
std::string usage(Command command);

// The command of that name ("predict"), if any.
std::optional<Command> command_named(std::string_view name);

// Ends the run with status 2 and `message`, and names the help to read.
[[noreturn]] void usage_error(const std::string& message);
// The help a usage error names from now on ("tune-rehearse predict --help").
void name_help_in_errors(Command command);

// Reads the command's options as the table gives them, --help and --version among them;
// the arguments from `first` on.
CommandLine parse_command_line(int argc, char** argv, int first, Command command);

// What the options of the command line ask for, each applied by its row, in the table's
// order. A value that is wrong is a usage error.
Request read_request(const CommandLine& line, Command command);

// A whole number from `low` to `high`.
long parse_count(const std::string& option, const std::string& text, long low, long high);
// Populated chains by the miner's numbers, "2,3,6".
std::array<bool, chain_count> parse_chains(const std::string& list);
// "C:N": chain C by the miner's number, chip N; as slot and chip index.
std::pair<int, int> parse_chip(const std::string& text);
// A duration such as "90", "90s", "15m", "2h", "1d": seconds, up to ten years.
long long parse_duration(const std::string& option, const std::string& text);
// A settings line as --settings or --compare takes it (a preset is looked up before).
std::string settings_word(const std::string& option, const std::string& word);

}  // namespace tune::rehearse
