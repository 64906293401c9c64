// Watches a rehearsal's board between the programs' steps and records every change of a
// chip's frequency, with its cause: the whole history that a real board's logs tell only in
// part.
#pragma once

#include <string>
#include <vector>

#include "chip_history.hpp"
#include "ladder.hpp"

namespace tune::rehearse {

class HistoryRecorder {
 public:
  // New log entries with their stamps: the chips they name as red are remembered, with the
  // time the log gives, until their change is seen.
  void note_entries(const std::vector<std::string>& entries,
                    const std::vector<std::string>& stamps);
  // The board's miner files now, with the chip rates the programs last read, the program
  // running and the time.
  void observe(const TuneState& files, const std::string& program, const std::string& when);
  const ChipHistories& histories() const { return histories_; }

 private:
  bool started_ = false;
  TuneState last_;
  bool red_logged_[chain_count][chips_per_chain] = {};
  bool forced_logged_[chain_count][chips_per_chain] = {};
  std::string logged_at_[chain_count][chips_per_chain];
  ChipHistories histories_;
};

}  // namespace tune::rehearse
