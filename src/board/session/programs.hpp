// How the session runs the two tuning programs: the seam between the lifecycle and the
// processes. On a board each program runs as a process of its own (see
// process_programs.hpp); the tests run them in-process on the simulated machine.
#pragma once

#include <string>

#include "function_ref.hpp"
#include "result.hpp"
#include "session_state.hpp"

namespace tune::session {

enum class Program { chain_tuner, yellow_fixer };

// "chain-tuner", "yellow-fixer": also the stage's name.
const char* program_name(Program program);
Stage stage_of(Program program);

struct ProgramRun {
  enum class Ending { ended, timed_out, stopped } ending = Ending::ended;
  ProgramEnd end;  // how the program ended (also after a time-out or a stop)
};

class Programs {
 public:
  virtual ~Programs() = default;
  // Where the program is, for the session's account; empty when it cannot be found.
  virtual std::string where(Program program) = 0;
  // Runs the program (no arguments) and waits for it, for at most `hours`; at the deadline,
  // or on a stop request, it is ended. `meanwhile` is called every few seconds of the run. A
  // failure when it cannot be started.
  virtual Result<ProgramRun> run(Program program, double hours, FunctionRef<void()> meanwhile) = 0;
  // True once a stop has been asked for.
  virtual bool stop_requested() = 0;
  // Whether the miner's client "bmminer-api" is where the programs' shell looks for it.
  virtual bool miner_client_found() = 0;
};

}  // namespace tune::session
