// Everything one run of a tuning program works on: the system it runs against, which
// program it is, the tuning state and the settings. One object per run.
#pragma once

#include "ladder.hpp"
#include "settings.hpp"
#include "system.hpp"

namespace tune {

enum class Program { chain_tuner, yellow_fixer };

struct TuneContext {
  TuneContext(System& system, Program which) : sys(system), program(which) {}

  System& sys;
  Program program;
  TuneState state;
  TuneSettings settings;
};

}  // namespace tune
