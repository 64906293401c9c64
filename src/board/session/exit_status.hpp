// tune-session's exit statuses: what every command, and a start's first line, ends with.
#pragma once

namespace tune::session {

inline constexpr int exit_done = 0;  // done, or detached
// A stage failed, timed out or was stopped, or the miner's files were not saved or put back.
inline constexpr int exit_failed = 1;
inline constexpr int exit_usage = 2;
inline constexpr int exit_busy = 3;  // another session runs, or the board is unusable

}  // namespace tune::session
