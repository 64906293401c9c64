// The farm overview: a board a row of six cells, one a chain, coloured by the share of its
// ideal rate it measures; a board whose last tuning failed, whose copy is stale, whose miner
// stopped, or that could not be read is marked at the row's end. Boards run down columns of a
// hundred.
#include <algorithm>
#include <cstdio>

#include "pictures.hpp"
#include "report_text.hpp"
#include "svg.hpp"
#include "text.hpp"

namespace tune::rehearse {

namespace {

constexpr int per_column = 100, row_height = 11, cell = 13, label_width = 120, mark_width = 60;
constexpr int column_width = label_width + chain_count * cell + mark_width, top = 124;

struct Band {
  double below;  // the share of the ideal rate it ends at
  const char* colour;
  const char* name;
};
// Red where a chain falls short, blue where it reaches its ideal (colour-blind safe).
constexpr Band bands[] = {{0.90, "#B2182B", "below 90 %"},
                          {0.95, "#EF8A62", "90 to 95 %"},
                          {0.98, "#FDDBC7", "95 to 98 %"},
                          {1.00, "#D1E5F0", "98 to 100 %"},
                          {1e300, "#4393C3", "100 % or more"}};

// A lost hash board: black, darker than any band. A chain whose rate is known but not its
// ideal rate: grey, unlike any band.
constexpr char lost_colour[] = "#1A1A1A";
constexpr char no_ideal_colour[] = "#BDBDBD";

const char* colour_of(double share) {
  for (const Band& band : bands) {
    if (share < band.below) return band.colour;
  }
  return bands[std::size(bands) - 1].colour;
}

// A board's name as its row shows it: its end, where boards' names differ.
std::string label_of(const std::string& name) {
  constexpr size_t most = 24;
  const std::string shown = printable(name, 4 * most);
  if (shown_length(shown) <= most) return shown;
  size_t cut = shown.size();
  for (size_t kept = 0; kept < most - 1 && cut > 0;) {
    --cut;
    kept += (static_cast<unsigned char>(shown[cut]) & 0xC0) != 0x80;
  }
  return "\u2026" + shown.substr(cut);
}

}  // namespace

FarmRow farm_row(const BoardReport& report, const std::string& name, long long now,
                 long long stale_after) {
  FarmRow row;
  row.name = name;
  row.failed = report.outcome == Outcome::failed;
  row.stale = report.copied_at && now - *report.copied_at > stale_after;
  row.no_files = report.no_board_files;
  row.stopped = report.miner_stopped;
  for (const ChainView& chain : report.chains) {
    // Without chip rates the chains config.conf gives are there, their rates unknown.
    const bool unknown = !report.rates_known && chain.configured;
    if (!chain.present && !chain.lost && !unknown) continue;
    row.present[chain.slot] = true;
    row.lost[chain.slot] = chain.lost;
    row.no_ideal[chain.slot] = report.rates_known && chain.present && !chain.configured;
    if (report.rates_known && chain.present && chain.ideal_rate > 0) {
      row.share[chain.slot] = chain.measured_rate / chain.ideal_rate;
    }
  }
  return row;
}

std::string farm_overview_svg(const std::vector<FarmRow>& rows, const std::string& title) {
  const int count = static_cast<int>(rows.size());
  const int columns = std::max(1, (count + per_column - 1) / per_column);
  const int rows_down = std::min(std::max(count, 1), per_column);
  const int width = std::max(20 + columns * (column_width + 20), 720);
  const int height = top + rows_down * row_height + 30;
  Svg svg(width, height, title);
  // The legend: the bands, then the marks.
  int x = 20;
  for (const Band& band : bands) {
    svg.shape("rect", {{"x", x},
                       {"y", 40},
                       {"width", 12},
                       {"height", 12},
                       {"fill", band.colour},
                       {"stroke", "#888888"}});
    svg.text({{"x", x + 16}, {"y", 50}, {"font-size", 11}}, band.name);
    x += 110;
  }
  svg.shape("rect", {{"x", x}, {"y", 40}, {"width", 12}, {"height", 12}, {"fill", lost_colour}});
  svg.text({{"x", x + 16}, {"y", 50}, {"font-size", 11}}, "lost hash board");
  const char* explained[] = {
      "a cell a chain (2 3 4 6 7 8), coloured by its measured share of its ideal rate; blank: no "
      "chain;",
      "white in a frame: no rate known (no chip rates); grey: no ideal known (no chain line in "
      "config.conf).",
      "Marked: failed (last tuning), stale (copy), stopped (miner), unusable (not read), not "
      "copied (listed), no files (no board's)."};
  for (int line = 0; line < 3; ++line) {
    svg.text({{"x", 20}, {"y", 70 + 14 * line}, {"font-size", 11}, {"fill", "#333333"}},
             explained[line]);
  }
  for (int column = 0; column < columns; ++column) {
    for (int slot = 0; slot < chain_count; ++slot) {
      svg.text({{"x", 20 + column * (column_width + 20) + label_width + slot * cell + cell / 2},
                {"y", top - 4},
                {"font-size", 9},
                {"text-anchor", "middle"}},
               std::to_string(miner_chain_number(slot)));
    }
  }
  for (int i = 0; i < count; ++i) {
    const FarmRow& row = rows[i];
    const int x0 = 20 + (i / per_column) * (column_width + 20);
    const int y0 = top + (i % per_column) * row_height;
    svg.text({{"x", x0 + label_width - 6}, {"y", y0 + 9}, {"font-size", 9}, {"text-anchor", "end"}},
             label_of(row.name));
    for (int slot = 0; slot < chain_count && !row.unusable && !row.not_copied; ++slot) {
      if (!row.present[slot]) continue;
      svg.raw(
          "<g><title>" +
          Svg::escape(row.name + " chain " + std::to_string(miner_chain_number(slot)) +
                          (row.lost[slot]    ? std::string(": lost (no chip rates)")
                           : row.share[slot] ? printed(": %.1f %% of ideal", 100 * *row.share[slot])
                           : row.no_ideal[slot] ? std::string(": no ideal known (no chain line)")
                                                : std::string(": no rate known")),
                      Svg::shown_text_limit) +
          "</title>");
      const char* fill = row.lost[slot]       ? lost_colour
                         : row.share[slot]    ? colour_of(*row.share[slot])
                         : row.no_ideal[slot] ? no_ideal_colour
                                              : "#FFFFFF";
      const bool framed = !row.share[slot] && !row.lost[slot] && !row.no_ideal[slot];
      svg.shape("rect",
                {{"x", x0 + label_width + slot * cell},
                 {"y", y0},
                 {"width", cell - 1},
                 {"height", row_height - 1},
                 // No rate known: white in a grey frame, unlike any band.
                 {"fill", fill},
                 {"stroke", framed ? "#777777" : "none"}},
                "");
      svg.raw("</g>\n");
    }
    std::string marks = row.unusable     ? "unusable"
                        : row.not_copied ? "not copied"
                        : row.no_files   ? "no files"
                                         : "";
    if (row.failed) marks += "failed";
    if (row.stale) marks += marks.empty() ? "stale" : " stale";
    if (row.stopped) marks += marks.empty() ? "stopped" : " stopped";
    if (!marks.empty()) {
      svg.text({{"x", x0 + label_width + chain_count * cell + 4},
                {"y", y0 + 9},
                {"font-size", 9},
                {"fill", row.unusable || row.not_copied || row.failed ? "#B00000" : "#555555"}},
               marks);
    }
  }
  return svg.finish();
}

namespace {

// A board's kind in its rack's bar: its weakest chain's band, or why it has none.
constexpr int lost_kind = 5, unknown_kind = 6, unread_kind = 7;
constexpr char unread_colour[] = "#762A83";
constexpr int rack_rows_height = 14, rack_label_width = 170, bar_width = 300, worst_named = 20;
constexpr int rack_column_width = rack_label_width + bar_width + 290;

// The weakest chain's share of its ideal rate (a lost chain: none of it), if any is known.
std::optional<double> weakest_share(const FarmRow& row) {
  std::optional<double> weakest;
  for (int slot = 0; slot < chain_count; ++slot) {
    std::optional<double> share = row.lost[slot] ? std::optional<double>(0) : row.share[slot];
    if (share && (!weakest || *share < *weakest)) weakest = share;
  }
  return weakest;
}

}  // namespace

void FarmPicture::add(FarmRow row) {
  ++boards_;
  if (boards_ <= board_rows) {
    rows_.push_back(std::move(row));
    return;
  }
  if (!rows_.empty()) {
    // Past the rows a picture of boards holds: the racks from now on.
    const std::vector<FarmRow> held = std::move(rows_);
    rows_.clear();
    for (const FarmRow& earlier : held) add_to_rack(earlier);
  }
  add_to_rack(row);
}

void FarmPicture::add_to_rack(const FarmRow& row) {
  const size_t slash = row.name.rfind('/');
  // Boards without a rack by the hundred, keyed apart from any rack (no label starts "/").
  std::string name;
  size_t first = 0;
  if (slash != std::string::npos && slash > 0) {
    name = row.name.substr(0, slash);
  } else {
    first = unracked_++ / 100 * 100 + 1;
    name = "/" + std::to_string(first);
  }
  auto [at, fresh] = rack_of_.emplace(name, racks_.size());
  if (fresh) racks_.push_back({.name = name, .first = first});
  Rack& rack = racks_[at->second];
  const std::optional<double> weakest = weakest_share(row);
  const bool lost = std::find(row.lost.begin(), row.lost.end(), true) != row.lost.end();
  int kind = unknown_kind;
  if (row.unusable || row.not_copied) {
    kind = unread_kind;
  } else if (lost) {
    kind = lost_kind;
  } else if (weakest) {
    kind = 0;
    while (kind < 4 && *weakest >= bands[kind].below) ++kind;
  }
  ++rack.boards[kind];
  ++rack.count;
  rack.failed += row.failed;
  rack.stale += row.stale;
  rack.stopped += row.stopped;
  if (!weakest || row.unusable || row.not_copied) return;
  // The worst few, weakest first; a later board of the same share after an earlier one.
  auto later =
      std::upper_bound(worst_.begin(), worst_.end(), *weakest,
                       [](double share, const auto& named) { return share < named.first; });
  if (later - worst_.begin() >= worst_named) return;
  worst_.insert(later, {*weakest, row.name});
  if (worst_.size() > static_cast<size_t>(worst_named)) worst_.pop_back();
}

std::string FarmPicture::svg() const {
  if (racks_.empty()) {
    return farm_overview_svg(rows_, "Farm overview: " + std::to_string(rows_.size()) +
                                        " boards, each chain's share of its ideal rate");
  }
  const int count = static_cast<int>(racks_.size());
  const int columns = std::max(1, (count + per_column - 1) / per_column);
  const int rows_down = std::min(count, per_column);
  const int racks_top = top + 10;
  const int worst_top = racks_top + rows_down * rack_rows_height + 30;
  const int width = std::max(20 + columns * (rack_column_width + 20), 1000);
  const int height = worst_top + 24 + static_cast<int>(worst_.size()) * 13 + 20;
  Svg svg(width, height,
          "Farm overview: " + std::to_string(boards_) + " boards in " + std::to_string(count) +
              " racks, each rack's boards by their weakest chain's share of its ideal rate");
  int x = 20;
  auto key = [&](const char* colour, const char* name, int step) {
    svg.shape("rect", {{"x", x},
                       {"y", 40},
                       {"width", 12},
                       {"height", 12},
                       {"fill", colour},
                       {"stroke", "#888888"}});
    svg.text({{"x", x + 16}, {"y", 50}, {"font-size", 11}}, name);
    x += step;
  };
  for (const Band& band : bands) key(band.colour, band.name, 110);
  key(lost_colour, "lost hash board", 120);
  key("#FFFFFF", "rate unknown", 100);
  key(unread_colour, "not read or not copied", 150);
  const char* explained[] = {
      "A row a rack (the boards' labels up to their last \"/\"; boards without one by the "
      "hundred), a bar of its boards,",
      "each by its weakest chain's measured share of its ideal rate; then how many boards "
      "there, and how many failed (last tuning),",
      "stale (copy) or stopped (miner). The worst boards are named below the racks."};
  for (int line = 0; line < 3; ++line) {
    svg.text({{"x", 20}, {"y", 70 + 14 * line}, {"font-size", 11}, {"fill", "#333333"}},
             explained[line]);
  }
  const char* colours[] = {bands[0].colour, bands[1].colour, bands[2].colour, bands[3].colour,
                           bands[4].colour, lost_colour,     "#FFFFFF",       unread_colour};
  for (int i = 0; i < count; ++i) {
    const Rack& rack = racks_[i];
    const int x0 = 20 + (i / per_column) * (rack_column_width + 20);
    const int y0 = racks_top + (i % per_column) * rack_rows_height;
    svg.text({{"x", x0 + rack_label_width - 6},
              {"y", y0 + 10},
              {"font-size", 11},
              {"text-anchor", "end"}},
             rack.first == 0 ? label_of(rack.name)
                             : "boards " + std::to_string(rack.first) + " to " +
                                   std::to_string(rack.first + rack.count - 1));
    double at = 0;
    for (size_t kind = 0; kind < rack.boards.size(); ++kind) {
      if (rack.boards[kind] == 0) continue;
      const double share = static_cast<double>(rack.boards[kind]) / rack.count;
      svg.shape("rect", {{"x", x0 + rack_label_width + at * bar_width},
                         {"y", static_cast<double>(y0)},
                         {"width", share * bar_width},
                         {"height", rack_rows_height - 2},
                         {"fill", colours[kind]},
                         {"stroke", kind == unknown_kind ? "#777777" : "none"}});
      at += share;
    }
    std::string marks = std::to_string(rack.count) + (rack.count == 1 ? " board" : " boards");
    const std::pair<const char*, int> counted[] = {{"not read or copied", rack.boards[unread_kind]},
                                                   {"failed", rack.failed},
                                                   {"stale", rack.stale},
                                                   {"stopped", rack.stopped}};
    for (const auto& [what, n] : counted) {
      if (n > 0) marks += ", " + std::to_string(n) + " " + what;
    }
    const bool alarming = rack.boards[unread_kind] + rack.failed > 0;
    svg.text({{"x", x0 + rack_label_width + bar_width + 6},
              {"y", y0 + 10},
              {"font-size", 11},
              {"fill", alarming ? "#B00000" : "#555555"}},
             marks);
  }
  svg.text({{"x", 20}, {"y", worst_top}, {"font-size", 12}, {"font-weight", "bold"}},
           worst_.empty() ? "No board's share of its ideal rate is known."
                          : "The " + std::to_string(worst_.size()) +
                                " boards whose weakest chain is furthest below its ideal rate:");
  for (size_t i = 0; i < worst_.size(); ++i) {
    const auto& [share, name] = worst_[i];
    svg.text({{"x", 30}, {"y", worst_top + 18 + static_cast<int>(i) * 13}, {"font-size", 11}},
             printable(name, 120) + ": " + printed("%.1f %%", 100 * share));
  }
  return svg.finish();
}

}  // namespace tune::rehearse
