// tune-rehearse: a whole tuning on a simulated machine, or a report on boards' files. This
// is the command line only: one table of options, from which the usage text and the
// parsing are both made, and the calls into the wings.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "board_report.hpp"
#include "chip_power.hpp"
#include "draws.hpp"
#include "output.hpp"
#include "pictures.hpp"
#include "prediction.hpp"
#include "predictions.hpp"
#include "progress.hpp"
#include "ranking.hpp"
#include "rehearsal.hpp"
#include "rehearsal_checks.hpp"
#include "report_json.hpp"
#include "report_metrics.hpp"
#include "report_text.hpp"
#include "scratch_dir.hpp"
#include "settings_presets.hpp"
#include "spread.hpp"
#include "text.hpp"
#include "tool_error.hpp"

namespace {

using namespace tune;
using namespace tune::rehearse;

enum class Command { rehearse, report };

struct OptionSpec {
  Command command;
  const char* name;
  const char* value;  // what it takes, as the usage names it; nullptr for a flag
  const char* help;   // its lines in the usage, split at "\n"
};

constexpr OptionSpec option_table[] = {
    {Command::rehearse, "--seed", "N",
     "the simulated machine's seed (default 1); the same seed gives the\n"
     "same machine and the same run"},
    {Command::rehearse, "--settings", "LINE",
     "the line for /config/autoTune.conf, for example\n"
     "\"restarts_count=5&desired_rate=30000\", or a preset's name (default:\n"
     "empty, so every setting keeps its default); unknown keys and values\n"
     "that are not numbers are named in a warning"},
    {Command::rehearse, "--chains", "LIST",
     "populated chains by the miner's chain number, from 2,3,4,6,7,8\n"
     "(default: all)"},
    {Command::rehearse, "--weak", "N", "weak chips across the machine (default 6)"},
    {Command::rehearse, "--dead", "N", "dead chips, rate 0 (default 2)"},
    {Command::rehearse, "--missing", "N",
     "chips the miner never lists in /tmp/chip-rates (default 1)"},
    {Command::rehearse, "--from", "BOARD",
     "rehearse the board whose files are copied in BOARD (as report\n"
     "reads them) on its twin: the chip model fitted to its chip rates\n"
     "and settings; the seed then draws only the rates' noise. Given\n"
     "more boards (--from BOARD BOARD...), rank them by the gain their\n"
     "tuning predicts, most first: the farm's order of work"},
    {Command::rehearse, "--compare", "LINE",
     "rehearse the same board (the seed's, or --from BOARD) once per\n"
     "settings line (--compare LINE LINE...), spread over the cores,\n"
     "and compare them in one table and --out's compare.svg; a LINE is\n"
     "a line for autoTune.conf or a preset: eco, balanced, performance"},
    {Command::rehearse, "--draws", "K",
     "with --from or --compare: rehearse K draws of the board (its twin's\n"
     "chips within what its files allow, the rates' noise anew; 2 to 1000,\n"
     "default 3) and give each predicted figure as their median with an\n"
     "80 % interval; a gain whose interval holds 0 is not told"},
    {Command::rehearse, "--out", "DIR",
     "where the board's files and pictures go (default ./rehearsal);\n"
     "an existing directory must be empty or an earlier rehearsal's"},
    {Command::report, "--json", nullptr, "print the report as one JSON document instead of text"},
    {Command::report, "--chip", "C:N",
     "print chip N of chain C (2, 3, 4, 6, 7 or 8): its state and every\n"
     "change of its frequency"},
    {Command::report, "--out", "DIR",
     "draw into DIR (made when missing): one board's heat map, or for many\n"
     "boards the farm's overview (farm.svg); without it the report draws\n"
     "nothing"},
    {Command::report, "--pictures", nullptr,
     "with --out on many boards: also draw each board's heat map"},
    {Command::report, "--metrics", "FILE",
     "also write the report in the Prometheus text format to FILE,\n"
     "replaced whole (node_exporter's textfile collector reads *.prom)"},
    {Command::report, "--labels-under", "DIR",
     "label each board (in the metrics, the pictures' names) by its path\n"
     "under DIR, the same whatever else is reported with it (default: its\n"
     "path under the deepest directory holding all the boards given)"},
    {Command::report, "--stale-after", "TIME",
     "a copy taken longer ago than TIME (seconds, or with s, m, h or d;\n"
     "default 1h) is a finding: the board may be down or out of reach"},
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

std::string usage() {
  return std::string(usage_head) + "\nRehearsal options:\n" + option_lines(Command::rehearse) +
         "\nPresets for --compare (lines to paste into /config/autoTune.conf):\n" + preset_lines() +
         "\nReport options:\n" + option_lines(Command::report) + "\n" + usage_tail;
}

constexpr long machine_chips = chain_count * chips_per_chain;

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

std::optional<int> slot_of_chain(const std::string& text) {
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

// The command line, as options by name and the words between them.
struct CommandLine {
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  std::vector<std::string> words;
  size_t words_before_dashes = 0;  // the words after "--" are directories, whatever they say
};

// Reads the command's options as the table gives them, with --help and the `extra` flags.
CommandLine parse_command_line(int argc, char** argv, int first, Command command,
                               std::set<std::string> flags) {
  std::set<std::string> values;
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

void print_warnings(const std::vector<std::string>& warnings) {
  for (const std::string& warning : warnings) {
    // A warning echoes the settings as given: shown safe, as every text from outside is.
    std::fprintf(stderr, "tune-rehearse: warning: %s\n", printable(warning, 400).c_str());
  }
}

// The rehearsal options other than the board and the settings lines compared.
RehearsalOptions rehearsal_options(const CommandLine& line) {
  RehearsalOptions options;
  for (const auto& [name, value] : line.values) {
    if (name == "--seed") {
      options.seed = static_cast<std::uint64_t>(parse_count(name, value, 0, 2147483647L));
    } else if (name == "--settings") {
      std::optional<SettingsPreset> preset = settings_preset(value);
      options.settings = preset ? preset->line : settings_word(name, value);
      if (std::optional<std::string> why = refused_settings(options.settings)) {
        print_warnings(settings_warnings(options.settings, "--settings"));
        usage_error("--settings: " + *why + "; not rehearsed");
      }
    } else if (name == "--chains") {
      options.chain_present = parse_chains(value);
    } else if (name == "--weak") {
      options.weak_chips = static_cast<int>(parse_count(name, value, 0, machine_chips));
    } else if (name == "--dead") {
      options.dead_chips = static_cast<int>(parse_count(name, value, 0, machine_chips));
    } else if (name == "--missing") {
      options.missing_chips = static_cast<int>(parse_count(name, value, 0, machine_chips));
    } else if (name == "--out") {
      options.out_dir = value;
    }
  }
  return options;
}

// Which board a rehearsal's pictures show: the seed's, or a board's twin.
std::string rehearsed_board(const RehearsalOptions& options, const std::optional<BoardTwin>& twin) {
  return twin ? "the twin of the board in " + shown_path(twin->today.dir)
              : "seed " + std::to_string(options.seed);
}

// What a rehearsal leaves beside the board's files: its summary and its two pictures.
std::string write_rehearsal_outputs(const RehearsalOptions& options, const RehearsalResult& result,
                                    const BoardReport& report, const std::string& board) {
  std::string summary = format_summary(report, chip_model_power(report));
  write_output(options.out_dir + "/summary.txt", summary);
  write_output(options.out_dir + "/heat-map.svg",
               heat_map_svg(report, "Chips after a rehearsed tuning, " + board));
  write_output(options.out_dir + "/timeline.svg",
               timeline_svg(result.timeline, "Rehearsed tuning over virtual time, " + board));
  return summary;
}

int rehearse_one(RehearsalOptions options, const std::optional<BoardTwin>& twin) {
  print_warnings(rehearsal_warnings(options));
  prepare_rehearsal_dir(options.out_dir);
  ProgressPrinter printer;
  auto started = std::chrono::steady_clock::now();
  RehearsalResult result =
      tune::rehearse::rehearse(options, [&](const ProgressState& s) { printer.show(s); });
  printer.finish();
  double real_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  BoardReport report = read_board(options.out_dir);
  std::fputs(
      write_rehearsal_outputs(options, result, report, rehearsed_board(options, twin)).c_str(),
      stdout);
  std::fputs(format_rehearsal_end(result, real_seconds, options.out_dir).c_str(), stdout);
  return 0;
}

// The findings in the files a twin is fitted to and rehearsed from: the twin takes them as
// the programs would, which may not be what the operator means (a NaN rate, a broken
// bmminer.conf). Those of the logs are the report's business.
void warn_of_findings(const BoardTwin& twin) {
  size_t count = 0;
  for (const Finding& finding : twin.today.findings) {
    const std::string name = std::filesystem::path(finding.file).filename().string();
    count += name == "chip-rates" || twin.files.count(name) != 0;
  }
  if (count == 0) return;
  const std::string board = shown_path(twin.today.dir);
  print_warnings({board + ": " + std::to_string(count) + " finding" + (count == 1 ? "" : "s") +
                  " in the files its twin is fitted to (tune-rehearse report " + board +
                  "); the twin takes them as the programs read them"});
}

// The settings lines a --compare names: each a preset's name or a line as it stands. A word
// that is a board's directory is refused rather than rehearsed as a line of unknown keys.
std::vector<ComparedSettings> compared_lines(const std::vector<std::string>& words) {
  std::vector<ComparedSettings> lines;
  for (const std::string& word : words) {
    std::error_code ec;
    if (!word.empty() && std::filesystem::is_directory(word, ec)) {
      usage_error("--compare compares settings on one board, and \"" + printable(word, 60) +
                  "\" is a directory: give the board as --from BOARD");
    }
    if (std::optional<SettingsPreset> preset = settings_preset(word)) {
      lines.push_back({preset->name, preset->line, {}, {}, {}});
    } else {
      // Named by its settings: the table and the picture shorten it, their legends show it whole.
      const std::string line = settings_word("--compare", word);
      lines.push_back({line, line, {}, {}, {}});
    }
  }
  return lines;
}

// Whether one of two paths is the other or holds it: a rehearsal's --out must not be the
// board it reads, nor hold it, nor lie inside it.
// A path that cannot be resolved (one the user may not search, say) is no board's: reading it
// fails with its own reason.
bool nested(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  auto resolved = [](const std::string& path) {
    std::error_code ec;
    fs::path whole = fs::weakly_canonical(fs::absolute(path, ec), ec);
    return ec ? fs::path() : whole;
  };
  const fs::path x = resolved(a), y = resolved(b);
  if (x.empty() || y.empty()) return false;
  auto starts = [](const fs::path& whole, const fs::path& part) {
    auto w = whole.begin();
    for (auto p = part.begin(); p != part.end(); ++p, ++w) {
      if (p->empty()) break;  // a trailing separator
      if (w == whole.end() || *w != *p) return false;
    }
    return true;
  };
  return starts(x, y) || starts(y, x);
}

// Whether `out` would write over any of the board's files: the board's directory, or where
// its entries lead (a copy may link its config/ or its files to another directory).
bool writes_over_board(const std::string& board, const std::string& out) {
  if (nested(board, out)) return true;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(board, ec)) {
    if (entry.is_symlink(ec) && nested(entry.path().string(), out)) return true;
    if (entry.is_directory(ec) && !entry.is_symlink(ec)) {
      for (const auto& inner : std::filesystem::directory_iterator(entry.path(), ec)) {
        if (inner.is_symlink(ec) && nested(inner.path().string(), out)) return true;
      }
    }
  }
  return false;
}

// A board's twin predicted: its draws spread over the cores, then the draw of the median
// gain rehearsed again into --out with its progress and pictures, its prediction read back
// from the files it left. A draw whose tuning would not finish is the one rehearsed into
// --out, and its reason ends the run.
int predict_twin(const RehearsalOptions& options, const BoardTwin& twin, int draws) {
  print_warnings(rehearsal_warnings(options));
  refuse_board_settings(options, shown_path(twin.today.dir));
  prepare_rehearsal_dir(options.out_dir);
  const std::string about = shown_path(twin.today.dir) + ": no prediction: ";
  std::vector<Prediction> predictions;
  int failed = 0;
  std::string failure;
  {
    ScratchDir scratch;
    std::vector<JobResult> results = spread_over_cores(
        static_cast<size_t>(draws),
        [&](size_t i) {
          return encode_prediction(rehearse_draw(options, &twin, static_cast<int>(i) + 1,
                                                 scratch.path() + "/" + std::to_string(i)));
        },
        usable_cores());
    for (size_t i = 0; i < results.size(); ++i) {
      std::optional<Prediction> p;
      if (results[i].done) p = decode_prediction(results[i].text);
      if (p) {
        predictions.push_back(*p);
      } else if (failed == 0) {
        failed = static_cast<int>(i) + 1;
        failure = results[i].done ? "no result" : printable(results[i].text, 8192);
      }
    }
  }
  const size_t typical = failed ? 0 : summarise_draws(predictions, true).typical;
  RehearsalOptions shown =
      drawn_options(options, &twin, failed ? failed : static_cast<int>(typical) + 1);
  ProgressPrinter printer;
  auto started = std::chrono::steady_clock::now();
  RehearsalResult result =
      tune::rehearse::rehearse(shown, [&](const ProgressState& s) { printer.show(s); });
  printer.finish();
  double real_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  BoardReport report = read_board(shown.out_dir);
  std::fputs(write_rehearsal_outputs(shown, result, report, rehearsed_board(shown, twin)).c_str(),
             stdout);
  std::fputs(format_rehearsal_end(result, real_seconds, shown.out_dir).c_str(), stdout);
  predictions.resize(std::max<size_t>(predictions.size(), 1));
  predictions[typical] = prediction_of(shown, result, &twin, about);
  if (failed) throw ToolError(status_unusable, about + failure);
  const DrawnPrediction drawn = summarise_draws(predictions, true);
  std::string text = format_twin_prediction(twin.today.dir, drawn);
  write_output(options.out_dir + "/prediction.txt", text);
  write_output(options.out_dir + "/prediction.json", prediction_json(twin.today.dir, drawn));
  std::fputs(text.c_str(), stdout);
  return 0;
}

// One board rehearsed per settings line, the lines spread over the cores: each line's draws
// in a scratch directory, then its draw of the median gain in its own directory under --out.
// A line the rehearsal refuses is shown as refused and not rehearsed.
int compare_settings(const RehearsalOptions& base, std::vector<ComparedSettings> lines,
                     const std::optional<BoardTwin>& twin, int draws) {
  auto dir_of = [&](size_t i) { return base.out_dir + "/line-" + std::to_string(i + 1); };
  const BoardTwin* fitted = twin ? &*twin : nullptr;
  print_warnings(rehearsal_warnings(base));
  for (size_t i = 0; i < lines.size(); ++i) {
    // Named by its number and the start of its name: a long line's warnings keep what they
    // are about.
    const std::string source =
        "--compare line " + std::to_string(i + 1) + " (" + printable(lines[i].name, 30) + ")";
    print_warnings(settings_warnings(lines[i].line, source));
    if (std::optional<std::string> why = refused_settings(lines[i].line)) {
      lines[i].refused = *why;
      std::fprintf(stderr, "tune-rehearse: %s: refused: %s\n", source.c_str(),
                   printable(*why).c_str());
    }
  }
  prepare_rehearsal_dir(base.out_dir);
  write_output(base.out_dir + "/" + rehearsal_marker, "made by tune-rehearse\n");
  clear_rehearsal_outputs(base.out_dir);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].refused.empty()) prepare_rehearsal_dir(dir_of(i));
  }
  ScratchDir scratch;
  std::vector<JobResult> results = spread_over_cores(
      lines.size(),
      [&](size_t i) {
        if (!lines[i].refused.empty()) return std::string();
        RehearsalOptions options = base;
        options.settings = lines[i].line;
        std::vector<Prediction> predictions =
            rehearse_draws(options, fitted, draws, scratch.path() + "/" + std::to_string(i));
        const size_t typical = summarise_draws(predictions, fitted).typical;
        RehearsalOptions shown = drawn_options(options, fitted, static_cast<int>(typical) + 1);
        shown.out_dir = dir_of(i);
        RehearsalResult result = tune::rehearse::rehearse(shown, nullptr);
        BoardReport after = read_board(shown.out_dir);
        write_rehearsal_outputs(shown, result, after, rehearsed_board(shown, twin));
        predictions[typical] = prediction_of(shown, result, fitted);
        return encode_predictions(predictions);
      },
      usable_cores());
  bool all = true;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].refused.empty()) {
      all = false;
      continue;
    }
    std::optional<std::vector<Prediction>> predictions;
    if (results[i].done) predictions = decode_predictions(results[i].text);
    if (predictions) {
      lines[i].prediction = summarise_draws(*predictions, fitted);
      continue;
    }
    lines[i].failure = results[i].done ? "no result" : printable(results[i].text);
    std::fprintf(stderr, "tune-rehearse: --compare line %zu (%s): %s\n", i + 1,
                 printable(lines[i].name, 30).c_str(), lines[i].failure.c_str());
    all = false;
  }
  std::string board = twin ? "the twin of the board in " + shown_path(twin->today.dir)
                           : "the simulated board of seed " + std::to_string(base.seed);
  std::string table = format_comparison(board, lines, fitted != nullptr);
  write_output(base.out_dir + "/compare.txt", table);
  write_output(base.out_dir + "/compare.svg",
               comparison_svg(lines, "Settings compared on " + board));
  std::fputs(table.c_str(), stdout);
  // The directories the lines left: a refused line leaves none.
  const std::string out = shown_path(base.out_dir);
  std::string rehearsed;
  size_t count = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!lines[i].refused.empty()) continue;
    rehearsed += std::string(count++ == 0 ? out + "/" : ", ") + "line-" + std::to_string(i + 1);
  }
  if (count == lines.size() && count > 2)
    rehearsed = out + "/line-1 .. line-" + std::to_string(count);
  std::printf("rehearsals: %s; picture: %s/compare.svg\n",
              count == 0 ? "none (every line refused)" : rehearsed.c_str(), out.c_str());
  return all ? 0 : status_unusable;
}

// Every board's twin predicted, the boards spread over the cores, then put in the order of
// work. Boards that cannot be fitted are named on standard error.
int order_of_work(const RehearsalOptions& base, const std::vector<std::string>& boards, int draws) {
  print_warnings(rehearsal_warnings(base));
  ScratchDir scratch;
  std::vector<JobResult> results = spread_over_cores(
      boards.size(),
      [&](size_t i) {
        const BoardTwin twin = twin_of(boards[i]);
        RehearsalOptions options = base;
        options.files = twin.files;
        refuse_board_settings(options, shown_path(boards[i]));
        return encode_predictions(
            rehearse_draws(base, &twin, draws, scratch.path() + "/" + std::to_string(i)));
      },
      usable_cores());
  std::vector<RankedBoard> ranked;
  size_t unusable = 0;
  for (size_t i = 0; i < boards.size(); ++i) {
    std::optional<std::vector<Prediction>> predictions;
    if (results[i].done) predictions = decode_predictions(results[i].text);
    if (predictions) {
      ranked.push_back({boards[i], summarise_draws(*predictions, true)});
      continue;
    }
    ++unusable;
    std::string why = results[i].done ? "no result" : printable(results[i].text, 8192);
    // A twin's own failure names the board already.
    if (!why.starts_with(shown_path(boards[i]))) why = shown_path(boards[i]) + ": " + why;
    std::fprintf(stderr, "tune-rehearse: %s\n", why.c_str());
  }
  std::fputs(
      format_work_order(order_work(std::move(ranked)), unusable, base.settings, draws).c_str(),
      stdout);
  return unusable > 0 ? status_unusable : 0;
}

int run_rehearsal(int argc, char** argv) {
  CommandLine line = parse_command_line(argc, argv, 1, Command::rehearse, {"--help", "--version"});
  RehearsalOptions options = rehearsal_options(line);
  auto from = line.values.find("--from");
  auto compare = line.values.find("--compare");
  const bool many_boards =
      from != line.values.end() && compare == line.values.end() && !line.words.empty();
  if (!line.words.empty() && !many_boards && compare == line.values.end()) {
    usage_error("unexpected \"" + printable(line.words[0], 60) + "\"");
  }
  if (compare != line.values.end() && line.words_before_dashes < line.words.size()) {
    usage_error("--compare compares settings on one board; the words after \"--\" are boards");
  }
  if (compare != line.values.end() && line.values.count("--settings")) {
    usage_error("--settings cannot go with --compare: each compared LINE is the settings");
  }
  int draws = default_draws;
  if (auto given = line.values.find("--draws"); given != line.values.end()) {
    if (from == line.values.end() && compare == line.values.end()) {
      usage_error("--draws goes with --from or --compare: a seed's rehearsal predicts nothing");
    }
    draws = static_cast<int>(parse_count("--draws", given->second, 2, most_draws));
  }
  std::optional<BoardTwin> twin;
  if (from != line.values.end()) {
    for (const char* chip_option : {"--chains", "--weak", "--dead", "--missing"}) {
      if (line.values.count(chip_option)) {
        usage_error(std::string(chip_option) + " cannot go with --from: the board's files tell");
      }
    }
    if (many_boards) {
      if (line.values.count("--out")) {
        usage_error("--out goes with one board; the order of work is printed");
      }
      std::vector<std::string> boards = {from->second};
      boards.insert(boards.end(), line.words.begin(), line.words.end());
      return order_of_work(options, boards, draws);
    }
    if (writes_over_board(from->second, options.out_dir)) {
      usage_error("--out " + printable(options.out_dir, 200) +
                  " is, holds or lies inside the board of --from (or where its files lead); choose "
                  "another --out");
    }
    twin = twin_of(from->second);
    warn_of_findings(*twin);
    use_twin(options, *twin);
  }
  if (compare != line.values.end()) {
    std::vector<std::string> words = {compare->second};
    words.insert(words.end(), line.words.begin(), line.words.end());
    return compare_settings(options, compared_lines(words), twin, draws);
  }
  return twin ? predict_twin(options, *twin, draws) : rehearse_one(options, twin);
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

CopyAge copy_age_of(const CommandLine& line) {
  CopyAge age;
  if (auto it = line.values.find("--stale-after"); it != line.values.end()) {
    age.stale_after = parse_duration("--stale-after", it->second);
  }
  return age;
}

std::vector<std::string> labels_of(const CommandLine& line) {
  auto under = line.values.find("--labels-under");
  return board_labels(line.words, under != line.values.end() ? under->second : "");
}

int report_one(const std::string& dir, const CommandLine& line) {
  const bool json = line.flags.count("--json") != 0;
  std::optional<std::pair<int, int>> chip;
  if (auto it = line.values.find("--chip"); it != line.values.end()) chip = parse_chip(it->second);
  auto out = line.values.find("--out");
  if (out != line.values.end()) make_output_dir(out->second);
  auto metrics_file = line.values.find("--metrics");
  const bool metrics = metrics_file != line.values.end();
  if (metrics) check_replaceable(metrics_file->second);
  const std::string label = labels_of(line).front();
  MetricsWriter writer;
  BoardReport report;
  try {
    report = read_board(dir, copy_age_of(line));
  } catch (const UnusableBoard& unusable) {
    // Prometheus hears of it too, rather than keep the board's last figures.
    if (metrics) {
      writer.unusable(label);
      replace_output(metrics_file->second, writer.text());
    }
    throw ToolError(status_unusable, unusable.what());
  }
  if (metrics) {
    writer.board(report, label);
    replace_output(metrics_file->second, writer.text());
  }
  if (json && chip) {
    std::fputs(chip_json(report, chip->first, chip->second).c_str(), stdout);
  } else if (json) {
    std::fputs(report_json(report).c_str(), stdout);
  } else if (chip) {
    // The chip, then what makes the status 1 when there is anything.
    std::fputs(format_chip_history(report, chip->first, chip->second).c_str(), stdout);
    std::fputs(format_findings(report).c_str(), stdout);
  } else {
    std::optional<double> power;
    if (report.rehearsal) power = chip_model_power(report);
    std::fputs(format_summary(report, power).c_str(), stdout);
  }
  if (out != line.values.end()) {
    std::string picture = out->second + "/heat-map.svg";
    write_output(picture, heat_map_svg(report, "Chips of the board in " + dir));
    if (!json) std::printf("picture: %s\n", picture.c_str());
  }
  return report.findings.empty() ? 0 : status_findings;
}

// Many boards, one at a time: nothing of a board is kept once its line is out.
int report_farm(const CommandLine& line) {
  if (line.values.count("--chip")) usage_error("--chip takes one board directory");
  const bool json = line.flags.count("--json") != 0;
  auto out = line.values.find("--out");
  if (out != line.values.end()) make_output_dir(out->second);
  auto metrics_file = line.values.find("--metrics");
  const bool metrics_asked = metrics_file != line.values.end();
  if (metrics_asked) check_replaceable(metrics_file->second);
  const std::vector<std::string> labels = labels_of(line);
  const CopyAge age = copy_age_of(line);
  const bool pictures = out != line.values.end() && line.flags.count("--pictures") != 0;
  const long long now = age.now.value_or(std::time(nullptr));
  std::vector<FarmRow> overview;  // a few numbers a board: the rest of it is not kept
  MetricsWriter metrics;
  FarmTotals totals;
  FarmJson farm_json;
  if (json) std::fputs(farm_json.begin().c_str(), stdout);
  for (size_t i = 0; i < line.words.size(); ++i) {
    const std::string& dir = line.words[i];
    const std::string& name = labels[i];
    std::string text;
    try {
      BoardReport report = read_board(dir, age);
      totals.add(report);
      if (metrics_asked) metrics.board(report, name);
      text = json ? farm_json.board(report) : format_board_line(report);
      if (out != line.values.end())
        overview.push_back(farm_row(report, name, now, age.stale_after));
      if (pictures) {
        // A label with directories in it ("rackA/s01") draws under them.
        const std::string picture = out->second + "/" + name + "-heat-map.svg";
        make_output_dir(picture.substr(0, picture.rfind('/')));
        write_output(picture, heat_map_svg(report, "Chips of the board in " + dir));
      }
    } catch (const UnusableBoard& unusable) {
      // On standard error, where every failure goes; the JSON document keeps its place too.
      ++totals.unusable;
      if (metrics_asked) metrics.unusable(name);
      if (out != line.values.end()) overview.push_back({.name = name, .unusable = true});
      std::fflush(stdout);
      std::fputs(("tune-rehearse: " + format_unusable_line(dir, unusable.what())).c_str(), stderr);
      if (json) text = farm_json.unusable(dir, unusable.what());
    }
    std::fputs(text.c_str(), stdout);
  }
  std::fputs((json ? farm_json.end(totals) : format_farm_totals(totals)).c_str(), stdout);
  if (metrics_asked) replace_output(metrics_file->second, metrics.text());
  if (out != line.values.end()) {
    const std::string picture = out->second + "/farm.svg";
    write_output(picture,
                 farm_overview_svg(overview, "Farm overview: " + std::to_string(overview.size()) +
                                                 " boards, each chain's share of its ideal rate"));
    if (!json) std::printf("picture: %s\n", picture.c_str());
  }
  if (totals.unusable > 0) return status_unusable;
  return totals.with_findings > 0 ? status_findings : 0;
}

int run_report(int argc, char** argv) {
  CommandLine line = parse_command_line(argc, argv, 2, Command::report, {"--help"});
  if (line.flags.count("--help")) {
    std::fputs(usage().c_str(), stdout);
    return 0;
  }
  if (line.words.empty()) usage_error("report needs a board directory");
  if (line.flags.count("--pictures") && !line.values.count("--out")) {
    usage_error("--pictures goes with --out: the directory the pictures are drawn into");
  }
  if (line.words.size() == 1) return report_one(line.words[0], line);
  return report_farm(line);
}

int run(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "report") == 0) return run_report(argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(usage().c_str(), stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("tune-rehearse %s\n", TUNE_VERSION);
      return 0;
    }
  }
  return run_rehearsal(argc, argv);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    int status = run(argc, argv);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, "tune-rehearse: standard output: %s\n", std::strerror(errno));
      return status_unusable;
    }
    return status;
  } catch (const ToolError& failure) {
    std::fflush(stdout);
    std::fprintf(stderr, "tune-rehearse: %s\n", printable(failure.message, 8192).c_str());
    return failure.status;
  } catch (const Interrupted& interrupted) {
    // Its rehearsals stopped and their directory gone: ends as the signal would have ended it.
    std::fflush(stdout);
    std::signal(interrupted.signal, SIG_DFL);
    std::raise(interrupted.signal);
    return status_unusable;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tune-rehearse: %s\n", error.what());
    return status_unusable;
  }
}
