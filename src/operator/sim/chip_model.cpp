#include "chip_model.hpp"

#include <algorithm>
#include <cmath>

#include "health.hpp"
#include "sim_miner.hpp"

namespace tune::sim {

std::uint64_t mix(std::uint64_t x) {
  x += golden_gamma;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

namespace {

using namespace population;

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  double uniform() { return static_cast<double>((state_ = mix(state_)) >> 11) * 0x1p-53; }
  double normal(double mean, double spread) {
    double u = std::max(uniform(), 1e-12);
    double v = uniform();
    return mean + spread * std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
  }
  int below(int n) { return static_cast<int>(uniform() * n); }

 private:
  std::uint64_t state_;
};

}  // namespace

ChipModel::ChipModel(const ChipModelOptions& options) : seed_(options.seed) {
  Random random(options.seed);
  for (auto& chain : chips_) {
    double chain_quality = random.normal(0, chain_spread);
    for (ChipTraits& chip : chain) {
      chip.limit_at_nominal = random.normal(limit_mean + chain_quality, chip_spread);
      chip.limit_per_volt = random.normal(per_volt_mean, per_volt_spread);
    }
  }
  auto mark = [&](int count, ChipKind kind) {
    for (int placed = 0, tries = 0; placed < count && tries < 10000; ++tries) {
      ChipTraits& chip = chips_[random.below(chain_count)][random.below(chips_per_chain)];
      if (chip.kind != ChipKind::normal) continue;
      chip.kind = kind;
      if (kind == ChipKind::weak) chip.limit_at_nominal -= 150 + random.uniform() * 150;
      ++placed;
    }
  };
  mark(options.weak_chips, ChipKind::weak);
  mark(options.dead_chips, ChipKind::dead);
  mark(options.missing_chips, ChipKind::missing);
}

ChipModel::ChipModel(const ChipTable& chips, std::uint64_t noise_seed)
    : seed_(noise_seed), chips_(chips) {}

void ChipModel::install(SimMiner& miner) const {
  miner.chip_rate = [this](const MinerView& view, int slot, int chip) {
    return rate(view, slot, chip);
  };
}

double ChipModel::stable_limit(int slot, int chip, int voltage) const {
  const ChipTraits& c = chips_[slot][chip];
  return c.limit_at_nominal + c.limit_per_volt * (voltage - nominal_voltage);
}

std::optional<float> ChipModel::rate(const MinerView& view, int slot, int chip) const {
  const ChipTraits& c = chips_[slot][chip];
  if (c.kind == ChipKind::missing) return std::nullopt;
  if (c.kind == ChipKind::dead) return 0.0f;
  int freq = view.freq[slot][chip];
  if (freq <= 0) return 0.0f;
  int voltage = view.voltage[slot] > 0 ? view.voltage[slot] : nominal_voltage;
  double over = freq - stable_limit(slot, chip, voltage);
  double ratio = over <= 0 ? 1.0 : std::max(0.0, 1.0 - over / falloff_mhz);
  // Fresh noise at every refresh of the rates file.
  std::uint64_t key = seed_ ^ (static_cast<std::uint64_t>(view.refreshes) << 20) ^
                      static_cast<std::uint64_t>(slot * chips_per_chain + chip);
  double noise = (static_cast<double>(mix(key) >> 11) * 0x1p-53 * 2 - 1) * noise_span;
  return static_cast<float>(expected_rate(freq) * std::max(0.0, ratio + noise));
}

double ChipModel::chip_power(int freq, int voltage) {
  double volts = voltage / 100.0;  // the miner's units are hundredths of a volt
  return freq * volts * volts / 1000.0;
}

}  // namespace tune::sim
