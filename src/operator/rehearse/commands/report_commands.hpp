// What tune-rehearse does once its command line is read, for a report: one board, or a farm
// one board at a time. Each returns the tool's status; a failure that ends the run is a
// ToolError.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "board_list.hpp"
#include "board_report.hpp"

namespace tune::rehearse {

// What the report's options ask for.
struct ReportRequest {
  bool json = false;
  std::optional<std::pair<int, int>> chip;  // slot and chip index
  std::optional<std::string> out;           // where pictures go
  bool pictures = false;                    // each board's heat map too, on a farm
  std::optional<std::string> metrics;       // the Prometheus file
  std::vector<std::string> labels;          // each board's, in the order of the boards
  std::vector<std::string> refused;         // why a board is not taken (empty: it is)
  std::optional<std::string> boards_list;   // the farm's list of boards: those not copied
  std::optional<Shard> shard;               // only the boards (and listed ones) of this shard
  CopyAge age;
};

int report_one(const std::string& dir, const ReportRequest& request);

// Many boards, one at a time: nothing of a board is kept once its line is out. With the
// farm's list, then each listed board that none of `dirs` is the copy of.
int report_farm(const std::vector<std::string>& dirs, const ReportRequest& request);

}  // namespace tune::rehearse
