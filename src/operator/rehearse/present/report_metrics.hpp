// The report in the Prometheus text exposition format, for node_exporter's textfile
// collector: each metric once with its help and type, every board's samples under it, a
// board told apart by its `board` label and a chain by its `chain` label (the miner's number).
#pragma once

#include <string>
#include <vector>

#include "board_report.hpp"

namespace tune::rehearse {

class MetricsWriter {
 public:
  MetricsWriter();
  // Adds a board read whole, or one that could not be read, under `name`, which must be
  // unique among the boards.
  void board(const BoardReport& report, const std::string& name);
  void unusable(const std::string& name);
  // A board the farm's list names, copied or not (then no other series has its name).
  void listed(const std::string& name);
  // The whole exposition, families in a fixed order.
  std::string text() const;

 private:
  struct Family {
    const char* name;
    const char* help;
    std::string samples;
  };
  void add(size_t family, const std::string& labels, double value);
  std::vector<Family> families_;
};

}  // namespace tune::rehearse
