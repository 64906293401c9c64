// A board's twin: the chip model fitted to what a board's files show, so that the tuning the
// board would run next can be rehearsed on it. Each chip's limit comes from its measured rate
// where the rate shows it (a chip past its limit hashes less), else from the population's
// prior bounded by what the files do show (full rate at F: the limit is above F; red at F:
// below). The twin predicts under the simulated chip model's assumptions, not a real chip's.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>

#include "board_report.hpp"
#include "chip_model.hpp"

namespace tune::rehearse {

// What a board's files tell of one chip.
struct ChipEvidence {
  int freq = 0;               // MHz it ran at when its rate was taken
  int voltage = 0;            // its chain's voltage then
  std::optional<float> rate;  // GH/s; none when the miner never lists it
  std::optional<int> red_at;  // the lowest MHz it is known to have gone red at
  int chain_freq = 0;         // its chain's MHz: a chip held below it failed there
};
using BoardEvidence = std::array<std::array<ChipEvidence, chips_per_chain>, chain_count>;

// The evidence in a board's report: each chip's frequency, its chain's voltage, its rate, and
// the frequencies the logs name it red at.
BoardEvidence evidence_of(const BoardReport& report);

// The chips of the twin, chain by chain: a chain's own level is the likeliest given the
// limits its chips' rates show, the bounds the others' files set, and the population's
// levels (near the population's when its chips say little). Draw 0 is the
// board's likeliest twin; any other number one of the boards its files allow, each chain's
// level, each chip's limit and its gain per voltage unit drawn from what the evidence leaves
// open (the same number, the same twin).
sim::ChipTable fit_twin(const BoardEvidence& evidence, std::uint64_t draw = 0);

// A number that tells boards' evidence apart, so that their drawn twins differ.
std::uint64_t evidence_key(const BoardEvidence& evidence);

// A board to rehearse instead of a seeded machine: its settings files as they are, the chains
// that hash, and what its files show of its chips, to fit its twins to (use_twin).
struct BoardTwin {
  std::map<std::string, std::string> files;  // by name: config.conf, manual_freqs.txt, ...
  std::array<bool, chain_count> chain_present{};
  BoardEvidence evidence;  // what its files show of each chip
  std::uint64_t key = 0;   // evidence_key(evidence)
  BoardReport today;       // the board as its files show it
};

// The twin of the board copied in `dir`. ToolError (status 3) when the copy cannot be read
// or lacks what a twin is fitted from: chip rates, and the chains' settings in config.conf.
BoardTwin twin_of(const std::string& dir);

// The part of a rate below which it shows the chip past its limit rather than noise.
inline constexpr double full_rate_share = 1 - 2 * sim::population::noise_span;

}  // namespace tune::rehearse
