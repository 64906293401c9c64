#include "tool.hpp"

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

namespace {

// What a command goes by: its options as read, and the words between them.
struct Invocation {
  CommandLine line;
  Request request;
};

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

// A board's files tell its chips: the options that make the seed's machine are refused.
void refuse_machine_by_hand(const CommandLine& line) {
  for (const char* chip_option : {"--chains", "--weak", "--dead", "--missing"}) {
    if (line.values.count(chip_option)) {
      usage_error(std::string(chip_option) + " cannot go with --from: the board's files tell");
    }
  }
}

// A command that takes no words.
void refuse_words(const CommandLine& line) {
  if (!line.words.empty()) usage_error("unexpected \"" + printable(line.words[0], 60) + "\"");
}

// The board's twin, fitted and warned of, with the options set to rehearse it; refused when
// the rehearsal's output would land in the board's files, or the machine is given by hand.
BoardTwin twin_to_rehearse(const CommandLine& line, RehearsalOptions& options,
                           const std::string& board) {
  refuse_machine_by_hand(line);
  if (writes_over_board(board, options.out_dir)) {
    usage_error("--out " + printable(options.out_dir, 200) +
                " is, holds or lies inside the board of --from (or where its files lead); choose "
                "another --out");
  }
  BoardTwin twin = twin_of(board);
  warn_of_findings(twin);
  use_twin(options, twin);
  return twin;
}

int run(Invocation& in) {
  refuse_words(in.line);
  return rehearse_one(in.request.rehearsal);
}

int predict(Invocation& in) {
  if (in.line.words.size() != 1) usage_error("predict takes one board directory");
  RehearsalOptions& options = in.request.rehearsal;
  const BoardTwin twin = twin_to_rehearse(in.line, options, in.line.words[0]);
  return predict_twin(options, twin, in.request.draws);
}

int compare(Invocation& in) {
  if (in.line.words.empty()) usage_error("compare needs settings lines or presets");
  RehearsalOptions& options = in.request.rehearsal;
  std::optional<BoardTwin> twin;
  if (in.request.from) twin = twin_to_rehearse(in.line, options, *in.request.from);
  return compare_settings(
      options, compared_lines(in.line.words, in.request.compare ? "--compare" : "compare"), twin,
      in.request.draws);
}

int rank(Invocation& in) {
  if (in.line.words.empty()) usage_error("rank needs board directories");
  return order_of_work(in.request.rehearsal, in.line.words, in.request.draws);
}

int report(Invocation& in) {
  const CommandLine& line = in.line;
  Request& request = in.request;
  if (line.words.empty()) usage_error("report needs a board directory");
  if (line.flags.count("--pictures") && !line.values.count("--out")) {
    usage_error("--pictures goes with --out: the directory the pictures are drawn into");
  }
  if (line.values.count("--chip") && line.words.size() > 1) {
    usage_error("--chip takes one board directory");
  }
  request.report.labels = board_labels(line.words, request.labels_under.value_or(""));
  if (line.values.count("--chip") && request.report.boards_list) {
    usage_error("--chip takes one board directory, without --boards");
  }
  if (line.words.size() == 1 && !request.report.boards_list) {
    return report_one(line.words[0], request.report);
  }
  return report_farm(line.words, request.report);
}

int settings(Invocation& in) {
  refuse_words(in.line);
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
  CommandLine& line = in.line;
  Request& request = in.request;
  const bool many_boards = request.from && !request.compare && !line.words.empty();
  if (!many_boards && !request.compare) refuse_words(line);
  if (request.compare && line.words_before_dashes < line.words.size()) {
    usage_error("--compare compares settings on one board; the words after \"--\" are boards");
  }
  if (request.compare && line.values.count("--settings")) {
    usage_error("--settings cannot go with --compare: each compared LINE is the settings");
  }
  if (line.values.count("--draws") && !request.from && !request.compare) {
    usage_error("--draws goes with --from or --compare: a seed's rehearsal predicts nothing");
  }
  if (line.values.count("--jobs") && !request.from && !request.compare) {
    usage_error("--jobs goes with --from or --compare: a seed's rehearsal is one job");
  }
  if (request.compare) {
    line.words.insert(line.words.begin(), *request.compare);
    return compare(in);
  }
  if (!request.from) return run(in);
  line.words.insert(line.words.begin(), *request.from);
  if (!many_boards) return predict(in);
  refuse_machine_by_hand(line);
  if (line.values.count("--out"))
    usage_error("--out goes with one board; the order of work is printed");
  return rank(in);
}

int (*const command_runs[])(Invocation&) = {run,    predict,  compare,         rank,
                                            report, settings, spelled_by_flags};

}  // namespace

int end_with(const ToolError& failure) {
  std::fflush(stdout);
  std::fprintf(stderr, "tune-rehearse: %s\n", printable(failure.message, 8192).c_str());
  return failure.status;
}

int run_tool(int argc, char** argv) {
  std::optional<Command> named = argc >= 2 ? command_named(argv[1]) : std::nullopt;
  const Command command = named.value_or(Command::spelled_by_flags);
  const int first = named ? 2 : 1;
  name_help_in_errors(command);
  if (argument_given(argc, argv, first, "--help", "-h")) {
    std::fputs(usage(command).c_str(), stdout);
    return status_done;
  }
  if (!named && argument_given(argc, argv, first, "--version")) {
    print_version("tune-rehearse");
    return status_done;
  }
  Invocation in{parse_command_line(argc, argv, first, command), {}};
  in.request = read_request(in.line, command);
  return command_runs[static_cast<int>(command)](in);
}

}  // namespace tune::rehearse
