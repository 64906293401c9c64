#include "twin.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "health.hpp"

namespace tune::rehearse {

namespace {

namespace population = sim::population;
constexpr double unbounded = std::numeric_limits<double>::infinity();

// A chip's limit at its voltage, taken back to the nominal voltage.
double at_nominal(double limit, int voltage) {
  if (voltage <= 0) return limit;
  return limit - population::per_volt_mean * (voltage - population::nominal_voltage);
}

double normal_density(double x) {
  return std::isinf(x) ? 0 : std::exp(-x * x / 2) / std::sqrt(2 * M_PI);
}

double normal_below(double x) {
  return 0.5 * std::erfc(-x / std::sqrt(2.0));
}

// The mean of a normal law kept to [low, high]; the nearer bound when the law has almost
// nothing there.
double truncated_mean(double mean, double spread, double low, double high) {
  double a = (low - mean) / spread, b = (high - mean) / spread;
  double mass = normal_below(b) - normal_below(a);
  if (mass < 1e-9) return mean < low ? low : high;
  return mean + spread * (normal_density(a) - normal_density(b)) / mass;
}

// What one chip's evidence says of its limit at the nominal voltage.
struct ChipReading {
  sim::ChipKind kind = sim::ChipKind::normal;
  std::optional<double> shown;                // the limit its rate shows
  double low = -unbounded, high = unbounded;  // what bounds it otherwise
};

ChipReading read_chip(const ChipEvidence& chip) {
  ChipReading reading;
  if (!chip.rate) {
    reading.kind = sim::ChipKind::missing;
    return reading;
  }
  if (*chip.rate <= 0) {
    reading.kind = sim::ChipKind::dead;
    return reading;
  }
  if (chip.red_at) reading.high = at_nominal(*chip.red_at, chip.voltage);
  if (chip.freq <= 0) return reading;
  double share = *chip.rate / expected_rate(chip.freq);
  if (share >= full_rate_share) {
    reading.low = at_nominal(chip.freq, chip.voltage);
  } else {
    double limit = chip.freq - (1 - share) * population::falloff_mhz;
    reading.shown = std::min(at_nominal(limit, chip.voltage), reading.high);
  }
  return reading;
}

// Far below any chain's level: a weak chip, which says nothing of its chain.
bool weak(double limit) {
  return limit < population::limit_mean - 3 * (population::chip_spread + population::chain_spread);
}

}  // namespace

BoardEvidence evidence_of(const BoardReport& report) {
  BoardEvidence evidence;
  for (const ChainView& chain : report.chains) {
    for (int index = 0; index < chips_per_chain; ++index) {
      const ChipView& view = chain.chips[index];
      ChipEvidence& chip = evidence[chain.slot][index];
      chip.freq = view.freq;
      chip.voltage = chain.voltage;
      chip.rate = view.rate;
      for (const ChipChange& change : view.history) {
        if (change.cause != "red" || !change.old_freq) continue;
        chip.red_at = std::min(chip.red_at.value_or(*change.old_freq), *change.old_freq);
      }
    }
  }
  return evidence;
}

sim::ChipTable fit_twin(const BoardEvidence& evidence) {
  sim::ChipTable table;
  for (int slot = 0; slot < chain_count; ++slot) {
    std::array<ChipReading, chips_per_chain> readings;
    // The chain's level: the chips whose rates show their limits, shrunk towards the
    // population's level by as much as the chain's spread is small beside a chip's.
    double sum = 0;
    int shown = 0;
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      readings[chip] = read_chip(evidence[slot][chip]);
      if (readings[chip].shown && !weak(*readings[chip].shown)) {
        sum += *readings[chip].shown - population::limit_mean;
        ++shown;
      }
    }
    const double ratio = std::pow(population::chip_spread / population::chain_spread, 2);
    const double level = population::limit_mean + sum / (shown + ratio);
    const double level_variance = 1 / (1 / std::pow(population::chain_spread, 2) +
                                       shown / std::pow(population::chip_spread, 2));
    const double spread = std::sqrt(std::pow(population::chip_spread, 2) + level_variance);
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      const ChipReading& reading = readings[chip];
      sim::ChipTraits& traits = table[slot][chip];
      traits.kind = reading.kind;
      traits.limit_per_volt = population::per_volt_mean;
      if (reading.kind != sim::ChipKind::normal) continue;
      traits.limit_at_nominal =
          reading.shown ? *reading.shown : truncated_mean(level, spread, reading.low, reading.high);
      if (weak(traits.limit_at_nominal)) traits.kind = sim::ChipKind::weak;
    }
  }
  return table;
}

}  // namespace tune::rehearse
