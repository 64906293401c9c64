#include "progress.hpp"

#include <unistd.h>

#include <cstdio>

#include "report_text.hpp"

namespace tune::rehearse {

ProgressPrinter::ProgressPrinter() : terminal_(isatty(STDERR_FILENO) == 1) {}

void ProgressPrinter::show(const ProgressState& s) {
  std::string where = s.program + ", iteration " + std::to_string(s.iteration) + ", " + s.phase;
  std::string line = where + ", virtual time " + format_duration(s.virtual_seconds) + ", " +
                     std::to_string(s.restarts) + " restarts";
  if (terminal_) {
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    shown_ = true;
  } else if (where != last_) {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  last_ = where;
}

void ProgressPrinter::finish() {
  if (terminal_ && shown_) std::fputc('\n', stderr);
}

}  // namespace tune::rehearse
