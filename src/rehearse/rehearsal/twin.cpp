#include "twin.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "board_reading.hpp"
#include "health.hpp"
#include "text.hpp"
#include "tool_error.hpp"
#include "yellow_fixer.hpp"

namespace tune::rehearse {

namespace {

namespace population = sim::population;
constexpr double unbounded = std::numeric_limits<double>::infinity();

// A chip's limit at its voltage, taken back to the nominal voltage.
double at_nominal(double limit, int voltage) {
  if (voltage <= 0) return limit;
  return limit - population::per_volt_mean * (voltage - population::nominal_voltage);
}

double normal_below(double x) {
  return 0.5 * std::erfc(-x / std::sqrt(2.0));
}

// A draw from a normal law kept to [low, high], by its inverse distribution at `u` (0 to 1):
// the twin's chips spread as a real board's do, where the evidence leaves room.
double truncated_draw(double mean, double spread, double low, double high, double u) {
  double a = normal_below((low - mean) / spread), b = normal_below((high - mean) / spread);
  if (b - a < 1e-9) return mean < low ? low : high;
  double target = a + u * (b - a);
  double lo = -40, hi = 40;  // in spreads; bisection on the distribution
  for (int i = 0; i < 80; ++i) {
    double mid = (lo + hi) / 2;
    (normal_below(mid) < target ? lo : hi) = mid;
  }
  return std::clamp(mean + spread * (lo + hi) / 2, low, high);
}

// A fixed uniform number per chip, so that a twin is the same every time.
double chip_uniform(int slot, int chip) {
  const std::uint64_t x =
      sim::mix(static_cast<std::uint64_t>(slot * chips_per_chain + chip) * sim::golden_gamma);
  return (static_cast<double>(x >> 11) + 0.5) * 0x1p-53;
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
  if (*chip.rate == 0) {
    reading.kind = sim::ChipKind::dead;
    return reading;
  }
  if (chip.red_at) reading.high = at_nominal(*chip.red_at, chip.voltage);
  if (chip.chain_freq > chip.freq && chip.freq > 0) {
    reading.high = std::min(reading.high, at_nominal(chip.chain_freq, chip.voltage));
  }
  // A rate no chip can show (not a number, negative, beyond any real chip: a finding in the
  // report) tells nothing of the chip's limit.
  const bool impossible =
      !std::isfinite(*chip.rate) || *chip.rate < 0 || *chip.rate > fastest_real_chip;
  if (chip.freq <= 0 || impossible) return reading;
  double share = *chip.rate / expected_rate(chip.freq);
  if (share >= full_rate_share) {
    // A full rate allows the chip a little past its limit: as far as the noise hides.
    reading.low =
        at_nominal(chip.freq - (1 - full_rate_share) * population::falloff_mhz, chip.voltage);
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

// The frequency a chip went red at, as its lowering to `new_freq` shows it: the one it was
// lowered from when that is known, else above any it can have run at (the fixer lowers a
// red chip to the highest ladder step at least 25 MHz below), so its limit lies below.
std::optional<int> red_frequency(std::optional<int> old_freq, int new_freq) {
  if (old_freq) return old_freq;
  int step = ladder_index_of(new_freq);
  if (step < 0 || step >= top_ladder_step) return std::nullopt;
  return freq_ladder[step + 1] + red_step_gap;
}

void red_at(ChipEvidence& chip, std::optional<int> old_freq, int new_freq) {
  if (std::optional<int> freq = red_frequency(old_freq, new_freq)) {
    chip.red_at = std::min(chip.red_at.value_or(*freq), *freq);
  }
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
      chip.chain_freq = chain.freq;
      chip.rate = view.rate;
      for (const ChipChange& change : view.history) {
        if (change.cause == red_cause) red_at(chip, change.old_freq, change.new_freq);
      }
    }
  }
  // The earlier tunings' logs, where tune-session kept them.
  for (const KeptRedChip& red : report.kept.red_chips) {
    red_at(evidence[red.slot][red.chip], red.old_freq, red.new_freq);
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
          reading.shown
              ? *reading.shown
              : truncated_draw(level, spread, reading.low, reading.high, chip_uniform(slot, chip));
      if (weak(traits.limit_at_nominal)) traits.kind = sim::ChipKind::weak;
    }
  }
  return table;
}

BoardTwin twin_of(const std::string& dir) {
  BoardTwin twin;
  BoardReport report;
  try {
    report = read_board(dir);
    twin.files = read_settings_files(dir);
  } catch (const UnusableBoard& unusable) {
    throw ToolError(status_unusable, unusable.what());
  }
  bool any = false;
  for (const ChainView& chain : report.chains)
    any |= twin.chain_present[chain.slot] = chain.present;
  if (!any) {
    const bool missing = !find_board_file(dir, "chip-rates").found;
    throw ToolError(status_unusable,
                    printable(dir, 4096) +
                        (missing ? ": no chip-rates file: the twin is fitted from the chip rates"
                                 : ": no chip rates (chip-rates lists no chip): the twin is "
                                   "fitted from them"));
  }
  if (!twin.files.count("config.conf")) {
    throw ToolError(status_unusable, printable(dir, 4096) +
                                         ": no config.conf: the twin needs the chains' "
                                         "frequencies and voltages");
  }
  for (const ChainView& chain : report.chains) {
    if (chain.present && (chain.freq <= 0 || chain.voltage <= 0)) {
      throw ToolError(status_unusable, printable(dir, 4096) + ": config.conf gives chain " +
                                           std::to_string(chain.number) +
                                           " no frequency and voltage: the twin needs them");
    }
  }
  twin.chips = fit_twin(evidence_of(report));
  twin.today = std::move(report);
  return twin;
}

}  // namespace tune::rehearse
