// What the report presents, at the presenters and through the report's commands: the JSON
// document, text, JSON, metrics and pictures that stay inert whatever bytes a board holds, a
// series a board and a chain that promtool takes, and pictures that render.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <set>

#include "board_report.hpp"
#include "kit/rehearse_calls.hpp"
#include "output.hpp"
#include "pictures.hpp"
#include "predictions.hpp"
#include "report_metrics.hpp"
#include "tool_error.hpp"

namespace tune::rehearse {
namespace {

namespace fs = std::filesystem;

TEST(Report, TheJsonDocumentSaysWhatTheSummarySays) {
  TempDir dir;
  rehearse_into(dir / "board");
  std::string rates = slurp(dir / "board/tmp/chip-rates");
  ASSERT_TRUE(rates.starts_with("2:1:"));
  spit(dir / "board/tmp/chip-rates", "2:1:-5" + rates.substr(rates.find('\n')));
  const testing::Outcome run = call_tune_rehearse(dir.path(), "report board --json");
  EXPECT_EQ(run.status, 1);
  cJSON* root = cJSON_Parse(run.output.c_str());
  ASSERT_NE(root, nullptr) << run.output;
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
testing::Files hostile_board() {
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
  std::vector<std::string> dirs;
  for (int board = 0; board < 12; ++board) {
    testing::Files files;
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
      files[name] = bytes;
    }
    dirs.push_back(std::string("b").append(std::to_string(board)));
    testing::write_files(farm / dirs.back(), files);
  }
  // h0 with every file; h1 without the record and the state, so that the logs tell the
  // chips' changes and the tuning's outcome.
  for (const std::string dir : {"h0", "h1"}) {
    testing::Files files = hostile_board();
    if (dir == "h1") files["chip-history.txt"] = files["tune-session.state"] = testing::absent;
    testing::write_files(farm / dir, files);
    dirs.push_back(dir);
  }
  // Each command line called in-process as main calls the tool; DIRS stands for every board.
  std::string every;
  for (const std::string& board : dirs) every += " " + board;
  auto call = [&](const std::string& args) {
    return call_tune_rehearse(farm.path(), std::regex_replace(args, std::regex(" DIRS"), every));
  };
  const std::string all[] = {"report b0",
                             "report b1 --json",
                             "report DIRS",
                             "report DIRS --json",
                             "report b2 --chip 2:1",
                             "report b3 --chip 2:1 --json",
                             "report h0",
                             "report h1",
                             "report h0 --json --out=h0-pictures",
                             "report h1 --json --out=h1-pictures",
                             "report h0 --chip 2:1",
                             "report h0 --chip 2:2 --json",
                             "report h1 --chip 2:1 --json",
                             "report DIRS --metrics=random.prom",
                             "--from h0 --out=h0-twin",
                             "--from h1 --out=h1-twin"};
  for (const std::string& args : all) {
    SCOPED_TRACE(args);
    testing::Outcome run = call(args);
    EXPECT_TRUE(run.status == 0 || run.status == 1 || (args[0] == '-' && run.status == 3))
        << run.status << run.errors;
    EXPECT_TRUE(inert_text(run.output)) << run.output;
    EXPECT_TRUE(inert_text(run.errors)) << run.errors;
    EXPECT_TRUE(run.output.empty() || run.output.back() == '\n');
    if (args.find("--metrics") != std::string::npos) {
      EXPECT_TRUE(inert_text(slurp(farm / "random.prom")));
      EXPECT_EQ(promtool_problems(farm / "random.prom"), "");
    }
    if (args.find("--json") != std::string::npos) {
      cJSON* parsed = cJSON_Parse(run.output.c_str());
      EXPECT_NE(parsed, nullptr) << run.output;
      expect_inert_strings(parsed);
      cJSON_Delete(parsed);
    }
  }
  // The record's impossible time is a finding, and the change is kept without a time.
  testing::Outcome chip = call("report h0 --chip 2:1");
  EXPECT_NE(chip.output.find("(time unknown)"), std::string::npos) << chip.output;
  testing::Outcome summary = call("report h0");
  EXPECT_NE(summary.output.find("chip-history.txt:1: impossible time \"1\\xa2\\x07\\x1b[2J"),
            std::string::npos)
      << summary.output;
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
  const std::string text = writer.text().value();
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
  for (const auto& e : expected)
    EXPECT_EQ(count(text, e.sample), e.count) << e.sample << "\n" << text;
  // A farm too large to hold waits in nameless files beside the output and comes out as the
  // same text; a write that fails leaves the old file whole and nothing beside it.
  MetricsWriter held, spooled(dir / "out");
  fs::create_directory(dir / "out");
  const BoardReport board = read_board(dir / "a");
  for (int i = 0; i < 2000; ++i) {
    const std::string name = std::string("b").append(std::to_string(i));
    held.board(board, name);
    spooled.board(board, name);
  }
  const std::string farm = dir / "out/farm.prom";
  replace_output(
      farm, [&](int fd) { return spooled.write(fd); }, [] { return std::nullopt; });
  EXPECT_EQ(slurp(farm), held.text().value());
  EXPECT_GT(held.text()->size(), 15 * 64 * 1024u);
  try {
    replace_output(
        farm, [](int) { return errno = ENOSPC, false; }, [] { return std::nullopt; });
    ADD_FAILURE() << "a failed write was taken";
  } catch (const ToolError& failed) {
    EXPECT_EQ(failed.message, farm + ": cannot be written: No space left on device");
  }
  EXPECT_EQ(slurp(farm), held.text().value());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), {}), 1);
  // The example alert rules name metrics the report writes.
  const std::string rules = slurp(TUNE_SOURCE_DIR "/examples/prometheus/tune-alerts.yml");
  const std::regex metric("tune_[a-z_]+");
  size_t named = 0;
  for (std::sregex_iterator it(rules.begin(), rules.end(), metric), end; it != end; ++it, ++named)
    EXPECT_NE(text.find("# TYPE " + it->str() + " gauge\n"), std::string::npos) << it->str();
  EXPECT_GE(named, 5u);
}

TEST(Pictures, TicksStepByOneTwoOrFive) {
  EXPECT_EQ(nice_ticks(0, 69, 10), (std::vector<double>{0, 10, 20, 30, 40, 50, 60}));
  EXPECT_EQ(nice_ticks(28000, 35100, 6), (std::vector<double>{28000, 30000, 32000, 34000}));
  EXPECT_EQ(nice_ticks(0, 1, 3), (std::vector<double>{0, 0.5, 1}));
  EXPECT_EQ(nice_ticks(5, 5, 4), (std::vector<double>{5}));
}

// Renders an SVG with rsvg-convert and reads the pixels back through netpbm.
std::vector<unsigned char> render(const std::string& svg_path, int& width, int& height) {
  const testing::Outcome ppm =
      testing::run_process({"/bin/sh", "-c", "rsvg-convert '" + svg_path + "' | pngtopnm"});
  EXPECT_EQ(ppm.status, 0) << ppm.errors;
  int max_value = 0, header = 0;
  if (std::sscanf(ppm.output.c_str(), "P6 %d %d %d%n", &width, &height, &max_value, &header) != 3) {
    return {};
  }
  // After the single blank that ends the header.
  return std::vector<unsigned char>(ppm.output.begin() + header + 1, ppm.output.end());
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
  // A farm past a few hundred boards: a row a rack (the boards without one by the hundred),
  // its marks counted, and the worst boards named, weakest first.
  FarmPicture farm;
  for (int i = 0; i < 310; ++i) {
    FarmRow row{.name = std::string(i < 200   ? "rackA/b"
                                    : i < 300 ? "rackB/b"
                                              : "b")
                            .append(std::to_string(i))};
    row.present[0] = true;
    row.share[0] = 1.2 - i / 1000.0;
    row.stale = i < 200;
    row.lost[0] = i == 150;
    row.unusable = i == 250;
    farm.add(row);
  }
  const std::string racks = farm.svg();
  spit(dir / "farm.svg", racks);
  size_t at = 0;
  for (const char* part : {"310 boards in 3 racks", ">rackA<", ">200 boards, 200 stale<", ">rackB<",
                           ">100 boards, 1 not read or copied<", ">boards 1 to 10<",
                           ">rackA/b150: 0.0 %<", ">b309: 89.1 %<", ">b308: 89.2 %<"}) {
    const size_t found = racks.find(part, at);
    ASSERT_NE(found, std::string::npos) << part << " after " << at;
    at = found;
  }
  EXPECT_EQ(count(racks.substr(racks.find("furthest below")), " %</text>"), 20u);
  for (const char* name : {"heat-map.svg", "timeline.svg", "compare.svg", "farm.svg"}) {
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
  for (const char* why : {">failed<", ">refused<"}) EXPECT_EQ(count(picture, why), 4u) << why;
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
