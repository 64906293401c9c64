// What the commands of tune-session share: their one-line messages, the lock with the
// state behind it, and the programs' marks of a tuning.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

#include "result.hpp"
#include "session_lock.hpp"
#include "session_state.hpp"
#include "system.hpp"

namespace tune::session {

// Prints the line and flushes: a detached session's parent may be gone the next moment.
void print_line(std::FILE* stream, const std::string& line);

// One line of tune-session's own: its name, then the pieces.
void say(std::FILE* stream, std::initializer_list<std::string_view> pieces);

// "tuning 3, stage chain-tuner since 2026-12-08 04:44:49, session pid 1234" (the pid of the
// lock's holder, as /proc tells it; "unknown" when it cannot), or what holds the lock when
// that is another program.
std::string running_session(System& sys);

// "the lock is held by pid N (NAME, uid U), not by a tune-session[; its file ...]: no tuning
// starts while it holds it" (the file named when it is not root's 0600), the one line every
// command says of it; empty when no other program holds the lock (or /proc cannot tell).
std::string foreign_holder(System& sys, const LockHolder& holder);
std::string lock_held_by_another(System& sys);

// Takes the lock; on failure the line to say (without the program's name): another program
// holds it (foreign_holder), the lock cannot be had, or another session runs (then `busy`
// and `then` frame what it does).
Result<> take_lock(SessionLock& lock, System& sys, const char* busy, const char* then);

// The state as a command that holds the lock goes by: the recorded one, or, when there is
// none, a board without tunings numbered after the highest kept log (a state removed by
// hand must not begin the numbering anew over the kept logs).
Result<SessionState> read_state_to_go_on(System& sys);

// Removes chain-tuner's marker and yellow-fixer's step file, durably (done also when there
// were none).
Result<> clear_marks(System& sys);

}  // namespace tune::session
