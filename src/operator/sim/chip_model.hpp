// A seeded model of the hash boards: every chip has a hidden stable-frequency limit that
// rises with its chain's voltage. Below it the chip hashes at F / 8.7 with a little noise;
// above it the rate falls off, through yellow into red. Some chips are weak, dead (rate 0)
// or missing from /tmp/chip-rates. The same seed gives the same machine.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "ladder.hpp"

namespace tune::sim {

class SimMiner;
struct MinerView;

// The population the seeded machines are drawn from, which a model fitted to a board's
// files takes as its prior.
namespace population {
inline constexpr int nominal_voltage = 880;
inline constexpr double limit_mean = 785;     // MHz at the nominal voltage
inline constexpr double chain_spread = 15;    // of a chain's mean limit around limit_mean
inline constexpr double chip_spread = 35;     // of a chip's limit around its chain's mean
inline constexpr double per_volt_mean = 1.2;  // MHz gained per voltage unit
inline constexpr double per_volt_spread = 0.15;
inline constexpr double falloff_mhz = 120;   // above the limit, the rate ratio drops 1 per this
inline constexpr double noise_span = 0.015;  // a rate's noise, as a share of the full rate
}  // namespace population

// splitmix64's step: a small generator and hash whose output is the same everywhere. Its
// states go up by `golden_gamma`.
inline constexpr std::uint64_t golden_gamma = 0x9e3779b97f4a7c15ULL;
std::uint64_t mix(std::uint64_t x);

enum class ChipKind { normal, weak, dead, missing };

// One chip of the model: where it stops hashing fully, and what it is.
struct ChipTraits {
  double limit_at_nominal = population::limit_mean;  // MHz at the nominal voltage
  double limit_per_volt = population::per_volt_mean;
  ChipKind kind = ChipKind::normal;
};
using ChipTable = std::array<std::array<ChipTraits, chips_per_chain>, chain_count>;

struct ChipModelOptions {
  std::uint64_t seed = 1;
  int weak_chips = 6;  // across the whole machine
  int dead_chips = 2;
  int missing_chips = 1;  // never listed in /tmp/chip-rates
};

class ChipModel {
 public:
  explicit ChipModel(const ChipModelOptions& options);
  // A machine of the given chips, its rates' noise drawn from `noise_seed`.
  ChipModel(const ChipTable& chips, std::uint64_t noise_seed);

  const ChipTraits& traits(int slot, int chip) const { return chips_[slot][chip]; }
  const ChipTable& chips() const { return chips_; }

  // Makes the miner report this model's rates.
  void install(SimMiner& miner) const;

  std::optional<float> rate(const MinerView& view, int slot, int chip) const;
  // The highest frequency at which the chip still hashes fully at the given voltage.
  double stable_limit(int slot, int chip, int voltage) const;
  // Simulated power of a running chip, in the model's own units.
  static double chip_power(int freq, int voltage);

 private:
  std::uint64_t seed_;
  ChipTable chips_;
};

}  // namespace tune::sim
