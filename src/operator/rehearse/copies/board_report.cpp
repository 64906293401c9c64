#include "board_report.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "board_reading.hpp"
#include "copy_times.hpp"
#include "health.hpp"
#include "session_state.hpp"
#include "text.hpp"

namespace tune::rehearse {

namespace {

// Classes every rated chip as the chain tuner does (any chip with a frequency can be red),
// and turns what the programs read into the report's view. A chain config.conf does not give
// has no frequency to class its chips or to expect a rate from.
void summarise(const BoardReading& board, BoardReport& report) {
  const TuneState& state = board.state;
  report.settings_known = true;
  for (int slot = 0; slot < chain_count; ++slot) {
    ChainView& chain = report.chains[slot];
    int row = chip_table_row(slot);
    chain.slot = slot;
    chain.number = miner_chain_number(slot);
    chain.digit = chain_digit(slot);
    chain.tuner_number = chain_number_of(slot);
    chain.freq = state.chain_freq[slot];
    chain.voltage = state.chain_voltage[slot];
    chain.configured = board.configured[slot];
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      ChipView& view = chain.chips[chip];
      view.freq = effective_chip_freq(state, slot, chip);
      view.override_step = state.chip_override[row][chip];
      if (board.rated[row][chip]) view.rate = state.chip_rate[row][chip];
      view.history = board.history.latest(slot, chip);
      view.earlier_changes = board.history.earlier(slot, chip);
      chain.present |= board.rated[row][chip];
      if (view.override_step > 0) ++chain.overrides;
    }
    report.rates_known = report.rates_known || chain.present;
    if (chain.present && !chain.configured) report.settings_known = false;
    for (ChipView& chip : chain.chips) {
      chip.chip_class = ChipClass::unrated;
      if (!chain.present) continue;
      if (chain.configured) chain.ideal_rate += expected_rate(chip.freq);
      // A rate no chip can show is a finding, and no part of any sum: it tells the chip's class
      // no more than no rate at all.
      if (!chip.rate || !possible_rate(*chip.rate)) {
        ++chain.unrated;
        continue;
      }
      chain.measured_rate += *chip.rate;
      if (!chain.configured) {
        chip.chip_class = ChipClass::unclassified;
        continue;
      }
      switch (classify_chip(*chip.rate, chip.freq, no_red_floor)) {
        case ChipHealth::red:
          chip.chip_class = ChipClass::red;
          ++chain.red;
          break;
        case ChipHealth::yellow:
          chip.chip_class = ChipClass::yellow;
          ++chain.yellow;
          break;
        case ChipHealth::green:
          chip.chip_class = ChipClass::green;
          ++chain.green;
          break;
        case ChipHealth::unclassified:
          chip.chip_class = ChipClass::unclassified;
          break;
      }
    }
  }
}

void read_history(BoardReading& board, const std::string& dir, Findings& findings) {
  BoardFile record;
  record.path = dir + "/" + chip_history_file;
  record.found = board_file_exists(record.path);
  if (!record.found) {
    add_unlogged_final_changes(board.history, board.state);
    return;
  }
  constexpr size_t largest_record = 16 * 1024 * 1024;
  std::optional<std::string> text = read_small_board_file(record, largest_record);
  if (!text) {
    findings.add(record, 0, "larger than 16 MB: not a rehearsal's record; the logs are used");
    add_unlogged_final_changes(board.history, board.state);
    return;
  }
  ChipHistories recorded;
  HistoryRecordReading reading = read_history_record(*text, recorded);
  if (!reading.whole) {
    findings.add(record, reading.bad_line, "not a change of a chip; the logs are used instead");
    add_unlogged_final_changes(board.history, board.state);
    return;
  }
  board.history = std::move(recorded);
  if (reading.impossible_time_line > 0) {
    findings.add(record, reading.impossible_time_line,
                 "impossible time \"" + printable(reading.impossible_time) +
                     "\": the change is shown without a time");
  }
}

// The last tuning's outcome from tune-session's state, when the copy holds it: the number of
// that tuning, or 0 when there is no state to take it from. `decided` when the state says how
// the tuning ended without a program at work (failed, timed out, stopped): a copy that lacks
// other files (a stopped miner's chip rates) does not make that unknown.
int outcome_from_state(BoardReport& report, const BoardFile& file, Findings& findings,
                       bool& decided) {
  if (!file.found) return 0;
  std::optional<std::string> text = read_small_board_file(file, 64 * 1024);
  std::string problem = "larger than a state file can be";
  std::optional<session::SessionState> state;
  if (text) state = session::parse_state(*text, problem);
  if (!state) {
    findings.add(file, 0, "not a tuning session's state (" + problem + "); the logs are used");
    return 0;
  }
  using session::Ending;
  if (!state->ending) {
    // None begun, or a stage at work when the copy was taken.
    report.outcome = state->no_tuning() ? Outcome::not_run : Outcome::interrupted;
  } else {
    switch (*state->ending) {
      case Ending::finished:
        report.outcome = Outcome::finished;
        break;
      case Ending::failed:
      case Ending::timed_out:
        report.outcome = Outcome::failed;
        break;
      case Ending::undone:
        report.outcome = Outcome::not_run;
        break;
      case Ending::stopped:
        report.outcome = Outcome::interrupted;
        break;
    }
  }
  report.outcome_from = "tune-session state";
  decided = state->ended_early();
  if (report.outcome != Outcome::not_run && state->since > 0) report.ended_at = state->since;
  // A tuning undone, or none begun, is the board's outcome ("not run"), not a finding.
  if (report.outcome != Outcome::finished && report.outcome != Outcome::not_run) {
    std::string where =
        state->ended_early() ? std::string(" in ") + session::stage_name(state->stage) : "";
    findings.add(file, 0,
                 "tuning " + std::to_string(state->tuning) + " is " +
                     session::standing_name(state->stage, state->ending) + where +
                     (state->reason.empty() ? "" : ": " + printable(state->reason)) +
                     ", not finished");
  }
  return std::max(state->tuning, 1);
}

// The last tuning's outcome from the logs: the last program's run.
void outcome_from_logs(BoardReport& report, Findings& findings) {
  if (report.sessions.empty()) return;  // no log: a finding of its own already
  report.outcome_from = "logs";
  std::string why;
  report.outcome = tuning_outcome(report.sessions, why);
  report.ended_at = report.sessions.back().last_stamp;
  if (!why.empty()) findings.add(BoardFile{report.sessions.back().log_file, true}, 0, why);
}

// How many directories in `dir` hold a board's files: an operator may name the folder of a
// farm's copies rather than the copies in it.
int boards_inside(const std::string& dir) {
  int boards = 0;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return 0;
  while (const dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || boards >= 1000) continue;
    std::string inside = dir + "/" + name;
    struct stat info;
    if (lstat(inside.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    try {
      for (const char* file : {"chip-rates", "auto-tune", "config.conf"}) {
        if (find_board_file(inside, file).found) {
          ++boards;
          break;
        }
      }
    } catch (const UnusableBoard&) {
      ++boards;  // unreadable, but a board's all the same
    }
  }
  closedir(listing);
  return boards;
}

// A chain the copy shows hashing that the chip rates no longer list, while they list others:
// its hash board was lost since (a miner without any chip rates is a stopped one).
void mark_lost_chains(BoardReport& report, const std::array<unsigned, chain_count>& hashed,
                      const BoardFile& rates, Findings& findings) {
  if (!report.rates_known) return;
  for (ChainView& chain : report.chains) {
    const unsigned shown = hashed[chain.slot];
    if (chain.present || shown == 0) continue;
    chain.lost = true;
    chain.shown_hashing_by = shown & hashing_in_chain_tuner_log    ? "chain-tuner's log"
                             : shown & hashing_in_yellow_fixer_log ? "yellow-fixer's log"
                             : shown & hashing_in_overrides        ? "manual_freqs.txt"
                                                                   : "a saved manual_freqs.txt";
    chain.unrated = chips_per_chain;
    if (chain.configured) {
      for (const ChipView& chip : chain.chips) chain.ideal_rate += expected_rate(chip.freq);
    } else {
      report.settings_known = false;
    }
    findings.add(rates, 0,
                 "chain " + std::to_string(chain.number) + " lists no chip, but " +
                     chain.shown_hashing_by +
                     " shows it hashing: its hash board is lost, and the board's rate is short "
                     "of it");
  }
}

// A copy that lacks what the copy of a running board holds from /tmp (a collection that
// failed halfway): the chip rates, and the log once a tuning is known to have run. It tells
// nothing of how the tuning went: true then, with its finding and the outcome unknown;
// unless the state has decided the outcome already (false then, with the finding).
bool check_whole_copy(BoardReport& report, const BoardFile& config, const BoardFile& rates,
                      const BoardFile& log, bool tuning_known, bool outcome_decided,
                      Findings& findings) {
  std::string missing;
  for (const BoardFile* file : {&rates, &log}) {
    if (file->found || (file == &log && !tuning_known)) continue;
    missing += (missing.empty() ? "no " : ", no ") + file->path.substr(file->path.rfind('/') + 1);
  }
  if (report.rehearsal || missing.empty() ||
      (!config.found && !rates.found && !tuning_known && !log.found)) {
    return false;
  }
  findings.add(BoardFile{report.dir, true}, 0, "incomplete copy: " + missing);
  if (outcome_decided) return false;
  report.outcome = Outcome::unknown;
  report.outcome_from.clear();
  report.ended_at.reset();
  return true;
}

}  // namespace

const char* outcome_name(Outcome outcome) {
  switch (outcome) {
    case Outcome::finished:
      return "finished";
    case Outcome::failed:
      return "failed";
    case Outcome::interrupted:
      return "interrupted";
    case Outcome::not_run:
      return "not run";
    case Outcome::in_progress:
      return "in progress";
    case Outcome::unknown:
      break;
  }
  return "unknown";
}

const char* outcome_label(Outcome outcome) {
  if (outcome == Outcome::in_progress) return "in_progress";
  return outcome == Outcome::not_run ? "not_run" : outcome_name(outcome);
}

const char* class_name(ChipClass chip_class) {
  switch (chip_class) {
    case ChipClass::red:
      return "red";
    case ChipClass::yellow:
      return "yellow";
    case ChipClass::green:
      return "green";
    case ChipClass::unclassified:
      return "unclassified";
    case ChipClass::unrated:
      break;
  }
  return "no rate";
}

BoardTotals& BoardTotals::operator+=(const BoardTotals& o) {
  chains += o.chains;
  rates_known = rates_known && o.rates_known;
  settings_known = settings_known && o.settings_known;
  measured_rate += o.measured_rate;
  ideal_rate += o.ideal_rate;
  red += o.red;
  yellow += o.yellow;
  green += o.green;
  unrated += o.unrated;
  overrides += o.overrides;
  return *this;
}

BoardTotals totals_of(const BoardReport& report) {
  BoardTotals t;
  t.rates_known = report.rates_known;
  t.settings_known = report.settings_known;
  for (const ChainView& c : report.chains) {
    BoardTotals chain;
    chain.overrides = c.overrides;
    if (!report.rates_known) {
      chain.chains = c.configured ? 1 : 0;
    } else if (c.present || c.lost) {
      chain.chains = 1;
      chain.measured_rate = c.measured_rate;
      chain.ideal_rate = c.ideal_rate;
      chain.red = c.red;
      chain.yellow = c.yellow;
      chain.green = c.green;
      chain.unrated = c.unrated;
    }
    t += chain;
  }
  return t;
}

void FarmTotals::add(const BoardReport& report) {
  ++boards;
  with_findings += report.findings.empty() ? 0 : 1;
  without_rates += report.rates_known ? 0 : 1;
  without_settings += report.rates_known && !report.settings_known ? 1 : 0;
  ++by_outcome[static_cast<int>(report.outcome)];
  // The farm's rates are those of the boards that have them and their ideal rate, so that its
  // rate is a share of its ideal; the rest are counted apart, with their chains and overrides.
  // With none that has them, the farm's rates are unknown too, never a rate of 0.
  BoardTotals board = totals_of(report);
  if (!report.rates_known || !report.settings_known) {
    board = {.chains = board.chains, .overrides = board.overrides};
  }
  board.rates_known = true;
  board.settings_known = true;
  sum += board;
  sum.rates_known = boards > without_rates + without_settings;
  sum.settings_known = sum.rates_known;
}

std::string Finding::text() const {
  std::string shown = printable(file, 4096);
  // Whoever wrote `what` showed the board's bytes in it safe; once more changes nothing then.
  std::string said = printable(what, 4096);
  return line > 0 ? shown + ":" + std::to_string(line) + ": " + said : shown + ": " + said;
}

BoardReport read_board(const std::string& dir, const CopyAge& age) {
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) throw UnusableBoard(dir + ": " + std::strerror(errno));
  closedir(listing);
  // A directory that can be listed but not entered: its files are not what cannot be read.
  if (access(dir.c_str(), X_OK) != 0) throw UnusableBoard(dir + ": " + std::strerror(errno));

  CopyBeingRead copy(dir);
  BoardReport report;
  report.dir = dir;
  struct stat marker;
  report.rehearsal = stat((dir + "/" + rehearsal_marker).c_str(), &marker) == 0;
  Findings findings(report.findings);
  // Any file that cannot be read throws here, before the caller has shown anything.
  BoardFile bmminer = find_board_file(dir, "bmminer.conf");
  BoardFile config = find_board_file(dir, "config.conf");
  BoardFile overrides = find_board_file(dir, "manual_freqs.txt");
  BoardFile rates = find_board_file(dir, "chip-rates");
  BoardFile chain_log = find_board_file(dir, "chain-tuner.log");
  BoardFile log = find_board_file(dir, "auto-tune");
  BoardFile state = find_board_file(dir, "tune-session.state");
  BoardFile settings = find_board_file(dir, "autoTune.conf");

  report.no_board_files =
      !config.found && !rates.found && !log.found && !chain_log.found && !state.found;
  if (report.no_board_files) {
    if (int boards = boards_inside(dir)) {
      findings.add(BoardFile{dir, true}, 0,
                   "no board's files here, but " + std::to_string(boards) +
                       " of its directories hold some: report them with \"tune-rehearse report " +
                       printable(dir, 200) + "/*\"");
    } else {
      findings.add(BoardFile{dir, true}, 0,
                   "no board's files here (chip-rates, auto-tune, config.conf): an empty copy, "
                   "or not a board's");
    }
  }
  BoardReading board;
  read_base(board, bmminer, findings);
  read_chains(board, config, findings);
  read_overrides(board, overrides, findings);
  read_rates(board, rates, findings);
  check_settings(settings, findings);
  read_session(board, chain_log, findings, false);
  // A board that has not been tuned has no log: its outcome says so, no finding. A copy
  // without the log of a tuning known to have run is incomplete (below).
  read_session(board, log, findings, false);
  read_history(board, dir, findings);
  summarise(board, report);
  report.history_recorded = board.history.recorded;
  report.sessions = std::move(board.sessions);
  check_copy_times(report, age, findings);
  // What the state or the logs say of the last tuning counts only for a whole copy.
  std::vector<Finding> outcome_findings;
  Findings outcome_sink(outcome_findings);
  bool decided = false;
  int last_tuning = outcome_from_state(report, state, outcome_sink, decided);
  if (last_tuning == 0) outcome_from_logs(report, outcome_sink);
  report.kept = read_kept_record(dir, last_tuning, report.outcome, findings);
  std::array<unsigned, chain_count> hashed = board.hashed;
  for (int slot = 0; slot < chain_count; ++slot) hashed[slot] |= report.kept.hashed[slot];
  mark_lost_chains(report, hashed, rates, findings);
  // An incomplete copy's outcome is unknown, and what the state or the logs said is not told.
  const bool incomplete = check_whole_copy(
      report, config, rates, log, state.found || chain_log.found || !report.kept.tunings.empty(),
      decided, findings);
  if (!incomplete && !decided && at_work_when_copied(report)) {
    // A tuning under way is no finding: it has not ended yet.
    report.outcome = Outcome::in_progress;
    for (KeptTuning& tuning : report.kept.tunings) {
      if (tuning.tuning == last_tuning) tuning.outcome = Outcome::in_progress;
    }
  } else if (!incomplete) {
    for (Finding& finding : outcome_findings) report.findings.push_back(std::move(finding));
  }
  if (report.no_board_files) report.outcome = Outcome::unknown;
  findings.close();
  return report;
}

}  // namespace tune::rehearse
