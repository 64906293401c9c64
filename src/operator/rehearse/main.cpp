// tune-rehearse: a whole tuning on a simulated machine, or a report on boards' files. This
// is its entry: the command line read (command_line), each command's options gathered, and
// the call into the command (commands/); every failure ends here in one line and a status.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "draws.hpp"
#include "output.hpp"
#include "rehearsal_checks.hpp"
#include "rehearse_commands.hpp"
#include "report_commands.hpp"
#include "settings_presets.hpp"
#include "spread.hpp"
#include "text.hpp"
#include "tool_error.hpp"

namespace {

using namespace tune;
using namespace tune::rehearse;

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

int run_rehearsal(int argc, char** argv) {
  const CommandLine line = parse_command_line(argc, argv, 1, Command::rehearse);
  Request request = read_request(line, Command::rehearse);
  RehearsalOptions& options = request.rehearsal;
  const bool many_boards = request.from && !request.compare && !line.words.empty();
  if (!line.words.empty() && !many_boards && !request.compare) {
    usage_error("unexpected \"" + printable(line.words[0], 60) + "\"");
  }
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
  std::optional<BoardTwin> twin;
  if (request.from) {
    for (const char* chip_option : {"--chains", "--weak", "--dead", "--missing"}) {
      if (line.values.count(chip_option)) {
        usage_error(std::string(chip_option) + " cannot go with --from: the board's files tell");
      }
    }
    if (many_boards) {
      if (line.values.count("--out")) {
        usage_error("--out goes with one board; the order of work is printed");
      }
      std::vector<std::string> boards = {*request.from};
      boards.insert(boards.end(), line.words.begin(), line.words.end());
      return order_of_work(options, boards, request.draws);
    }
    if (writes_over_board(*request.from, options.out_dir)) {
      usage_error("--out " + printable(options.out_dir, 200) +
                  " is, holds or lies inside the board of --from (or where its files lead); choose "
                  "another --out");
    }
    twin = twin_of(*request.from);
    warn_of_findings(*twin);
    use_twin(options, *twin);
  }
  if (request.compare) {
    std::vector<std::string> words = {*request.compare};
    words.insert(words.end(), line.words.begin(), line.words.end());
    return compare_settings(options, compared_lines(words), twin, request.draws);
  }
  return twin ? predict_twin(options, *twin, request.draws) : rehearse_one(options);
}

int run_report(int argc, char** argv) {
  const CommandLine line = parse_command_line(argc, argv, 2, Command::report);
  if (line.flags.count("--help")) {
    std::fputs(usage().c_str(), stdout);
    return 0;
  }
  if (line.words.empty()) usage_error("report needs a board directory");
  if (line.flags.count("--pictures") && !line.values.count("--out")) {
    usage_error("--pictures goes with --out: the directory the pictures are drawn into");
  }
  if (line.values.count("--chip") && line.words.size() > 1) {
    usage_error("--chip takes one board directory");
  }
  Request request = read_request(line, Command::report);
  request.report.labels = board_labels(line.words, request.labels_under.value_or(""));
  if (line.values.count("--chip") && request.report.boards_list) {
    usage_error("--chip takes one board directory, without --boards");
  }
  if (line.words.size() == 1 && !request.report.boards_list) {
    return report_one(line.words[0], request.report);
  }
  return report_farm(line.words, request.report);
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
