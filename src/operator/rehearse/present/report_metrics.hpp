// The report in the Prometheus text exposition format, for node_exporter's textfile
// collector: each metric once with its help and type, every board's samples under it, a
// board told apart by its `board` label and a chain by its `chain` label (the miner's number).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board_report.hpp"
#include "function_ref.hpp"

namespace tune::rehearse {

class MetricsWriter {
 public:
  // The samples wait in memory for their family's turn; with `spool_dir`, all but the last
  // few kilobytes of each family wait in nameless files there instead (gone with the
  // process), so that a farm of any size takes the same memory.
  explicit MetricsWriter(const std::string& spool_dir = "");
  ~MetricsWriter();
  MetricsWriter(const MetricsWriter&) = delete;
  MetricsWriter& operator=(const MetricsWriter&) = delete;
  // Adds a board read whole, or one that could not be read, under `name`, which must be
  // unique among the boards.
  void board(const BoardReport& report, const std::string& name);
  void unusable(const std::string& name);
  // A board the farm's list names, copied or not (then no other series has its name).
  void listed(const std::string& name);
  // The whole exposition, families in a fixed order: as a text (none, errno set, when a spool
  // failed), or written to `fd` (false, errno set, when a spool or `fd` fails).
  std::optional<std::string> text() const;
  bool write(int fd) const;

 private:
  struct Family {
    const char* name;
    const char* help;
    std::string samples;  // the latest, not yet spooled
    int spool = -1;
    bool any = false;
  };
  void add(size_t family, const std::string& labels, double value);
  bool each_part(FunctionRef<bool(std::string_view part)> take) const;
  std::vector<Family> families_;
  std::string spool_dir_;
  int spool_error_ = 0;
};

}  // namespace tune::rehearse
