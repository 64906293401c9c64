#include "report_format.hpp"

#include <cstdio>
#include <sstream>

namespace tune::rehearse {

namespace {

template <typename... Args>
std::string printed(const char* format, Args... args) {
  char line[512];
  std::snprintf(line, sizeof line, format, args...);
  return line;
}

const SessionSummary* last_session(const BoardReport& report) {
  return report.sessions.empty() ? nullptr : &report.sessions.back();
}

}  // namespace

std::string format_duration(long long seconds) {
  return printed("%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
}

std::string format_summary(const BoardReport& report) {
  std::ostringstream out;
  out << "board " << report.dir << (report.rehearsal ? " (a rehearsal)" : "") << "\n";
  out << "chain slot digit  freq  volt   measured      ideal  red yellow green no-rate "
         "overrides\n";
  for (const ChainSummary& c : report.chains) {
    int chain = miner_chain_number(c.slot);
    char digit = chain_digit(c.slot);
    if (!c.present) {
      out << printed("%5d %4d %5c %-59s %9d\n", chain, c.slot, digit, " absent (no chip rates)",
                     c.overrides);
      continue;
    }
    out << printed("%5d %4d %5c %5d %5d %10.2f %10.2f %4d %6d %5d %7d %9d\n", chain, c.slot, digit,
                   c.freq, c.voltage, c.measured_rate, c.ideal_rate, c.red, c.yellow, c.green,
                   c.unrated, c.overrides);
  }
  BoardTotals t = totals_of(report);
  out << printed("%-29s%10.2f %10.2f %4d %6d %5d %7d %9d\n", "total", t.measured_rate, t.ideal_rate,
                 t.red, t.yellow, t.green, t.unrated, t.overrides);
  out << "rates in GH/s; chains by the miner's number (chain-tuner's log calls chains 2 3 4 6 7 "
         "8 by 1 2 3 5 6 7)\n";
  if (report.rehearsal && t.power > 0) {
    out << printed("efficiency (simulated chip model): %.3f rate per power unit (%.1f units)\n",
                   t.measured_rate / t.power, t.power);
  }
  for (const SessionSummary& s : report.sessions) {
    out << s.program << ": logged span " << format_duration(s.span_seconds) << ", " << s.restarts
        << " restart" << (s.restarts == 1 ? "" : "s") << ", ended with \"" << s.ending << "\"\n";
  }
  if (report.findings.empty()) {
    out << "findings: none\n";
  } else {
    out << "findings (" << report.findings.size() << "):\n";
    for (const Finding& f : report.findings) out << "  " << f.text() << "\n";
  }
  return out.str();
}

std::string format_chip_history(const BoardReport& report, int slot, int chip) {
  std::ostringstream out;
  int row = chip_table_row(slot);
  out << printed(
      "chain %d chip %d (slot %d, config.conf digit %c; chain %d in chain-tuner's log)\n",
      miner_chain_number(slot), chip + 1, slot, chain_digit(slot), chain_number_of(slot));
  out << "now: " << effective_chip_freq(report.state, slot, chip) << " MHz";
  int step = report.state.chip_override[row][chip];
  out << (step > 0 ? printed(" (override step %d)", step) : std::string(" (no override)"));
  if (report.rated[row][chip]) {
    out << printed(", rate %.2f GH/s", static_cast<double>(report.state.chip_rate[row][chip]));
  }
  out << ", " << class_name(report.chip_class[slot][chip]) << "\n";
  const std::vector<ChipChange>& changes = report.history.changes[slot][chip];
  out << (report.history.recorded ? "changes, from the rehearsal's record:"
                                  : "changes, from the logs (they name only red lowerings):");
  if (changes.empty()) out << " none";
  out << "\n";
  for (const ChipChange& c : changes) {
    std::string old_freq = c.old_freq ? std::to_string(*c.old_freq) : "?";
    out << printed("  %-19s %5s -> %4d MHz  %s\n",
                   c.when.empty() ? "(time unknown)" : c.when.c_str(), old_freq.c_str(), c.new_freq,
                   c.cause.c_str());
  }
  return out.str();
}

void FarmTotals::add(const BoardReport& report) {
  ++boards;
  with_findings += report.findings.empty() ? 0 : 1;
  sum += totals_of(report);
}

std::string format_board_line(const BoardReport& report) {
  BoardTotals t = totals_of(report);
  std::string line = report.dir + printed(
                                      ": %d chains, rate %.1f of ideal %.1f GH/s, red %d, "
                                      "yellow %d, green %d, no rate %d, overrides %d, "
                                      "findings %zu",
                                      t.chains, t.measured_rate, t.ideal_rate, t.red, t.yellow,
                                      t.green, t.unrated, t.overrides, report.findings.size());
  if (const SessionSummary* s = last_session(report)) {
    line += ", " + s->program + " ended \"" + s->ending + "\"";
  }
  return line + "\n";
}

std::string format_unusable_line(const std::string& dir, const std::string& why) {
  return dir + ": unusable: " + why + "\n";
}

std::string format_farm_totals(const FarmTotals& farm) {
  const BoardTotals& t = farm.sum;
  return printed(
      "farm: %d boards (%d unusable, %d with findings), %d chains, rate %.1f of ideal "
      "%.1f GH/s, red %d, yellow %d, green %d, no rate %d, overrides %d\n",
      farm.boards + farm.unusable, farm.unusable, farm.with_findings, t.chains, t.measured_rate,
      t.ideal_rate, t.red, t.yellow, t.green, t.unrated, t.overrides);
}

}  // namespace tune::rehearse
