// What each command does, called as the command line calls it: a farm's report, a board's
// twin predicted, settings compared, the farm's order of work, a seed's rehearsal and its
// warnings. And what only the built tool shows: the status it ends with, and what goes to
// standard output and what to standard error.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>

#include "board_report.hpp"
#include "kit/rehearse_calls.hpp"
#include "rehearsal.hpp"
#include "settings.hpp"
#include "text.hpp"

namespace tune::rehearse {
namespace {

namespace fs = std::filesystem;

// Command lines the tool refuses: status 2, nothing on standard output, and one line on
// standard error that says why (after the warnings of what it read before), naming the help
// to read. Called in-process as main calls the tool, in a directory of boards whose names the
// lines give; the first and the last also as the built tool.
TEST(CommandLine, UsageErrorsEndWithStatus2AndOneLine) {
  TempDir dir;
  testing::write_files(dir / "board", testing::finished_copy());
  testing::write_files(dir / "board/before", testing::finished_copy());
  // A copy whose config/ leads into the board's, and a link to a board beside it.
  for (const char* made : {"board/config", "linked", "rackA/fresh"}) {
    fs::create_directories(dir / made);
  }
  fs::create_directory_symlink("../board/config", dir / "linked/config");
  fs::create_directory_symlink("rackA/fresh", dir / "alias");
  const struct {
    std::string args;
    std::string expected;  // in the error
  } cases[] = {
      // The report's options.
      {"report board --chip 5:2", "--chip takes CHAIN:CHIP"},
      {"report board -j", "unknown option -j"},
      {"report board --out=", "--out needs a value"},
      {"report board --chip 2:1 --chip=2:2", "--chip is given twice"},
      {"report a b --pictures", "--pictures goes with --out"},
      // A board outside the root, a limit that is not a time.
      {"report rackA/fresh other/rackA/fresh --labels-under other",
       "rackA/fresh is not under --labels-under other; see tune-rehearse report --help"},
      {"report rackA/fresh --stale-after 5x", "--stale-after takes a time such as 3600"},
      {"report rackA/fresh --shard 3/2", "--shard takes K/N, shard K of N from 1 to N"},
      // A rehearsal's options.
      {"--seed", "--seed needs a value"},
      {"--seed=x", "--seed takes a number from 0 to 2147483647, not \"x\""},
      {"--settings perfomance",
       "--settings takes settings lines (key=value&...) or a preset (eco, balanced, "
       "performance), not \"perfomance\""},
      {"--chains 1,2", "--chains takes chain numbers from 2,3,4,6,7,8, not \"1\""},
      {"--frobnicate", "unknown option --frobnicate"},
      {"--settings freq_to=8.5e2",
       "warning: --settings: freq_to=8.5e2 is not a whole number; the programs read 8|"
       "--settings: freq_to=8.5e2 (read as 8) is outside the 100 to 1175"},
      {"unexpected", "unexpected \"unexpected\""},
      // A board's twin, settings compared, the order of work.
      {"--draws 4", "--draws goes with --from or --compare"},
      {"--jobs 4", "--jobs goes with --from or --compare"},
      {"--from board --jobs 0", "--jobs"},
      {"--from board --draws 1", "--draws"},
      {"--from board --settings voltage_to=0",
       "--settings: voltage_to=0 is outside the 600 to 1100 a board runs at; not rehearsed"},
      {"--from board --chains 2,3", "--chains cannot go with --from"},
      {"--from board --out board", "--out board is, holds or lies inside the board"},
      {"--from board/before --out board", "--out board is, holds or lies inside the board"},
      {"--from board --out board/twin", "--out board/twin is, holds or lies inside"},
      {"--from linked --out board", "(or where its files lead)"},
      {"--compare eco --settings max_freq=700", "--settings cannot go with --compare"},
      {"--compare eco ''", "--compare needs settings lines, not an empty one"},
      {"--compare ecoo",
       "--compare takes settings lines (key=value&...) or a preset (eco, balanced, "
       "performance), not \"ecoo\""},
      {"--from board --compare eco board/before", "\"board/before\" is a directory"},
      {"--compare eco -- board", "the words after \"--\" are boards"},
      {"--compare --from board", "--compare needs a value"},
      {"--from board board/before --out x", "--out goes with one board"},
      // The commands: each takes its own options and words, and names its own help; the first
      // spelling names the tool's.
      {"run --draws 3", "unknown option --draws; see tune-rehearse run --help"},
      {"run board", "unexpected \"board\"; see tune-rehearse run --help"},
      {"run --out rackA",
       "--out rackA is not empty and not an earlier rehearsal's; see tune-rehearse run --help"},
      {"predict", "predict takes one board directory"},
      {"predict board board/before", "predict takes one board directory"},
      {"predict board --chains 2", "unknown option --chains"},
      {"predict board --out board", "--out board is, holds or lies inside the board"},
      {"rank", "rank needs board directories"},
      {"rank board board/before --out x", "unknown option --out; see tune-rehearse rank --help"},
      {"compare", "compare needs settings lines or presets"},
      {"compare eco --settings eco", "unknown option --settings"},
      {"compare eco --from board --weak 3", "--weak cannot go with --from"},
      {"compare eco board", "\"board\" is a directory"},
      {"compare ecoo", "tune-rehearse: compare takes settings lines (key=value&...) or a preset"},
      {"report", "report needs a board directory; see tune-rehearse report --help"},
      {"report board --version", "unknown option --version"},
      {"settings --markdown --roff", "--markdown or --roff, not both"},
      {"settings board", "unexpected \"board\""},
      {"--draws 5", "; see tune-rehearse --help"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const bool as_process = &c == &cases[0] || &c == &std::end(cases)[-1];
    const testing::Outcome run =
        as_process ? run_tune_rehearse(dir.path(), c.args) : call_tune_rehearse(dir.path(), c.args);
    EXPECT_EQ(run.status, 2) << run.errors;
    testing::expect_every_part(c.expected, run);
    EXPECT_EQ(run.output, "");
    size_t said = 0;
    for (const std::string& line : split_lines(run.errors)) {
      said += !line.starts_with("tune-rehearse: warning: ");
    }
    EXPECT_EQ(said, 1u) << run.errors;
  }
}

// --version and --help answer on standard output, and the tool ends well: the tool's help
// names every command, each command's its own options and no other command's; settings
// prints every declared setting with its default.
TEST(CommandLine, VersionAndHelpAnswerOnStandardOutput) {
  TempDir dir;
  const struct {
    std::string args;
    std::string expected;            // "|"-separated parts of the answer
    std::vector<std::string> lacks;  // options another command takes
  } cases[] = {
      {"--version", "tune-rehearse " TUNE_VERSION "\n", {}},
      {"--help",
       "Exit status:|  run |  predict BOARD |  compare LINE... |  rank BOARD... |"
       "  report DIR... |  settings |--from BOARD BOARD...",
       {}},
      {"run --help",
       "Usage: tune-rehearse run [OPTIONS]|--seed N|--chains LIST|--out DIR",
       {"--draws", "--from", "--json"}},
      {"predict --help",
       "Usage: tune-rehearse predict BOARD [OPTIONS]|--draws K|--jobs N",
       {"--chains", "--from", "--compare"}},
      {"compare -h",
       "Usage: tune-rehearse compare LINE... [OPTIONS]|--from BOARD|--weak N",
       {"--settings", "--metrics"}},
      {"rank --help",
       "Usage: tune-rehearse rank BOARD... [OPTIONS]|--settings LINE",
       {"--out", "--chains"}},
      {"report a --help",
       "Usage: tune-rehearse report DIR... [OPTIONS]|--out OUTDIR|--boards LIST",
       {"--seed", "--draws"}},
      {"settings --help", "Usage: tune-rehearse settings [OPTIONS]|--markdown|--roff", {"--seed"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const testing::Outcome run = &c == &cases[0] ? run_tune_rehearse(dir.path(), c.args)
                                                 : call_tune_rehearse(dir.path(), c.args);
    EXPECT_EQ(run.status, 0) << run.errors;
    testing::expect_every_part(c.expected, run);
    for (const std::string& option : c.lacks) {
      EXPECT_EQ(run.output.find("  " + option + " "), std::string::npos) << option;
    }
    EXPECT_EQ(run.errors, "");
  }
  // The settings as the tool prints them from their declarations.
  const testing::Outcome settings = call_tune_rehearse(dir.path(), "settings");
  for (const SettingDeclaration& setting : setting_declarations) {
    EXPECT_NE(settings.output.find(std::string(setting.key) + "=" +
                                   std::to_string(setting.default_value) + " ("),
              std::string::npos)
        << setting.key;
  }
}

TEST(Report, AFarmGivesOneLinePerBoardAndItsTotals) {
  TempDir farm;
  RehearsalOptions two;
  two.seed = 2;
  rehearse_into(farm / "a");
  rehearse_into(farm / "b", two);
  fs::create_directory(farm / "c");
  fs::permissions(farm / "c", fs::perms(0));
  // The tool's streams: a line a board and the totals on standard output, the board that
  // cannot be read on standard error, as any failure.
  testing::Outcome text = call_tune_rehearse(farm.path(), "report a b c", true);
  fs::permissions(farm / "c", fs::perms(0755));
  EXPECT_EQ(text.status, 3) << text.errors;
  const std::vector<std::string> lines = split_lines(text.output);
  ASSERT_EQ(lines.size(), 3u) << text.output;
  EXPECT_TRUE(lines[0].starts_with("a: 6 chains, rate ")) << lines[0];
  EXPECT_EQ(text.errors, "tune-rehearse: c: unusable: Permission denied\n");
  EXPECT_TRUE(lines[2].starts_with(
      "farm: 3 boards (1 unusable, 0 with findings), tunings 2 "
      "finished, 0 failed, 0 interrupted, 0 in progress, 0 not run, 0 unknown; "
      "12 chains"))
      << lines[2];
  EXPECT_FALSE(fs::exists(farm / "a/heat-map.svg"));  // nothing drawn unless asked

  const testing::WorkingDir in_farm(farm.path());
  auto report = [](const std::vector<std::string>& boards, const ReportRequest& request) {
    return call_command([&] { return report_boards(boards, request); });
  };
  testing::Outcome json = report({"a", "b"}, Asked().json().out("pictures"));
  EXPECT_EQ(json.status, 0) << json.errors;
  cJSON* root = cJSON_Parse(json.output.c_str());
  ASSERT_NE(root, nullptr) << json.output;
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(root, "boards")), 2);
  EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(root, "totals"), "chains")->valueint, 12);
  cJSON_Delete(root);
  // --out draws the farm's overview; each board's heat map only with --pictures.
  EXPECT_TRUE(fs::exists(farm / "pictures/farm.svg"));
  EXPECT_FALSE(fs::exists(farm / "pictures/a-heat-map.svg"));
  EXPECT_EQ(report({"a", "b"}, Asked().out("pictures").pictures()).status, 0);
  EXPECT_TRUE(fs::exists(farm / "pictures/a-heat-map.svg"));
  EXPECT_TRUE(fs::exists(farm / "pictures/b-heat-map.svg"));

  // The overview: a row a board in the order given, a cell a chain, and the marks of a
  // stale copy of a stopped miner, a failed tuning and a board that cannot be read.
  RehearsalOptions broken;
  broken.files["bmminer.conf"] = "{";
  rehearse_into(farm / "f", broken);
  fs::remove(farm / (std::string("b/") + rehearsal_marker));  // a copy: its age counts
  spit(farm / "b/copied-at", std::to_string(std::time(nullptr) - 86400) + "\n");
  fs::last_write_time(farm / "b/tmp/chip-rates",
                      fs::file_time_type::clock::now() - std::chrono::hours(26));
  testing::Outcome drawn = report({"a", "b", "f", "gone"}, Asked().out("overview"));
  EXPECT_EQ(drawn.status, 3) << drawn.errors;
  EXPECT_NE(drawn.output.find("picture: overview/farm.svg\n"), std::string::npos) << drawn.output;
  const std::string overview = slurp(farm / "overview/farm.svg");
  size_t at = 0;
  for (const char* part :
       {">a<", ">b<", ">stale stopped<", ">f<", ">failed<", ">gone<", ">unusable<"}) {
    const size_t found = overview.find(part, at);
    ASSERT_NE(found, std::string::npos) << part << " after " << at;
    at = found;
  }
  for (const char* board : {"a", "b"}) {
    EXPECT_EQ(count(overview, std::string("<title>") + board + " chain "), 6u) << board;
  }
  EXPECT_EQ(overview.find(">stale", overview.find(">f<")), std::string::npos);

  // For Prometheus: a board that cannot be read is still a series, and the file appears
  // whole under its name, with nothing left beside it.
  fs::create_directory(farm / "metrics");
  testing::Outcome metrics = report({"a", "b", "gone"}, Asked().metrics("metrics/farm.prom"));
  EXPECT_EQ(metrics.status, 3) << metrics.errors;
  std::string exposition = slurp(farm / "metrics/farm.prom");
  for (const char* sample : {"tune_board_readable{board=\"gone\"} 0\n",
                             "tune_board_last_tuning{board=\"a\",outcome=\"finished\"} 1\n",
                             "tune_chain_frequency_hertz{board=\"b\",chain=\"8\"} "}) {
    EXPECT_NE(exposition.find(sample), std::string::npos) << sample << exposition;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(farm / "metrics"), {}), 1);
  // An entry the report cannot take silences none of the others: a link beside a board (the
  // board keeps its name, in whichever order they come), a board given twice, and two names
  // that would print alike are each named, the rest written.
  fs::create_directory_symlink("a", farm / "0link");
  for (const char* name : {"c\\x0ad", "c\nd"}) fs::create_directory(farm / name);
  metrics =
      report({"0link", "a", "b", "b", "c\\x0ad", "c\nd"}, Asked().metrics("metrics/farm.prom"));
  EXPECT_EQ(metrics.status, 3) << metrics.errors;
  for (const char* line :
       {"0link: unusable: the same board as a\n", "b: unusable: the same board as b\n",
        "c\\x0ad: unusable: would be labelled c\\x0ad as c\\x0ad is\n"}) {
    EXPECT_NE(metrics.errors.find(line), std::string::npos) << line << metrics.errors;
  }
  exposition = slurp(farm / "metrics/farm.prom");
  EXPECT_NE(exposition.find("tune_board_readable{board=\"0link\"} 0\n"), std::string::npos);
  for (const char* board : {"a", "b", "c\\\\x0ad"}) {
    EXPECT_EQ(count(exposition, std::string("tune_board_readable{board=\"") + board + "\"}"), 1u)
        << board;
  }
  EXPECT_NE(exposition.find("tune_board_last_tuning{board=\"a\",outcome=\"finished\"} 1\n"),
            std::string::npos);
  // One that cannot be written fails before any report is out: the tool's one line.
  testing::Outcome refused =
      call_tune_rehearse(farm.path(), "report a --metrics metrics/farm.prom", true);
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(refused.output, "");
  EXPECT_EQ(refused.errors,
            "tune-rehearse: metrics/farm.prom: cannot be written: Permission denied\n");
  // Through a link there, the directory that matters is its target's.
  fs::create_directory(farm / "open");
  fs::permissions(farm / "open", fs::perms::all);
  fs::create_symlink("../open/farm.prom", farm / "metrics/link.prom");
  EXPECT_EQ(call_tune_rehearse(farm.path(), "report a --metrics metrics/link.prom", true).status,
            0);
  EXPECT_TRUE(fs::is_symlink(farm / "metrics/link.prom") &&
              fs::is_regular_file(farm / "open/farm.prom"));
  const std::string under_file = std::string("a/") + rehearsal_marker + "/farm.prom";
  EXPECT_EQ(report({"a"}, Asked().metrics(under_file)).errors,
            "tune-rehearse: " + under_file + ": cannot be written: Not a directory\n");
}

TEST(Rehearsal, ABoardsTwinIsRehearsedFromItsFilesOrRefusedWithWhatIsMissing) {
  TempDir dir;
  rehearse_into(dir / "board");  // its before/ is a new board's copy
  fs::create_directories(dir / "empty");
  // A copy whose bmminer.conf the programs cannot read: its tuning fails at once.
  fs::copy(dir / "board/before", dir / "bad-json", fs::copy_options::recursive);
  spit(dir / "bad-json/config/bmminer.conf", "{\"pools\": [],}\n");
  // A copy whose own settings line a rehearsal does not run.
  fs::copy(dir / "board/before", dir / "bad-settings", fs::copy_options::recursive);
  spit(dir / "bad-settings/config/autoTune.conf", "freq_to=700\nfreq_to=2000\n");
  // No rates; and rates, but a config.conf of nothing the programs read.
  testing::write_files(dir.path(), {{"no-rates/config.conf", "bitmain-freq1=650\n"},
                                    {"no-rates/chip-rates", ""},
                                    {"no-chains/config.conf", "\x01\x02 not a chain line\n"},
                                    {"no-chains/chip-rates", slurp(dir / "board/tmp/chip-rates")}});
  // Each line called in-process as main calls the tool.
  const struct {
    std::string args;
    int status;
    std::string expected;
  } cases[] = {
      {"--from board/before --out twin", 0,
       "the board in board/before, today -> predicted by its twin (simulated chip model; the "
       "median of 3 draws, with the 80 % interval):|measured rate     27|gain              +"},
      {"--from board/before --out twin-5 --draws 5", 0, "the median of 5 draws"},
      // The tuned board's next tuning: a change inside the noise is not told.
      {"--from board --out twin-tuned --seed 3", 0,
       "gain              no gain that the twin can tell, interval -"},
      {"--from bad-settings", 3,
       "bad-settings/autoTune.conf: freq_to=2000 is outside the 100 to 1175 MHz of the chips' "
       "frequency ladder; not rehearsed (--settings LINE rehearses others)"},
      {"--from bad-settings --out bad-settings-eco --settings eco", 0, "gain              +"},
      {"--from gone", 3, "gone: No such file or directory"},
      {"run --out board/chain-tuner.log", 3,
       "board/chain-tuner.log: exists and is not a directory"},
      // A board path that cannot be resolved is read, and fails for its own reason.
      {"--from " + std::string(300, 'x'), 3, "File name too long"},
      {"--from no-rates", 3, "no-rates: no chip rates (chip-rates lists no chip)"},
      {"--from empty", 3, "empty: no chip-rates file: the twin is fitted from the chip rates"},
      {"--from no-chains", 3, "no-chains: config.conf gives chain 2 no frequency and voltage"},
      {"--from bad-json --out bad-json-twin", 3,
       "bad-json: 1 finding in the files its twin is fitted to|bad-json: no prediction: its "
       "tuning would not finish (failed): its log ended with \"Can't read json\""},
      // Settings compared: on the seed's board, and on a twin.
      {"--compare balanced 'freq_to=700&restart_count=3' ideal_percent=97 --out compared", 0,
       "settings compared on the simulated board of seed 1|today|1    balanced|"
       "2    freq_to=700&restart…|warning: --compare line 2 (freq_to=700&restart_count=3): "
       "unknown key \"restart_count\"|compared/compare.svg"},
      // A line a rehearsal does not run is shown refused, and not rehearsed.
      {"--compare eco voltage_to=0 --out refused", 3,
       "2    voltage_to=0         refused: voltage_to=0 is outside the 600 to 1100 a board runs "
       "at\n|tune-rehearse: --compare line 2 (voltage_to=0): refused: voltage_to=0 is outside|"
       "rehearsals: refused/line-1; picture"},
      {"--from board/before --compare eco --out twin-compared", 0,
       "settings compared on the twin of the board in board/before|1    eco"},
      // The farm's order of work: the new board gains more than the tuned one.
      {"--from board bad-settings", 3,
       "1 board by the lower end|1 more could not be predicted|"
       "tune-rehearse: bad-settings/autoTune.conf: freq_to=2000 is outside"},
      {"--from board board/before no-rates", 3,
       "board/before\n|board\n|2 boards by the lower end|1 more could not be|"
       "tune-rehearse: no-rates: no chip rates"},
      {"--from board board/before --settings eco", 0,
       "settings: max_freq=725&freq_to=750&voltage_from=860&voltage_to=900"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    testing::Outcome run = call_tune_rehearse(dir.path(), c.args);
    EXPECT_EQ(run.status, c.status) << run.errors;
    testing::expect_every_part(c.expected, run);
  }
  // The prediction is kept beside the rehearsal's summary, and the twin's tuning changed the
  // board: its chains no longer run at the new board's 650 MHz.
  EXPECT_NE(slurp(dir / "twin/prediction.txt").find("chips changed"), std::string::npos);
  EXPECT_NE(read_board(dir / "twin").chains[0].freq, 650);
  EXPECT_NE(slurp(dir / "twin/timeline.svg").find("the twin of the board in board/before"),
            std::string::npos);
  EXPECT_NE(slurp(dir / "twin/prediction.json").find("\"predicted\":{\"measured_rate\":"),
            std::string::npos);
  // The balanced preset is the defaults written out: its tuning is that of a line that leaves
  // every tuning setting at its default, draw for draw.
  EXPECT_EQ(slurp(dir / "compared/line-1/tmp/chip-rates"),
            slurp(dir / "compared/line-3/tmp/chip-rates"));
  EXPECT_EQ(slurp(dir / "compared/line-1/config/config.conf"),
            slurp(dir / "compared/line-3/config/config.conf"));
  EXPECT_NE(slurp(dir / "compared/line-2/config/config.conf"),
            slurp(dir / "compared/line-1/config/config.conf"));
  EXPECT_TRUE(slurp(dir / "compared/compare.svg").ends_with("</svg>\n"));
  // The new board comes first in the order of work, the tuned one second.
  testing::Outcome ranked = call_tune_rehearse(dir.path(), "rank board board/before");
  const size_t below_header = ranked.output.find('\n');
  EXPECT_LT(ranked.output.find("board/before\n"), ranked.output.find(" board\n", below_header))
      << ranked.output;
  // The first spelling gives what the command it stands for gives.
  const testing::Outcome first = call_tune_rehearse(dir.path(), "--from board board/before");
  EXPECT_EQ(first.status, 0) << first.errors;
  EXPECT_EQ(first.output, ranked.output);
  testing::expect_every_part("   board/before\n|   board\n|2 boards by the lower end", first);
  EXPECT_NE(slurp(dir / "twin-tuned/prediction.json").find("\"gain_told\":false,\"gain\":null,"),
            std::string::npos);
  EXPECT_TRUE(fs::exists(dir / "refused/line-1"));
  EXPECT_FALSE(fs::exists(dir / "refused/line-2"));
  // A shorter comparison into the same directory leaves no line of the longer one behind.
  EXPECT_EQ(call_tune_rehearse(dir.path(), "compare eco --out compared").status, 0);
  EXPECT_FALSE(fs::exists(dir / "compared/line-2"));
  // Nor does a comparison leave an earlier prediction beside it, or the other way round.
  EXPECT_EQ(call_tune_rehearse(dir.path(), "compare eco --out twin").status, 0);
  EXPECT_FALSE(fs::exists(dir / "twin/prediction.txt"));
  EXPECT_EQ(call_tune_rehearse(dir.path(), "predict board --out compared").status, 0);
  EXPECT_FALSE(fs::exists(dir / "compared/compare.svg"));
  EXPECT_FALSE(fs::exists(dir / "compared/line-1"));
}

TEST(RehearsalOptions, AreCheckedAndNamed) {
  TempDir dir;
  const testing::Outcome run = call_tune_rehearse(
      dir.path(),
      "run --seed=5 --out=run --settings 'restart_count=3&restarts_count=abc&voltage_from=950' "
      "--weak 300 --dead 50 --missing 50");
  EXPECT_EQ(run.status, 0) << run.errors;
  testing::expect_every_part(
      "unknown key \"restart_count\"|restarts_count=abc is not a whole number; the programs "
      "read 0|voltage_to 940 is below voltage_from 950|ask for 400 chips of 378",
      run);
  EXPECT_TRUE(fs::exists(dir / "run/heat-map.svg"));
}

}  // namespace
}  // namespace tune::rehearse
