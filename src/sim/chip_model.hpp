// A seeded model of the hash boards: every chip has a hidden stable-frequency limit that
// rises with its chain's voltage. Below it the chip hashes at F / 8.7 with a little noise;
// above it the rate falls off, through yellow into red. Some chips are weak, dead (rate 0)
// or missing from /tmp/chip-rates. The same seed gives the same machine.
#pragma once

#include <cstdint>
#include <optional>

#include "ladder.hpp"

namespace tune::sim {

class SimMiner;
struct MinerView;

struct ChipModelOptions {
  std::uint64_t seed = 1;
  int weak_chips = 6;  // across the whole machine
  int dead_chips = 2;
  int missing_chips = 1;  // never listed in /tmp/chip-rates
};

class ChipModel {
 public:
  explicit ChipModel(const ChipModelOptions& options);

  // Makes the miner report this model's rates.
  void install(SimMiner& miner) const;

  std::optional<float> rate(const MinerView& view, int slot, int chip) const;
  // The highest frequency at which the chip still hashes fully at the given voltage.
  double stable_limit(int slot, int chip, int voltage) const;
  // Simulated power of a running chip, in the model's own units.
  static double chip_power(int freq, int voltage);

 private:
  enum class Kind { normal, weak, dead, missing };
  struct Chip {
    double limit_at_nominal = 0;  // MHz at the nominal voltage
    double limit_per_volt = 0;    // MHz gained per voltage unit
    Kind kind = Kind::normal;
  };
  std::uint64_t seed_;
  Chip chips_[chain_count][chips_per_chain];
};

}  // namespace tune::sim
