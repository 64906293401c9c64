#include "report_text.hpp"

#include <cstdio>
#include <ctime>
#include <sstream>

#include "chip_power.hpp"
#include "log.hpp"
#include "prediction.hpp"
#include "text.hpp"

namespace tune::rehearse {

namespace {

const SessionSummary* last_session(const BoardReport& report) {
  return report.sessions.empty() ? nullptr : &report.sessions.back();
}

std::string setting_text(std::optional<int> value) {
  return value ? std::to_string(*value) : "?";
}

// One chain's settings through the kept sets to now: "650 -> 600 -> 575".
std::string through_sets(const KeptRecord& kept, std::optional<int> ChainSettings::*member,
                         int slot, int now) {
  std::string text;
  for (const KeptSet& set : kept.sets) text += setting_text(set.chains[slot].*member) + " -> ";
  return text + std::to_string(now);
}

// The settings tune-session kept before the tunings beside the board's settings now, for
// the chains that run now or whose settings the tunings changed; then each kept tuning.
std::string format_kept(const BoardReport& report) {
  const KeptRecord& kept = report.kept;
  std::string out;
  if (!kept.sets.empty()) {
    std::string names;
    for (const KeptSet& set : kept.sets) names += set.name + " -> ";
    out += "settings, " + names + "now (kept in " + shown_path(kept.backup_dir) + "):\n";
    for (const ChainView& c : report.chains) {
      std::string freq = through_sets(kept, &ChainSettings::freq, c.slot, c.freq);
      std::string volt = through_sets(kept, &ChainSettings::voltage, c.slot, c.voltage);
      std::string overrides;
      bool changed = false;
      for (const KeptSet& set : kept.sets) {
        const ChainSettings& then = set.chains[c.slot];
        overrides += std::to_string(then.overrides) + " -> ";
        // a set without config.conf changes nothing it does not show
        changed = changed || then.freq.value_or(c.freq) != c.freq ||
                  then.voltage.value_or(c.voltage) != c.voltage || then.overrides != c.overrides;
      }
      overrides += std::to_string(c.overrides);
      if (!c.present && !c.lost && !changed) continue;
      out += printed("  chain %d: freq %s MHz, volt %s, overrides %s\n", c.number, freq.c_str(),
                     volt.c_str(), overrides.c_str());
    }
  }
  if (!kept.logs_dir.empty()) {
    out += "kept tunings (" + shown_path(kept.logs_dir) +
           "):" + (kept.tunings.empty() ? " none" : "") + "\n";
    for (const KeptTuning& tuning : kept.tunings) {
      std::string logs;
      for (const std::string& log : tuning.logs) {
        logs += (logs.empty() ? "" : ", ") + shown_path(log.substr(log.rfind('/') + 1));
      }
      out += "  tuning " + std::to_string(tuning.tuning) + ": " + outcome_name(tuning.outcome) +
             " (" + logs + ")\n";
    }
  }
  return out;
}

}  // namespace

std::string shown_path(const std::string& path) {
  return printable(path, shown_path_limit);
}

std::string utc_stamp(long long seconds) {
  char text[32];
  return format_stamp(static_cast<std::time_t>(seconds), true, text, sizeof text) ? text : "?";
}

std::string format_duration(long long seconds) {
  return printed("%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
}

std::string format_summary(const BoardReport& report, std::optional<double> model_power) {
  std::ostringstream out;
  out << "board " << shown_path(report.dir) << (report.rehearsal ? " (a rehearsal)" : "") << "\n";
  out << "chain slot digit  freq  volt   measured      ideal  red yellow green no-rate "
         "overrides\n";
  for (const ChainView& c : report.chains) {
    if (!report.rates_known && c.configured) {
      out << printed("%5d %4d %5c %5d %5d %-47s %9d\n", c.number, c.slot, c.digit, c.freq,
                     c.voltage, "  rates unknown (no chip-rates)", c.overrides);
      continue;
    }
    if (c.lost) {
      out << printed("%5d %4d %5c %5d %5d %10.2f %10.2f %-25s %9d\n", c.number, c.slot, c.digit,
                     c.freq, c.voltage, c.measured_rate, c.ideal_rate, "   lost (no chip rates)",
                     c.overrides);
      continue;
    }
    if (!c.present) {
      out << printed("%5d %4d %5c %-59s %9d\n", c.number, c.slot, c.digit,
                     " absent (no chip rates)", c.overrides);
      continue;
    }
    if (!c.configured) {
      out << printed("%5d %4d %5c %5s %5s %10.2f %-36s %9d\n", c.number, c.slot, c.digit, "?", "?",
                     c.measured_rate, "  settings unknown (no chain line)", c.overrides);
      continue;
    }
    out << printed("%5d %4d %5c %5d %5d %10.2f %10.2f %4d %6d %5d %7d %9d\n", c.number, c.slot,
                   c.digit, c.freq, c.voltage, c.measured_rate, c.ideal_rate, c.red, c.yellow,
                   c.green, c.unrated, c.overrides);
  }
  BoardTotals t = totals_of(report);
  if (!t.rates_known) {
    out << printed("%-29s %-47s %9d\n", "total", "rates unknown", t.overrides);
  } else if (!t.settings_known) {
    out << printed("%-29s%10.2f %-36s %9d\n", "total", t.measured_rate,
                   "  ideal and classes unknown", t.overrides);
  } else {
    out << printed("%-29s%10.2f %10.2f %4d %6d %5d %7d %9d\n", "total", t.measured_rate,
                   t.ideal_rate, t.red, t.yellow, t.green, t.unrated, t.overrides);
  }
  out << "rates in the unit of the miner's statistics; chains by the miner's number "
         "(chain-tuner's log calls chains 2 3 4 6 7 8 by 1 2 3 5 6 7)\n";
  if (report.copied_at) {
    out << "copied: " << utc_stamp(*report.copied_at) << " UTC (" << report.copied_from << ")\n";
  }
  if (report.rehearsal && model_power) {
    if (std::optional<double> efficiency = model_efficiency(t.measured_rate, *model_power)) {
      out << printed("efficiency (simulated chip model): %.3f rate per power unit (%.1f units)\n",
                     *efficiency, *model_power);
    }
  }
  for (const SessionSummary& s : report.sessions) {
    out << s.program << ": " << outcome_name(s.outcome) << ", logged span "
        << format_duration(s.span_seconds) << ", " << s.restarts << " restart"
        << (s.restarts == 1 ? "" : "s") << ", ended with \"" << s.ending << "\"\n";
  }
  out << format_kept(report);
  out << "last tuning: " << outcome_name(report.outcome)
      << (report.outcome_from.empty() ? "" : " (from the " + report.outcome_from + ")") << "\n";
  out << format_findings(report);
  return out.str();
}

std::string format_findings(const BoardReport& report) {
  if (report.findings.empty()) return "findings: none\n";
  std::string text = "findings (" + std::to_string(report.findings.size()) + "):\n";
  for (const Finding& f : report.findings) text += "  " + f.text() + "\n";
  return text;
}

namespace {

std::string ending(const RehearsedRun& run) {
  if (!run.ran) return "did not run (no /config/yellow marker)";
  std::string text = run.exited ? "ended by exit, status " : "returned, status ";
  return text + std::to_string(run.parent_status) + ", " + std::to_string(run.restarts) +
         " restarts, virtual " + format_duration(run.virtual_seconds);
}

}  // namespace

std::string format_rehearsal_end(const RehearsalResult& result, double real_seconds,
                                 const std::string& out_dir) {
  return "chain-tuner  " + ending(result.chain_tuner) + "\n" + "yellow-fixer " +
         ending(result.yellow_fixer) + "\n" + printed("real time %.2f s\n", real_seconds) +
         "board files: " + out_dir + "/config, " + out_dir + "/tmp\n" + "pictures:    " + out_dir +
         "/heat-map.svg, " + out_dir + "/timeline.svg\n";
}

std::string format_chip_history(const BoardReport& report, int slot, int index) {
  std::ostringstream out;
  const ChainView& chain = report.chains[slot];
  const ChipView& chip = chain.chips[index];
  out << printed(
      "chain %d chip %d (slot %d, config.conf digit %c; chain %d in chain-tuner's log)\n",
      chain.number, index + 1, slot, chain.digit, chain.tuner_number);
  out << "now: " << chip.freq << " MHz";
  out << (chip.override_step > 0 ? printed(" (override step %d)", chip.override_step)
                                 : std::string(" (no override)"));
  if (chip.rate) out << printed(", rate %.2f", static_cast<double>(*chip.rate));
  out << ", " << class_name(chip.chip_class) << "\n";
  out << (report.history_recorded ? "changes, from the rehearsal's record:"
                                  : "changes, from the logs (they name only red lowerings):");
  if (chip.history.empty()) out << " none";
  out << "\n";
  if (chip.earlier_changes > 0) {
    out << "  (" << chip.earlier_changes << " earlier changes, not kept)\n";
  }
  for (const ChipChange& c : chip.history) {
    std::string old_freq = c.old_freq ? std::to_string(*c.old_freq) : "?";
    std::string when = c.when.empty() ? "(time unknown)" : printable(c.when);
    out << printed("  %-19s %5s -> %4d MHz  %s\n", when.c_str(), old_freq.c_str(), c.new_freq,
                   printable(c.cause).c_str());
  }
  return out.str();
}

std::string format_board_line(const BoardReport& report) {
  BoardTotals t = totals_of(report);
  std::string line = shown_path(report.dir) + printed(": %d chains, ", t.chains);
  if (!t.rates_known) {
    line += "rates unknown";
  } else if (!t.settings_known) {
    line += printed("rate %.1f, ideal and classes unknown", t.measured_rate);
  } else {
    line += printed("rate %.1f of ideal %.1f, red %d, yellow %d, green %d, no rate %d",
                    t.measured_rate, t.ideal_rate, t.red, t.yellow, t.green, t.unrated);
  }
  line += printed(", overrides %d, findings %zu", t.overrides, report.findings.size());
  line += std::string(", tuning ") + outcome_name(report.outcome);
  if (report.copied_at) line += ", copied " + utc_stamp(*report.copied_at) + " UTC";
  if (const SessionSummary* s = last_session(report)) {
    line += ", " + printable(s->program) + " ended \"" + printable(s->ending) + "\"";
  }
  return line + "\n";
}

std::string format_unusable_line(const std::string& dir, const std::string& why) {
  // The reason without the board's path said again: "b: unusable: Permission denied", and
  // a file in it by its name there, "b: unusable: chip-rates: Permission denied".
  std::string_view reason = why;
  for (const std::string& said : {dir + ": ", dir + "/"}) {
    if (reason.starts_with(said)) {
      reason.remove_prefix(said.size());
      break;
    }
  }
  return shown_path(dir) + ": unusable: " + printable(reason, shown_path_limit) + "\n";
}

std::string format_not_copied_line(const std::string& name, const std::string& list) {
  return shown_path(name) + ": not copied: listed in " + shown_path(list) +
         ", but none of the directories reported is its copy\n";
}

std::string format_farm_totals(const FarmTotals& farm) {
  const BoardTotals& t = farm.sum;
  // Without a board that has its rates and ideal, the farm's rates and classes are unknown,
  // not 0; the boards left out are counted.
  const std::string left_out =
      printed("boards without rates: %d", farm.without_rates) +
      (farm.without_settings > 0 ? printed(", without settings: %d", farm.without_settings)
                                 : std::string());
  const std::string rates =
      t.rates_known
          ? printed("rate %.1f of ideal %.1f (%s), red %d, yellow %d, green %d, no rate %d",
                    t.measured_rate, t.ideal_rate, left_out.c_str(), t.red, t.yellow, t.green,
                    t.unrated)
          : printed("rates unknown (%s)", left_out.c_str());
  const std::string not_copied =
      farm.listed ? printed(", %d not copied", farm.not_copied) : std::string();
  return printed(
      "farm: %d boards (%d unusable%s, %d with findings), tunings %d finished, %d failed, %d "
      "interrupted, %d in progress, %d not run, %d unknown; %d chains, %s, overrides %d\n",
      farm.boards + farm.unusable + farm.not_copied, farm.unusable, not_copied.c_str(),
      farm.with_findings, farm.by_outcome[static_cast<int>(Outcome::finished)],
      farm.by_outcome[static_cast<int>(Outcome::failed)],
      farm.by_outcome[static_cast<int>(Outcome::interrupted)],
      farm.by_outcome[static_cast<int>(Outcome::in_progress)],
      farm.by_outcome[static_cast<int>(Outcome::not_run)],
      farm.by_outcome[static_cast<int>(Outcome::unknown)], t.chains, rates.c_str(), t.overrides);
}

}  // namespace tune::rehearse
