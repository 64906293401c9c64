// The miner's files as they were before a tuning, kept in /config/tune-backup:
//   before/    the files before the latest tuning, replaced at every new tuning
//   original/  the files before the first tuning ever made on this board, never replaced
// A set holds copies of the files that existed; a file that did not exist has no copy.
// A set appears whole or not at all: it is written beside its place, synced, and renamed
// into it, so that a cut or a full disk leaves the older set whole.
#pragma once

#include <string>

#include "system.hpp"

namespace tune::session {

inline constexpr char before_set[] = "before";
inline constexpr char original_set[] = "original";

// Saves the miner's files as `before/`, and as `original/` when there is none yet. Empty
// when saved, else "PATH: reason".
std::string save_copies(System& sys);

// Puts the files of the set back in /config byte for byte (each durably) and removes the
// files the set has no copy of. Empty when done, else "PATH: reason".
std::string restore_copies(System& sys, const char* set);

// The real path of a set's directory, and whether it is there.
std::string set_directory(System& sys, const char* set);
bool set_exists(System& sys, const char* set);

}  // namespace tune::session
