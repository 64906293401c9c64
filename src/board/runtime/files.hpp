// Whole-file reading and writing at a fixed path. Every file the programs write in /config
// is replaced durably: a crash or a power cut at any moment leaves the old content or the
// new one, never a mix, and a write that fails keeps the old content.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "function_ref.hpp"
#include "system.hpp"

namespace tune {

// The whole content of a regular file. A file that cannot be opened or is not a regular
// file (a directory or a pipe has no size) ends the run with "Can't read %s\n", status 1.
// No value when the content cannot be held in memory (too large for this machine): the
// caller treats that as unreadable content.
std::optional<std::string> read_whole_file(System& sys, const char* fixed_path);

// Calls `each` with every line of the file in order, each with its "\n" (the last may
// have none). False, before any call, when the file cannot be opened or is not a regular
// file (a pipe, a device or a directory, opened without waiting for a writer): what that
// means is the caller's to say.
bool for_each_line(System& sys, const char* fixed_path,
                   FunctionRef<void(const std::string& line)> each);

// Writes all of `text` to `fd`, again after an interrupted or partial write. False when
// the system takes no more (errno tells why).
bool write_all(int fd, std::string_view text);

// Replaces the file's content; a content that cannot be stored ends the run with
// "Can't open %s\n", status 1, and leaves the old content.
void write_whole_file(System& sys, const char* fixed_path, std::string_view text);

// Why a file is rewritten in place rather than replaced through a new file: each case is
// one where a new file cannot take the old one's place but the plain write still works.
// Nothing else falls back to the in-place write; the docs list these texts as they stand.
enum class InPlace {
  hard_links,
  not_regular,
  bind_mounted,
  directory_closed,
  names_taken,
  name_too_long,
  owner_or_mode,
  attributes,
};
struct InPlaceCase {
  InPlace why;
  const char* text;
};
inline constexpr InPlaceCase in_place_cases[] = {
    {InPlace::hard_links,
     "a file with other hard links: a rename would cut them off the new content"},
    {InPlace::not_regular,
     "a name that is not a regular file (a device, a pipe): a rename would put a file in its "
     "place"},
    {InPlace::bind_mounted, "a file bind-mounted into /config: it cannot be renamed over"},
    {InPlace::directory_closed,
     "a directory where the writer may not make or rename a file (read-only to it, or sticky "
     "and holding another user's file)"},
    {InPlace::names_taken, "every temporary name taken by something the writer cannot remove"},
    {InPlace::name_too_long, "a name that the temporary name's dot and suffix make too long"},
    {InPlace::owner_or_mode,
     "a file whose owner or mode the writer cannot give a new file (a file of another owner "
     "written through its group, a file system without ownership)"},
    {InPlace::attributes,
     "a file whose extended attributes the writer cannot give a new file (one that only root "
     "may set, written by another user)"},
};
const char* in_place_text(InPlace why);

// Replaces the content of the file at `path` (a real path, already mapped by the System):
// the text goes to a temporary file beside the real one, which gets the old file's owner,
// extended attributes and mode, is synced, and is renamed over it; a symbolic link stays a
// link and the file it names is replaced. A cut at any moment leaves the old content or the
// new. In the cases of in_place_cases the file is rewritten in place instead (room for the
// text is taken first where the file system can, so that a full disk keeps the old file; a
// cut or a failing disk during that write can tear it). False when the text could not be
// stored or the file may not be written at all (errno says why); the old content is then
// whole, except after a failed in-place rewrite, or after a rename whose directory the disk
// then failed to sync (the new content is in place, but a power cut may take it back). A
// failure that says the disk cannot take the text (ENOSPC, EDQUOT, EIO, EFBIG, EROFS) never
// falls back to the in-place write.
bool replace_file(System& sys, const std::string& path, std::string_view text);

// replace_file in two steps, so that several files change together or not at all: first each
// new content is written whole and synced beside its file (false, with nothing left beside
// it and the file as it was, when it cannot be stored or the file may not be written; a file
// of in_place_cases gets nothing beside it), then each is put in place (the rename, or for a
// file written in place, the write). A staged content that is not put in place is dropped.
struct StagedReplace {
  std::string real;                 // the file (a link's target)
  std::string temporary;            // the new content beside it, whole and synced
  std::optional<InPlace> in_place;  // instead: why the commit writes the file in place
  std::string text;
};
bool stage_replace(System& sys, const std::string& path, std::string_view text,
                   StagedReplace& staged);
bool commit_replace(System& sys, const StagedReplace& staged);
void drop_staged(const StagedReplace& staged);

// The file a path names once its symbolic links are followed (up to 40 of them): the one a
// replace puts the new content in place of.
std::string link_target(std::string path);

// The hidden name a replace writes beside `path` before the rename: ".NAME.tune-new", or
// with a later attempt ".NAME.tune-new-N" when the names before it are taken. A cut can
// leave one behind; the next replace of the file reuses it.
inline constexpr char temporary_suffix[] = ".tune-new";
std::string temporary_name_for(const std::string& path, int attempt = 0);

// Removes a file (a real path) and syncs its directory, so that no power cut brings it
// back. False when it could not be removed (no such file, say), or when the directory's sync
// failed (errno says why; the name is gone now, but a power cut may bring it back).
bool remove_file(System& sys, const std::string& path);

// Makes the directory's entries (a new, renamed or removed name) survive a power cut,
// through the system's sync. False, with errno, when the disk fails the sync (EIO, say).
// Some file systems cannot sync a directory (EINVAL and the like), and a writer that may not
// read the directory cannot open it to sync: neither is a failure.
bool sync_directory(System& sys, const std::string& directory);

}  // namespace tune
