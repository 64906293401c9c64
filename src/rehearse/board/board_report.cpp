#include "board_report.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "board_reading.hpp"
#include "health.hpp"

namespace tune::rehearse {

namespace {

// Classes every rated chip as the chain tuner does (any chip with a frequency can be red),
// and turns what the programs read into the report's view.
void summarise(const BoardReading& board, BoardReport& report) {
  const TuneState& state = board.state;
  for (int slot = 0; slot < chain_count; ++slot) {
    ChainView& chain = report.chains[slot];
    int row = chip_table_row(slot);
    chain.slot = slot;
    chain.number = miner_chain_number(slot);
    chain.digit = chain_digit(slot);
    chain.tuner_number = chain_number_of(slot);
    chain.freq = state.chain_freq[slot];
    chain.voltage = state.chain_voltage[slot];
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      ChipView& view = chain.chips[chip];
      view.freq = effective_chip_freq(state, slot, chip);
      view.override_step = state.chip_override[row][chip];
      if (board.rated[row][chip]) view.rate = state.chip_rate[row][chip];
      view.history = board.history.changes[slot][chip];
      chain.present |= board.rated[row][chip];
      if (view.override_step > 0) ++chain.overrides;
    }
    for (ChipView& chip : chain.chips) {
      chip.chip_class = ChipClass::unrated;
      if (!chain.present) continue;
      chain.ideal_rate += expected_rate(chip.freq);
      if (!chip.rate) {
        ++chain.unrated;
        continue;
      }
      if (std::isfinite(*chip.rate)) chain.measured_rate += *chip.rate;
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
  record.found = read_board_file(record.path, record.text);
  if (!record.found) {
    add_unlogged_final_changes(board.history, board.state);
    return;
  }
  ChipHistories recorded;
  int bad_line = 0;
  if (read_history_record(record.text, recorded, bad_line)) {
    board.history = std::move(recorded);
  } else {
    findings.add(record, bad_line, "not a change of a chip; the logs are used instead");
    add_unlogged_final_changes(board.history, board.state);
  }
}

}  // namespace

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
  for (const ChainView& c : report.chains) {
    BoardTotals chain;
    chain.overrides = c.overrides;
    if (c.present) {
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
  sum += totals_of(report);
}

std::string Finding::text() const {
  return line > 0 ? file + ":" + std::to_string(line) + ": " + what : file + ": " + what;
}

BoardReport read_board(const std::string& dir) {
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) throw UnusableBoard(dir + ": " + std::strerror(errno));
  closedir(listing);

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

  BoardReading board;
  read_base(board, bmminer, findings);
  read_chains(board, config, findings);
  read_overrides(board, overrides, findings);
  read_rates(board, rates, findings);
  read_session(board, chain_log, findings, false);
  read_session(board, log, findings, true);
  read_history(board, dir, findings);
  summarise(board, report);
  report.history_recorded = board.history.recorded;
  report.sessions = std::move(board.sessions);
  return report;
}

}  // namespace tune::rehearse
