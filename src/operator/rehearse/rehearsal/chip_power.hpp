// The simulated chip model's power figure of a board: for comparing rehearsals, not a
// board's wattage.
#pragma once

#include "board_report.hpp"

namespace tune::rehearse {

// The model's power of every chip of the present chains, at its frequency and its chain's
// voltage, in the model's units.
double chip_model_power(const BoardReport& report);

}  // namespace tune::rehearse
