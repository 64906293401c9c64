// The SVG writer and the pictures on small fixed inputs: every document well formed, nothing
// of a path cut, text escaped and cut only where it is shown, and each mark where the data
// puts it.
#include "svg.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "kit/process.hpp"
#include "pictures.hpp"

namespace tune::rehearse {
namespace {

// Whether the document's tags open and close in order, each attribute is quoted, and no
// text holds a raw "<" or a "&" that begins no entity: what an XML reader asks of it.
std::string malformation(const std::string& svg) {
  std::vector<std::string> open;
  for (size_t at = 0; at < svg.size();) {
    if (svg[at] == '&') {
      const size_t end = svg.find(';', at);
      if (end == std::string::npos || end - at > 6) return "a bare & at " + std::to_string(at);
      at = end + 1;
      continue;
    }
    if (svg[at] != '<') {
      ++at;
      continue;
    }
    size_t end = at + 1;
    bool quoted = false;
    while (end < svg.size() && (quoted || svg[end] != '>')) {
      if (svg[end] == '"') quoted = !quoted;
      if (!quoted && svg[end] == '<') return "a < inside a tag at " + std::to_string(end);
      ++end;
    }
    if (end >= svg.size()) return "a tag never closed at " + std::to_string(at);
    const std::string tag = svg.substr(at + 1, end - at - 1);
    const size_t name_end = tag.find_first_of(" /");
    if (tag.starts_with("/")) {
      if (open.empty() || open.back() != tag.substr(1)) return "</" + tag.substr(1) + "> unopened";
      open.pop_back();
    } else if (!tag.ends_with("/")) {
      open.push_back(tag.substr(0, name_end));
    }
    at = end + 1;
  }
  return open.empty() ? "" : "<" + open.back() + "> never closed";
}

using testing::count;

TEST(Svg, TextIsEscapedAndCutOnlyWhereShownAndNumbersWrittenOneWay) {
  Svg svg(200, 100, "title <&> \"quoted\" \x1b[2J \xbd");
  svg.text({{"x", 1}, {"y", 2}}, std::string(1500, 'a'));
  const std::string path_data = "M0 0" + std::string(6000, 'L');
  svg.shape("path", {{"d", path_data}, {"stroke", "a\"b<c"}});
  EXPECT_EQ(svg.number(2.0), "2");
  EXPECT_EQ(svg.number(0.5), "0.5");
  EXPECT_EQ(svg.number(1.0 / 3), "0.333333");
  EXPECT_EQ(Svg(10, 10, "", 7).number(1234.56789), "1234.568");
  const std::string out = svg.finish();
  // The checker itself, on what it must refuse.
  for (const char* bad : {"<svg><text>a < b</text></svg>", "<svg><text>a & b</text></svg>",
                          "<svg><g></svg>", "<svg><text x=\"1>2</text></svg>"}) {
    EXPECT_NE(malformation(bad), "") << bad;
  }
  EXPECT_EQ(malformation(out), "");
  EXPECT_TRUE(out.ends_with("</svg>\n"));
  EXPECT_NE(out.find("title &lt;&amp;&gt; &quot;quoted&quot; \\x1b[2J \\xbd</text>"),
            std::string::npos);
  // The shown text is cut with an ellipsis; an attribute is never cut.
  EXPECT_NE(out.find(std::string(999, 'a') + "\u2026</text>"), std::string::npos);
  EXPECT_EQ(out.find(std::string(1001, 'a')), std::string::npos);
  EXPECT_NE(out.find("d=\"" + path_data + "\""), std::string::npos);
  EXPECT_NE(out.find("stroke=\"a&quot;b&lt;c\""), std::string::npos);
}

// A board of two chains: chain 2 with a chip of each class, chain 3 absent.
BoardReport small_board() {
  BoardReport report;
  for (int slot = 0; slot < chain_count; ++slot) {
    report.chains[slot].slot = slot;
    report.chains[slot].number = miner_chain_number(slot);
  }
  ChainView& chain = report.chains[0];
  chain.present = true;
  for (ChipView& chip : chain.chips) {
    chip.freq = 650;
    chip.rate = 74.7f;
    chip.chip_class = ChipClass::green;
  }
  chain.chips[1] = {800, 98, 40.0f, ChipClass::red, {}, 0};
  chain.chips[2] = {775, 97, 80.0f, ChipClass::yellow, {}, 0};
  chain.chips[3] = {650, 0, std::nullopt, ChipClass::unrated, {}, 0};
  return report;
}

TEST(Pictures, EachOnASmallFixedInputIsWellFormedWithItsMarksWhereTheDataPutsThem) {
  // The heat map: a cell and a tooltip for each chip of the chain that hashes, the class
  // marks by shape (a circle green, a diamond yellow, a cross red), and the absent chain
  // said so.
  const std::string heat = heat_map_svg(small_board(), "heat");
  EXPECT_EQ(malformation(heat), "");
  EXPECT_EQ(count(heat, "<title>chain 2 chip "), 63u);
  EXPECT_EQ(count(heat, "<title>chain 3 chip "), 0u);
  EXPECT_NE(heat.find("<title>chain 2 chip 2: 800 MHz, rate 40.00, red, 0 changes</title>"),
            std::string::npos)
      << heat.substr(0, 4000);
  EXPECT_NE(heat.find("<title>chain 2 chip 4: 650 MHz, no rate, no rate, 0 changes</title>"),
            std::string::npos);
  EXPECT_EQ(count(heat, "absent: no chip rates"), 5u);  // every chain but chain 2
  // Chip 2's group holds a cross (two strokes), chip 3's a closed diamond.
  const size_t chip2 = heat.find("<title>chain 2 chip 2:");
  const std::string group2 = heat.substr(chip2, heat.find("</g>", chip2) - chip2);
  std::smatch red;
  ASSERT_TRUE(std::regex_search(group2, red, std::regex("d=\"([^\"]*)\" stroke=\"#D55E00\"")))
      << group2;
  EXPECT_EQ(count(red[1], "M"), 2u) << group2;  // two strokes: a cross
  const size_t chip3 = heat.find("<title>chain 2 chip 3:");
  EXPECT_NE(heat.substr(chip3, heat.find("</g>", chip3) - chip3).find(" Z\""), std::string::npos);

  // The timeline: the rate held between its readings, each chain's voltage and frequency
  // from the moment they were written, each line running to the end.
  Timeline timeline;
  timeline.chain_present = {true, false, false, false, false, false};
  timeline.samples = {{0, 100}, {0.5, 200}, {1, 150}};
  timeline.settings = {{0, {940}, {850}}, {0.25, {930}, {825}}};
  timeline.yellow_fixer_start_hours = 0.5;
  const std::string line = timeline_svg(timeline, "timeline");
  EXPECT_EQ(malformation(line), "");
  std::smatch path;
  std::vector<std::string> paths;
  const std::regex d(" d=\"([^\"]*)\"");
  for (std::sregex_iterator it(line.begin(), line.end(), d), end; it != end; ++it) {
    paths.push_back((*it)[1]);
  }
  ASSERT_EQ(paths.size(), 3u);  // the rate, chain 2's frequency, chain 2's voltage
  EXPECT_EQ(count(paths[0], " V"), 2u) << paths[0];  // two changes after the first reading
  for (const std::string& p : paths) {
    // Each ends where the time axis ends, as far right as every other.
    EXPECT_EQ(p.substr(p.rfind(" H")), paths[0].substr(paths[0].rfind(" H"))) << p;
  }
  EXPECT_EQ(count(paths[2], " V"), 1u) << paths[2];  // one voltage change, at 15 minutes
  EXPECT_NE(line.find(">yellow-fixer starts<"), std::string::npos);
  EXPECT_EQ(count(line, ">chain "), 1u);

  // The farm overview: a hundred boards a column, a cell a present chain, the marks.
  std::vector<FarmRow> rows(150);
  for (size_t i = 0; i < rows.size(); ++i) {
    rows[i].name = "rack/board-" + std::to_string(i);
    rows[i].present[0] = rows[i].present[3] = true;
    rows[i].share[0] = 0.85 + 0.001 * static_cast<double>(i);
  }
  rows[10].failed = true;
  rows[120].stale = true;
  rows[11].lost[3] = true;
  rows[148] = {.name = "never", .not_copied = true};
  rows[149] = {.name = "gone", .unusable = true};
  const std::string farm = farm_overview_svg(rows, "farm");
  EXPECT_EQ(malformation(farm), "");
  EXPECT_EQ(count(farm, " chain 2: "), 148u);
  EXPECT_EQ(count(farm, " chain 6: no rate known"), 147u);
  EXPECT_EQ(count(farm, " chain 6: lost"), 1u);
  EXPECT_EQ(count(farm, ">not copied<"), 1u);
  EXPECT_EQ(count(farm, ">failed<"), 1u);
  EXPECT_EQ(count(farm, ">stale<"), 1u);
  EXPECT_EQ(count(farm, ">unusable<"), 1u);
  EXPECT_EQ(count(farm, "#B2182B"), 1u + 50u);  // the legend, and shares below 90 %
  // Board 100 heads the second column: level with board 0, further right.
  std::smatch first, second;
  ASSERT_TRUE(std::regex_search(farm, first,
                                std::regex("<text x=\"(\\d+)\" y=\"(\\d+)\"[^>]*>rack/board-0<")));
  ASSERT_TRUE(std::regex_search(
      farm, second, std::regex("<text x=\"(\\d+)\" y=\"(\\d+)\"[^>]*>rack/board-100<")));
  EXPECT_EQ(first[2], second[2]);
  EXPECT_GT(std::stoi(second[1]), std::stoi(first[1]));
}

}  // namespace
}  // namespace tune::rehearse
