// What a rehearsal's options would make the programs do that the user may not mean: the
// programs take such values without a word, so the rehearsal names them.
#pragma once

#include <string>
#include <vector>

#include "rehearsal.hpp"

namespace tune::rehearse {

// One warning per doubtful value: unknown settings keys, values that are not numbers,
// voltage_to below voltage_from, more weak, dead and missing chips than the machine has.
std::vector<std::string> rehearsal_warnings(const RehearsalOptions& options);

// The settings line's part of them, each begun with `source` (the option that gave it).
std::vector<std::string> settings_warnings(const std::string& line, const std::string& source);

}  // namespace tune::rehearse
