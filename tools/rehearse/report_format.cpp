#include "report_format.hpp"

#include <cstdio>
#include <sstream>

namespace tune::rehearse {

std::string format_duration(long long seconds) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                seconds % 60);
  return buffer;
}

std::string format_summary(const BoardReport& report) {
  std::ostringstream out;
  char line[256];
  out << "chain  freq  volt   measured      ideal  red yellow green unrated overrides\n";
  double measured = 0, ideal = 0, power = 0;
  int red = 0, yellow = 0, green = 0, unrated = 0, overrides = 0;
  for (const ChainSummary& c : report.chains) {
    overrides += c.overrides;
    if (!c.present) {
      std::snprintf(line, sizeof line, "%5d  absent (no chip rates) %41d\n", c.chain_number,
                    c.overrides);
      out << line;
      continue;
    }
    std::snprintf(line, sizeof line, "%5d %5d %5d %10.2f %10.2f %4d %6d %5d %7d %9d\n",
                  c.chain_number, c.freq, c.voltage, c.measured_rate, c.ideal_rate, c.red, c.yellow,
                  c.green, c.unrated, c.overrides);
    out << line;
    measured += c.measured_rate;
    ideal += c.ideal_rate;
    power += c.power;
    red += c.red;
    yellow += c.yellow;
    green += c.green;
    unrated += c.unrated;
  }
  std::snprintf(line, sizeof line, "total            %10.2f %10.2f %4d %6d %5d %7d %9d\n", measured,
                ideal, red, yellow, green, unrated, overrides);
  out << line;
  if (power > 0) {
    std::snprintf(line, sizeof line,
                  "efficiency (simulated chip model): %.3f rate per power unit (%.1f units)\n",
                  measured / power, power);
    out << line;
  }
  for (const SessionSummary& s : report.sessions) {
    out << s.program << ": logged span " << format_duration(s.span_seconds) << ", " << s.restarts
        << " restart" << (s.restarts == 1 ? "" : "s") << ", ended with \"" << s.ending << "\"\n";
  }
  for (const std::string& problem : report.problems) out << "problem: " << problem << "\n";
  return out.str();
}

}  // namespace tune::rehearse
