#include "chip_power.hpp"

#include "chip_model.hpp"

namespace tune::rehearse {

double chip_model_power(const BoardReport& report) {
  double total = 0;
  for (const ChainView& chain : report.chains) {
    if (!chain.present) continue;
    double power = 0;  // summed per chain first, as the chains' own figures are
    for (const ChipView& chip : chain.chips) {
      power += sim::ChipModel::chip_power(chip.freq, chain.voltage);
    }
    total += power;
  }
  return total;
}

}  // namespace tune::rehearse
