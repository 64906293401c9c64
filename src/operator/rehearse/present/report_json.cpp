#include "report_json.hpp"

#include <cjson/cJSON.h>

#include <cmath>
#include <memory>
#include <optional>

#include "text.hpp"

namespace tune::rehearse {

namespace {

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

Json object() {
  return Json(cJSON_CreateObject(), cJSON_Delete);
}

// A number that JSON can hold: not-a-number and infinities become null.
void add_number(cJSON* to, const char* name, double value) {
  if (std::isfinite(value)) {
    cJSON_AddNumberToObject(to, name, value);
  } else {
    cJSON_AddNullToObject(to, name);
  }
}

std::string json_text(const Json& json) {
  char* text = cJSON_PrintUnformatted(json.get());
  std::string out = text != nullptr ? text : "null";
  cJSON_free(text);
  return out;
}

// A figure that may be unknown: null then.
void add_known(cJSON* to, const char* name, bool known, double value) {
  known ? add_number(to, name, value) : (void)cJSON_AddNullToObject(to, name);
}

// A board's sums; without its chip rates the rates and classes are unknown (null), and
// without its chains' settings the ideal rate and the classes.
void add_totals(cJSON* to, const BoardTotals& t) {
  cJSON_AddNumberToObject(to, "chains", t.chains);
  cJSON_AddBoolToObject(to, "rates_known", t.rates_known);
  cJSON_AddBoolToObject(to, "settings_known", t.settings_known);
  const bool classed = t.rates_known && t.settings_known;
  add_known(to, "measured_rate", t.rates_known, t.measured_rate);
  add_known(to, "ideal_rate", classed, t.ideal_rate);
  add_known(to, "red", classed, t.red);
  add_known(to, "yellow", classed, t.yellow);
  add_known(to, "green", classed, t.green);
  add_known(to, "no_rate", t.rates_known, t.unrated);
  cJSON_AddNumberToObject(to, "overrides", t.overrides);
}

// Every text that is not one of the report's own words goes in shown safe, whatever it was
// read from: JSON needs valid UTF-8, and a terminal showing it should meet no control bytes.
void add_text(cJSON* to, const char* name, const std::string& text) {
  cJSON_AddStringToObject(to, name, printable(text, 4096).c_str());
}

// A member that may be unknown: null then.
void add_optional_number(cJSON* to, const char* name, std::optional<double> value) {
  if (value) {
    add_number(to, name, *value);
  } else {
    cJSON_AddNullToObject(to, name);
  }
}

void add_optional_text(cJSON* to, const char* name, const std::string& value) {
  if (value.empty()) {
    cJSON_AddNullToObject(to, name);
  } else {
    add_text(to, name, value);
  }
}

void add_board(cJSON* to, const BoardReport& report) {
  add_text(to, "board", report.dir);
  cJSON_AddBoolToObject(to, "rehearsal", report.rehearsal);
  cJSON_AddStringToObject(to, "outcome", outcome_name(report.outcome));
  std::optional<double> ended;
  if (report.ended_at) ended = static_cast<double>(*report.ended_at);
  add_optional_number(to, "ended_at", ended);
  std::optional<double> copied;
  if (report.copied_at) copied = static_cast<double>(*report.copied_at);
  add_optional_number(to, "copied_at", copied);
  add_optional_text(to, "copied_from", report.copied_from);
}

cJSON* new_item(cJSON* array) {
  cJSON* item = cJSON_CreateObject();
  cJSON_AddItemToArray(array, item);
  return item;
}

void add_chain(cJSON* chain, const ChainView& c, bool rates_known) {
  cJSON_AddNumberToObject(chain, "chain", c.number);
  cJSON_AddNumberToObject(chain, "slot", c.slot);
  cJSON_AddNumberToObject(chain, "digit", c.digit - '0');
  cJSON_AddNumberToObject(chain, "chain_tuner_number", c.tuner_number);
  cJSON_AddBoolToObject(chain, "present", c.present);
  cJSON_AddBoolToObject(chain, "lost", c.lost);
  cJSON_AddBoolToObject(chain, "configured", c.configured);
  add_known(chain, "freq", c.configured, c.freq);
  add_known(chain, "voltage", c.configured, c.voltage);
  const bool classed = rates_known && c.configured;
  add_known(chain, "measured_rate", rates_known, c.measured_rate);
  add_known(chain, "ideal_rate", classed, c.ideal_rate);
  add_known(chain, "red", classed, c.red);
  add_known(chain, "yellow", classed, c.yellow);
  add_known(chain, "green", classed, c.green);
  add_known(chain, "no_rate", rates_known, c.unrated);
  cJSON_AddNumberToObject(chain, "overrides", c.overrides);
}

void add_chip(cJSON* chip, const ChainView& chain, int index) {
  const ChipView& view = chain.chips[index];
  cJSON_AddNumberToObject(chip, "chain", chain.number);
  cJSON_AddNumberToObject(chip, "chip", index + 1);
  cJSON_AddNumberToObject(chip, "freq", view.freq);
  cJSON_AddNumberToObject(chip, "override_step", view.override_step);
  add_optional_number(chip, "rate", view.rate);
  cJSON_AddStringToObject(chip, "class", class_name(view.chip_class));
  cJSON_AddNumberToObject(chip, "earlier_changes", static_cast<double>(view.earlier_changes));
  cJSON* history = cJSON_AddArrayToObject(chip, "history");
  for (const ChipChange& change : view.history) {
    cJSON* item = new_item(history);
    add_optional_text(item, "when", change.when);
    add_optional_number(item, "old_freq", change.old_freq);
    cJSON_AddNumberToObject(item, "new_freq", change.new_freq);
    add_text(item, "cause", change.cause);
  }
}

void add_session(cJSON* session, const SessionSummary& s) {
  add_text(session, "program", s.program);
  cJSON_AddStringToObject(session, "outcome", outcome_name(s.outcome));
  add_text(session, "log", s.log_file);
  cJSON_AddNumberToObject(session, "span_seconds", static_cast<double>(s.span_seconds));
  cJSON_AddNumberToObject(session, "restarts", s.restarts);
  add_text(session, "ending", s.ending);
}

void add_finding(cJSON* finding, const Finding& f) {
  add_text(finding, "file", f.file);
  add_optional_number(finding, "line", f.line > 0 ? std::optional<double>(f.line) : std::nullopt);
  add_text(finding, "what", f.what);
}

void add_optional_int(cJSON* to, const char* name, std::optional<int> value) {
  add_optional_number(to, name, value ? std::optional<double>(*value) : std::nullopt);
}

// What tune-session kept: each set's settings per chain (null when the copy lacks the set),
// and each kept tuning with its outcome and logs.
void add_kept(cJSON* to, const KeptRecord& kept) {
  for (const char* name : {"original", "before"}) {
    const KeptSet* found = nullptr;
    for (const KeptSet& set : kept.sets) found = set.name == name ? &set : found;
    if (found == nullptr) {
      cJSON_AddNullToObject(to, name);
      continue;
    }
    cJSON* set = cJSON_AddObjectToObject(to, name);
    add_text(set, "dir", found->dir);
    cJSON* chains = cJSON_AddArrayToObject(set, "chains");
    for (int slot = 0; slot < chain_count; ++slot) {
      cJSON* chain = new_item(chains);
      cJSON_AddNumberToObject(chain, "chain", miner_chain_number(slot));
      add_optional_int(chain, "freq", found->chains[slot].freq);
      add_optional_int(chain, "voltage", found->chains[slot].voltage);
      cJSON_AddNumberToObject(chain, "overrides", found->chains[slot].overrides);
    }
  }
  cJSON* tunings = cJSON_AddArrayToObject(to, "tunings");
  for (const KeptTuning& tuning : kept.tunings) {
    cJSON* item = new_item(tunings);
    cJSON_AddNumberToObject(item, "tuning", tuning.tuning);
    cJSON_AddStringToObject(item, "outcome", outcome_name(tuning.outcome));
    cJSON* logs = cJSON_AddArrayToObject(item, "logs");
    for (const std::string& log : tuning.logs) {
      cJSON_AddItemToArray(logs, cJSON_CreateString(printable(log, 4096).c_str()));
    }
  }
}

}  // namespace

std::string report_json(const BoardReport& report) {
  Json root = object();
  add_board(root.get(), report);
  cJSON* chains = cJSON_AddArrayToObject(root.get(), "chains");
  cJSON* chips = cJSON_AddArrayToObject(root.get(), "chips");
  for (const ChainView& chain : report.chains) {
    add_chain(new_item(chains), chain, report.rates_known);
    for (int index = 0; index < chips_per_chain; ++index) add_chip(new_item(chips), chain, index);
  }
  add_totals(cJSON_AddObjectToObject(root.get(), "totals"), totals_of(report));
  cJSON_AddStringToObject(root.get(), "history_source",
                          report.history_recorded ? "rehearsal record" : "logs");
  add_optional_text(root.get(), "outcome_from", report.outcome_from);
  cJSON* sessions = cJSON_AddArrayToObject(root.get(), "sessions");
  for (const SessionSummary& session : report.sessions) add_session(new_item(sessions), session);
  add_kept(cJSON_AddObjectToObject(root.get(), "kept"), report.kept);
  cJSON* findings = cJSON_AddArrayToObject(root.get(), "findings");
  for (const Finding& finding : report.findings) add_finding(new_item(findings), finding);
  return json_text(root) + "\n";
}

std::string chip_json(const BoardReport& report, int slot, int chip) {
  Json root = object();
  add_chip(root.get(), report.chains[slot], chip);
  return json_text(root) + "\n";
}

std::string FarmJson::next(std::string item) {
  std::string separated = first_ ? "" : ",";
  first_ = false;
  return separated + item;
}

std::string FarmJson::board(const BoardReport& report) {
  Json root = object();
  add_board(root.get(), report);
  add_totals(cJSON_AddObjectToObject(root.get(), "totals"), totals_of(report));
  cJSON_AddNumberToObject(root.get(), "findings", static_cast<double>(report.findings.size()));
  if (!report.sessions.empty()) {
    add_text(root.get(), "last_program", report.sessions.back().program);
    add_text(root.get(), "ending", report.sessions.back().ending);
  }
  return next(json_text(root) + "\n");
}

std::string FarmJson::unusable(const std::string& dir, const std::string& why) {
  Json root = object();
  add_text(root.get(), "board", dir);
  add_text(root.get(), "unusable", why);
  return next(json_text(root) + "\n");
}

std::string FarmJson::not_copied(const std::string& name, const std::string& list) {
  Json root = object();
  add_text(root.get(), "board", name);
  add_text(root.get(), "not_copied", "listed in " + list);
  return next(json_text(root) + "\n");
}

std::string FarmJson::end(const FarmTotals& farm) const {
  Json root = object();
  cJSON_AddNumberToObject(root.get(), "boards", farm.boards + farm.unusable + farm.not_copied);
  cJSON_AddNumberToObject(root.get(), "unusable", farm.unusable);
  // Null without the farm's list: nothing then tells which boards should be there.
  add_optional_number(root.get(), "not_copied",
                      farm.listed ? std::optional<double>(farm.not_copied) : std::nullopt);
  cJSON_AddNumberToObject(root.get(), "with_findings", farm.with_findings);
  cJSON_AddNumberToObject(root.get(), "without_rates", farm.without_rates);
  // Boards whose rates are known but not their ideal rate, left out of the sums: when any.
  if (farm.without_settings > 0) {
    cJSON_AddNumberToObject(root.get(), "without_settings", farm.without_settings);
  }
  cJSON* outcomes = cJSON_AddObjectToObject(root.get(), "outcomes");
  for (Outcome outcome : all_outcomes) {
    cJSON_AddNumberToObject(outcomes, outcome_name(outcome),
                            farm.by_outcome[static_cast<int>(outcome)]);
  }
  add_totals(root.get(), farm.sum);
  return "],\"totals\":" + json_text(root) + "}\n";
}

std::string prediction_json(const std::string& board_dir, const DrawnPrediction& drawn) {
  const Prediction& p = drawn.shown();
  Json json = object();
  add_text(json.get(), "board", board_dir);
  cJSON_AddStringToObject(json.get(), "model", "simulated chip model");
  cJSON_AddNumberToObject(json.get(), "draws", static_cast<double>(drawn.draws.size()));
  cJSON_AddNumberToObject(json.get(), "chips", p.chips);
  cJSON_AddNumberToObject(json.get(), "chips_changed", p.chips_changed);
  // A gain the interval does not support has no figure: only its interval.
  const bool told = drawn.gain_told();
  const std::optional<Interval> percent = drawn.gain_percent();
  cJSON_AddBoolToObject(json.get(), "gain_told", told);
  add_optional_number(json.get(), "gain", told ? std::optional(drawn.gain.median) : std::nullopt);
  add_optional_number(json.get(), "gain_percent",
                      told && percent ? std::optional(percent->median) : std::nullopt);
  add_number(json.get(), "gain_low", drawn.gain.low);
  add_number(json.get(), "gain_high", drawn.gain.high);
  add_optional_number(json.get(), "gain_percent_low",
                      percent ? std::optional(percent->low) : std::nullopt);
  add_optional_number(json.get(), "gain_percent_high",
                      percent ? std::optional(percent->high) : std::nullopt);
  auto side = [&](const char* name, double rate, std::optional<double> efficiency, int overrides,
                  std::optional<long long> seconds, const char* seconds_name) {
    cJSON* item = cJSON_AddObjectToObject(json.get(), name);
    add_number(item, "measured_rate", rate);
    add_optional_number(item, "efficiency", efficiency);
    cJSON_AddNumberToObject(item, "overrides", overrides);
    std::optional<double> duration;
    if (seconds) duration = static_cast<double>(*seconds);
    add_optional_number(item, seconds_name, duration);
    return item;
  };
  side("today", p.rate_today, model_efficiency(p.rate_today, p.power_today), p.overrides_today,
       p.logged_seconds, "logged_seconds");
  // The predicted rate is the draws' median; efficiency, overrides and duration are the shown
  // draw's, the one of the median gain.
  cJSON* predicted =
      side("predicted", drawn.rate_after.median, model_efficiency(p.rate_after, p.power_after),
           p.overrides_after, p.virtual_seconds, "virtual_seconds");
  add_number(predicted, "measured_rate_low", drawn.rate_after.low);
  add_number(predicted, "measured_rate_high", drawn.rate_after.high);
  return json_text(json) + "\n";
}

}  // namespace tune::rehearse
