// What both programs do around their tuning: answer "--help" and "--version" without
// touching the board, and end with a defined status whatever happens inside.
#pragma once

#include <optional>

#include "system.hpp"

namespace tune {

// When the first argument is "--help" or "--version", prints the usage or the version to
// standard output and gives the status to exit with (0, or 1 when nothing could be
// printed). Any other argument is no concern of the programs and gives nothing.
std::optional<int> answer_help_or_version(int argc, char** argv, const char* program_name,
                                          const char* usage);

// Runs a program on the board's own system. Memory running out in the middle of a run
// (the only exception the tuning code can meet) is logged and ends it with status 1.
int run_on_board(int (*program_main)(System&));

}  // namespace tune
