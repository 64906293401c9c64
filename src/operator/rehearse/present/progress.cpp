#include "progress.hpp"

#include <unistd.h>

#include <cstdio>
#include <utility>

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

CountProgress::CountProgress(std::string what, size_t total, std::string done)
    : terminal_(isatty(STDERR_FILENO) == 1),
      what_(std::move(what)),
      done_(std::move(done)),
      total_(total) {}

void CountProgress::show(size_t ended) {
  if (total_ == 0) return;
  const int tenths = static_cast<int>(ended * 10 / total_);
  const std::string line = what_ + ": " + std::to_string(ended) + " of " + std::to_string(total_) +
                           " " + done_ + " (" + std::to_string(ended * 100 / total_) + " %)";
  if (terminal_) {
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    shown_ = true;
  } else if (tenths > tenths_shown_) {
    std::fprintf(stderr, "%s\n", line.c_str());
    tenths_shown_ = tenths;
  }
}

void CountProgress::finish() {
  if (terminal_ && shown_) std::fputc('\n', stderr);
  shown_ = false;
}

void ProgressPrinter::finish() {
  if (terminal_ && shown_) std::fputc('\n', stderr);
}

}  // namespace tune::rehearse
