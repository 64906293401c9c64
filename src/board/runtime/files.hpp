// Whole-file reading and writing at a fixed path. Every file the programs write in /config
// is replaced durably: a crash or a power cut at any moment leaves the old content or the
// new one, never a mix, and a write that fails keeps the old content.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "system.hpp"

namespace tune {

// The whole content of a regular file. A file that cannot be opened or is not a regular
// file (a directory or a pipe has no size) ends the run with "Can't read %s\n", status 1.
// No value when the content cannot be held in memory (too large for this machine): the
// caller treats that as unreadable content.
std::optional<std::string> read_whole_file(System& sys, const char* fixed_path);

// Calls `each` with every line of the file in order, each with its "\n" (the last may
// have none). False, before any call, when the file cannot be opened: what that means is
// the caller's to say.
bool for_each_line(System& sys, const char* fixed_path,
                   const std::function<void(const std::string& line)>& each);

// Writes all of `text` to `fd`, again after an interrupted or partial write. False when
// the system takes no more (errno tells why).
bool write_all(int fd, std::string_view text);

// Replaces the file's content; a content that cannot be stored ends the run with
// "Can't open %s\n", status 1, and leaves the old content.
void write_whole_file(System& sys, const char* fixed_path, std::string_view text);

// Replaces the content of the file at `path` (a real path, already mapped by the System):
// the text goes to a temporary file beside the real one (its owner, extended attributes
// and mode those of the old file), is synced, and is renamed over it; a symbolic link stays
// a link and the file it names is replaced. A cut at any moment leaves the old content or
// the new. That is best effort: a file that cannot be replaced that way is rewritten in
// place, as a plain write would, and a cut during that rewrite can leave it torn. Those
// files are: one with other hard links (a rename would cut them off the new content), one
// that is not a regular file, one whose owner or extended attributes the writer cannot give
// a new file (a group member writing a file it does not own, say), one in a directory where
// no file can be made or renamed (read-only, sticky, full of taken names), and a
// bind-mounted file. False when the text could not be stored, or when the file may not be
// written at all; the old content is then whole, except after a failed in-place rewrite.
bool replace_file(System& sys, const std::string& path, std::string_view text);

// replace_file in two steps, so that several files change together or not at all: first each
// new content is written and synced beside its file (false, with nothing left beside it and
// the file as it was, when it cannot be stored or the file may not be written), then each
// is put in place (the rename, or for a file written in place, the write). A staged content
// that is not put in place is dropped.
struct StagedReplace {
  std::string real;       // the file (a link's target)
  std::string temporary;  // the new content beside it; empty: written in place at the commit
  std::string text;
};
bool stage_replace(System& sys, const std::string& path, std::string_view text,
                   StagedReplace& staged);
bool commit_replace(System& sys, const StagedReplace& staged);
void drop_staged(const StagedReplace& staged);

// The hidden name a replace writes beside `path` before the rename: ".NAME.tune-new", or
// with a later attempt ".NAME.tune-new-N" when the names before it are taken. A cut can
// leave one behind; the next replace of the file reuses it.
inline constexpr char temporary_suffix[] = ".tune-new";
std::string temporary_name_for(const std::string& path, int attempt = 0);

// Removes a file (a real path) and syncs its directory, so that no power cut brings it
// back. False when it could not be removed (no such file, say).
bool remove_file(System& sys, const std::string& path);

// Makes the directory's entries (a new, renamed or removed name) survive a power cut,
// through the system's sync. Some file systems cannot sync a directory; that is no failure.
void sync_directory(System& sys, const std::string& directory);

}  // namespace tune
