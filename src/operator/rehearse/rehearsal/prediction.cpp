#include "prediction.hpp"

#include <cstdio>

#include "chip_power.hpp"

namespace tune::rehearse {

std::optional<double> Prediction::gain_percent() const {
  if (rate_today <= 0) return std::nullopt;
  return 100 * gain() / rate_today;
}

std::optional<double> model_efficiency(double rate, double power) {
  if (power <= 0) return std::nullopt;
  return rate / power;
}

Prediction predict(const BoardReport& today, const BoardReport& after, long long virtual_seconds) {
  Prediction p;
  p.rate_today = totals_of(today).measured_rate;
  p.rate_after = totals_of(after).measured_rate;
  p.ideal_today = totals_of(today).ideal_rate;
  p.power_today = chip_model_power(today);
  p.power_after = chip_model_power(after);
  for (const ChainView& chain : today.chains) {
    if (!chain.present) continue;
    // Of the chains that hash today only: the others' overrides mean nothing to the miner.
    p.overrides_today += chain.overrides;
    p.overrides_after += after.chains[chain.slot].overrides;
    for (int index = 0; index < chips_per_chain; ++index) {
      ++p.chips;
      p.chips_changed += chain.chips[index].freq != after.chains[chain.slot].chips[index].freq;
    }
  }
  if (!today.sessions.empty()) {
    p.logged_seconds = 0;
    for (const SessionSummary& session : today.sessions) *p.logged_seconds += session.span_seconds;
  }
  p.virtual_seconds = virtual_seconds;
  return p;
}

std::optional<std::string> unfinished_tuning(const BoardReport& after) {
  if (after.outcome == Outcome::finished) return std::nullopt;
  std::string why =
      std::string("its tuning would not finish (") + outcome_name(after.outcome) + ")";
  if (!after.sessions.empty()) {
    const SessionSummary& last = after.sessions.back();
    // A log of only what both programs write does not tell which one it was.
    const std::string who = last.program == "unknown" ? "its log" : last.program;
    why += ": " + who + " ended with \"" + last.ending + "\"";
  }
  return why;
}

// %a keeps every bit of a double, so a prediction reads back exactly as it was made.
std::string encode_prediction(const Prediction& p) {
  char line[512];
  std::snprintf(line, sizeof line, "%a %a %a %a %a %d %d %d %d %lld %lld", p.rate_today,
                p.rate_after, p.ideal_today, p.power_today, p.power_after, p.chips, p.chips_changed,
                p.overrides_today, p.overrides_after, p.logged_seconds.value_or(-1),
                p.virtual_seconds);
  return line;
}

std::optional<Prediction> decode_prediction(std::string_view line) {
  Prediction p;
  long long logged = 0;
  int used = 0;
  std::string text(line);
  if (std::sscanf(text.c_str(), "%la %la %la %la %la %d %d %d %d %lld %lld%n", &p.rate_today,
                  &p.rate_after, &p.ideal_today, &p.power_today, &p.power_after, &p.chips,
                  &p.chips_changed, &p.overrides_today, &p.overrides_after, &logged,
                  &p.virtual_seconds, &used) != 11 ||
      static_cast<size_t>(used) != text.size()) {
    return std::nullopt;
  }
  if (logged >= 0) p.logged_seconds = logged;
  return p;
}

}  // namespace tune::rehearse
