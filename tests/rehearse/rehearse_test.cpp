// The rehearsal tool: repeatable runs, a summary that agrees with the files, the report on a
// board directory, and pictures that render.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>

#include "board_report.hpp"
#include "report_format.hpp"
#include "pictures.hpp"
#include "rehearsal.hpp"

namespace tune::rehearse {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tune-rehearse-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
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

RehearsalResult rehearse_into(const std::string& dir, RehearsalOptions options = {}) {
  options.out_dir = dir;
  return rehearse(options, nullptr);
}

TEST(Rehearsal, TheSameSeedGivesTheSameFilesAndSummary) {
  TempDir a, b;
  rehearse_into(a.path());
  rehearse_into(b.path());
  for (const char* file : {"config/config.conf", "config/manual_freqs.txt", "tmp/auto-tune",
                           "tmp/chip-rates", "chain-tuner.log"}) {
    EXPECT_EQ(slurp(a / file), slurp(b / file)) << file;
  }
  EXPECT_EQ(format_summary(read_board(a.path())), format_summary(read_board(b.path())));
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

TEST(Rehearsal, SummaryCountsAgreeWithTheFiles) {
  TempDir dir;
  RehearsalOptions options;
  options.chain_present = {true, true, false, true, true, true};  // chain 3 absent
  options.dead_chips = 4;
  rehearse_into(dir.path(), options);
  BoardReport report = read_board(dir.path());
  EXPECT_TRUE(report.problems.empty());

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
  for (const ChainSummary& chain : report.chains) {
    int miner_chain = chain.chain_number + 1;
    EXPECT_EQ(chain.overrides, overrides[miner_chain]) << chain.chain_number;
    EXPECT_EQ(chain.present, rated[miner_chain] > 0) << chain.chain_number;
    if (!chain.present) continue;
    EXPECT_EQ(chain.red + chain.yellow + chain.green + chain.unrated, 63);
    EXPECT_EQ(63 - chain.unrated, rated[miner_chain]);
  }
  EXPECT_FALSE(report.chains[2].present);
  std::string summary = format_summary(report);
  EXPECT_NE(summary.find("    3  absent"), std::string::npos) << summary;
  ASSERT_EQ(report.sessions.size(), 2u);
  EXPECT_EQ(report.sessions[0].program, "chain-tuner");
  EXPECT_EQ(report.sessions[1].program, "yellow-fixer");
}

TEST(Report, ACopiedBoardDirectoryGivesTheRehearsalsSummary) {
  TempDir sandbox, flat;
  rehearse_into(sandbox.path());
  for (const char* file : {"config/config.conf", "config/manual_freqs.txt", "config/bmminer.conf",
                           "tmp/auto-tune", "tmp/chip-rates", "chain-tuner.log"}) {
    fs::copy_file(sandbox / file, flat / fs::path(file).filename().string());
  }
  std::string from_sandbox = format_summary(read_board(sandbox.path()));
  std::string from_copy = format_summary(read_board(flat.path()));
  EXPECT_EQ(from_copy, from_sandbox);
}

TEST(Report, BadInputIsNamedByFileAndLine) {
  TempDir dir;
  spit(dir / "config.conf", "bitmain-freq1=650\nbitmain-voltage1=nine\nbitmain-freq2=600\n");
  spit(dir / "manual_freqs.txt", "2:1:40\n2:70:3\nrubbish\n2:2:500\n");
  spit(dir / "chip-rates", "2:1:50.5\n2:2\n2:3:fast\n" + std::string(3000, 'x') + "\n");
  spit(dir / "bmminer.conf", "{\"bitmain-freq\":");
  spit(dir / "auto-tune", "no stamp here\n");
  BoardReport report = read_board(dir.path());
  std::set<std::string> problems(report.problems.begin(), report.problems.end());
  for (const std::string& expected :
       {dir / "config.conf:2: \"bitmain-voltage1=nine\" does not end in a number",
        dir / "manual_freqs.txt:2: expected chain:chip:step, got \"2:70:3\"",
        dir / "manual_freqs.txt:3: expected chain:chip:step, got \"rubbish\"",
        dir / "manual_freqs.txt:4: step past the top of the ladder, counted as 1175 MHz",
        dir / "chip-rates:2: expected chain:chip:rate, got \"2:2\"",
        dir / "chip-rates:3: expected chain:chip:rate, got \"2:3:fast\"",
        dir / "bmminer.conf: not valid JSON", dir / "auto-tune: has lines without a time stamp"}) {
    EXPECT_EQ(problems.count(expected), 1u) << expected;
  }
  EXPECT_TRUE(report.chains[0].present);
  EXPECT_EQ(report.chains[0].freq, 650);
  EXPECT_EQ(report.chains[1].present, false);
  EXPECT_NE(format_summary(report).find("problem: "), std::string::npos);
}

TEST(Report, MissingFilesAndDirectoriesAreReported) {
  TempDir dir;
  BoardReport report = read_board(dir.path());
  EXPECT_EQ(report.problems,
            (std::vector<std::string>{dir / "config.conf: missing", dir / "chip-rates: missing"}));
  EXPECT_EQ(read_board(dir / "nothing-here").problems,
            (std::vector<std::string>{dir / "nothing-here: not a directory"}));
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

TEST(Pictures, HeatMapAndTimelineRenderToImagesThatAreNotBlank) {
  TempDir dir;
  RehearsalResult result = rehearse_into(dir.path());
  BoardReport report = read_board(dir.path());
  spit(dir / "heat-map.svg", heat_map_svg(report, "heat map <test> & more"));
  spit(dir / "timeline.svg", timeline_svg(result.timeline, "timeline"));
  for (const char* name : {"heat-map.svg", "timeline.svg"}) {
    SCOPED_TRACE(name);
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
  for (const char* label :
       {"chain 1<", "chain 2<", "chain 3<", "chain 5<", "chain 6<", "chain 7<"}) {
    EXPECT_NE(heat.find(label), std::string::npos) << label;
  }
  EXPECT_NE(heat.find("heat map &lt;test&gt; &amp; more"), std::string::npos);
}

}  // namespace
}  // namespace tune::rehearse
