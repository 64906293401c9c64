#include "twin.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
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

// How far past its limit a chip is, at least, when the programs find it yellow: its rate
// under the green share, less the noise that may have pushed it there.
constexpr double yellow_margin =
    (1 - ratio_green_from - population::noise_span) * population::falloff_mhz;

// And when they find it red: under the red share.
constexpr double red_margin =
    (1 - ratio_red_below - population::noise_span) * population::falloff_mhz;

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

// A fixed uniform number per chip and use, for the draw `draws` stands for (0: the
// likeliest twin), so that a twin is the same every time.
double chip_uniform(std::uint64_t draws, int slot, int chip, int use = 0) {
  std::uint64_t key = static_cast<std::uint64_t>(slot * chips_per_chain + chip) * sim::golden_gamma;
  if (draws != 0 || use > 0) {
    key = sim::mix(sim::mix(key ^ draws) + static_cast<std::uint64_t>(use) * sim::golden_gamma);
  }
  const std::uint64_t x = sim::mix(key);
  return (static_cast<double>(x >> 11) + 0.5) * 0x1p-53;
}

// A normal draw from a uniform one.
double normal_draw(double mean, double spread, double u) {
  return truncated_draw(mean, spread, -unbounded, unbounded, u);
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
  if (chip.red_at) reading.high = at_nominal(*chip.red_at - red_margin, chip.voltage);
  if (chip.chain_freq > chip.freq && chip.freq > 0) {
    // Held below its chain: the programs found it yellow or red a ladder step up (they lower
    // a yellow chip one step), past its limit by more than the rates' noise hides.
    const int step = ladder_index_of(chip.freq);
    const int above = step >= 0 && step < top_ladder_step
                          ? std::min(freq_ladder[step + 1], chip.chain_freq)
                          : chip.chain_freq;
    reading.high = std::min(reading.high, at_nominal(above - yellow_margin, chip.voltage));
  }
  // A rate no chip can show (not a number, negative, beyond any real chip: a finding in the
  // report) tells nothing of the chip's limit.
  if (chip.freq <= 0 || !possible_rate(*chip.rate)) return reading;
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

// What a chain's chips say of its level (the mean of its chips' limits at the nominal
// voltage): the most likely level given the chips whose rates show their limits and the
// bounds the others' files set (a chip at full rate only says its limit lies above; leaving
// it out would take a chain's weakest chips for all of it), and the population's levels.
struct ChainLevel {
  double mean = population::limit_mean;
  double variance = population::chain_spread * population::chain_spread;
};

ChainLevel chain_level_of(const std::array<ChipReading, chips_per_chain>& readings) {
  const double chip = population::chip_spread, chain = population::chain_spread;
  auto log_likelihood = [&](double level) {
    double sum = -0.5 * std::pow((level - population::limit_mean) / chain, 2);
    for (const ChipReading& reading : readings) {
      if (reading.kind != sim::ChipKind::normal) continue;
      if (reading.shown) {
        if (!weak(*reading.shown)) sum -= 0.5 * std::pow((*reading.shown - level) / chip, 2);
        continue;
      }
      if (reading.low == -unbounded && reading.high == unbounded) continue;
      const double inside =
          normal_below((reading.high - level) / chip) - normal_below((reading.low - level) / chip);
      sum += std::log(std::max(inside, 1e-300));
    }
    return sum;
  };
  // The likelihood has one peak: golden-section search over every level a chain can have.
  double lo = population::limit_mean - 10 * chain, hi = population::limit_mean + 10 * chain;
  const double golden = (std::sqrt(5.0) - 1) / 2;
  for (int i = 0; i < 60; ++i) {
    const double a = hi - golden * (hi - lo), b = lo + golden * (hi - lo);
    if (log_likelihood(a) < log_likelihood(b)) {
      lo = a;
    } else {
      hi = b;
    }
  }
  ChainLevel level;
  level.mean = (lo + hi) / 2;
  // How sure: the curvature at the peak.
  const double h = 0.5;
  const double curvature = (log_likelihood(level.mean + h) - 2 * log_likelihood(level.mean) +
                            log_likelihood(level.mean - h)) /
                           (h * h);
  if (curvature < 0) level.variance = -1 / curvature;
  return level;
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

sim::ChipTable fit_twin(const BoardEvidence& evidence, std::uint64_t draw) {
  sim::ChipTable table;
  for (int slot = 0; slot < chain_count; ++slot) {
    std::array<ChipReading, chips_per_chain> readings;
    for (int chip = 0; chip < chips_per_chain; ++chip)
      readings[chip] = read_chip(evidence[slot][chip]);
    const ChainLevel estimate = chain_level_of(readings);
    const double level = estimate.mean, level_variance = estimate.variance;
    // The likeliest twin spreads its chips around the level as known; a drawn twin first
    // draws the level, then its chips around it.
    double chain_level = level;
    double spread = std::sqrt(std::pow(population::chip_spread, 2) + level_variance);
    if (draw != 0) {
      chain_level = normal_draw(level, std::sqrt(level_variance), chip_uniform(draw, slot, 0, 1));
      spread = population::chip_spread;
    }
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      const ChipReading& reading = readings[chip];
      sim::ChipTraits& traits = table[slot][chip];
      traits.kind = reading.kind;
      traits.limit_per_volt = population::per_volt_mean;
      if (reading.kind != sim::ChipKind::normal) continue;
      double limit = reading.shown ? *reading.shown
                                   : truncated_draw(chain_level, spread, reading.low, reading.high,
                                                    chip_uniform(draw, slot, chip));
      if (draw != 0) {
        // A shown limit is known to within the rate's noise; the gain per voltage unit only
        // as the population spreads it, which moves the limit at any other voltage.
        if (reading.shown) {
          limit += (2 * chip_uniform(draw, slot, chip, 2) - 1) * population::noise_span *
                   population::falloff_mhz;
        }
        traits.limit_per_volt =
            std::max(0.0, normal_draw(population::per_volt_mean, population::per_volt_spread,
                                      chip_uniform(draw, slot, chip, 3)));
        if (evidence[slot][chip].voltage > 0) {
          limit += (population::per_volt_mean - traits.limit_per_volt) *
                   (evidence[slot][chip].voltage - population::nominal_voltage);
        }
      }
      traits.limit_at_nominal = limit;
      if (weak(traits.limit_at_nominal)) traits.kind = sim::ChipKind::weak;
    }
  }
  return table;
}

std::uint64_t evidence_key(const BoardEvidence& evidence) {
  std::uint64_t key = 0;
  auto add = [&](std::uint64_t value) { key = sim::mix(key ^ value); };
  for (const auto& chain : evidence) {
    for (const ChipEvidence& chip : chain) {
      std::uint32_t rate_bits = 0;
      if (chip.rate) std::memcpy(&rate_bits, &*chip.rate, sizeof rate_bits);
      add(static_cast<std::uint64_t>(chip.freq) << 32 | static_cast<std::uint32_t>(chip.voltage));
      add(static_cast<std::uint64_t>(chip.rate.has_value()) << 32 | rate_bits);
      add(static_cast<std::uint64_t>(chip.red_at.value_or(-1)) << 32 |
          static_cast<std::uint32_t>(chip.chain_freq));
    }
  }
  return key;
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
  twin.evidence = evidence_of(report);
  twin.key = evidence_key(twin.evidence);
  twin.today = std::move(report);
  return twin;
}

}  // namespace tune::rehearse
