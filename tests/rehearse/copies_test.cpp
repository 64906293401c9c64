// A board's copied files as the report reads them: a flat copy that reads as the rehearsal it
// was copied from, every bad copy with its status and finding, and a copy's age and what it
// cannot tell shown as such rather than guessed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>

#include "board_report.hpp"
#include "chip_power.hpp"
#include "copy_times.hpp"
#include "kit/rehearse_calls.hpp"
#include "report_text.hpp"
#include "text.hpp"

namespace tune::rehearse {
namespace {

namespace fs = std::filesystem;

// Sets a file's change time to `at`, seconds since the epoch, as a copy keeps the board's.
void set_changed(const std::string& path, std::time_t at) {
  fs::last_write_time(
      path, std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(at)));
}

TEST(Report, ACopiedBoardDirectoryReadsAsTheRehearsal) {
  TempDir sandbox, flat;
  rehearse_into(sandbox.path());
  testing::copy_flat(sandbox.path(), flat.path());
  BoardReport from_sandbox = read_board(sandbox.path());
  BoardReport from_copy = read_board(flat.path());
  EXPECT_FALSE(from_copy.rehearsal);
  EXPECT_EQ(from_copy.chains[0].measured_rate, from_sandbox.chains[0].measured_rate);
  EXPECT_EQ(from_copy.findings.size(), 0u);
  // Without the record the history comes from the logs: only red lowerings, and the
  // chips' final frequencies.
  EXPECT_FALSE(from_copy.history_recorded);
  // The chip model's efficiency is a rehearsal's figure only.
  std::string summary = format_summary(from_copy, chip_model_power(from_copy));
  EXPECT_EQ(summary.find("efficiency"), std::string::npos) << summary;
  EXPECT_NE(format_summary(from_sandbox, chip_model_power(from_sandbox)).find("efficiency"),
            std::string::npos);
}

TEST(Report, EveryBadBoardGivesItsStatusAndFinding) {
  const std::string good_rates = "2:1:74.71\n2:2:74.71\n";
  // A copy stamped now of a board whose yellow-fixer last wrote its log `ago` seconds before.
  auto yellow_fixer_copied = [](const std::string& d, std::time_t ago) {
    const std::time_t now = std::time(nullptr);
    spit(d + "/copied-at", std::to_string(now) + "\n");
    spit(d + "/tune-session.state", "tuning=1\nstage=yellow-fixer\n");
    spit(d + "/auto-tune", "2027-01-01 00:00:00 Fix yellow\n");
    set_changed(d + "/auto-tune", now - ago);
  };
  const struct Case {
    const char* what;
    std::function<void(const std::string& dir)> arrange;
    ReportRequest request;
    int status;
    std::string expected;  // in the output or the error, with DIR for the board directory
    bool as_nobody = false;
    std::string unopened = "";  // what the report must not open, under DIR
  } cases[] = {
      {"a good board", [](const std::string&) {}, Asked(), 0, "findings: none"},
      {"no such directory", [](const std::string& d) { fs::remove_all(d); }, Asked(), 3,
       "DIR: No such file or directory"},
      {"a file, not a directory",
       [](const std::string& d) {
         fs::remove_all(d);
         spit(d, "x");
       },
       Asked(), 3, "DIR: Not a directory"},
      {"an unreadable directory", [](const std::string& d) { fs::permissions(d, fs::perms(0)); },
       Asked(), 3, "DIR: Permission denied", true},
      {"a directory that can be listed but not entered",
       [](const std::string& d) { fs::permissions(d, fs::perms(0644)); }, Asked(), 3,
       "DIR: Permission denied", true},
      {"an unreadable chip rates file",
       [](const std::string& d) { fs::permissions(d + "/chip-rates", fs::perms(0)); }, Asked(), 3,
       "DIR/chip-rates: Permission denied", true},
      {"unreadable kept files: the board's past, findings",
       [](const std::string& d) {
         fs::create_directories(d + "/tune-backup/before");
         fs::create_directories(d + "/tune-logs");
         spit(d + "/tune-backup/before/config.conf", "bitmain-freq1=650\n");
         fs::permissions(d + "/tune-backup/before/config.conf", fs::perms(0));
         fs::permissions(d + "/tune-logs", fs::perms(0));
       },
       Asked(), 1,
       "DIR/tune-backup/before: cannot be read (config.conf: Permission denied); the set is "
       "left out|DIR/tune-logs: cannot be read (Permission denied); its tunings are left out",
       true},
      {"a pipe for the chip rates",
       [](const std::string& d) {
         fs::remove(d + "/chip-rates");
         mkfifo((d + "/chip-rates").c_str(), 0644);
       },
       Asked(), 3, "DIR/chip-rates: not a regular file in the copy"},
      {"chip rates linked out of the copy, to the collecting machine's files",
       [](const std::string& d) {
         fs::remove(d + "/chip-rates");
         fs::create_symlink("/etc/passwd", d + "/chip-rates");
       },
       Asked(), 3, "DIR/chip-rates: not a regular file in the copy"},
      {"overrides linked to a pipe outside the copy: refused unopened",
       [](const std::string& d) {
         mkfifo((d + "/../pipe").c_str(), 0644);
         fs::create_symlink("../pipe", d + "/manual_freqs.txt");
       },
       Asked(), 3, "DIR/manual_freqs.txt: not a regular file in the copy", false, "/../pipe"},
      {"kept logs linked to a directory outside the copy: not listed",
       [](const std::string& d) {
         fs::create_directory(d + "/../logs");
         fs::create_directory_symlink("../logs", d + "/tune-logs");
       },
       Asked(), 1, "DIR/tune-logs: cannot be read (not a directory in the copy)", false,
       "/../logs"},
      {"kept logs linked inside the copy read, linked out of it a finding",
       [](const std::string& d) {
         fs::create_directories(d + "/tune-logs");
         spit(d + "/kept.log", "2027-01-01 00:00:00 Auto tune is done, exit\n");
         fs::create_symlink("../kept.log", d + "/tune-logs/0001-1-chain-tuner.log");
         spit(d + "/../outside.log", "2027-01-01 00:00:00 Fix yellow\n");
         fs::create_symlink("../../outside.log", d + "/tune-logs/0001-2-yellow-fixer.log");
       },
       Asked(), 1,
       "(0001-1-chain-tuner.log, 0001-2-yellow-fixer.log)|DIR/tune-logs/0001-2-yellow-fixer.log: "
       "cannot be read (not a regular file in the copy)",
       false, "/../outside.log"},
      {"config.conf linked out through a directory of the copy",
       [](const std::string& d) {
         fs::create_directories(d + "/../elsewhere");
         fs::rename(d + "/config.conf", d + "/../elsewhere/config.conf");
         fs::create_directory_symlink("../elsewhere", d + "/config");
       },
       Asked(), 3, "DIR/config/config.conf: not a regular file in the copy"},
      {"a miner that stopped writing its rates five hours before a fresh copy",
       [](const std::string& d) {
         const std::time_t now = std::time(nullptr);
         spit(d + "/copied-at", std::to_string(now) + "\n");
         set_changed(d + "/chip-rates", now - 5 * 3600);
       },
       Asked(), 1, "DIR/chip-rates: rates 5:00:00 old at copy time"},
      {"rates an hour older than the log a program went on writing, without a stamp",
       [](const std::string& d) { set_changed(d + "/chip-rates", std::time(nullptr) - 3600); },
       Asked(), 1, "DIR/chip-rates: rates |older than the log"},
      {"links that stay inside the copy, as rsync -a keeps them",
       [](const std::string& d) {
         fs::create_directories(d + "/kept");
         fs::rename(d + "/chip-rates", d + "/kept/chip-rates");
         fs::create_symlink("kept/chip-rates", d + "/chip-rates");
       },
       Asked(), 0, "findings: none"},
      {"an output that cannot be made", [](const std::string&) {}, Asked().out("/proc/x"), 3,
       "/proc/x: cannot be made"},
      {"rates no chip gives",
       [&](const std::string& d) {
         spit(d + "/chip-rates", good_rates + "2:3:-5\n2:4:nan\n2:5:inf\n2:6:1e40\n2:7:fast\n");
       },
       Asked(), 1,
       "chip-rates:3: rate \"-5\" is negative|chip-rates:4: rate \"nan\" is not a finite "
       "number|chip-rates:6: rate \"1e40\" is beyond any real chip|chip-rates:7: rate \"fast\" is "
       "not a number; the programs read 0"},
      {"overrides outside the tables or selecting nothing",
       [](const std::string& d) {
         spit(d + "/manual_freqs.txt", "2:1:70\n9:1:5\n2:2:-3\n2:70:3\n");
       },
       Asked(), 1,
       "manual_freqs.txt:2: chain 9 is no chain slot's|manual_freqs.txt:3: step -3 selects no "
       "frequency|manual_freqs.txt:4: \"2:70:3\": chain field 1 to 16 and chip 1 to 63"},
      {"chain lines the programs skip or no board runs",
       [](const std::string& d) {
         spit(d + "/config.conf",
              "bitmain-freq1=650\nbitmain-voltage1=910\nbitmain-freq9=800\nbitmain-voltage2=-5\n");
       },
       Asked(), 1,
       "config.conf:3: \"bitmain-freq9=800\": no chain digit 1 to 6|config.conf:4: chain "
       "voltage -5 is outside"},
      {"a config.conf of the miner's own lines, no chain's",
       [](const std::string& d) { spit(d + "/config.conf", "api-listen=true\n"); }, Asked(), 1,
       "config.conf: no chain's frequency line"},
      {"CRLF line ends are one finding per file",
       [&](const std::string& d) { spit(d + "/chip-rates", "2:1:74.71\r\n2:2:74.71\r\n"); },
       Asked(), 1, "chip-rates:1: lines end in CR LF|findings (1)"},
      {"a tuning at work when copied: its log written a minute before the stamp",
       [&](const std::string& d) { yellow_fixer_copied(d, 60); }, Asked(), 0,
       "last tuning: in progress|findings: none"},
      {"the same tuning's log an hour older than the stamp: cut, not at work",
       [&](const std::string& d) { yellow_fixer_copied(d, 3600); }, Asked(), 1,
       "last tuning: interrupted|tuning 1 is yellow-fixer"},
      {"an empty log", [](const std::string& d) { spit(d + "/auto-tune", ""); }, Asked(), 1,
       "auto-tune: empty"},
      {"no log and nothing kept: a board not yet tuned, no finding",
       [](const std::string& d) { fs::remove(d + "/auto-tune"); }, Asked(), 0,
       "last tuning: not run|findings: none"},
      {"an empty directory",
       [](const std::string& d) {
         for (const char* f : {"/chip-rates", "/auto-tune", "/config.conf"}) fs::remove(d + f);
       },
       Asked(), 1, "last tuning: unknown|DIR: no board's files here"},
      {"a log line without a stamp",
       [](const std::string& d) {
         spit(d + "/auto-tune", "2027-01-01 00:00:00 Fix yellow\n2027-01-01 00:00:01 x\nstray\n");
       },
       Asked(), 1, "auto-tune:3: no time stamp"},
      {"a chip's history from the log",
       [](const std::string& d) {
         spit(d + "/auto-tune",
              "2027-01-01 00:00:00 Fix yellow\n"
              "2027-01-01 00:20:00 Chip 2 on chain 2 is red, new freq is 625\n"
              "2027-01-01 00:40:00 Chip 2 on chain 2 still red after 3 restarts with low "
              "hashrate 1.00 in a row, decrease freq to 300\n"
              "2027-01-01 00:40:00 Chip 2 on chain 2 is red, new freq is 300\n"
              "2027-01-01 01:00:00 Number of checks is 15, quit\n");
         spit(d + "/manual_freqs.txt", "2:2:8\n");
       },
       Asked().chip(2, 2), 0,
       "2027-01-01 00:20:00     ? ->  625 MHz  red|2027-01-01 00:40:00   625 ->  300 MHz  "
       "forced to 300 MHz"},
      {"a chip of a board with findings: the chip, then why the status is 1",
       [](const std::string& d) { spit(d + "/chip-rates", "2:1:74.71\n2:2:-1\n"); },
       Asked().chip(2, 1), 1, "chain 2 chip 1 |findings (1):|rate \"-1\" is negative"},
      {"a chip as JSON", [](const std::string&) {}, Asked().json().chip(2, 2), 0,
       "{\"chain\":2,\"chip\":2,\"freq\":650,\"override_step\":0,"},
      {"the folder of a farm's boards",
       [](const std::string& d) {
         fs::create_directory(d + "/b1");
         for (const char* f : {"/chip-rates", "/auto-tune", "/config.conf"}) {
           fs::rename(d + f, d + "/b1" + f);
         }
       },
       Asked(), 1,
       "last tuning: unknown|of its directories hold some: report them with \"tune-rehearse "
       "report DIR/*\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir work;
    const std::string dir = work / "board";
    testing::write_files(dir, testing::finished_copy());
    c.arrange(dir);
    const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_TRUE(c.unopened.empty() ||
                inotify_add_watch(opens, (dir + c.unopened).c_str(), IN_OPEN) >= 0);
    testing::Outcome run =
        call_command([&] { return report_boards({dir}, c.request); }, c.as_nobody);
    char event[4096];
    EXPECT_LT(read(opens, event, sizeof event), 0) << "opened: DIR" << c.unopened;
    close(opens);
    EXPECT_EQ(run.status, c.status) << run.output << run.errors;
    testing::expect_every_part(std::regex_replace(c.expected, std::regex("DIR"), dir), run);
    if (c.status >= 2) {
      EXPECT_EQ(run.output, "");  // a failure comes before any table
      EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << run.errors;
    }
  }
}

// The metrics' sample lines, sorted: the same set whatever order they were written in.
std::vector<std::string> sorted_samples(const std::string& text) {
  std::vector<std::string> samples;
  for (const std::string& line : split_lines(text)) {
    if (!line.starts_with("#")) samples.push_back(line);
  }
  std::sort(samples.begin(), samples.end());
  return samples;
}

// What a farm's copies cannot tell stays out of the metrics, how old each is shows, and a
// board keeps its label whatever else is reported with it.
// The lists of findings in the operator's guide and the manual page name each finding of a
// copy's times in its own words (the manual page's lines joined).
TEST(Report, TheDocsNameEveryFindingOfACopysTimes) {
  for (const char* doc : {"docs/operator.md", "man/tune-rehearse.1"}) {
    std::string text = slurp(std::string(TUNE_SOURCE_DIR) + "/" + doc);
    ASSERT_FALSE(text.empty()) << doc;
    std::replace(text.begin(), text.end(), '\n', ' ');
    for (const TimeCheck& check : time_checks()) {
      for (const char* says : check.says) {
        if (says == nullptr) continue;
        EXPECT_NE(text.find(says), std::string::npos) << doc << ": " << says;
      }
    }
  }
}

TEST(ReportMetrics, ACopysAgeAndWhatItCannotTellAreShownNotGuessed) {
  TempDir farm;
  TempDir rehearsal;
  rehearse_into(rehearsal.path());
  const long long now = std::time(nullptr);
  const struct {
    const char* board;  // under rackA/ or rackB/
    std::function<void(const std::string& dir)> arrange;
    std::vector<std::string> present;  // samples (from the board's label on) that are there
    std::vector<std::string> absent;   // and that are not
    const char* finding;               // in the text report, "" for none
  } cases[] = {
      {"rackA/fresh",
       [&](const std::string& dir) { spit(dir + "/copied-at", std::to_string(now) + "\n"); },
       {"tune_board_copy_timestamp_seconds{board=\"rackA/fresh\"} " + std::to_string(now) + "\n",
        "tune_board_measured_rate{board=\"rackA/fresh\"}"},
       {},
       ""},
      {"rackA/dead",
       [&](const std::string& dir) { spit(dir + "/copied-at", std::to_string(now - 7200) + "\n"); },
       {"tune_board_copy_timestamp_seconds{board=\"rackA/dead\"} " + std::to_string(now - 7200)},
       {},
       "rackA/dead: copied 2:00:0"},  // the finding names the directory
      {"rackB/old-files",             // no stamp: the files' own times, set back three hours
       [&](const std::string& dir) {
         for (const char* file : {"/chip-rates", "/auto-tune"}) {
           struct timespec times[2] = {{now - 10800, 0}, {now - 10800, 0}};
           ASSERT_EQ(utimensat(AT_FDCWD, (dir + file).c_str(), times, 0), 0);
         }
       },
       {"tune_board_copy_timestamp_seconds{board=\"rackB/old-files\"} " +
        std::to_string(now - 10800)},
       {},
       "ago (file times), more than 1:00:00"},
      {"rackB/bad-stamp",
       [&](const std::string& dir) { spit(dir + "/copied-at", "yesterday\n"); },
       {"tune_board_copy_timestamp_seconds{board=\"rackB/bad-stamp\"}"},
       {},
       "copied-at:1: \"yesterday\\x0a\" is not a time in seconds since the epoch"},
      {"rackB/no-rates",  // chip-rates a dangling link: rates unknown, not zero
       [&](const std::string& dir) {
         fs::remove(dir + "/chip-rates");
         fs::create_symlink("/nowhere/chip-rates", dir + "/chip-rates");
       },
       {"tune_chain_frequency_hertz{board=\"rackB/no-rates\",chain=\"2\"}",
        "tune_chain_voltage_setting{board=\"rackB/no-rates\",chain=\"8\"}"},
       {"tune_board_measured_rate{board=\"rackB/no-rates\"}",
        "tune_board_ideal_rate{board=\"rackB/no-rates\"}",
        "tune_board_chips{board=\"rackB/no-rates\"",
        "tune_chain_measured_rate{board=\"rackB/no-rates\""},
       "rackB/no-rates: 6 chains, rates unknown"},
      {"rackA/half",  // a collection that failed halfway: /config without /tmp's files
       [&](const std::string& dir) {
         fs::remove(dir + "/chip-rates");
         fs::remove(dir + "/auto-tune");
         spit(dir + "/tune-session.state", "tuning=1\nstage=chain-tuner\n");
       },
       {"tune_board_last_tuning{board=\"rackA/half\",outcome=\"unknown\"} 1\n",
        "tune_board_last_tuning{board=\"rackA/half\",outcome=\"interrupted\"} 0\n"},
       {},
       "rackA/half: incomplete copy: no chip-rates, no auto-tune"},
      {"rackB/empty-rates",  // a chip-rates that lists no chip: rates unknown, not zero
       [&](const std::string& dir) { spit(dir + "/chip-rates", ""); },
       {"tune_chain_frequency_hertz{board=\"rackB/empty-rates\",chain=\"2\"}"},
       {"tune_board_measured_rate{board=\"rackB/empty-rates\"}",
        "tune_board_chips{board=\"rackB/empty-rates\""},
       "chip-rates: lists no chip"},
      {"rackA/ahead",  // a stamp from a clock a day ahead: the files' times instead
       [&](const std::string& dir) {
         spit(dir + "/copied-at", std::to_string(now + 86400) + "\n");
       },
       {"tune_board_copy_timestamp_seconds{board=\"rackA/ahead\"} "},
       {"tune_board_copy_timestamp_seconds{board=\"rackA/ahead\"} " + std::to_string(now + 86400)},
       "ahead of this machine's clock; the files' times are used"},
      {"rackA/lost-chains",  // chains 7 and 8 gone from chip-rates since the tuning
       [&](const std::string& dir) {
         std::istringstream rates(slurp(dir + "/chip-rates"));
         std::string kept;
         for (std::string line; std::getline(rates, line);) {
           if (!line.starts_with("7:") && !line.starts_with("8:")) kept += line + "\n";
         }
         spit(dir + "/chip-rates", kept);
       },
       {"tune_chain_present{board=\"rackA/lost-chains\",chain=\"8\"} 0\n",
        "tune_chain_present{board=\"rackA/lost-chains\",chain=\"2\"} 1\n",
        "tune_chain_measured_rate{board=\"rackA/lost-chains\",chain=\"7\"} 0\n",
        "tune_chain_ideal_rate{board=\"rackA/lost-chains\",chain=\"7\"} "},
       {},
       "chip-rates: chain 8 lists no chip, but chain-tuner's log shows it hashing"},
      // No chain lines: its rates known, its ideal rate not.
      {"rackB/no-settings", [](const std::string& d) { spit(d + "/config.conf", ""); }, {}, {}, ""},
      {"rackB/stamp-dir",  // a stamp that is not a file: read as one without it
       [&](const std::string& dir) { fs::create_directory(dir + "/copied-at"); },
       {"tune_board_readable{board=\"rackB/stamp-dir\"} 1\n",
        "tune_board_copy_timestamp_seconds{board=\"rackB/stamp-dir\"} "},
       {},
       "copied-at: not a file; the files' times are used"},
  };
  std::vector<std::string> boards;
  for (const auto& c : cases) {
    testing::copy_flat(rehearsal.path(), farm / c.board);
    c.arrange(farm / c.board);
    boards.push_back(c.board);
  }
  const testing::WorkingDir in_farm(farm.path());
  auto report = [&](const std::vector<std::string>& order, ReportRequest request,
                    const std::string& labels_under = "") {
    request.metrics = "farm.prom";
    return call_command([&] { return report_boards(order, request, labels_under); });
  };
  auto report_on = [](const std::string& board, const ReportRequest& request = {}) {
    return call_command([&] { return report_boards({board}, request); });
  };
  testing::Outcome text = report(boards, Asked().out("pictures"));
  EXPECT_EQ(text.status, 1) << text.errors;
  const std::string metrics = slurp(farm / "farm.prom");
  // The overview draws a board's chains without rates or ideal as such, a lost chain as lost.
  const std::string overview = slurp(farm / "pictures/farm.svg");
  EXPECT_NE(overview.find("rackB/no-rates chain 2: no rate known"), std::string::npos);
  EXPECT_NE(overview.find("rackB/no-settings chain 2: no ideal known"), std::string::npos);
  EXPECT_NE(overview.find("rackA/lost-chains chain 8: lost"), std::string::npos);
  EXPECT_EQ(promtool_problems(farm / "farm.prom"), "");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.board);
    for (const std::string& sample : c.present) {
      EXPECT_NE(metrics.find(sample), std::string::npos) << sample << "\n" << metrics;
    }
    for (const std::string& sample : c.absent) {
      EXPECT_EQ(metrics.find(sample), std::string::npos) << sample;
    }
    if (*c.finding) {
      testing::Outcome one = report_on(c.board);
      EXPECT_NE((text.output + one.output).find(c.finding), std::string::npos) << c.finding << "\n"
                                                                               << one.output;
    }
  }
  // What the state says of a tuning is not told of a copy that cannot say how it went.
  EXPECT_EQ(report_on("rackA/half").output.find("not finished"), std::string::npos);
  // The same labels in any order, and with the farm's root named (a rack added changes none).
  std::vector<std::string> reversed(boards.rbegin(), boards.rend());
  report(reversed, {});
  EXPECT_EQ(sorted_samples(slurp(farm / "farm.prom")), sorted_samples(metrics));
  report({"rackB/no-rates", "rackA/half"}, {}, ".");
  EXPECT_NE(slurp(farm / "farm.prom").find("{board=\"rackA/half\""), std::string::npos);
  // A later limit: the dead board's copy is not stale for it.
  ReportRequest later;
  later.age.stale_after = 3 * 3600;
  EXPECT_EQ(report_on("rackA/dead", later).output.find("copied 2:"), std::string::npos);
}

}  // namespace
}  // namespace tune::rehearse
