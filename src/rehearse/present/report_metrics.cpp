#include "report_metrics.hpp"

#include <cmath>
#include <cstdio>

#include "text.hpp"

namespace tune::rehearse {

namespace {

// The families by their index, in the order they are written.
enum Metric : size_t {
  readable,
  last_tuning,
  last_tuning_end,
  board_measured,
  board_ideal,
  board_chips,
  board_findings,
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

MetricsWriter::MetricsWriter()
    : families_{
          {"tune_board_readable", "1 when the board's copy could be read, 0 when it could not", {}},
          {"tune_board_last_tuning",
           "1 for the outcome of the board's last tuning (finished, failed, interrupted or not "
           "run), 0 for the others",
           {}},
          {"tune_board_last_tuning_end_timestamp_seconds",
           "When the last tuning ended or stopped: from tune-session's state, else the log's "
           "last stamp read as UTC",
           {}},
          {"tune_board_measured_gigahashes_per_second", "The board's measured rate in GH/s", {}},
          {"tune_board_ideal_gigahashes_per_second",
           "The rate expected of the board's chips at their frequencies, in GH/s",
           {}},
          {"tune_board_chips", "The board's chips by class: red, yellow, green or no_rate", {}},
          {"tune_board_findings", "Findings in the report on the board's files", {}},
          {"tune_chain_frequency_megahertz", "The chain's frequency in config.conf", {}},
          {"tune_chain_voltage", "The chain's voltage setting in config.conf", {}},
          {"tune_chain_measured_gigahashes_per_second", "The chain's measured rate in GH/s", {}},
          {"tune_chain_ideal_gigahashes_per_second",
           "The rate expected of the chain's chips at their frequencies, in GH/s",
           {}},
      } {}

void MetricsWriter::add(size_t family, const std::string& labels, double value) {
  std::string& samples = families_[family].samples;
  samples += families_[family].name;
  samples += '{';
  samples += labels;
  samples += "} ";
  samples += sample_value(value);
  samples += '\n';
}

void MetricsWriter::board(const BoardReport& report, const std::string& name) {
  const std::string board = "board=\"" + label_value(name) + "\"";
  add(readable, board, 1);
  for (Outcome outcome :
       {Outcome::finished, Outcome::failed, Outcome::interrupted, Outcome::not_run}) {
    add(last_tuning, board + ",outcome=\"" + outcome_name(outcome) + "\"",
        outcome == report.outcome ? 1 : 0);
  }
  if (report.ended_at) add(last_tuning_end, board, static_cast<double>(*report.ended_at));
  BoardTotals totals = totals_of(report);
  add(board_measured, board, totals.measured_rate);
  add(board_ideal, board, totals.ideal_rate);
  const std::pair<const char*, int> classes[] = {{"red", totals.red},
                                                 {"yellow", totals.yellow},
                                                 {"green", totals.green},
                                                 {"no_rate", totals.unrated}};
  for (const auto& [chip_class, count] : classes) {
    add(board_chips, board + ",class=\"" + chip_class + "\"", count);
  }
  add(board_findings, board, static_cast<double>(report.findings.size()));
  for (const ChainView& chain : report.chains) {
    if (!chain.present) continue;
    const std::string labels = board + ",chain=\"" + std::to_string(chain.number) + "\"";
    add(chain_freq, labels, chain.freq);
    add(chain_voltage, labels, chain.voltage);
    add(chain_measured, labels, chain.measured_rate);
    add(chain_ideal, labels, chain.ideal_rate);
  }
}

void MetricsWriter::unusable(const std::string& name) {
  add(readable, "board=\"" + label_value(name) + "\"", 0);
}

std::string MetricsWriter::text() const {
  std::string out;
  for (const Family& family : families_) {
    if (family.samples.empty()) continue;
    out += std::string("# HELP ") + family.name + " " + family.help + "\n";
    out += std::string("# TYPE ") + family.name + " gauge\n";
    out += family.samples;
  }
  return out;
}

}  // namespace tune::rehearse
