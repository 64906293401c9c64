// tune-rehearse's two tables, its commands and its options, and what each command does with
// what its command line asks for before it calls into commands/: the usage errors decided,
// the options turned into what the commands take.
#include "tool.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "argument_reader.hpp"
#include "command_line.hpp"
#include "draws.hpp"
#include "output.hpp"
#include "rehearsal_checks.hpp"
#include "rehearse_commands.hpp"
#include "report_commands.hpp"
#include "settings.hpp"
#include "settings_presets.hpp"
#include "settings_table.hpp"
#include "text.hpp"
#include "tool_error.hpp"

namespace tune::rehearse {

// What a command goes by: what its command line asks for.
struct Invocation {
  Request request;
};

namespace {

constexpr long machine_chips = chain_count * chips_per_chain;

// The settings lines compared: each a preset's name or a line as it stands. A word that is
// a board's directory is refused rather than rehearsed as a line of unknown keys; a refusal
// names the words as `said` on the command line ("compare", or the first spelling's
// "--compare").
std::vector<ComparedSettings> compared_lines(const std::vector<std::string>& words,
                                             const std::string& said) {
  std::vector<ComparedSettings> lines;
  for (const std::string& word : words) {
    std::error_code ec;
    if (!word.empty() && std::filesystem::is_directory(word, ec)) {
      usage_error(said + " compares settings on one board, and \"" + printable(word, 60) +
                  "\" is a directory: give the board as --from BOARD");
    }
    if (std::optional<SettingsPreset> preset = settings_preset(word)) {
      lines.push_back({preset->name, preset->line, {}, {}, {}});
    } else {
      // Named by its settings: the table and the picture shorten it, their legends show it whole.
      const std::string line = settings_word(said, word);
      lines.push_back({line, line, {}, {}, {}});
    }
  }
  return lines;
}

// What a rehearsal's options ask for. --settings is a preset's line or the line given,
// refused with its warnings when a rehearsal would not run it.
RehearsalOptions rehearsal_options(const Request& request) {
  RehearsalOptions options;
  if (request.seed) options.seed = *request.seed;
  if (request.settings) {
    std::optional<SettingsPreset> preset = settings_preset(*request.settings);
    options.settings = preset ? preset->line : *request.settings;
    if (std::optional<std::string> why = refused_settings(options.settings)) {
      print_warnings(settings_warnings(options.settings, "--settings"));
      usage_error("--settings: " + *why + "; not rehearsed");
    }
  }
  if (request.chains) options.chain_present = *request.chains;
  if (request.weak) options.weak_chips = *request.weak;
  if (request.dead) options.dead_chips = *request.dead;
  if (request.missing) options.missing_chips = *request.missing;
  if (request.jobs) options.jobs = *request.jobs;
  if (request.out) options.out_dir = *request.out;
  return options;
}

// A command that rehearses into --out refuses one that holds something else than an earlier
// rehearsal, before anything is rehearsed.
void refuse_other_out(const RehearsalOptions& options) {
  if (!may_rehearse_into(options.out_dir)) {
    usage_error("--out " + printable(options.out_dir, 200) +
                " is not empty and not an earlier rehearsal's");
  }
}

// A board's files tell its chips: the options that make the seed's machine are refused.
void refuse_machine_by_hand(const Request& request) {
  const std::pair<bool, const char*> given[] = {{request.chains.has_value(), "--chains"},
                                                {request.weak.has_value(), "--weak"},
                                                {request.dead.has_value(), "--dead"},
                                                {request.missing.has_value(), "--missing"}};
  for (const auto& [by_hand, option] : given) {
    if (by_hand)
      usage_error(std::string(option) + " cannot go with --from: the board's files tell");
  }
}

// A command that takes no words.
void refuse_words(const Request& request) {
  if (!request.words.empty()) {
    usage_error("unexpected \"" + printable(request.words[0], 60) + "\"");
  }
}

// The board's twin, fitted and warned of, with the options set to rehearse it; refused when
// the rehearsal's output would land in the board's files, or the machine is given by hand.
BoardTwin twin_to_rehearse(const Request& request, RehearsalOptions& options,
                           const std::string& board) {
  refuse_machine_by_hand(request);
  if (writes_over_board(board, options.out_dir)) {
    usage_error("--out " + printable(options.out_dir, 200) +
                " is, holds or lies inside the board of --from (or where its files lead)");
  }
  BoardTwin twin = twin_of(board);
  warn_of_findings(twin);
  use_twin(options, twin);
  return twin;
}

int draws_of(const Request& request) {
  return request.draws.value_or(default_draws);
}

int run(Invocation& in) {
  RehearsalOptions options = rehearsal_options(in.request);
  refuse_words(in.request);
  refuse_other_out(options);
  return rehearse_one(options);
}

int predict(Invocation& in) {
  RehearsalOptions options = rehearsal_options(in.request);
  if (in.request.words.size() != 1) usage_error("predict takes one board directory");
  const BoardTwin twin = twin_to_rehearse(in.request, options, in.request.words[0]);
  refuse_other_out(options);
  return predict_twin(options, twin, draws_of(in.request));
}

int compare(Invocation& in) {
  RehearsalOptions options = rehearsal_options(in.request);
  if (in.request.words.empty()) usage_error("compare needs settings lines or presets");
  std::optional<BoardTwin> twin;
  if (in.request.from) twin = twin_to_rehearse(in.request, options, *in.request.from);
  refuse_other_out(options);
  return compare_settings(
      options, compared_lines(in.request.words, in.request.compare ? "--compare" : "compare"), twin,
      draws_of(in.request));
}

int rank(Invocation& in) {
  RehearsalOptions options = rehearsal_options(in.request);
  if (in.request.words.empty()) usage_error("rank needs board directories");
  return order_of_work(options, in.request.words, draws_of(in.request));
}

int report(Invocation& in) {
  const Request& request = in.request;
  if (request.words.empty()) usage_error("report needs a board directory");
  if (request.pictures && !request.out) {
    usage_error("--pictures goes with --out: the directory the pictures are drawn into");
  }
  if (request.chip && request.words.size() > 1) usage_error("--chip takes one board directory");
  ReportRequest report;
  report.json = request.json;
  report.chip = request.chip;
  report.out = request.out;
  report.pictures = request.pictures;
  report.metrics = request.metrics;
  report.boards_list = request.boards;
  report.shard = request.shard;
  if (request.stale_after) report.age.stale_after = *request.stale_after;
  Labels labels = board_labels(request.words, request.labels_under.value_or(""));
  if (!labels.problem.empty()) usage_error(labels.problem);
  report.labels = std::move(labels.labels);
  report.refused = std::move(labels.refused);
  if (request.chip && report.boards_list) {
    usage_error("--chip takes one board directory, without --boards");
  }
  if (request.chip && report.shard)
    usage_error("--chip takes one board directory, without --shard");
  if (request.words.size() == 1 && !report.boards_list && !report.shard) {
    return report_one(request.words[0], report);
  }
  return report_farm(request.words, report);
}

int settings(Invocation& in) {
  refuse_words(in.request);
  if (in.request.markdown && in.request.roff) usage_error("--markdown or --roff, not both");
  std::fputs((in.request.markdown ? settings_table_markdown()
              : in.request.roff   ? settings_table_roff()
                                  : settings_table_text())
                 .c_str(),
             stdout);
  return status_done;
}

// The first spelling: the options choose the command. Its combinations are refused as they
// always were, in the same words, before the command runs.
int spelled_by_flags(Invocation& in) {
  Request& request = in.request;
  const bool many_boards = request.from && !request.compare && !request.words.empty();
  if (!many_boards && !request.compare) refuse_words(request);
  if (request.compare && request.words_before_dashes < request.words.size()) {
    usage_error("--compare compares settings on one board; the words after \"--\" are boards");
  }
  if (request.compare && request.settings) {
    usage_error("--settings cannot go with --compare: each compared LINE is the settings");
  }
  if (request.draws && !request.from && !request.compare) {
    usage_error("--draws goes with --from or --compare: a seed's rehearsal predicts nothing");
  }
  if (request.jobs && !request.from && !request.compare) {
    usage_error("--jobs goes with --from or --compare: a seed's rehearsal is one job");
  }
  if (request.compare) {
    request.words.insert(request.words.begin(), *request.compare);
    return compare(in);
  }
  if (!request.from) return run(in);
  request.words.insert(request.words.begin(), *request.from);
  if (!many_boards) return predict(in);
  refuse_machine_by_hand(request);
  if (request.out) usage_error("--out goes with one board; the order of work is printed");
  return rank(in);
}

// The commands, each its whole row: its name, what it takes, what it does, and the function
// that does it. A command is added by adding its row (and its options' rows below).
constexpr CommandRow command_table[] = {
    {"run", "",
     "rehearse chain-tuner, then yellow-fixer, on a simulated machine in\n"
     "virtual time; the summary and the pictures' paths are printed",
     run},
    {"predict", "BOARD",
     "rehearse the tuning the board whose files are copied in BOARD (as\n"
     "report reads them) would run next, on its twin: the chip model\n"
     "fitted to its chip rates and settings; predict what it gains",
     predict},
    {"compare", "LINE...",
     "rehearse one board (the seed's, or --from BOARD's twin) once per\n"
     "settings line, spread over the cores, and compare them in one table\n"
     "and --out's compare.svg; a LINE is a line for autoTune.conf or a\n"
     "preset: eco, balanced, performance",
     compare},
    {"rank", "BOARD...",
     "predict every board's next tuning and print the boards by the gain\n"
     "it predicts, most first: the farm's order of work",
     rank},
    {"report", "DIR...",
     "report on a board's files copied into DIR (auto-tune, chip-rates,\n"
     "config.conf, manual_freqs.txt, bmminer.conf, chain-tuner.log; flat,\n"
     "or under config/ and tmp/); for many, one line per board, then the\n"
     "farm's totals",
     report},
    {"settings", "",
     "print the settings of /config/autoTune.conf: each key's default, the\n"
     "programs that read it, the values a rehearsal runs and its meaning",
     settings},
    {"", "", "", spelled_by_flags},  // the first spelling: no command word
};

// The first spelling is the one row without a name, and the last: the command of a line
// that names none.
static_assert(
    *std::end(command_table)[-1].name == '\0' &&
        std::count_if(std::begin(command_table), std::end(command_table),
                      [](const CommandRow& row) { return *row.name == '\0'; }) == 1,
    "the first spelling is the command table's last row, and its only one without a name");

// The commands an option row belongs to, by their names: a name not in the table above does
// not build.
constexpr CommandSet in(std::string_view names) {
  return commands_named(command_table, names);
}

constexpr CommandSet every_command = (1u << std::size(command_table)) - 1;

int count_of(const char* option, const std::string& text) {
  return static_cast<int>(parse_count(option, text, 0, machine_chips));
}

constexpr OptionRow option_table[] = {
    {in("run predict compare rank first-spelling"), "--seed", "N",
     "the seed (default 1): the simulated machine's, or for a board's\n"
     "twin the draw of its chips and the rates' noise; the same seed\n"
     "gives the same run",
     [](Request& r, const std::string& v) {
       r.seed = static_cast<std::uint64_t>(parse_count("--seed", v, 0, 2147483647L));
     }},
    {in("run predict rank first-spelling"), "--settings", "LINE",
     "the line for /config/autoTune.conf, for example\n"
     "\"restarts_count=5&desired_rate=30000\", or a preset's name (default:\n"
     "empty, so every setting keeps its default; for a board, its own);\n"
     "doubtful values are named in a warning, values outside what a\n"
     "rehearsal runs (tune-rehearse settings) refused",
     [](Request& r, const std::string& v) {
       r.settings = settings_preset(v) ? v : settings_word("--settings", v);
     }},
    {in("run compare first-spelling"), "--chains", "LIST",
     "populated chains by the miner's chain number, from 2,3,4,6,7,8\n"
     "(default: all)",
     [](Request& r, const std::string& v) { r.chains = parse_chains(v); }},
    {in("run compare first-spelling"), "--weak", "N", "weak chips across the machine (default 6)",
     [](Request& r, const std::string& v) { r.weak = count_of("--weak", v); }},
    {in("run compare first-spelling"), "--dead", "N", "dead chips, rate 0 (default 2)",
     [](Request& r, const std::string& v) { r.dead = count_of("--dead", v); }},
    {in("run compare first-spelling"), "--missing", "N",
     "chips the miner never lists in /tmp/chip-rates (default 1)",
     [](Request& r, const std::string& v) { r.missing = count_of("--missing", v); }},
    {in("first-spelling"), "--from", "BOARD",
     "predict BOARD; with more boards (--from BOARD BOARD...), rank\n"
     "BOARD...; with --compare, the board the lines are compared on",
     [](Request& r, const std::string& v) { r.from = v; }},
    {in("compare"), "--from", "BOARD",
     "compare the lines on the twin of the board whose files are copied\n"
     "in BOARD (as report reads them), not on the seed's machine",
     [](Request& r, const std::string& v) { r.from = v; }},
    {in("first-spelling"), "--compare", "LINE", "compare LINE... [--from BOARD]",
     [](Request& r, const std::string& v) { r.compare = v; }},
    {in("predict compare rank first-spelling"), "--draws", "K",
     "rehearse K draws of each board (its twin's chips within what its\n"
     "files allow, the rates' noise anew; 2 to 1000, default 3) and give\n"
     "each predicted figure as their median with an 80 % interval; a gain\n"
     "whose interval holds 0 is not told",
     [](Request& r, const std::string& v) {
       r.draws = static_cast<int>(parse_count("--draws", v, 2, most_draws));
     }},
    {in("predict compare rank first-spelling"), "--jobs", "N",
     "rehearse N draws or boards at once, each in a process of its own\n"
     "(1 to 256; default: one a core this process may use)",
     [](Request& r, const std::string& v) {
       r.jobs = static_cast<int>(parse_count("--jobs", v, 1, 256));
     }},
    {in("run predict compare first-spelling"), "--out", "DIR",
     "where the board's files and pictures go (default ./rehearsal);\n"
     "an existing directory must be empty or an earlier rehearsal's",
     [](Request& r, const std::string& v) { r.out = v; }},
    {in("report"), "--json", nullptr, "print the report as one JSON document instead of text",
     [](Request& r, const std::string&) { r.json = true; }},
    {in("report"), "--chip", "C:N",
     "print chip N of chain C (2, 3, 4, 6, 7 or 8): its state and every\n"
     "change of its frequency",
     [](Request& r, const std::string& v) { r.chip = parse_chip(v); }},
    {in("report"), "--out", "OUTDIR",
     "draw into OUTDIR (made when missing): one board's heat map, or for many\n"
     "boards the farm's overview (farm.svg); without it the report draws\n"
     "nothing",
     [](Request& r, const std::string& v) { r.out = v; }},
    {in("report"), "--pictures", nullptr,
     "with --out on many boards: also draw each board's heat map",
     [](Request& r, const std::string&) { r.pictures = true; }},
    {in("report"), "--metrics", "FILE",
     "also write the report in the Prometheus text format to FILE,\n"
     "replaced whole (node_exporter's textfile collector reads *.prom)",
     [](Request& r, const std::string& v) { r.metrics = v; }},
    {in("report"), "--labels-under", "ROOT",
     "label each board (in the metrics, the pictures' names) by its path\n"
     "under ROOT, the same whatever else is reported with it (default: its\n"
     "path under the deepest directory holding all the boards given)",
     [](Request& r, const std::string& v) { r.labels_under = v; }},
    {in("report"), "--boards", "LIST",
     "the farm's list of boards, as collect-boards -f reads it: a listed\n"
     "board none of the DIRs is the copy of (a DIR is named as collect-\n"
     "boards names a copy) is a finding, \"not copied\"",
     [](Request& r, const std::string& v) { r.boards = v; }},
    {in("report"), "--shard", "K/N",
     "only the boards of shard K of N (and of the list, --boards), as\n"
     "collect-boards --shard K/N copies them: a farm split among collectors",
     [](Request& r, const std::string& v) { r.shard = parse_shard(v); }},
    {in("report"), "--stale-after", "TIME",
     "a copy taken longer ago than TIME (seconds, or with s, m, h or d;\n"
     "default 1h) is a finding: the board may be down or out of reach",
     [](Request& r, const std::string& v) { r.stale_after = parse_duration("--stale-after", v); }},
    {in("settings"), "--markdown", nullptr, "print the table as docs/board.md holds it",
     [](Request& r, const std::string&) { r.markdown = true; }},
    {in("settings"), "--roff", nullptr, "print the table as the manual pages hold it",
     [](Request& r, const std::string&) { r.roff = true; }},
    {every_command, "--help", nullptr, "print this help and end (also -h, anywhere)", nullptr},
    {in("first-spelling"), "--version", nullptr, "print the version and end", nullptr},
};

constexpr ToolTables tables = {command_table, option_table,
                               in("run predict compare rank first-spelling")};

}  // namespace

int end_with(const ToolError& failure) {
  std::fflush(stdout);
  std::fprintf(stderr, "tune-rehearse: %s\n", printable(failure.message, 8192).c_str());
  return failure.status;
}

int run_tool(int argc, char** argv) {
  std::optional<size_t> named = argc >= 2 ? command_named(tables, argv[1]) : std::nullopt;
  const size_t command = named.value_or(std::size(command_table) - 1);
  const int first = named ? 2 : 1;
  name_help_in_errors(tables, command);
  if (argument_given(argc, argv, first, "--help", "-h")) {
    std::fputs(usage(tables, command).c_str(), stdout);
    return status_done;
  }
  if (!named && argument_given(argc, argv, first, "--version")) {
    print_version("tune-rehearse");
    return status_done;
  }
  Invocation in{read_request(tables, command, argc, argv, first)};
  return command_table[command].run(in);
}

}  // namespace tune::rehearse
