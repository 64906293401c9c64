// The pictures of a tuning, as SVG: the chips' heat map, the session's timeline, and
// settings compared.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "board_report.hpp"
#include "predictions.hpp"
#include "timeline.hpp"

namespace tune::rehearse {

// Axis ticks from `low` to `high` in steps of 1, 2 or 5 times a power of ten, at most
// about `most` of them.
std::vector<double> nice_ticks(double low, double high, int most);

// A 6 x 63 map of the chips: colour by final frequency band, mark by class, and a tooltip
// with each chip's figures.
std::string heat_map_svg(const BoardReport& report, const std::string& title);

// The total measured rate and, one panel per chain, each chain's voltage over virtual
// time, both held between readings.
std::string timeline_svg(const Timeline& timeline, const std::string& title);

// One board of a farm's overview: each chain's measured share of its ideal rate (none when
// its rates or its ideal rate are unknown), and the marks.
struct FarmRow {
  std::string name;
  std::array<bool, chain_count> present{};  // drawn: rated, lost, or configured without rates
  std::array<bool, chain_count> lost{};
  std::array<bool, chain_count> no_ideal{};  // rated, but config.conf does not give it
  std::array<std::optional<double>, chain_count> share{};
  bool failed = false, stale = false, stopped = false, unusable = false, no_files = false,
       not_copied = false;
};

// The row of a board reported: stale when copied more than `stale_after` seconds before `now`.
FarmRow farm_row(const BoardReport& report, const std::string& name, long long now,
                 long long stale_after);

// The farm's boards as rows of chains, coloured by share of ideal, marked where failed,
// stale, stopped, unusable or without a board's files.
std::string farm_overview_svg(const std::vector<FarmRow>& rows, const std::string& title);

// The farm's picture, taken a board at a time: the boards' rows (farm_overview_svg) up to
// `board_rows` boards; past them a row a rack (a board's label up to its last "/"; boards
// without one go by the hundred in the order they come), each a bar of its boards by their
// weakest chain's share of its ideal rate, with its marks counted, and the worst boards
// named. What it keeps past `board_rows` boards is the racks' counts and the worst boards.
class FarmPicture {
 public:
  static constexpr size_t board_rows = 300;
  void add(FarmRow row);
  std::string svg() const;

 private:
  struct Rack {
    std::string name;
    size_t first = 0;  // of boards without a rack: the first one's number, else 0
    std::array<int, 8> boards{};  // by kind: the five bands, lost, unknown, not read
    int failed = 0, stale = 0, stopped = 0, count = 0;
  };
  void add_to_rack(const FarmRow& row);
  std::vector<FarmRow> rows_;
  std::vector<Rack> racks_;
  std::map<std::string, size_t> rack_of_;
  std::vector<std::pair<double, std::string>> worst_;  // weakest share first, a few
  size_t boards_ = 0, unracked_ = 0;
};

// Settings lines compared on one board: one panel a measure (rate, the model's efficiency,
// chips overridden, virtual duration), a dot a line, the board today as a reference.
std::string comparison_svg(const std::vector<ComparedSettings>& lines, const std::string& title);

}  // namespace tune::rehearse
