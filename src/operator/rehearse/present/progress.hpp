// A rehearsal's progress on standard error: one line updated in place on a terminal, a
// plain line per change of phase otherwise.
#pragma once

#include <string>

#include "rehearsal.hpp"

namespace tune::rehearse {

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
