// A start that detaches: the session runs on in a session of its own, with its output (and
// the programs') appended to /tmp/tune-session.log, while the start that made it returns at
// once with the session's first line and status.
#pragma once

#include <string>

#include "function_ref.hpp"

namespace tune::session {

// Runs `session` in a detached child. The child calls `announce` (given to the session) with
// its first line, which the parent prints and returns with; later calls go to the log.
int run_detached(FunctionRef<int(FunctionRef<void(int, const std::string&)>)> session);

}  // namespace tune::session
