#include "report_metrics.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "files.hpp"
#include "text.hpp"

namespace tune::rehearse {

namespace {

// The families by their index, in the order they are written.
enum Metric : size_t {
  listed_board,
  readable,
  last_tuning,
  last_tuning_end,
  copy_time,
  rates_time,
  board_measured,
  board_ideal,
  board_chips,
  board_findings,
  chain_present,
  chain_freq,
  chain_voltage,
  chain_measured,
  chain_ideal,
};

// A label's value: shown safe (valid UTF-8, control bytes as \xNN), then escaped as the
// format asks (backslash, double quote; a line break cannot be left after the first step).
std::string label_value(const std::string& text) {
  std::string out;
  for (char c : printable(text, 200)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string sample_value(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  // Whole numbers (counts, times) in full; rates to the 7 digits a chip's rate has.
  char text[32];
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    std::snprintf(text, sizeof text, "%.7g", value);
  }
  return text;
}

}  // namespace

MetricsWriter::MetricsWriter(const std::string& spool_dir)
    : families_{
          {"tune_board_listed",
           "1 for each board the farm's list (--boards) names: one without tune_board_readable "
           "was not copied",
           {}},
          {"tune_board_readable", "1 when the board's copy could be read, 0 when it could not", {}},
          {"tune_board_last_tuning",
           "1 for the outcome of the board's last tuning (finished, failed, interrupted, "
           "in_progress, not_run or unknown), 0 for the others",
           {}},
          {"tune_board_last_tuning_end_timestamp_seconds",
           "When the last tuning ended or stopped: from tune-session's state, else the log's "
           "last stamp read as UTC",
           {}},
          {"tune_board_copy_timestamp_seconds",
           "When the board's copy was taken: the collection's stamp file, else the newest "
           "change of its chip-rates and auto-tune",
           {}},
          {"tune_board_rates_timestamp_seconds",
           "When the miner last wrote the chip rates in the board's copy: a time well before "
           "the copy's is a miner that stopped",
           {}},
          {"tune_board_measured_rate",
           "The board's measured rate, in the unit of the miner's statistics; absent when its "
           "chip rates are unknown",
           {}},
          {"tune_board_ideal_rate",
           "The rate expected of the board's chips at their frequencies (frequency / 8.7 each), "
           "in the unit of the miner's statistics",
           {}},
          {"tune_board_chips", "The board's chips by class: red, yellow, green or no_rate", {}},
          {"tune_board_findings", "Findings in the report on the board's files", {}},
          {"tune_chain_present",
           "1 for a chain chip-rates lists, 0 for one it lists no chip of although the copy's "
           "logs or manual_freqs.txt showed it hashing: a lost hash board",
           {}},
          {"tune_chain_frequency_hertz", "The chain's frequency in config.conf", {}},
          {"tune_chain_voltage_setting",
           "The chain's voltage in config.conf, as the miner's setting value",
           {}},
          {"tune_chain_measured_rate",
           "The chain's measured rate, in the unit of the miner's statistics",
           {}},
          {"tune_chain_ideal_rate",
           "The rate expected of the chain's chips at their frequencies, in the unit of the "
           "miner's statistics",
           {}},
      },
      spool_dir_(spool_dir) {}

MetricsWriter::~MetricsWriter() {
  for (const Family& family : families_) {
    if (family.spool >= 0) close(family.spool);
  }
}

namespace {

// A file without a name in `dir`, or failing that one whose name is gone at once.
int nameless_file(const std::string& dir) {
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  std::string name = dir + "/.tune-metrics-XXXXXX";
  fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) unlink(name.c_str());
  return fd;
}

}  // namespace

void MetricsWriter::add(size_t index, const std::string& labels, double value) {
  Family& family = families_[index];
  std::string& samples = family.samples;
  family.any = true;
  samples += family.name;
  samples += '{';
  samples += labels;
  samples += "} ";
  samples += sample_value(value);
  samples += '\n';
  constexpr size_t held = 64 * 1024;
  if (spool_dir_.empty() || samples.size() < held || spool_error_ != 0) return;
  if (family.spool < 0) family.spool = nameless_file(spool_dir_);
  if (family.spool < 0 || !write_all(family.spool, samples)) {
    spool_error_ = errno;
    return;
  }
  samples.clear();
}

bool MetricsWriter::each_part(FunctionRef<bool(std::string_view part)> take) const {
  if (spool_error_ != 0) {
    errno = spool_error_;
    return false;
  }
  for (const Family& family : families_) {
    if (!family.any) continue;
    const std::string head = std::string("# HELP ") + family.name + " " + family.help +
                             "\n# TYPE " + family.name + " gauge\n";
    if (!take(head)) return false;
    char buffer[64 * 1024];
    for (off_t at = 0; family.spool >= 0;) {
      const ssize_t got = pread(family.spool, buffer, sizeof buffer, at);
      if (got < 0) return false;
      if (got == 0) break;
      if (!take(std::string_view(buffer, static_cast<size_t>(got)))) return false;
      at += got;
    }
    if (!take(family.samples)) return false;
  }
  return true;
}

void MetricsWriter::board(const BoardReport& report, const std::string& name) {
  const std::string board = "board=\"" + label_value(name) + "\"";
  add(readable, board, 1);
  for (Outcome outcome : all_outcomes) {
    add(last_tuning, board + ",outcome=\"" + outcome_label(outcome) + "\"",
        outcome == report.outcome ? 1 : 0);
  }
  if (report.ended_at) add(last_tuning_end, board, static_cast<double>(*report.ended_at));
  if (report.copied_at) add(copy_time, board, static_cast<double>(*report.copied_at));
  if (report.rates_at) add(rates_time, board, static_cast<double>(*report.rates_at));
  // Without chip rates nothing is known of the rates and classes: no series, never a zero
  // that a sum() would take for a real one.
  // Without config.conf's chain lines, no frequency to expect a rate from or class a chip by.
  BoardTotals totals = totals_of(report);
  const bool classed = report.rates_known && report.settings_known;
  if (report.rates_known) add(board_measured, board, totals.measured_rate);
  if (classed) {
    add(board_ideal, board, totals.ideal_rate);
    const std::pair<const char*, int> classes[] = {{"red", totals.red},
                                                   {"yellow", totals.yellow},
                                                   {"green", totals.green},
                                                   {"no_rate", totals.unrated}};
    for (const auto& [chip_class, count] : classes) {
      add(board_chips, board + ",class=\"" + chip_class + "\"", count);
    }
  }
  add(board_findings, board, static_cast<double>(report.findings.size()));
  for (const ChainView& chain : report.chains) {
    // A lost chain measures 0 of its ideal rate: the board's rate is short of it.
    const bool rated = report.rates_known && (chain.present || chain.lost);
    if (!rated && !chain.configured) continue;
    const std::string labels = board + ",chain=\"" + std::to_string(chain.number) + "\"";
    if (rated) add(chain_present, labels, chain.present ? 1 : 0);
    if (chain.configured) {
      add(chain_freq, labels, chain.freq * 1e6);
      add(chain_voltage, labels, chain.voltage);
    }
    if (rated) add(chain_measured, labels, chain.measured_rate);
    if (rated && chain.configured) add(chain_ideal, labels, chain.ideal_rate);
  }
}

void MetricsWriter::listed(const std::string& name) {
  add(listed_board, "board=\"" + label_value(name) + "\"", 1);
}

void MetricsWriter::unusable(const std::string& name) {
  add(readable, "board=\"" + label_value(name) + "\"", 0);
}

std::optional<std::string> MetricsWriter::text() const {
  std::string out;
  if (!each_part([&](std::string_view part) {
        out += part;
        return true;
      })) {
    return std::nullopt;
  }
  return out;
}

bool MetricsWriter::write(int fd) const {
  return each_part([&](std::string_view part) { return write_all(fd, part); });
}

}  // namespace tune::rehearse
