// The rehearsal tool: repeatable runs, a summary and a chip history that agree with the
// files, the report on good and bad board directories (run as the built tool, for its real
// exit status), its JSON and farm forms, and pictures that render.
#include <cjson/cJSON.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <regex>
#include <set>

#include "board_report.hpp"
#include "chip_power.hpp"
#include "pictures.hpp"
#include "predictions.hpp"
#include "rehearsal.hpp"
#include "report_metrics.hpp"
#include "report_text.hpp"
#include "sim_system.hpp"
#include "text.hpp"

namespace tune::rehearse {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tune-rehearse-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
    fs::permissions(path_, fs::perms(0755));  // for the runs as "nobody"
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void spit(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Sets a file's change time to `at`, seconds since the epoch, as a copy keeps the board's.
void set_changed(const std::string& path, std::time_t at) {
  fs::last_write_time(
      path, std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(at)));
}

RehearsalResult rehearse_into(const std::string& dir, RehearsalOptions options = {}) {
  options.out_dir = dir;
  return rehearse(options, nullptr);
}

struct ToolRun {
  int status = -1;
  std::string out, err;
};

// Runs the built tool in `cwd`, as the unprivileged user "nobody" when asked (root reads
// every file), and collects its output.
ToolRun run_tool(const std::string& cwd, const std::string& args, bool as_nobody = false) {
  std::string prefix =
      as_nobody && getuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  std::string command = "cd '" + cwd + "' && " + prefix + TUNE_REHEARSE_PATH + " " + args + " >'" +
                        cwd + "/.out' 2>'" + cwd + "/.err'";
  int raw = std::system(command.c_str());
  ToolRun run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = slurp(cwd + "/.out");
  run.err = slurp(cwd + "/.err");
  fs::remove(cwd + "/.out");
  fs::remove(cwd + "/.err");
  return run;
}

// Each "|"-separated part of `expected` is in the run's output or its errors.
void expect_every_part(const std::string& expected, const ToolRun& run) {
  for (size_t at = 0, bar; at <= expected.size(); at = bar + 1) {
    bar = expected.find('|', at);
    if (bar == std::string::npos) bar = expected.size();
    std::string part = expected.substr(at, bar - at);
    EXPECT_NE((run.out + run.err).find(part), std::string::npos) << part << "\n"
                                                                 << run.out << run.err;
  }
}

// What promtool says of a metrics file: nothing when it takes the file as it is.
std::string promtool_problems(const std::string& path) {
  FILE* pipe = popen(("promtool check metrics < '" + path + "' 2>&1").c_str(), "r");
  if (pipe == nullptr) return "promtool cannot be run";
  std::string said;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) said.append(buffer, n);
  int raw = pclose(pipe);
  if (WIFEXITED(raw) && WEXITSTATUS(raw) == 127) {
    return "promtool not found: scripts/install-deps installs it";
  }
  return raw == 0 ? "" : "promtool: " + said;
}

// A board as a real one is copied off: flat files, no rehearsal marker, no record.
void copy_flat_board(const TempDir& rehearsal, const std::string& to) {
  fs::create_directories(to);
  for (const char* file : {"config/config.conf", "config/manual_freqs.txt", "config/bmminer.conf",
                           "tmp/auto-tune", "tmp/chip-rates", "chain-tuner.log"}) {
    fs::copy_file(rehearsal / file, to + "/" + fs::path(file).filename().string());
  }
}

TEST(Rehearsal, TheSameSeedGivesTheSameFilesAndSummary) {
  TempDir a, b;
  rehearse_into(a.path());
  rehearse_into(b.path());
  for (const char* file : {"config/config.conf", "config/manual_freqs.txt", "tmp/auto-tune",
                           "tmp/chip-rates", "chain-tuner.log", "chip-history.txt"}) {
    EXPECT_EQ(slurp(a / file), slurp(b / file)) << file;
  }
  std::string summary_a = format_summary(read_board(a.path()));
  std::string summary_b = format_summary(read_board(b.path()));
  EXPECT_EQ(summary_a.substr(summary_a.find('\n')), summary_b.substr(summary_b.find('\n')));
  EXPECT_NE(slurp(a / "tmp/auto-tune"), "");

  TempDir other;
  RehearsalOptions seed_two;
  seed_two.seed = 2;
  rehearse_into(other.path(), seed_two);
  EXPECT_NE(slurp(a / "tmp/chip-rates"), slurp(other / "tmp/chip-rates"));
}

TEST(Rehearsal, BothProgramsRunAndLeaveABoardsFiles) {
  TempDir dir;
  RehearsalResult result = rehearse_into(dir.path());
  EXPECT_TRUE(result.chain_tuner.ran);
  EXPECT_EQ(result.chain_tuner.parent_status, 0);
  EXPECT_TRUE(result.yellow_fixer.ran);
  EXPECT_FALSE(result.yellow_fixer.exited);
  EXPECT_GT(result.chain_tuner.restarts, 0);
  EXPECT_EQ(slurp(dir / "config/yellow"), "ok\n");
  EXPECT_FALSE(fs::exists(dir / "config/yellow-step"));
  EXPECT_NE(slurp(dir / "chain-tuner.log").find("Config parse"), std::string::npos);
  EXPECT_NE(slurp(dir / "tmp/auto-tune").find("Fix yellow\n"), std::string::npos);
  EXPECT_GT(result.timeline.samples.size(), 10u);
}

TEST(Rehearsal, SummaryAndChipHistoryAgreeWithTheFiles) {
  TempDir dir;
  RehearsalOptions options;
  options.chain_present = {true, true, false, true, true, true};  // chain 4 absent
  options.dead_chips = 4;
  rehearse_into(dir.path(), options);
  BoardReport report = read_board(dir.path());
  EXPECT_TRUE(report.findings.empty());

  // Count overrides and rated chips per miner chain number straight from the files.
  std::map<int, int> overrides, rated;
  std::regex line("(\\d+):(\\d+):([^\\n]+)\\n");
  std::string text = slurp(dir / "config/manual_freqs.txt");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    ++overrides[std::stoi((*it)[1])];
  }
  text = slurp(dir / "tmp/chip-rates");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    ++rated[std::stoi((*it)[1])];
  }
  for (const ChainView& chain : report.chains) {
    int number = chain.number;
    EXPECT_EQ(chain.overrides, overrides[number]) << number;
    EXPECT_EQ(chain.present, rated[number] > 0) << number;
    if (!chain.present) continue;
    EXPECT_EQ(chain.red + chain.yellow + chain.green + chain.unrated, 63);
    EXPECT_EQ(63 - chain.unrated, rated[number]);
  }
  EXPECT_FALSE(report.chains[2].present);
  std::string summary = format_summary(report);
  EXPECT_NE(summary.find("\n    4    2     3  absent"), std::string::npos) << summary;
  ASSERT_EQ(report.sessions.size(), 2u);
  EXPECT_EQ(report.sessions[0].program, "chain-tuner");
  EXPECT_EQ(report.sessions[1].program, "yellow-fixer");

  // Each recorded change starts where the last one ended and the last ends where the chip
  // runs now; the yellow fixer's logged red chips are among the red changes.
  ASSERT_TRUE(report.history_recorded);
  int changes = 0;
  for (int slot = 0; slot < chain_count; ++slot) {
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      const std::vector<ChipChange>& history = report.chains[slot].chips[chip].history;
      for (size_t i = 1; i < history.size(); ++i) {
        EXPECT_EQ(history[i].old_freq, history[i - 1].new_freq);
      }
      if (history.empty()) continue;
      ++changes;
      EXPECT_EQ(history.back().new_freq, report.chains[slot].chips[chip].freq);
    }
  }
  EXPECT_GT(changes, 0);
  // Each red lowering the log names is in the record at the time the log stamps it.
  std::string log = slurp(dir / "tmp/auto-tune");
  std::string record = slurp(dir / "chip-history.txt");
  std::regex red("([-0-9]+ [:0-9]+) Chip (\\d+) on chain (\\d+) is red, new freq is (\\d+)\\n");
  int reds = 0;
  for (std::sregex_iterator it(log.begin(), log.end(), red), end; it != end; ++it, ++reds) {
    const std::smatch& m = *it;
    std::string change = std::string(m[1]) + "\t" + std::string(m[3]) + ":" + std::string(m[2]);
    EXPECT_NE(record.find(change + "\t"), std::string::npos) << change;
  }
  EXPECT_GT(reds, 0);
}

TEST(Report, ACopiedBoardDirectoryReadsAsTheRehearsal) {
  TempDir sandbox, flat;
  rehearse_into(sandbox.path());
  copy_flat_board(sandbox, flat.path());
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

// A yellow-fixer log that ended as the program ends.
const std::string finished_log =
    "2027-01-01 00:00:00 Fix yellow\n2027-01-01 00:30:00 Three successful iterations in a row, "
    "quit\n";

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
    std::string args;  // after "report DIR"
    int status;
    std::string expected;  // in the output or the error, with DIR for the board directory
    bool as_nobody = false;
  } cases[] = {
      {"a good board", [](const std::string&) {}, "", 0, "findings: none"},
      {"no such directory", [](const std::string& d) { fs::remove_all(d); }, "", 3,
       "DIR: No such file or directory"},
      {"a file, not a directory",
       [](const std::string& d) {
         fs::remove_all(d);
         spit(d, "x");
       },
       "", 3, "DIR: Not a directory"},
      {"an unreadable directory", [](const std::string& d) { fs::permissions(d, fs::perms(0)); },
       "", 3, "DIR: Permission denied", true},
      {"an unreadable chip rates file",
       [](const std::string& d) { fs::permissions(d + "/chip-rates", fs::perms(0)); }, "", 3,
       "DIR/chip-rates: Permission denied", true},
      {"unreadable kept files: the board's past, findings",
       [](const std::string& d) {
         fs::create_directories(d + "/tune-backup/before");
         fs::create_directories(d + "/tune-logs");
         spit(d + "/tune-backup/before/config.conf", "bitmain-freq1=650\n");
         fs::permissions(d + "/tune-backup/before/config.conf", fs::perms(0));
         fs::permissions(d + "/tune-logs", fs::perms(0));
       },
       "", 1,
       "DIR/tune-backup/before: cannot be read (config.conf: Permission denied); the set is "
       "left out|DIR/tune-logs: cannot be read (Permission denied); its tunings are left out",
       true},
      {"a pipe for the chip rates",
       [](const std::string& d) {
         fs::remove(d + "/chip-rates");
         mkfifo((d + "/chip-rates").c_str(), 0644);
       },
       "", 3, "DIR/chip-rates: not a regular file in the copy"},
      {"chip rates linked out of the copy, to the collecting machine's files",
       [](const std::string& d) {
         fs::remove(d + "/chip-rates");
         fs::create_symlink("/etc/passwd", d + "/chip-rates");
       },
       "", 3, "DIR/chip-rates: not a regular file in the copy"},
      {"config.conf linked out through a directory of the copy",
       [](const std::string& d) {
         fs::create_directories(d + "/../elsewhere");
         fs::rename(d + "/config.conf", d + "/../elsewhere/config.conf");
         fs::create_directory_symlink("../elsewhere", d + "/config");
       },
       "", 3, "DIR/config/config.conf: not a regular file in the copy"},
      {"a miner that stopped writing its rates five hours before a fresh copy",
       [](const std::string& d) {
         const std::time_t now = std::time(nullptr);
         spit(d + "/copied-at", std::to_string(now) + "\n");
         set_changed(d + "/chip-rates", now - 5 * 3600);
       },
       "", 1, "DIR/chip-rates: rates 5:00:00 old at copy time"},
      {"rates an hour older than the log a program went on writing, without a stamp",
       [](const std::string& d) { set_changed(d + "/chip-rates", std::time(nullptr) - 3600); }, "",
       1, "DIR/chip-rates: rates |older than the log"},
      {"links that stay inside the copy, as rsync -a keeps them",
       [](const std::string& d) {
         fs::create_directories(d + "/kept");
         fs::rename(d + "/chip-rates", d + "/kept/chip-rates");
         fs::create_symlink("kept/chip-rates", d + "/chip-rates");
       },
       "", 0, "findings: none"},
      {"an output that cannot be made", [](const std::string&) {}, "--out /proc/x", 3,
       "/proc/x: cannot be made"},
      {"rates no chip gives",
       [&](const std::string& d) {
         spit(d + "/chip-rates", good_rates + "2:3:-5\n2:4:nan\n2:5:inf\n2:6:1e40\n2:7:fast\n");
       },
       "", 1,
       "chip-rates:3: rate \"-5\" is negative|chip-rates:4: rate \"nan\" is not a finite "
       "number|chip-rates:6: rate \"1e40\" is beyond any real chip|chip-rates:7: rate \"fast\" is "
       "not a number; the programs read 0"},
      {"overrides outside the tables or selecting nothing",
       [](const std::string& d) {
         spit(d + "/manual_freqs.txt", "2:1:70\n9:1:5\n2:2:-3\n2:70:3\n");
       },
       "", 1,
       "manual_freqs.txt:2: chain 9 is no chain slot's|manual_freqs.txt:3: step -3 selects no "
       "frequency|manual_freqs.txt:4: \"2:70:3\": chain field 1 to 16 and chip 1 to 63"},
      {"chain lines the programs skip or no board runs",
       [](const std::string& d) {
         spit(d + "/config.conf",
              "bitmain-freq1=650\nbitmain-voltage1=910\nbitmain-freq9=800\nbitmain-voltage2=-5\n");
       },
       "", 1,
       "config.conf:3: \"bitmain-freq9=800\": no chain digit 1 to 6|config.conf:4: chain "
       "voltage -5 is outside"},
      {"a config.conf of the miner's own lines, no chain's",
       [](const std::string& d) { spit(d + "/config.conf", "api-listen=true\n"); }, "", 1,
       "config.conf: no chain's frequency line"},
      {"CRLF line ends are one finding per file",
       [&](const std::string& d) { spit(d + "/chip-rates", "2:1:74.71\r\n2:2:74.71\r\n"); }, "", 1,
       "chip-rates:1: lines end in CR LF|findings (1)"},
      {"a tuning at work when copied: its log written a minute before the stamp",
       [&](const std::string& d) { yellow_fixer_copied(d, 60); }, "", 0,
       "last tuning: in progress|findings: none"},
      {"the same tuning's log an hour older than the stamp: cut, not at work",
       [&](const std::string& d) { yellow_fixer_copied(d, 3600); }, "", 1,
       "last tuning: interrupted|tuning 1 is yellow-fixer"},
      {"an empty log", [](const std::string& d) { spit(d + "/auto-tune", ""); }, "", 1,
       "auto-tune: empty"},
      {"no log and nothing kept: a board not yet tuned, no finding",
       [](const std::string& d) { fs::remove(d + "/auto-tune"); }, "", 0,
       "last tuning: not run|findings: none"},
      {"an empty directory",
       [](const std::string& d) {
         for (const char* f : {"/chip-rates", "/auto-tune", "/config.conf"}) fs::remove(d + f);
       },
       "", 1, "last tuning: unknown|DIR: no board's files here"},
      {"a log line without a stamp",
       [](const std::string& d) {
         spit(d + "/auto-tune", "2027-01-01 00:00:00 Fix yellow\n2027-01-01 00:00:01 x\nstray\n");
       },
       "", 1, "auto-tune:3: no time stamp"},
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
       "--chip 2:2", 0,
       "2027-01-01 00:20:00     ? ->  625 MHz  red|2027-01-01 00:40:00   625 ->  300 MHz  "
       "forced to 300 MHz"},
      {"a chip outside the machine", [](const std::string&) {}, "--chip 5:2", 2,
       "--chip takes CHAIN:CHIP"},
      {"a chip of a board with findings: the chip, then why the status is 1",
       [](const std::string& d) { spit(d + "/chip-rates", "2:1:74.71\n2:2:-1\n"); }, "--chip 2:1",
       1, "chain 2 chip 1 |findings (1):|rate \"-1\" is negative"},
      {"a chip as JSON", [](const std::string&) {}, "--chip 2:2 --json", 0,
       "{\"chain\":2,\"chip\":2,\"freq\":650,\"override_step\":0,"},
      {"a short option that is not one", [](const std::string&) {}, "-j", 2, "unknown option -j"},
      {"an empty --out", [](const std::string&) {}, "--out=", 2, "--out needs a value"},
      {"an option given twice", [](const std::string&) {}, "--chip 2:1 --chip=2:2", 2,
       "--chip is given twice"},
      {"the folder of a farm's boards",
       [](const std::string& d) {
         fs::create_directory(d + "/b1");
         for (const char* f : {"/chip-rates", "/auto-tune", "/config.conf"}) {
           fs::rename(d + f, d + "/b1" + f);
         }
       },
       "", 1,
       "last tuning: unknown|of its directories hold some: report them with \"tune-rehearse "
       "report DIR/*\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir work;
    const std::string dir = work / "board";
    fs::create_directory(dir);
    spit(dir + "/config.conf", "bitmain-freq1=650\nbitmain-voltage1=910\n");
    spit(dir + "/chip-rates", good_rates);
    spit(dir + "/auto-tune", finished_log);
    c.arrange(dir);
    ToolRun run = run_tool(work.path(), "report " + dir + " " + c.args, c.as_nobody);
    std::error_code ignored;
    fs::permissions(dir, fs::perms(0755), ignored);  // to clean up
    fs::permissions(dir + "/tune-logs", fs::perms(0755), ignored);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    expect_every_part(std::regex_replace(c.expected, std::regex("DIR"), dir), run);
    if (c.status >= 2) {
      EXPECT_EQ(run.out, "");  // a failure comes before any table
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
  }
}

TEST(Report, TheJsonDocumentSaysWhatTheSummarySays) {
  TempDir dir;
  rehearse_into(dir / "board");
  std::string rates = slurp(dir / "board/tmp/chip-rates");
  ASSERT_TRUE(rates.starts_with("2:1:"));
  spit(dir / "board/tmp/chip-rates", "2:1:-5" + rates.substr(rates.find('\n')));
  ToolRun run = run_tool(dir.path(), "report board --json");
  EXPECT_EQ(run.status, 1);
  cJSON* root = cJSON_Parse(run.out.c_str());
  ASSERT_NE(root, nullptr) << run.out;
  BoardReport report = read_board(dir / "board");
  const cJSON* chains = cJSON_GetObjectItem(root, "chains");
  ASSERT_EQ(cJSON_GetArraySize(chains), chain_count);
  double measured = 0;
  for (int slot = 0; slot < chain_count; ++slot) {
    const cJSON* chain = cJSON_GetArrayItem(chains, slot);
    EXPECT_EQ(cJSON_GetObjectItem(chain, "chain")->valueint, miner_chain_number(slot));
    EXPECT_EQ(cJSON_GetObjectItem(chain, "red")->valueint, report.chains[slot].red);
    measured += cJSON_GetObjectItem(chain, "measured_rate")->valuedouble;
  }
  EXPECT_NEAR(
      cJSON_GetObjectItem(cJSON_GetObjectItem(root, "totals"), "measured_rate")->valuedouble,
      measured, 1e-6);
  const cJSON* chips = cJSON_GetObjectItem(root, "chips");
  ASSERT_EQ(cJSON_GetArraySize(chips), chain_count * chips_per_chain);
  const cJSON* first = cJSON_GetArrayItem(chips, 0);
  EXPECT_EQ(cJSON_GetObjectItem(first, "freq")->valueint, report.chains[0].chips[0].freq);
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(first, "history")),
            static_cast<int>(report.chains[0].chips[0].history.size()));
  const cJSON* findings = cJSON_GetObjectItem(root, "findings");
  ASSERT_EQ(cJSON_GetArraySize(findings), 1);
  EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(findings, 0), "what")->valuestring,
               "rate \"-5\" is negative");
  cJSON_Delete(root);
}

// True when the text is valid UTF-8 with no control byte but the line break.
bool inert_text(const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    if (c == '\n' || (c >= 0x20 && c < 0x7f)) {
      ++at;
      continue;
    }
    size_t length = c >= 0xc2 && c <= 0xdf   ? 2
                    : c >= 0xe0 && c <= 0xef ? 3
                    : c >= 0xf0 && c <= 0xf4 ? 4
                                             : 0;
    if (length == 0 || at + length > text.size()) return false;
    for (size_t i = 1; i < length; ++i) {
      if ((static_cast<unsigned char>(text[at + i]) & 0xc0) != 0x80) return false;
    }
    if (c == 0xc2 && static_cast<unsigned char>(text[at + 1]) < 0xa0) return false;  // C1
    at += length;
  }
  return true;
}

// Every string of a JSON document, member names included, holds no control byte at all once
// unescaped (valid UTF-8 the raw document shows already).
void expect_inert_strings(const cJSON* item) {
  for (; item != nullptr; item = item->next) {
    for (const char* text : {item->string, cJSON_IsString(item) ? item->valuestring : nullptr}) {
      if (text == nullptr) continue;
      EXPECT_TRUE(inert_text(text) && std::strchr(text, '\n') == nullptr) << text;
    }
    expect_inert_strings(item->child);
  }
}

// Bytes no report may pass on: control bytes, a terminal's escape, what is not UTF-8 (a
// lone continuation, an overlong form, a surrogate, a C1 control), quotes, backslashes.
const std::string hostile = std::string("1\xa2\x07\x1b[2J\xc0\xaf\xed\xa0\x80\xc2\x85\"\\\x7f\r") +
                            std::string("\0tail", 5);

// A board's files with lines shaped as each file's own and the bytes above in every field,
// so that each reader takes them past its first check.
std::map<std::string, std::string> hostile_board() {
  const std::string& h = hostile;
  const std::string log = "2027-01-01 00:00:00 Chip 1 on chain 2 is red, new freq is 775" + h +
                          "\n2027-01-01 00:00:01 Chip 2 on chain 3 is red, new freq is 7" + h +
                          "\n2027-02-30 00:00:00 " + h + "\n2027-01-01 00:00:0" + h +
                          " Fix yellow\n2027-01-01 00:00:02 " + h;
  const std::string config = "bitmain-freq1=" + h + "\nbitmain-voltage1=9" + h + "\n" + h + "=1\n" +
                             h + "\nbitmain-freq2=650\nbitmain-voltage2=940\n";
  const std::string overrides = "2:1:" + h + "\n" + h + "\n2:3:70" + h + "\n" + h + ":1:5\n";
  return {
      {"auto-tune", log},
      {"chain-tuner.log", log},
      {"tune-logs/0001-1-chain-tuner.log", log},
      {"tune-logs/0002-1-yellow-fixer.log", log},
      {"tune-logs/0003-" + h + ".log", log},
      {"chip-rates", "2:1:" + h + "\n2:2:95.1" + h + "\n" + h + ":1:90\n2:4:95\n3:1:" + h + "\n"},
      {"config.conf", config},
      {"tune-backup/before/config.conf", config},
      {"tune-backup/original/manual_freqs.txt", overrides},
      {"manual_freqs.txt", overrides},
      {"bmminer.conf", "{\"bitmain-freq\":\"" + h + "\",\"" + h + "\":1}"},
      {"chip-history.txt",
       h + "\t2:1\t850\t825\t" + h + "\n2027-01-01 00:03:00\t2:2\t" + h + "\t825\tred\n"},
      {"tune-session.state", "tuning=" + h + "\nstage=" + h + "\nat=" + h + "\n"},
      {"copied-at", h + "\n"},
  };
}

TEST(Report, BoardsOfHostileBytesGiveInertTextJsonAndMetrics) {
  TempDir farm;
  std::mt19937 random(20261208);
  std::string dirs;
  for (int board = 0; board < 12; ++board) {
    std::string dir = "b" + std::to_string(board);
    for (const char* sub : {"/tune-backup/before", "/tune-backup/original", "/tune-logs"}) {
      fs::create_directories(farm / dir + sub);
    }
    for (const char* name :
         {"auto-tune", "chip-rates", "config.conf", "manual_freqs.txt", "bmminer.conf",
          "chain-tuner.log", "chip-history.txt", "tune-session.state",
          "tune-backup/before/config.conf", "tune-backup/original/manual_freqs.txt",
          "tune-logs/0001-1-chain-tuner.log", "tune-logs/0002-1-yellow-fixer.log"}) {
      std::string bytes(random() % 3000, '\0');
      for (char& b : bytes) b = static_cast<char>(random() % 256);
      // Some lines shaped as the programs' own, so that the readers get past their first
      // check, with random bytes inside them.
      if (random() % 2) bytes = "2027-01-01 00:00:00 " + bytes + "\n2:1:" + bytes.substr(0, 9);
      spit(farm / dir + "/" + name, bytes);
    }
    dirs += " " + dir;
  }
  // h0 with every file; h1 without the record and the state, so that the logs tell the
  // chips' changes and the tuning's outcome.
  for (const char* dir : {"h0", "h1"}) {
    for (const auto& [name, text] : hostile_board()) {
      if (std::string(dir) == "h1" && (name == "chip-history.txt" || name == "tune-session.state"))
        continue;
      fs::create_directories(fs::path(farm / dir + "/" + name).parent_path());
      spit(farm / dir + "/" + name, text);
    }
    dirs += std::string(" ") + dir;
  }
  const std::string all[] = {"report b0",
                             "report b1 --json",
                             "report" + dirs,
                             "report" + dirs + " --json",
                             "report b2 --chip 2:1",
                             "report b3 --chip 2:1 --json",
                             "report h0",
                             "report h1",
                             "report h0 --json --out=h0-pictures",
                             "report h1 --json --out=h1-pictures",
                             "report h0 --chip 2:1",
                             "report h0 --chip 2:2 --json",
                             "report h1 --chip 2:1 --json",
                             "report" + dirs + " --metrics=random.prom",
                             "--from h0 --out=h0-twin",
                             "--from h1 --out=h1-twin"};
  for (const std::string& args : all) {
    SCOPED_TRACE(args);
    ToolRun run = run_tool(farm.path(), args);
    EXPECT_TRUE(run.status == 0 || run.status == 1 || (args[0] == '-' && run.status == 3))
        << run.status << run.err;
    EXPECT_TRUE(inert_text(run.out)) << run.out;
    EXPECT_TRUE(inert_text(run.err)) << run.err;
    EXPECT_TRUE(run.out.empty() || run.out.back() == '\n');
    if (args.find("--metrics") != std::string::npos) {
      EXPECT_TRUE(inert_text(slurp(farm / "random.prom")));
      EXPECT_EQ(promtool_problems(farm / "random.prom"), "");
    }
    if (args.find("--json") != std::string::npos) {
      cJSON* parsed = cJSON_Parse(run.out.c_str());
      EXPECT_NE(parsed, nullptr) << run.out;
      expect_inert_strings(parsed);
      cJSON_Delete(parsed);
    }
  }
  // The record's impossible time is a finding, and the change is kept without a time.
  ToolRun chip = run_tool(farm.path(), "report h0 --chip 2:1");
  EXPECT_NE(chip.out.find("(time unknown)"), std::string::npos) << chip.out;
  ToolRun summary = run_tool(farm.path(), "report h0");
  EXPECT_NE(summary.out.find("chip-history.txt:1: impossible time \"1\\xa2\\x07\\x1b[2J"),
            std::string::npos)
      << summary.out;
  for (const char* dir : {"h0-pictures", "h1-pictures", "h0-twin", "h1-twin"}) {
    if (!fs::exists(farm / dir)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(farm / dir)) {
      const std::string name = entry.path().filename().string();
      if (name.ends_with(".svg") || name.ends_with(".json") || name == "summary.txt" ||
          name == "prediction.txt") {
        EXPECT_TRUE(inert_text(slurp(entry.path()))) << entry.path();
      }
    }
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
  ToolRun text = run_tool(farm.path(), "report a b c", true);
  fs::permissions(farm / "c", fs::perms(0755));
  EXPECT_EQ(text.status, 3) << text.err;
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.out.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(text.out.substr(at, end - at));
  }
  ASSERT_EQ(lines.size(), 3u) << text.out;
  EXPECT_TRUE(lines[0].starts_with("a: 6 chains, rate ")) << lines[0];
  EXPECT_EQ(text.err, "tune-rehearse: c: unusable: c: Permission denied\n");  // as any failure
  EXPECT_TRUE(lines[2].starts_with(
      "farm: 3 boards (1 unusable, 0 with findings), tunings 2 "
      "finished, 0 failed, 0 interrupted, 0 in progress, 0 not run, 0 unknown; "
      "12 chains"))
      << lines[2];
  EXPECT_FALSE(fs::exists(farm / "a/heat-map.svg"));  // nothing drawn unless asked

  ToolRun json = run_tool(farm.path(), "report a b --json --out=pictures");
  EXPECT_EQ(json.status, 0) << json.err;
  cJSON* root = cJSON_Parse(json.out.c_str());
  ASSERT_NE(root, nullptr) << json.out;
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(root, "boards")), 2);
  EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetObjectItem(root, "totals"), "chains")->valueint, 12);
  cJSON_Delete(root);
  // --out draws the farm's overview; each board's heat map only with --pictures.
  EXPECT_TRUE(fs::exists(farm / "pictures/farm.svg"));
  EXPECT_FALSE(fs::exists(farm / "pictures/a-heat-map.svg"));
  EXPECT_EQ(run_tool(farm.path(), "report a b --out=pictures --pictures").status, 0);
  EXPECT_TRUE(fs::exists(farm / "pictures/a-heat-map.svg"));
  EXPECT_TRUE(fs::exists(farm / "pictures/b-heat-map.svg"));
  EXPECT_EQ(run_tool(farm.path(), "report a b --pictures").status, 2);

  // The overview: a row a board in the order given, a cell a chain, and the marks of a
  // stale copy, a failed tuning and a board that cannot be read.
  RehearsalOptions broken;
  broken.files["bmminer.conf"] = "{";
  rehearse_into(farm / "f", broken);
  fs::remove(farm / (std::string("b/") + rehearsal_marker));  // a copy: its age counts
  spit(farm / "b/copied-at", std::to_string(std::time(nullptr) - 86400) + "\n");
  ToolRun drawn = run_tool(farm.path(), "report a b f gone --out=overview");
  EXPECT_EQ(drawn.status, 3) << drawn.err;
  EXPECT_NE(drawn.out.find("picture: overview/farm.svg\n"), std::string::npos) << drawn.out;
  const std::string overview = slurp(farm / "overview/farm.svg");
  size_t at = 0;
  for (const char* part : {">a<", ">b<", ">stale<", ">f<", ">failed<", ">gone<", ">unusable<"}) {
    const size_t found = overview.find(part, at);
    ASSERT_NE(found, std::string::npos) << part << " after " << at;
    at = found;
  }
  for (const char* board : {"a", "b"}) {
    size_t cells = 0;
    const std::string title = std::string("<title>") + board + " chain ";
    for (size_t i = overview.find(title); i != std::string::npos; i = overview.find(title, i + 1)) {
      ++cells;
    }
    EXPECT_EQ(cells, 6u) << board;
  }
  EXPECT_EQ(overview.find(">stale<", overview.find(">f<")), std::string::npos);

  // For Prometheus: a board that cannot be read is still a series, and the file appears
  // whole under its name, with nothing left beside it.
  fs::create_directory(farm / "metrics");
  ToolRun metrics = run_tool(farm.path(), "report a b gone --metrics metrics/farm.prom");
  EXPECT_EQ(metrics.status, 3) << metrics.err;
  std::string exposition = slurp(farm / "metrics/farm.prom");
  for (const char* sample : {"tune_board_readable{board=\"gone\"} 0\n",
                             "tune_board_last_tuning{board=\"a\",outcome=\"finished\"} 1\n",
                             "tune_chain_frequency_hertz{board=\"b\",chain=\"8\"} "}) {
    EXPECT_NE(exposition.find(sample), std::string::npos) << sample << exposition;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(farm / "metrics"), {}), 1);
  // One that cannot be written fails before any report is out.
  ToolRun refused = run_tool(farm.path(), "report a --metrics metrics/farm.prom", true);
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err,
            "tune-rehearse: metrics/farm.prom: cannot be written: Permission denied\n");
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
      {"rackB/stamp-dir",  // a stamp that is not a file: read as one without it
       [&](const std::string& dir) { fs::create_directory(dir + "/copied-at"); },
       {"tune_board_readable{board=\"rackB/stamp-dir\"} 1\n",
        "tune_board_copy_timestamp_seconds{board=\"rackB/stamp-dir\"} "},
       {},
       "copied-at: not a file; the files' times are used"},
  };
  std::vector<std::string> boards;
  for (const auto& c : cases) {
    copy_flat_board(rehearsal, farm / c.board);
    c.arrange(farm / c.board);
    boards.push_back(c.board);
  }
  auto report = [&](const std::vector<std::string>& order, const std::string& extra) {
    std::string args = "report";
    for (const std::string& board : order) args += " " + board;
    return run_tool(farm.path(), args + " --metrics=farm.prom" + extra);
  };
  ToolRun text = report(boards, " --out pictures");
  EXPECT_EQ(text.status, 1) << text.err;
  const std::string metrics = slurp(farm / "farm.prom");
  // The overview draws a board's chains without rates as such, a lost chain as lost.
  const std::string overview = slurp(farm / "pictures/farm.svg");
  EXPECT_NE(overview.find("rackB/no-rates chain 2: no rate known"), std::string::npos);
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
      ToolRun one = run_tool(farm.path(), std::string("report ") + c.board);
      EXPECT_NE((text.out + one.out).find(c.finding), std::string::npos) << c.finding << "\n"
                                                                         << one.out;
    }
  }
  // What the state says of a tuning is not told of a copy that cannot say how it went.
  EXPECT_EQ(run_tool(farm.path(), "report rackA/half").out.find("not finished"), std::string::npos);
  // The same labels in any order, and with the farm's root named (a rack added changes none).
  std::vector<std::string> reversed(boards.rbegin(), boards.rend());
  report(reversed, "");
  EXPECT_EQ(sorted_samples(slurp(farm / "farm.prom")), sorted_samples(metrics));
  report({"rackB/no-rates", "rackA/half"}, " --labels-under .");
  EXPECT_NE(slurp(farm / "farm.prom").find("{board=\"rackA/half\""), std::string::npos);
  // A later limit: the dead board's copy is not stale for it.
  EXPECT_EQ(run_tool(farm.path(), "report rackA/dead --stale-after 3h").out.find("copied 2:"),
            std::string::npos);
  // Two boards that would have one label, a board outside the root, a limit that is not a
  // time: usage errors, naming them.
  fs::create_directories(farm / "other/rackA");
  copy_flat_board(rehearsal, farm / "other/rackA/fresh");
  fs::create_directory_symlink("rackA/fresh", farm / "alias");
  // Two names that print alike: a line break, and its escape written out.
  copy_flat_board(rehearsal, farm / "rackA/a\nb");
  copy_flat_board(rehearsal, farm / "rackA/a\\x0ab");
  const struct {
    std::string args, said;
  } refused[] = {
      {"report rackA/fresh rackA/fresh",
       "rackA/fresh and rackA/fresh would both be labelled fresh"},
      {"report rackA/fresh other/rackA/fresh --labels-under other",
       "rackA/fresh is not under --labels-under other"},
      {"report rackA/fresh --stale-after 5x", "--stale-after takes a time such as 3600"},
      {"report rackA/fresh alias", "rackA/fresh and alias are the same board"},
      {"report rackA/a\\\\x0ab 'rackA/a\nb'", "would both be labelled"},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(r.args);
    ToolRun run = run_tool(farm.path(), r.args);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(r.said), std::string::npos) << run.err;
  }
}

TEST(ReportMetrics, EveryBoardAndChainIsOneSeriesThatPromtoolTakes) {
  TempDir dir;
  rehearse_into(dir / "a");
  fs::create_directory(dir / "cut");
  spit(dir / "cut/auto-tune", "2027-01-01 00:00:00 Fix yellow\n2027-01-01 00:10:00 Current i");
  spit(dir / "cut/chip-rates", "2:1:74.71\n");
  MetricsWriter writer;
  // Names as directories may have them: quotes, backslashes, line breaks, any byte.
  const std::string odd = "a \"b\" \\c\nd\x1b\xff";
  writer.board(read_board(dir / "a"), odd);
  writer.board(read_board(dir / "cut"), "cut");
  writer.unusable("gone");
  writer.listed("never");  // a listed board with no copy: nothing else under its name
  const std::string text = writer.text();
  spit(dir / "board.prom", text);
  EXPECT_EQ(promtool_problems(dir / "board.prom"), "");
  const std::string odd_label = "board=\"a \\\"b\\\" \\\\c\\\\x0ad\\\\x1b\\\\xff\"";
  const struct {
    std::string sample;
    size_t count;
  } expected[] = {
      {"# TYPE tune_board_readable gauge\n", 1},
      {"# TYPE tune_chain_voltage_setting gauge\n", 1},
      {"tune_board_readable{" + odd_label + "} 1\n", 1},
      {"tune_board_readable{board=\"gone\"} 0\n", 1},
      {"tune_board_last_tuning{board=\"cut\",outcome=\"interrupted\"} 1\n", 1},
      {"tune_board_last_tuning{board=\"cut\",", 6},  // one of each outcome
      {"tune_board_last_tuning_end_timestamp_seconds{board=\"cut\"} 1798762200\n", 1},
      // Without config.conf: its rate, but no frequency, ideal or classes to guess.
      {"tune_board_measured_rate{board=\"cut\"} 74.71\n", 1},
      {"tune_board_chips{board=\"cut\"", 0},
      {"tune_board_ideal_rate{board=\"cut\"", 0},
      {"tune_chain_frequency_hertz{board=\"cut\"", 0},
      {"tune_chain_frequency_hertz{" + odd_label, 6},
      {"tune_chain_measured_rate{board=\"cut\",chain=\"2\"} 74.71\n", 1},
      {"{board=\"gone\"", 1},  // nothing but its readability
      {"tune_board_listed{board=\"never\"} 1\n", 1},
      {"{board=\"never\"", 1},
  };
  for (const auto& e : expected) {
    size_t count = 0;
    for (size_t at = text.find(e.sample); at != std::string::npos; at = text.find(e.sample, at + 1))
      ++count;
    EXPECT_EQ(count, e.count) << e.sample << "\n" << text;
  }
  // The example alert rules name metrics the report writes.
  const std::string rules = slurp(TUNE_SOURCE_DIR "/examples/prometheus/tune-alerts.yml");
  const std::regex metric("tune_[a-z_]+");
  size_t named = 0;
  for (std::sregex_iterator it(rules.begin(), rules.end(), metric), end; it != end; ++it, ++named)
    EXPECT_NE(text.find("# TYPE " + it->str() + " gauge\n"), std::string::npos) << it->str();
  EXPECT_GE(named, 5u);
}

TEST(Rehearsal, ABoardsTwinIsRehearsedFromItsFilesOrRefusedWithWhatIsMissing) {
  TempDir dir;
  rehearse_into(dir / "board");  // its before/ is a new board's copy
  fs::create_directories(dir / "no-rates");
  spit(dir / "no-rates/config.conf", "bitmain-freq1=650\n");
  spit(dir / "no-rates/chip-rates", "");
  fs::create_directories(dir / "empty");
  // A copy whose directories lead into another board's.
  fs::create_directories(dir / "linked");
  fs::create_directory_symlink("../board/config", dir / "linked/config");
  fs::create_directory_symlink("../board/tmp", dir / "linked/tmp");
  // A copy whose bmminer.conf the programs cannot read: its tuning fails at once.
  fs::copy(dir / "board/before", dir / "bad-json", fs::copy_options::recursive);
  spit(dir / "bad-json/config/bmminer.conf", "{\"pools\": [],}\n");
  // A copy whose own settings line a rehearsal does not run.
  fs::copy(dir / "board/before", dir / "bad-settings", fs::copy_options::recursive);
  spit(dir / "bad-settings/config/autoTune.conf", "freq_to=700\nfreq_to=2000\n");
  // Rates, but a config.conf of nothing the programs read.
  fs::create_directories(dir / "no-chains");
  spit(dir / "no-chains/config.conf", "\x01\x02 not a chain line\n");
  fs::copy_file(dir / "board/tmp/chip-rates", dir / "no-chains/chip-rates");
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
      {"--draws 4", 2, "--draws goes with --from or --compare"},
      {"--jobs 4", 2, "--jobs goes with --from or --compare"},
      {"--from board --jobs 0", 2, "--jobs"},
      {"--from bad-settings", 3,
       "bad-settings/autoTune.conf: freq_to=2000 is outside the 100 to 1175 MHz of the chips' "
       "frequency ladder; not rehearsed (--settings LINE rehearses others)"},
      {"--from bad-settings --out bad-settings-eco --settings eco", 0, "gain              +"},
      {"--settings freq_to=8.5e2", 2,
       "warning: --settings: freq_to=8.5e2 is not a whole number; the programs read 8|"
       "--settings: freq_to=8.5e2 (read as 8) is outside the 100 to 1175"},
      {"--from board --draws 1", 2, "--draws"},
      {"--from board --settings voltage_to=0", 2,
       "--settings: voltage_to=0 is outside the 600 to 1100 a board runs at; not rehearsed"},
      {"--from gone", 3, "gone: No such file or directory"},
      // A board path that cannot be resolved is read, and fails for its own reason.
      {"--from " + std::string(300, 'x'), 3, "File name too long"},
      {"--from no-rates", 3, "no-rates: no chip rates (chip-rates lists no chip)"},
      {"--from empty", 3, "empty: no chip-rates file: the twin is fitted from the chip rates"},
      {"--from board --chains 2,3", 2, "--chains cannot go with --from"},
      {"--from board --out board", 2, "--out board is, holds or lies inside the board"},
      {"--from board/before --out board", 2, "--out board is, holds or lies inside the board"},
      {"--from board --out board/twin", 2, "--out board/twin is, holds or lies inside"},
      {"--from no-chains", 3, "no-chains: config.conf gives chain 2 no frequency and voltage"},
      {"--from linked --out board", 2, "(or where its files lead)"},
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
      {"--compare eco --settings max_freq=700", 2, "--settings cannot go with --compare"},
      {"--compare eco ''", 2, "--compare needs settings lines, not an empty one"},
      {"--compare ecoo", 2,
       "--compare takes settings lines (key=value&...) or a preset (eco, balanced, "
       "performance), not \"ecoo\""},
      {"--from board --compare eco board/before", 2, "\"board/before\" is a directory"},
      {"--compare eco -- board", 2, "the words after \"--\" are boards"},
      {"--compare --from board", 2, "--compare needs a value"},
      // The farm's order of work: the new board gains more than the tuned one.
      {"--from board bad-settings", 3,
       "1 board by the lower end|1 more could not be predicted|"
       "tune-rehearse: bad-settings/autoTune.conf: freq_to=2000 is outside"},
      {"--from board board/before no-rates", 3,
       "board/before\n|board\n|2 boards by the lower end|1 more could not be|"
       "tune-rehearse: no-rates: no chip rates"},
      {"--from board board/before --out x", 2, "--out goes with one board"},
      {"--from board board/before --settings eco", 0,
       "settings: max_freq=725&freq_to=750&voltage_from=860&voltage_to=900"},
      {"unexpected", 2, "unexpected \"unexpected\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    ToolRun run = run_tool(dir.path(), c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    expect_every_part(c.expected, run);
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
  ToolRun ranked = run_tool(dir.path(), "--from board board/before");
  const size_t below_header = ranked.out.find('\n');
  EXPECT_LT(ranked.out.find("board/before\n"), ranked.out.find(" board\n", below_header))
      << ranked.out;
  EXPECT_NE(slurp(dir / "twin-tuned/prediction.json").find("\"gain_told\":false,\"gain\":null,"),
            std::string::npos);
  EXPECT_TRUE(fs::exists(dir / "refused/line-1"));
  EXPECT_FALSE(fs::exists(dir / "refused/line-2"));
  // A shorter comparison into the same directory leaves no line of the longer one behind.
  EXPECT_EQ(run_tool(dir.path(), "--compare eco --out compared").status, 0);
  EXPECT_FALSE(fs::exists(dir / "compared/line-2"));
  // Nor does a comparison leave an earlier prediction beside it, or the other way round.
  EXPECT_EQ(run_tool(dir.path(), "--compare eco --out twin").status, 0);
  EXPECT_FALSE(fs::exists(dir / "twin/prediction.txt"));
  EXPECT_EQ(run_tool(dir.path(), "--from board --out compared").status, 0);
  EXPECT_FALSE(fs::exists(dir / "compared/compare.svg"));
  EXPECT_FALSE(fs::exists(dir / "compared/line-1"));
}

TEST(RehearsalOptions, AreCheckedAndNamed) {
  TempDir dir;
  const struct {
    std::string args;
    int status;
    std::string expected;
  } cases[] = {
      {"--seed", 2, "--seed needs a value"},
      {"--seed=x", 2, "--seed takes a number from 0 to 2147483647, not \"x\""},
      {"--settings perfomance", 2,
       "--settings takes settings lines (key=value&...) or a preset (eco, balanced, "
       "performance), not \"perfomance\""},
      {"--chains 1,2", 2, "--chains takes chain numbers from 2,3,4,6,7,8, not \"1\""},
      {"--frobnicate", 2, "unknown option --frobnicate"},
      {"--version", 0, "tune-rehearse " TUNE_VERSION},
      {"--help", 0, "Exit status:"},
      {"--seed=5 --out=run --settings 'restart_count=3&restarts_count=abc&voltage_from=950' "
       "--weak 300 --dead 50 --missing 50",
       0,
       "unknown key \"restart_count\"|restarts_count=abc is not a whole number; the programs "
       "read 0|voltage_to 940 is below voltage_from 950|ask for 400 chips of 378"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    ToolRun run = run_tool(dir.path(), c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    expect_every_part(c.expected, run);
  }
  EXPECT_TRUE(fs::exists(dir / "run/heat-map.svg"));
}

TEST(Pictures, TicksStepByOneTwoOrFive) {
  EXPECT_EQ(nice_ticks(0, 69, 10), (std::vector<double>{0, 10, 20, 30, 40, 50, 60}));
  EXPECT_EQ(nice_ticks(28000, 35100, 6), (std::vector<double>{28000, 30000, 32000, 34000}));
  EXPECT_EQ(nice_ticks(0, 1, 3), (std::vector<double>{0, 0.5, 1}));
  EXPECT_EQ(nice_ticks(5, 5, 4), (std::vector<double>{5}));
}

// Renders an SVG with rsvg-convert and reads the pixels back through netpbm.
std::vector<unsigned char> render(const std::string& svg_path, int& width, int& height) {
  std::string command = "rsvg-convert '" + svg_path + "' | pngtopnm";
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  std::vector<unsigned char> pixels;
  int max_value = 0;
  if (pipe == nullptr || std::fscanf(pipe, "P6 %d %d %d", &width, &height, &max_value) != 3) {
    if (pipe != nullptr) pclose(pipe);
    return pixels;
  }
  std::fgetc(pipe);  // the single blank after the header
  pixels.resize(static_cast<size_t>(width) * height * 3);
  size_t got = std::fread(pixels.data(), 1, pixels.size(), pipe);
  pixels.resize(got);
  pclose(pipe);
  return pixels;
}

// The timeline's chain settings change when the programs wrote them: each voltage step the
// chain tuner logs is in the timeline at the second of its log entry, on its chain.
TEST(Timeline, ChainSettingsChangeAtTheMomentTheProgramsWroteThem) {
  TempDir dir;
  const Timeline timeline = rehearse_into(dir.path()).timeline;
  ASSERT_FALSE(timeline.settings.empty());
  const std::regex step(
      "^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) Chain (\\d) is ok, "
      "decreasing voltage to (\\d+)$");
  int checked = 0;
  for (const std::string& line : split_lines(slurp(dir / "chain-tuner.log"))) {
    std::smatch m;
    if (!std::regex_match(line, m, step)) continue;
    struct tm when = {};
    ASSERT_NE(strptime(m[1].str().c_str(), "%Y-%m-%d %H:%M:%S", &when), nullptr);
    when.tm_isdst = -1;  // the log stamps local time
    const double hours = static_cast<double>(std::mktime(&when) - sim::sim_epoch) / 3600.0;
    const int logged = std::stoi(m[2]);  // the log's chains 1 2 3 5 6 7 are slots 0 to 5
    const int slot = logged <= 3 ? logged - 1 : logged - 2;
    const int voltage = std::stoi(m[3]);
    // The first setting from that moment on holds the new voltage, and is of that moment.
    auto from = std::find_if(timeline.settings.begin(), timeline.settings.end(),
                             [&](const WrittenSettings& s) { return s.hours >= hours - 1e-9; });
    ASSERT_NE(from, timeline.settings.end()) << line;
    EXPECT_NEAR(from->hours * 3600, hours * 3600, 1e-6) << line;
    EXPECT_EQ(from->voltage[slot], voltage) << line;
    ++checked;
  }
  EXPECT_GT(checked, 3);
}

TEST(Pictures, EachPictureRendersToAnImageThatIsNotBlank) {
  TempDir dir;
  RehearsalResult result = rehearse_into(dir.path());
  BoardReport report = read_board(dir.path());
  // A title from a board's path of any bytes: escaped, and the file still renders.
  spit(dir / "heat-map.svg", heat_map_svg(report, "heat map <test> & more \x1b\xbd"));
  spit(dir / "timeline.svg", timeline_svg(result.timeline, "timeline"));
  // Two lines compared on a board at 28000 GH/s and 20000 units today, each of three draws,
  // one whose rehearsal failed and one refused.
  auto compared_line = [](double rate, double power, int overrides, long long seconds) {
    std::vector<Prediction> draws;
    for (double off : {-150.0, 0.0, 150.0}) {
      draws.push_back(Prediction{.rate_today = 28000,
                                 .rate_after = rate + off,
                                 .power_today = 20000,
                                 .power_after = power,
                                 .overrides_after = overrides,
                                 .logged_seconds = {},
                                 .virtual_seconds = seconds});
    }
    return summarise_draws(draws, false);
  };
  const DrawnPrediction low = compared_line(28100, 19000, 12, 4380);
  const DrawnPrediction high = compared_line(35000, 27000, 70, 2880);
  const std::vector<ComparedSettings> compared = {
      {"eco", "max_freq=725", low, "", ""},
      {"freq_to=900", "freq_to=900", high, "", ""},
      {"x=1", "x=1", std::nullopt, "killed", ""},
      {"freq_to=2", "freq_to=2", std::nullopt, "", "freq_to=2 is outside"}};
  spit(dir / "compare.svg", comparison_svg(compared, "compared <on> \x1b"));
  for (const char* name : {"heat-map.svg", "timeline.svg", "compare.svg"}) {
    SCOPED_TRACE(name);
    // Nothing cut short: a path's data runs to its last point, whatever its length.
    EXPECT_EQ(slurp(dir / name).find("\u2026"), std::string::npos);
    int width = 0, height = 0;
    std::vector<unsigned char> pixels = render(dir / name, width, height);
    ASSERT_GT(width, 400);
    ASSERT_GT(height, 200);
    ASSERT_EQ(pixels.size(), static_cast<size_t>(width) * height * 3);
    std::set<int> colours;
    size_t not_white = 0;
    for (size_t i = 0; i < pixels.size(); i += 3) {
      int colour = pixels[i] << 16 | pixels[i + 1] << 8 | pixels[i + 2];
      colours.insert(colour);
      not_white += colour != 0xffffff;
    }
    EXPECT_GT(colours.size(), 20u);
    EXPECT_GT(not_white, pixels.size() / 3 / 20);  // at least 5% of the image is drawn
  }
  std::string heat = slurp(dir / "heat-map.svg");
  for (int slot = 0; slot < chain_count; ++slot) {
    std::string label = "chain " + std::to_string(miner_chain_number(slot)) + "<";
    EXPECT_NE(heat.find(label), std::string::npos) << label;
  }
  EXPECT_NE(heat.find("heat map &lt;test&gt; &amp; more \\x1b\\xbd<"), std::string::npos);
  std::smatch tooltip;
  ASSERT_TRUE(
      std::regex_search(heat, tooltip,
                        std::regex("<title>chain 2 chip 1: (\\d+) MHz, rate [0-9.]+, "
                                   "(green|yellow|red|unclassified), \\d+ changes?</title>")));
  EXPECT_EQ(std::stoi(tooltip[1]), report.chains[0].chips[0].freq);

  // The comparison: a dot per line and measure with its interval's bar, the higher rate
  // further right and the shorter duration further left; the failed and the refused line
  // say so in each panel; no value label crosses the dashed line of the board today.
  std::string picture = slurp(dir / "compare.svg");
  std::vector<double> xs;
  const std::regex dot("<circle cx=\"([0-9.]+)\"");
  for (std::sregex_iterator it(picture.begin(), picture.end(), dot), end; it != end; ++it) {
    xs.push_back(std::stod((*it)[1]));
  }
  ASSERT_EQ(xs.size(), 8u);  // 4 measures x 2 lines, in that order
  EXPECT_LT(xs[0], xs[1]);   // rate 28100 < 35000
  EXPECT_GT(xs[2], xs[3]);   // efficiency 1.48 > 1.30
  EXPECT_LT(xs[4], xs[5]);   // overrides 12 < 70
  EXPECT_GT(xs[6], xs[7]);   // 1:13 > 0:48
  std::smatch bar;
  ASSERT_TRUE(
      std::regex_search(picture, bar,
                        std::regex("<line x1=\"([0-9.]+)\" x2=\"([0-9.]+)\" y1=\"([0-9.]+)\" "
                                   "y2=\"[0-9.]+\" stroke=\"#0072B2\"")));
  EXPECT_LT(std::stod(bar[1]), xs[0]);
  EXPECT_GT(std::stod(bar[2]), xs[0]);
  for (const char* label : {">1:13<", ">0:48<", ">1 eco<", ">3 x=1<", "compared &lt;on&gt; \\x1b",
                            "<title>freq_to=900</title>", ">2  freq_to=900<"}) {
    EXPECT_NE(picture.find(label), std::string::npos) << label;
  }
  for (const char* why : {">failed<", ">refused<"}) {
    size_t count = 0;
    for (size_t at = picture.find(why); at != std::string::npos; at = picture.find(why, at + 1)) {
      ++count;
    }
    EXPECT_EQ(count, 4u) << why;
  }
  // The rate panel's dashed line at 28000, and the label of the line beside it at 28100.
  std::smatch today_line, label;
  ASSERT_TRUE(std::regex_search(picture, today_line,
                                std::regex("<line x1=\"([0-9.]+)\" x2=\"[0-9.]+\" y1=\"[0-9.]+\" "
                                           "y2=\"[0-9.]+\" stroke=\"#333333\" stroke-dasharray")));
  ASSERT_TRUE(std::regex_search(picture, label,
                                std::regex("<text x=\"([0-9.]+)\" y=\"[0-9.]+\" font-size=\"10\" "
                                           "text-anchor=\"(start|end)\">28100<")));
  const double today_x = std::stod(today_line[1]), label_x = std::stod(label[1]);
  const double label_width = 6.0 * 5;
  if (label[2] == "start") {
    EXPECT_TRUE(today_x < label_x || today_x > label_x + label_width) << today_x << " " << label_x;
  } else {
    EXPECT_TRUE(today_x > label_x || today_x < label_x - label_width) << today_x << " " << label_x;
  }
}

}  // namespace
}  // namespace tune::rehearse
