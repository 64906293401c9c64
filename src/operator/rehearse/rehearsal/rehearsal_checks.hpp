// What a rehearsal's options would make the programs do that the user may not mean: the
// programs take such values without a word, so the rehearsal names them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "rehearsal.hpp"

namespace tune::rehearse {

// One warning per doubtful value: unknown settings keys, values that are not numbers,
// voltage_to below voltage_from, more weak, dead and missing chips than the machine has.
std::vector<std::string> rehearsal_warnings(const RehearsalOptions& options);

// The settings line's part of them, each begun with `source` (the option that gave it).
std::vector<std::string> settings_warnings(const std::string& line, const std::string& source);

// Why a rehearsal does not run the settings line (a value outside what a board runs at, or
// one that would never end); none when it runs it.
std::optional<std::string> refused_settings(const std::string& line);

// ToolError (status 3), naming `board`, when the options rehearse the board's own
// autoTune.conf (no --settings) and its settings line is one refused_settings refuses.
void refuse_board_settings(const RehearsalOptions& options, const std::string& board);

}  // namespace tune::rehearse
