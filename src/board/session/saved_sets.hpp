// The saved sets: the miner's files as they were before a tuning, kept in
// /config/tune-backup, and put back by undo:
//   before/    the files before the latest tuning, replaced at every new tuning
//   original/  the files before the first tuning ever made on this board, never replaced
// A set holds copies of the files that existed, the record "absent" naming, one a line,
// those that did not, and the record "sums" giving each copy's checksum and size as
// `cksum` prints them ("CRC SIZE NAME"), so that a copy cut short or changed since is never
// put back (older versions made sets without the records). A set appears whole or not at
// all: it is written beside its place, synced, and renamed into it, so that a cut or a full
// disk leaves the older set whole.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "board_files.hpp"
#include "files.hpp"
#include "result.hpp"
#include "system.hpp"

namespace tune::session {

inline constexpr char before_set[] = "before";
inline constexpr char original_set[] = "original";

inline constexpr char absent_record[] = "absent";
inline constexpr char sums_record[] = "sums";

// The checksum of POSIX `cksum` (CRC-32 of the text and its length), which busybox has too.
unsigned long posix_checksum(std::string_view text);

// Saves the miner's files as `before/`, and with `first_tuning` also as `original/` (which
// is never replaced once there).
Result<> save_sets(System& sys, bool first_tuning);

// A set read whole, ready to be put back.
struct SavedSet {
  std::string directory;
  std::vector<FileRead> files;                     // its copies, by saved_files
  std::optional<std::vector<std::string>> absent;  // none: a set made without the record
  bool checked = false;  // the copies match the set's "sums"; false: it has none to check
};

// Reads the saved set, changing nothing (where a cut left the set aside, from there):
// every one readable whole, every file the set should hold there, and each as its "sums"
// records it. A failure when not.
Result<SavedSet> read_saved_set(System& sys, const char* set);

// Brings back a set a cut left aside, reads it with read_saved_set, and checks that
// /config can take it: every file there a regular file or none (a pipe would block the
// write).
Result<SavedSet> read_set(System& sys, const char* set);

// Puts the files of the set back in /config byte for byte, in two steps: first every copy
// is written and synced beside its file (`staged`; nothing in /config changes when one
// cannot be, as on a full disk), then each is put in place and those the set records as
// absent are removed. In a set without the record a missing copy leaves the file in /config
// as it is, named in `kept`. After a failure in the first step nothing changed; one in the
// second may leave some files back, others not.
Result<> stage_set(System& sys, const SavedSet& set, std::vector<StagedReplace>& staged);
Result<> commit_set(System& sys, const SavedSet& set, std::vector<StagedReplace>& staged,
                    std::vector<std::string>& kept);
// Drops what stage_set wrote, when it is not to be put in place.
void drop_set(std::vector<StagedReplace>& staged);

// Reads the files in /config back: done when each holds its copy (or is gone, for one the
// set records as absent), else a failure "PATH: what differs".
Result<> check_put_back(System& sys, const SavedSet& set);

// Reads, puts back and checks.
Result<> restore_set(System& sys, const char* set, std::vector<std::string>& kept);

// The real path of a set's directory, and whether it is there.
std::string set_directory(System& sys, const char* set);
bool set_exists(System& sys, const char* set);

}  // namespace tune::session
