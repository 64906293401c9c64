#include "plan.hpp"

#include "board_files.hpp"
#include "chain_tuner.hpp"
#include "text.hpp"
#include "yellow_fixer.hpp"

namespace tune::session {

BoardMarks read_marks(System& sys) {
  BoardMarks marks;
  marks.yellow_marker = name_exists(sys.path(yellow_marker_path));
  FileRead step = read_file(sys.path(yellow_step_path), 64);
  if (step.result == FileRead::Result::read) marks.yellow_step = step.text;
  // A step file that exists but cannot be read still means work left, which yellow-fixer
  // cannot do.
  if (step.result == FileRead::Result::unreadable) {
    marks.yellow_step = "";
    marks.step_problem = step.error;
  }
  return marks;
}

Next next_step(const SessionState& state, const BoardMarks& marks) {
  switch (state.standing()) {
    case Stage::saving:
      return Next::save_copies;
    case Stage::chain_tuner:
      return marks.yellow_marker ? Next::yellow_fixer : Next::chain_tuner;
    case Stage::yellow_fixer:
      // The session leaves a step file before yellow-fixer's first run and yellow-fixer
      // removes it only at its finish: without one, yellow-fixer had finished.
      return marks.yellow_step ? Next::yellow_fixer : Next::finished_then_new;
    default:
      return Next::new_tuning;
  }
}

std::string describe_next(Next next, const BoardMarks& marks) {
  switch (next) {
    case Next::new_tuning:
      return "begins a new tuning: saves the miner's files, then runs chain-tuner";
    case Next::save_copies:
      return "saves the miner's files again, then runs chain-tuner";
    case Next::chain_tuner:
      return "runs chain-tuner again";
    case Next::yellow_fixer: {
      if (!marks.step_problem.empty()) {
        return cat({"cannot run yellow-fixer: ", printable(marks.step_problem)});
      }
      // Read as yellow-fixer reads it: the first line, as strtol reads it.
      std::string step = marks.yellow_step.value_or("");
      if (step.empty()) return "starts yellow-fixer afresh";
      int number = parse_int(step.substr(0, step.find('\n')));
      if (number == 0) return "starts yellow-fixer afresh";
      return "resumes yellow-fixer from step " + std::to_string(number);
    }
    case Next::finished_then_new:
      return "records the tuning as finished (yellow-fixer had ended), then begins a new one";
  }
  return "";
}

}  // namespace tune::session
