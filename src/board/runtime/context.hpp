// Everything one run of a tuning program works on: the system it runs against, the tuning
// state and the settings. One object per run; what differs between the programs is passed
// to the runtime's functions, never asked of the context.
#pragma once

#include "ladder.hpp"
#include "settings.hpp"
#include "system.hpp"

namespace tune {

struct TuneContext {
  explicit TuneContext(System& system) : sys(system) {}

  System& sys;
  TuneState state;
  TuneSettings settings;
};

}  // namespace tune
