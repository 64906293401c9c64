// What `tune-session start` does next, read from the recorded state and from the two
// files the programs leave: chain-tuner's marker /config/yellow (it handed over) and
// yellow-fixer's step file /config/yellow-step (it has work left). Start and status both
// ask here, so that status always says what start will do.
#pragma once

#include <optional>
#include <string>

#include "session_state.hpp"
#include "system.hpp"

namespace tune::session {

enum class Next {
  new_tuning,         // none yet, or the last one finished or was undone
  save_copies,        // a new tuning was cut while saving the miner's files
  chain_tuner,        // chain-tuner has not handed over yet
  yellow_fixer,       // chain-tuner handed over; yellow-fixer has work left
  finished_then_new,  // yellow-fixer had finished when the session was cut
};

struct BoardMarks {
  bool yellow_marker = false;
  std::optional<std::string> yellow_step;  // its first bytes, when the file exists
  std::string step_problem;  // a step file that is there but cannot be read: "PATH: reason"
};

BoardMarks read_marks(System& sys);

Next next_step(const SessionState& state, const BoardMarks& marks);

// What start does next, as a phrase: "runs chain-tuner again", "resumes yellow-fixer from
// step 4", ...
std::string describe_next(Next next, const BoardMarks& marks);

}  // namespace tune::session
