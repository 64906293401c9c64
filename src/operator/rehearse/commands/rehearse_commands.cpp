#include "rehearse_commands.hpp"

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "chip_power.hpp"
#include "output.hpp"
#include "pictures.hpp"
#include "progress.hpp"
#include "ranking.hpp"
#include "rehearsal_checks.hpp"
#include "report_json.hpp"
#include "report_text.hpp"
#include "scratch_dir.hpp"
#include "spread.hpp"
#include "text.hpp"
#include "tool_error.hpp"

namespace tune::rehearse {

namespace {

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

}  // namespace

void print_warnings(const std::vector<std::string>& warnings) {
  for (const std::string& warning : warnings) {
    // A warning echoes the settings as given: shown safe, as every text from outside is.
    std::fprintf(stderr, "tune-rehearse: warning: %s\n", printable(warning, 400).c_str());
  }
}

namespace {

// A rehearsal the user watches: its progress as it runs, then its summary, pictures and end.
RehearsalResult rehearse_in_view(const RehearsalOptions& options, const std::string& board) {
  ProgressPrinter printer;
  auto started = std::chrono::steady_clock::now();
  RehearsalResult result =
      tune::rehearse::rehearse(options, [&](const ProgressState& s) { printer.show(s); });
  printer.finish();
  double real_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  BoardReport report = read_board(options.out_dir);
  std::fputs(write_rehearsal_outputs(options, result, report, board).c_str(), stdout);
  std::fputs(format_rehearsal_end(result, real_seconds, options.out_dir).c_str(), stdout);
  return result;
}

}  // namespace

int rehearse_one(const RehearsalOptions& options) {
  print_warnings(rehearsal_warnings(options));
  prepare_rehearsal_dir(options.out_dir);
  rehearse_in_view(options, rehearsed_board(options, std::nullopt));
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
        options.jobs);
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
  const int shown_draw =
      failed ? failed : static_cast<int>(summarise_draws(predictions, true).typical) + 1;
  const RehearsalOptions shown = drawn_options(options, &twin, shown_draw);
  const RehearsalResult result = rehearse_in_view(shown, rehearsed_board(shown, twin));
  // The shown draw's prediction as its files hold it; a draw that would not finish ends here.
  const Prediction stored = prediction_of(shown, result, &twin, about);
  if (failed) throw ToolError(status_unusable, about + failure);
  predictions[static_cast<size_t>(shown_draw - 1)] = stored;
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
      base.jobs);
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
  CountProgress progress("order of work", boards.size(), "boards' twins rehearsed");
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
      base.jobs, [&](size_t done) { progress.show(done); });
  progress.finish();
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

}  // namespace tune::rehearse
