#include "miner_files.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "harness.hpp"

namespace tune {
namespace {

using testing::Entries;
using testing::SimMachine;

TEST(ParseBaseFreq, ReadsTheStringMemberAsAnInteger) {
  int base = 1;
  EXPECT_TRUE(parse_base_freq(R"({"pools":[],"bitmain-freq":"650"})", base));
  EXPECT_EQ(base, 650);
  EXPECT_TRUE(parse_base_freq(R"({"bitmain-freq":" 575:1"})", base));
  EXPECT_EQ(base, 575);
  EXPECT_TRUE(parse_base_freq(R"({"bitmain-freq":"fast"})", base));
  EXPECT_EQ(base, 0);
  EXPECT_TRUE(parse_base_freq(R"({"bitmain-freq":700.9})", base));  // a number is taken too
  EXPECT_EQ(base, 700);
}

TEST(ParseBaseFreq, UnusableDocumentsLeaveTheValueAlone) {
  for (const char* json :
       {R"({"Bitmain-freq":"600"})", R"(["bitmain-freq","600"])", R"({"bitmain-freq":true})",
        R"({"bitmain-freq":null})", "\"600\"", R"({"bitmain-freq":{"x":"1"}})"}) {
    int base = 625;
    EXPECT_TRUE(parse_base_freq(json, base)) << json;
    EXPECT_EQ(base, 625) << json;
  }
  int base = 625;
  EXPECT_FALSE(parse_base_freq("{\"bitmain-freq\":", base));
  EXPECT_FALSE(parse_base_freq("", base));
  EXPECT_EQ(base, 625);
}

TEST(ReadBaseFreq, MissingOrInvalidFilesAreFatal) {
  SimMachine missing;
  sim::RunResult result = missing.run([&] { read_base_freq(missing.ctx); });
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(missing.log(), (Entries{"Can't read /config/bmminer.conf\n"}));

  // Not JSON, and a sparse file far larger than memory, which cannot be read whole.
  for (bool too_large : {false, true}) {
    SimMachine invalid;
    invalid.sys.write_file(bmminer_conf_path, "{not json");
    if (too_large) std::filesystem::resize_file(invalid.sys.path(bmminer_conf_path), 1ull << 42);
    result = invalid.run([&] { read_base_freq(invalid.ctx); });
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(result.parent_status(), 255);
    EXPECT_EQ(invalid.log(), (Entries{"Can't read json\n"}));
  }

  SimMachine good;
  good.sys.write_file(bmminer_conf_path, R"({"bitmain-freq":"618"})");
  read_base_freq(good.ctx);
  EXPECT_EQ(good.ctx.state.base_freq, 618);
}

TuneState state_with(int freq, int voltage) {
  TuneState state;
  for (int slot = 0; slot < chain_count; ++slot) {
    state.chain_freq[slot] = freq + slot;
    state.chain_voltage[slot] = voltage + slot;
  }
  return state;
}

TEST(RewriteChainConfig, ReplacesChainLinesKeepsTheMinersOwnDropsShortOnes) {
  TuneState state = state_with(575, 900);
  std::string old_content =
      "bitmain-fan-ctrl=true\n"
      "bitmain-freq1=600 old tail\n"
      "abc\n"
      "\n"
      "bitmain-voltage3=940\r\n"
      "bitmain-use-vil=true\r\n"
      "bitmain-freq6=650\n"
      "bitmain-freq9=650\n"
      "bitmain-voltageX=1\n"
      "api-listen=true";
  EXPECT_EQ(rewrite_chain_config(old_content, state),
            "bitmain-fan-ctrl=true\n"
            "bitmain-freq1=575\n"
            "bitmain-voltage3=902\n"
            "bitmain-use-vil=true\r\n"
            "bitmain-freq6=580\n"
            "bitmain-freq9=650\n"
            "bitmain-voltageX=1\n"
            "api-listen=true");
}

TEST(RewriteChainConfig, ALastLineCountsItsMissingBreakAndNoFinalBreakRemains) {
  TuneState state = state_with(575, 900);
  EXPECT_EQ(rewrite_chain_config("bitmain-freq2=600\nshort", state), "bitmain-freq2=576");
  EXPECT_EQ(rewrite_chain_config("", state), "");
  EXPECT_EQ(rewrite_chain_config("12345678\n", state), "");  // 9 with its line break
  EXPECT_EQ(rewrite_chain_config("123456789\n", state), "123456789");
  EXPECT_EQ(rewrite_chain_config("x=1\nnine-char", state), "nine-char");
  EXPECT_EQ(rewrite_chain_config("x=1\neight-ch", state), "");
  EXPECT_EQ(rewrite_chain_config("1234567890", state), "1234567890");
  EXPECT_EQ(rewrite_chain_config("bitmain-freq", state), "bitmain-freq");
  // What one rewrite keeps, the next keeps too.
  std::string once = rewrite_chain_config("bitmain-freq1=600\nnine-char\n", state);
  EXPECT_EQ(once, "bitmain-freq1=575\nnine-char");
  EXPECT_EQ(rewrite_chain_config(once, state), once);
}

TEST(RewriteChainConfig, LongFilesAreRewrittenWhole) {
  TuneState state = state_with(575, 900);
  std::string old_content;
  for (int i = 0; i < 60; ++i) old_content += "miner-setting-" + std::to_string(i) + "=value\n";
  old_content += "bitmain-freq4=600\n";
  ASSERT_GT(old_content.size(), 1023u);
  std::string expected = old_content.substr(0, old_content.size() - 18) + "bitmain-freq4=578";
  EXPECT_EQ(rewrite_chain_config(old_content, state), expected);
}

TEST(WriteChainConfig, AMissingFileIsCreatedWithTwelveLines) {
  SimMachine m;
  m.ctx.state = state_with(850, 940);
  write_chain_config(m.ctx);
  EXPECT_EQ(m.log(), (Entries{"Can't read advanced config, writing new one\n"}));
  EXPECT_EQ(*m.sys.read_file(chain_config_path),
            "bitmain-freq1=850\nbitmain-voltage1=940\nbitmain-freq2=851\nbitmain-voltage2=941\n"
            "bitmain-freq3=852\nbitmain-voltage3=942\nbitmain-freq4=853\nbitmain-voltage4=943\n"
            "bitmain-freq5=854\nbitmain-voltage5=944\nbitmain-freq6=855\nbitmain-voltage6=945\n");
  // A second write rewrites in place: same lines, the last without its break.
  write_chain_config(m.ctx);
  std::string text = *m.sys.read_file(chain_config_path);
  EXPECT_EQ(text.back(), '5');
  EXPECT_EQ(m.log().size(), 1u);
}

// A directory, or a pipe no one reads, where config.conf goes: read as unreadable and
// written as unwritable, neither waiting (the alarm ends a test that would wait for good).
TEST(WriteChainConfig, AnUnwritableFileIsFatal) {
  for (bool pipe : {false, true}) {
    SimMachine m;
    const std::string path = m.sys.path(chain_config_path);
    ASSERT_TRUE(pipe ? mkfifo(path.c_str(), 0644) == 0 : std::filesystem::create_directory(path));
    alarm(10);
    sim::RunResult result = m.run([&] { write_chain_config(m.ctx); });
    alarm(0);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(m.log(), (Entries{"Can't read advanced config, writing new one\n",
                                "Can't open /config/config.conf\n"}));
  }
}

TEST(ReadChainConfig, KeysArePrefixesAndValuesFollowTheFirstEquals) {
  SimMachine m;
  m.sys.write_file(chain_config_path,
                   "bitmain-freq12=600\nbitmain-voltage6=910=5\nbitmain-freq2\n"
                   "bitmain-freq3=abc\nbitmain-voltage1 =905");
  m.ctx.state.chain_freq[1] = 777;
  read_chain_config(m.ctx);
  EXPECT_EQ(m.ctx.state.chain_freq[0], 600);
  EXPECT_EQ(m.ctx.state.chain_voltage[5], 910);
  EXPECT_EQ(m.ctx.state.chain_freq[1], 777);  // no "=": unchanged
  EXPECT_EQ(m.ctx.state.chain_freq[2], 0);
  EXPECT_EQ(m.ctx.state.chain_voltage[0], 905);
  EXPECT_EQ(m.log(), Entries{});
}

TEST(ReadChainConfig, AMissingFileIsReportedAndChangesNothing) {
  SimMachine m;
  m.ctx.state.chain_freq[0] = 650;
  read_chain_config(m.ctx);
  EXPECT_EQ(m.ctx.state.chain_freq[0], 650);
  EXPECT_EQ(m.log(), (Entries{"Can't read advanced config"}));
}

TEST(ChipOverrides, RoundTripThroughEveryRow) {
  SimMachine m;
  m.ctx.state.chip_override[2][9] = 17;
  m.ctx.state.chip_override[0][0] = 5;
  m.ctx.state.chip_override[4][62] = 113;
  m.ctx.state.chip_override[15][3] = 200;
  m.ctx.state.chip_override[7][1] = -2;  // no override: not written
  write_chip_overrides(m.ctx);
  EXPECT_EQ(*m.sys.read_file(chip_overrides_path), "1:1:5\n3:10:17\n5:63:113\n16:4:200\n");
  TuneState before = m.ctx.state;
  m.ctx.state.chip_override[1][1] = 9;  // cleared by the read
  read_chip_overrides(m.ctx);
  before.chip_override[7][1] = 0;
  for (int row = 0; row < chip_table_rows; ++row) {
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      EXPECT_EQ(m.ctx.state.chip_override[row][chip], before.chip_override[row][chip]);
    }
  }
}

TEST(ChipOverrides, AnEmptyTableGivesAnEmptyFile) {
  SimMachine m;
  m.sys.write_file(chip_overrides_path, "3:1:40\n");
  write_chip_overrides(m.ctx);
  EXPECT_EQ(*m.sys.read_file(chip_overrides_path), "");
}

TEST(ChipOverrides, LinesOutsideTheTableAreIgnored) {
  TuneState state;
  for (const char* line : {"0:1:5\n", "17:1:5\n", "3:0:5\n", "3:64:5\n", "3:5\n", "", "-1:-1:5\n",
                           "99999999999:1:5\n"}) {
    apply_chip_override_line(state, line);
  }
  TuneState untouched;
  EXPECT_EQ(std::memcmp(state.chip_override, untouched.chip_override, sizeof state.chip_override),
            0);
  apply_chip_override_line(state, "::6::1::44:extra\n");  // runs of ":" count as one
  EXPECT_EQ(state.chip_override[5][0], 44);
  apply_chip_override_line(state, "6:1:-3\n");  // stored as read
  EXPECT_EQ(state.chip_override[5][0], -3);
}

TEST(ChipOverrides, MissingOrUnwritableFilesAreSilent) {
  SimMachine m;
  m.ctx.state.chip_override[3][3] = 50;
  read_chip_overrides(m.ctx);  // no file: table kept
  EXPECT_EQ(m.ctx.state.chip_override[3][3], 50);
  std::filesystem::create_directory(m.sys.path(chip_overrides_path));
  write_chip_overrides(m.ctx);  // cannot be opened: nothing happens
  EXPECT_EQ(m.log(), Entries{});
}

}  // namespace
}  // namespace tune
