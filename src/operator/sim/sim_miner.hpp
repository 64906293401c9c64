// The simulated miner: it applies the miner's files at a restart, keeps /tmp/chip-rates up
// to date while it runs, and answers the statistics command. Tests script it through the
// functions and the queue below; the defaults are a healthy six-chain machine.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "ladder.hpp"

namespace tune::sim {

class SimSystem;

// What the miner is running now, handed to the scripted behaviour.
struct MinerView {
  int freq[chain_count][chips_per_chain] = {};  // applied at the last restart
  int voltage[chain_count] = {};                // taken from config.conf as it is now
  int chain_freq[chain_count] = {};
  int base_freq = 0;
  int restarts = 0;
  long long elapsed = 0;  // seconds since the last restart
  long long now = 0;      // seconds of virtual time since the simulation began
  int refreshes = 0;      // times /tmp/chip-rates was written since the simulation began
};

class SimMiner {
 public:
  SimMiner();

  // The restart trigger was written: apply the files, start the running time again.
  void restart(SimSystem& sys);
  // Virtual time passed: the running voltage follows config.conf; the chip rates refresh.
  void tick(SimSystem& sys);
  // The first line of "bmminer-api -o stats", or nothing when the client prints nothing.
  std::optional<std::string> stats(SimSystem& sys);
  // Writes /tmp/chip-rates from the chip rate function.
  void write_chip_rates(SimSystem& sys);

  const MinerView& view() const { return view_; }

  // The miner's running state as text, for a stand-in miner that runs once per call.
  std::string save() const;
  // Restores a saved state; false (and nothing changed) when the text is not one.
  bool load(const std::string& text);
  // The statistics line as this miner prints it, for the current view.
  std::string stats_line() const;

  // Scripted behaviour.
  // An absent chain reports no chips and empty values in the statistics.
  bool chain_present[chain_count] = {true, true, true, true, true, true};
  // An unreported chain's keys are missing from the statistics altogether.
  bool chain_reported[chain_count] = {true, true, true, true, true, true};
  long long boot_elapsed = 3600;  // running time before the first restart
  bool keep_chip_rates = true;    // false: the miner stops writing /tmp/chip-rates
  // Answers taken before the generated line, one per start of the statistics command;
  // nullopt stands for a command that prints nothing.
  std::deque<std::optional<std::string>> stats_script;
  // A chip's reported rate; nullopt leaves the chip out of /tmp/chip-rates.
  std::function<std::optional<float>(const MinerView&, int slot, int chip)> chip_rate;
  // A present chain's measured rate in the statistics (default: sum of its chip rates).
  std::function<float(const MinerView&, int slot)> chain_rate;
  // A present chain's ideal rate (default: sum of its chip frequencies / 8.7).
  std::function<float(const MinerView&, int slot)> ideal_rate;

 private:
  void start_if_new(SimSystem& sys);
  void apply_files(SimSystem& sys);
  void read_voltages(SimSystem& sys);
  long long elapsed(SimSystem& sys) const;

  MinerView view_;
  long long restart_clock_ = 0;
  bool restarted_ = false;
  bool applied_ = false;  // the files were read at least once
};

// A healthy chip: exactly its frequency / 8.7.
float healthy_rate(int freq);

// The twelve chain lines of config.conf, every chain at the same frequency and voltage.
std::string chain_config_lines(int freq, int voltage);

}  // namespace tune::sim
