// Putting a saved set back: the one way both `tune-session undo` and a start that finds
// a cut undo do it.
#pragma once

#include <string>
#include <vector>

#include "function_ref.hpp"
#include "result.hpp"
#include "session_state.hpp"
#include "system.hpp"

namespace tune::session {

// What an undo put back: the files it left as they were (a set made without the record of
// absent files), and whether the copies were checked against their sizes and checksums (a
// set an earlier version saved has none).
struct PutBack {
  std::vector<std::string> kept;
  bool checked = true;
  // " are back", or " are back (unchecked: ...)": what a line says of the set's files.
  const char* are_back() const;
};

// Puts the set's files back for the tuning `state` records. The set is read and checked
// first (nothing changes when it cannot be put back whole); then the undo is recorded as
// under way, the files are put back, the programs' marks removed, and undone recorded. A
// cut anywhere leaves the undo recorded as under way, or done. A failure holds the line to
// say; `state` is what was last recorded.
Result<> undo_files(System& sys, SessionState& state, const std::string& set, PutBack& put);

// `tune-session undo SET` once the lock is held: puts the set back, records it, and restarts
// the miner. A state that cannot be read is set aside first. Its exit status; each line it
// says goes to `say`, with true for an error.
int undo_board(System& sys, const std::string& set,
               FunctionRef<void(bool error, const std::string& line)> say);

}  // namespace tune::session
