// A rehearsal's progress on standard error: one line updated in place on a terminal, a
// plain line per change of phase otherwise.
#pragma once

#include <cstddef>
#include <string>

#include "rehearsal.hpp"

namespace tune::rehearse {

// Many jobs' progress on standard error: "WHAT: N of TOTAL DONE (P %)", updated in place on
// a terminal, otherwise a line at each tenth of them.
class CountProgress {
 public:
  CountProgress(std::string what, size_t total, std::string done);
  void show(size_t ended);
  void finish();

 private:
  bool terminal_;
  std::string what_, done_;
  size_t total_;
  int tenths_shown_ = 0;
  bool shown_ = false;
};

class ProgressPrinter {
 public:
  ProgressPrinter();
  void show(const ProgressState& state);
  void finish();

 private:
  bool terminal_;
  bool shown_ = false;
  std::string last_;
};

}  // namespace tune::rehearse
