// tune-rehearse: a whole tuning on a simulated machine, or a report on a board's files.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "board_report.hpp"
#include "report_format.hpp"
#include "pictures.hpp"
#include "rehearsal.hpp"

namespace {

using namespace tune;
using namespace tune::rehearse;

constexpr char usage[] =
    "Usage:\n"
    "  tune-rehearse [options]        rehearse chain-tuner then yellow-fixer on a simulated\n"
    "                                 machine, in virtual time\n"
    "  tune-rehearse report DIR [--out DIR2]\n"
    "                                 summarise a board's files copied into DIR (auto-tune,\n"
    "                                 manual_freqs.txt, config.conf, chip-rates and, when\n"
    "                                 present, bmminer.conf) and draw its heat map\n"
    "\n"
    "Rehearsal options:\n"
    "  --seed N          the simulated machine's seed (default 1); the same seed gives the\n"
    "                    same machine and the same run\n"
    "  --settings LINE   the line for /config/autoTune.conf, for example\n"
    "                    \"restarts_count=5&desired_rate=30000\" (default: empty, so every\n"
    "                    setting keeps its default)\n"
    "  --chains LIST     populated chains by chain number, from 1,2,3,5,6,7 (default: all)\n"
    "  --weak N          weak chips across the machine (default 6)\n"
    "  --dead N          dead chips, rate 0 (default 2)\n"
    "  --missing N       chips the miner never lists in /tmp/chip-rates (default 1)\n"
    "  --out DIR         where the board's files and pictures go (default ./rehearsal);\n"
    "                    an existing directory must be empty or an earlier rehearsal's\n"
    "  --help            this text\n"
    "\n"
    "The output directory holds config/ and tmp/ as a board would have them after both\n"
    "programs, chain-tuner.log (the first program's log, which the second replaces),\n"
    "summary.txt, heat-map.svg and timeline.svg.\n";

constexpr char rehearsal_marker[] = ".tune-rehearsal";

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "tune-rehearse: %s\n", message.c_str());
  std::exit(2);
}

long parse_count(const char* option, const char* text, long low, long high) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < low || value > high) {
    fail(std::string(option) + " takes a number from " + std::to_string(low) + " to " +
         std::to_string(high) + ", not \"" + text + "\"");
  }
  return value;
}

std::array<bool, chain_count> parse_chains(const char* text) {
  std::array<bool, chain_count> present{};
  std::string list(text);
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t end = list.find(',', pos);
    if (end == std::string::npos) end = list.size();
    std::string item = list.substr(pos, end - pos);
    int slot = -1;
    for (int s = 0; s < chain_count; ++s) {
      if (item == std::to_string(chain_number_of(s))) slot = s;
    }
    if (slot < 0) fail("--chains takes chain numbers from 1,2,3,5,6,7, not \"" + item + "\"");
    present[slot] = true;
    pos = end + 1;
  }
  return present;
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) fail("cannot write " + path);
}

// One line updated in place on a terminal; a plain line per change of phase otherwise.
class ProgressPrinter {
 public:
  ProgressPrinter() : terminal_(isatty(STDERR_FILENO) == 1) {}

  void show(const ProgressState& s) {
    std::string where = s.program + ", iteration " + std::to_string(s.iteration) + ", " + s.phase;
    std::string line = where + ", virtual time " + format_duration(s.virtual_seconds) + ", " +
                       std::to_string(s.restarts) + " restarts";
    if (terminal_) {
      std::fprintf(stderr, "\r\033[K%s", line.c_str());
      shown_ = true;
    } else if (where != last_) {
      std::fprintf(stderr, "%s\n", line.c_str());
    }
    last_ = where;
  }
  void finish() {
    if (terminal_ && shown_) std::fputc('\n', stderr);
  }

 private:
  bool terminal_;
  bool shown_ = false;
  std::string last_;
};

void prepare(const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::exists(dir, ec)) {
    if (!fs::is_directory(dir, ec)) fail(dir + " exists and is not a directory");
    if (!fs::is_empty(dir, ec) && !fs::exists(fs::path(dir) / rehearsal_marker, ec)) {
      fail(dir + " is not empty and not an earlier rehearsal's; choose another --out");
    }
  }
  fs::create_directories(dir, ec);
  if (ec) fail("cannot make " + dir + ": " + ec.message());
  write_text(dir + "/" + rehearsal_marker, "made by tune-rehearse\n");
}

std::string ending(const ProgramRun& run) {
  if (!run.ran) return "did not run (no /config/yellow marker)";
  std::string text = run.exited ? "ended by exit, status " : "returned, status ";
  return text + std::to_string(run.parent_status) + ", " + std::to_string(run.restarts) +
         " restarts, virtual " + format_duration(run.virtual_seconds);
}

int run_rehearsal(const RehearsalOptions& options) {
  prepare(options.out_dir);
  ProgressPrinter printer;
  auto started = std::chrono::steady_clock::now();
  RehearsalResult result =
      tune::rehearse::rehearse(options, [&](const ProgressState& s) { printer.show(s); });
  printer.finish();
  double real_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  BoardReport report = read_board(options.out_dir);
  std::string summary = format_summary(report);
  write_text(options.out_dir + "/summary.txt", summary);
  std::string seed = "seed " + std::to_string(options.seed);
  write_text(options.out_dir + "/heat-map.svg",
             heat_map_svg(report, "Chips after a rehearsed tuning, " + seed));
  write_text(options.out_dir + "/timeline.svg",
             timeline_svg(result.timeline, "Rehearsed tuning over virtual time, " + seed));

  std::printf("%s", summary.c_str());
  std::printf("chain-tuner  %s\n", ending(result.chain_tuner).c_str());
  std::printf("yellow-fixer %s\n", ending(result.yellow_fixer).c_str());
  std::printf("real time %.2f s\n", real_seconds);
  std::printf("board files: %s/config, %s/tmp\n", options.out_dir.c_str(), options.out_dir.c_str());
  std::printf("pictures:    %s/heat-map.svg, %s/timeline.svg\n", options.out_dir.c_str(),
              options.out_dir.c_str());
  return 0;
}

int run_report(const std::string& dir, const std::string& out_dir) {
  BoardReport report = read_board(dir);
  std::printf("%s", format_summary(report).c_str());
  std::string picture = (out_dir.empty() ? dir : out_dir) + "/heat-map.svg";
  if (!out_dir.empty()) std::filesystem::create_directories(out_dir);
  write_text(picture, heat_map_svg(report, "Chips of the board in " + dir));
  std::printf("picture:     %s\n", picture.c_str());
  return report.problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "report") == 0) {
    if (argc != 3 && !(argc == 5 && std::strcmp(argv[3], "--out") == 0)) {
      fail("report takes a directory, and optionally --out DIR\n" + std::string(usage));
    }
    return run_report(argv[2], argc == 5 ? argv[4] : "");
  }
  RehearsalOptions options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage, stdout);
      return 0;
    }
    if (i + 1 >= argc) fail("unknown or incomplete option \"" + arg + "\"; see --help");
    const char* value = argv[++i];
    if (arg == "--seed") {
      options.seed = static_cast<std::uint64_t>(parse_count("--seed", value, 0, 2147483647L));
    } else if (arg == "--settings") {
      options.settings = value;
    } else if (arg == "--chains") {
      options.chain_present = parse_chains(value);
    } else if (arg == "--weak") {
      options.weak_chips = static_cast<int>(parse_count("--weak", value, 0, 378));
    } else if (arg == "--dead") {
      options.dead_chips = static_cast<int>(parse_count("--dead", value, 0, 378));
    } else if (arg == "--missing") {
      options.missing_chips = static_cast<int>(parse_count("--missing", value, 0, 378));
    } else if (arg == "--out") {
      options.out_dir = value;
    } else {
      fail("unknown option \"" + arg + "\"; see --help");
    }
  }
  if (options.settings.find('\n') != std::string::npos) fail("--settings is a single line");
  return run_rehearsal(options);
}
