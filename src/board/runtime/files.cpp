#include "files.hpp"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <vector>

#include "log.hpp"
#include "text.hpp"

namespace tune {

namespace {

// The directory part of a path ("." for a bare name).
std::string directory_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

// A chain of links is followed so that the links themselves stay as the firmware made them;
// the file it ends at may not exist yet. A loop is left to open() to report.
std::string link_target(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char target[4096];
    ssize_t length = readlink(path.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof target) return path;
    std::string next(target, static_cast<size_t>(length));
    path = next.front() == '/' ? next : directory_of(path) + "/" + next;
  }
  return path;
}

std::string temporary_name_for(const std::string& path, int attempt) {
  size_t slash = path.rfind('/');
  size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  std::string name = path.substr(0, name_at) + "." + path.substr(name_at) + temporary_suffix;
  return attempt == 0 ? name : name + "-" + std::to_string(attempt);
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t written = write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written == 0) errno = EIO;  // a write that stores nothing, and says nothing
    if (written <= 0) return false;
    text.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// Every case has its text, in the order of the enumeration (attributes is its last).
static_assert([] {
  size_t next = 0;
  for (const InPlaceCase& entry : in_place_cases) {
    if (static_cast<size_t>(entry.why) != next++) return false;
  }
  return next == static_cast<size_t>(InPlace::attributes) + 1;
}());

const char* in_place_text(InPlace why) {
  for (const InPlaceCase& entry : in_place_cases) {
    if (entry.why == why) return entry.text;
  }
  return "";
}

namespace {

// The disk itself is full or failing: writing in place would only tear the old file.
bool disk_cannot_take_it(int error) {
  return error == ENOSPC || error == EDQUOT || error == EIO || error == EFBIG || error == EROFS;
}

// A sync that the file system cannot do (EINVAL; a file system that has no sync for a
// directory may also say EROFS, ENOTSUP or ENOSYS) is no failure: there is nothing more to
// make durable there. Any other failure (EIO, ENOSPC, ...) is the disk's.
bool synced(System& sys, int fd) {
  if (sys.sync(fd) == 0) return true;
  return errno == EINVAL || errno == EROFS || errno == ENOTSUP || errno == ENOSYS;
}

// Opens `path` without waiting (a pipe with no one at its other end would block a plain
// open; it fails with ENXIO for a writer instead), then lets what follows wait as usual.
// -1 with errno set when it cannot be opened.
int open_without_waiting(const std::string& path, int flags, mode_t mode = 0) {
  int fd = open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  if (fd >= 0 && fcntl(fd, F_SETFL, 0) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    fd = -1;
  }
  return fd;
}

// The plain write, for the cases of in_place_cases, with every step checked. Room for the
// text is taken before the old content is touched (where the file system can reserve it), so
// a full disk fails the write with the old content whole; the text then goes over the old
// one, and what is left of that is cut off.
bool rewrite_in_place(System& sys, const std::string& path, std::string_view text) {
  // A pipe no one reads is a file that cannot be opened (ENXIO).
  int fd = open_without_waiting(path, O_WRONLY | O_CREAT, 0666);
  if (fd < 0) return false;
  struct stat info = {};
  bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  bool stored = true;
  if (regular && static_cast<off_t>(text.size()) > info.st_size) {
    int error =
        fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(text.size())) == 0 ? 0 : errno;
    // A file system that cannot reserve room is written as it comes.
    if (error != 0 && error != EOPNOTSUPP && error != ENOSYS) {
      errno = error;
      stored = false;
    }
  }
  stored = stored && write_all(fd, text) &&
           (!regular || static_cast<off_t>(text.size()) >= info.st_size ||
            ftruncate(fd, static_cast<off_t>(text.size())) == 0) &&
           (!regular || synced(sys, fd));
  const int error = errno;
  if (close(fd) != 0 && stored) return false;
  errno = error;
  return stored;
}

// How many temporary names a replace tries when the first ones are taken by something it
// cannot remove (a directory, say).
constexpr int temporary_names = 10;

// Opens a fresh temporary file beside the real one, replacing a leftover one, and names it
// in `temporary`. -1 with errno set on failure (EEXIST: every name is taken).
int open_temporary(const std::string& real, mode_t mode, std::string& temporary) {
  constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = -1;
  for (int attempt = 0; attempt < temporary_names && fd < 0; ++attempt) {
    temporary = temporary_name_for(real, attempt);
    fd = open(temporary.c_str(), flags, mode);
    if (fd < 0 && errno == EEXIST && unlink(temporary.c_str()) == 0) {
      fd = open(temporary.c_str(), flags, mode);
    }
    if (fd < 0 && (errno == EISDIR || errno == EPERM)) errno = EEXIST;  // not ours to remove
    if (fd < 0 && errno != EEXIST) break;
  }
  return fd;
}

// The names of a file's extended attributes (by path, or by descriptor when `path` is
// null); nothing with errno set when they cannot be listed.
std::optional<std::vector<std::string>> attribute_names(const char* path, int fd) {
  std::vector<char> list;
  for (int attempt = 0; attempt < 4; ++attempt) {  // the list may grow between the calls
    ssize_t size = path != nullptr ? listxattr(path, nullptr, 0) : flistxattr(fd, nullptr, 0);
    if (size < 0) return std::nullopt;
    list.resize(static_cast<size_t>(size));
    ssize_t got = path != nullptr ? listxattr(path, list.data(), list.size())
                                  : flistxattr(fd, list.data(), list.size());
    if (got < 0 && errno == ERANGE) continue;
    if (got < 0) return std::nullopt;
    std::vector<std::string> names;
    for (size_t at = 0; at < static_cast<size_t>(got); at += names.back().size() + 1) {
      names.emplace_back(&list[at]);
    }
    return names;
  }
  errno = ERANGE;
  return std::nullopt;
}

// Gives the temporary file the old file's extended attributes (its ACL among them), and
// only those. False when that cannot be done: the rename would lose what was not copied.
bool carry_attributes(const std::string& old_file, int fd) {
  std::optional<std::vector<std::string>> keep = attribute_names(old_file.c_str(), -1);
  if (!keep) return errno == ENOTSUP;  // a file system without them has none to lose
  std::optional<std::vector<std::string>> got = attribute_names(nullptr, fd);
  if (!got) return keep->empty() && errno == ENOTSUP;
  // What the new file got by itself (a directory's default ACL, say) and the old one had not.
  for (const std::string& name : *got) {
    if (std::find(keep->begin(), keep->end(), name) == keep->end() &&
        fremovexattr(fd, name.c_str()) != 0) {
      return false;
    }
  }
  std::vector<char> value;
  for (const std::string& name : *keep) {
    ssize_t size = getxattr(old_file.c_str(), name.c_str(), nullptr, 0);
    if (size < 0) return false;
    value.resize(static_cast<size_t>(size) + 1);
    size = getxattr(old_file.c_str(), name.c_str(), value.data(), value.size());
    if (size < 0 || fsetxattr(fd, name.c_str(), value.data(), static_cast<size_t>(size), 0) != 0) {
      return false;
    }
  }
  return true;
}

// True when the file may be opened for writing, as the plain rewrite would open it. A
// process that may write the directory but not the file must not replace it either.
bool may_write_file(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// Which case of in_place_cases a failure of one step of making the new file is, if any:
// the step's own (`permission_case`, for EPERM and EACCES, which a step may give when the
// writer may not do it there). Any other failure ends the replace with the old file as it is.
std::optional<InPlace> in_place_case(int error, std::optional<InPlace> permission_case) {
  if (disk_cannot_take_it(error)) return std::nullopt;
  if (error == EPERM || error == EACCES) return permission_case;
  return std::nullopt;
}

// The durable path's first half: a temporary file beside the real one, written whole,
// given the old file's owner, extended attributes and mode, and synced; named in
// staged.temporary. Where that cannot be done but the plain write may still work (a case
// of in_place_cases), staged.in_place says why. False, with errno, when neither: the old
// file stays as it is.
bool write_temporary(System& sys, const struct stat* old_file, StagedReplace& staged) {
  // Only the writer can read the new content until it has the old file's mode.
  int fd = open_temporary(staged.real, old_file != nullptr ? 0600 : 0666, staged.temporary);
  if (fd < 0) {
    const int error = errno;
    staged.temporary.clear();
    if (error == EEXIST) staged.in_place = InPlace::names_taken;
    if (error == ENAMETOOLONG) staged.in_place = InPlace::name_too_long;
    if (error == EACCES || error == EPERM) staged.in_place = InPlace::directory_closed;
    errno = error;
    return staged.in_place.has_value();
  }
  // The content first: the kernel drops set-id bits and file capabilities from a file that
  // is written, so those are given after it. The owner before the mode: a change of owner
  // may clear the set-id bits that the mode then restores; an ACL moves the group bits,
  // which the mode then sets. Only root may give a file away, and some file systems keep no
  // owners or attributes: where that cannot be carried over, the old file is written in
  // place, which keeps all of it.
  std::optional<InPlace> fallback;
  bool made = write_all(fd, staged.text);
  if (made && old_file != nullptr) {
    struct stat now = {};
    bool same_owner =
        fstat(fd, &now) == 0 && now.st_uid == old_file->st_uid && now.st_gid == old_file->st_gid;
    if (!same_owner && fchown(fd, old_file->st_uid, old_file->st_gid) != 0) {
      made = false;
      fallback = in_place_case(errno == EINVAL ? EPERM : errno, InPlace::owner_or_mode);
    } else if (!carry_attributes(staged.real, fd)) {
      made = false;
      const int error = errno == ENOTSUP || errno == E2BIG || errno == ERANGE ? EPERM : errno;
      fallback = in_place_case(error, InPlace::attributes);
    } else if (fchmod(fd, old_file->st_mode & 07777) != 0) {
      made = false;
      fallback = in_place_case(errno, InPlace::owner_or_mode);
    }
  }
  made = made && synced(sys, fd);
  int error = errno;
  if (close(fd) != 0 && made) {
    made = false;
    error = errno;
  }
  if (made) return true;
  unlink(staged.temporary.c_str());
  staged.temporary.clear();
  staged.in_place = fallback;
  errno = error;
  return fallback.has_value();
}

}  // namespace

bool sync_directory(System& sys, const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A writer that may not read the directory cannot sync it: that is no failure of the disk.
  if (fd < 0) return errno == EACCES || errno == EPERM;
  const bool done = synced(sys, fd);
  const int error = errno;
  close(fd);
  errno = error;
  return done;
}

bool stage_replace(System& sys, const std::string& path, std::string_view text,
                   StagedReplace& staged) {
  staged = StagedReplace{};
  staged.real = link_target(path);
  staged.text.assign(text);
  struct stat old_file;
  bool exists = stat(staged.real.c_str(), &old_file) == 0;
  if (!exists && errno != ENOENT) return false;  // nor could it be written in place
  // A rename would cut the other hard links off the new content, and would put a regular
  // file where a device or pipe was.
  if (exists && !S_ISREG(old_file.st_mode)) staged.in_place = InPlace::not_regular;
  if (exists && S_ISREG(old_file.st_mode) && old_file.st_nlink > 1) {
    staged.in_place = InPlace::hard_links;
  }
  if (staged.in_place) return true;
  if (exists && !may_write_file(staged.real)) return false;
  return write_temporary(sys, exists ? &old_file : nullptr, staged);
}

bool commit_replace(System& sys, const StagedReplace& staged) {
  if (staged.in_place) return rewrite_in_place(sys, staged.real, staged.text);
  if (rename(staged.temporary.c_str(), staged.real.c_str()) != 0) {
    const int error = errno;
    unlink(staged.temporary.c_str());
    // A bind-mounted file cannot be renamed over, nor another user's file in a sticky
    // directory: the plain rewrite still can.
    std::optional<InPlace> why = in_place_case(error, InPlace::directory_closed);
    if (error == EBUSY || error == EXDEV) why = InPlace::bind_mounted;
    if (why) return rewrite_in_place(sys, staged.real, staged.text);
    errno = error;
    return false;
  }
  // The new content is in place, but a disk that fails to sync the name may lose it.
  return sync_directory(sys, directory_of(staged.real));
}

void drop_staged(const StagedReplace& staged) {
  if (!staged.temporary.empty()) unlink(staged.temporary.c_str());
}

bool replace_file(System& sys, const std::string& path, std::string_view text) {
  StagedReplace staged;
  return stage_replace(sys, path, text, staged) && commit_replace(sys, staged);
}

bool remove_file(System& sys, const std::string& path) {
  return std::remove(path.c_str()) == 0 && sync_directory(sys, directory_of(path));
}

namespace {

// Opens a regular file for reading; nullptr (errno set) for anything else. The open does not
// wait: a pipe or a device in a file's place would block a plain open, or answer it with
// effects of its own, so it reads as a file that cannot be opened.
std::FILE* open_regular(const std::string& path, struct stat& info) {
  int fd = open_without_waiting(path, O_RDONLY);
  if (fd < 0) return nullptr;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "r");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

std::optional<std::string> read_whole_file(System& sys, const char* fixed_path) {
  struct stat info = {};
  std::FILE* file = open_regular(sys.path(fixed_path), info);
  if (file == nullptr) tune_fatalf(sys, 1, fatal_log::cannot_read, fixed_path);
  std::optional<std::string> text;
  // A file larger than the machine's memory (a sparse or runaway one) cannot be held,
  // whatever the allocator would promise.
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  bool fits =
      pages <= 0 || page_size <= 0 ||
      static_cast<unsigned long long>(info.st_size) <
          static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(page_size);
  try {
    if (fits) text.emplace(static_cast<size_t>(info.st_size), '\0');
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  // The file may have shrunk since it was sized; keep only what was read.
  if (text) text->resize(std::fread(text->data(), 1, text->size(), file));
  std::fclose(file);
  return text;
}

bool for_each_line(System& sys, const char* fixed_path,
                   FunctionRef<void(const std::string& line)> each) {
  struct stat info = {};
  std::FILE* file = open_regular(sys.path(fixed_path), info);
  if (file == nullptr) return false;
  std::string line;
  while (read_line(file, line)) each(line);
  std::fclose(file);
  return true;
}

void write_whole_file(System& sys, const char* fixed_path, std::string_view text) {
  if (!replace_file(sys, sys.path(fixed_path), text))
    tune_fatalf(sys, 1, fatal_log::cannot_open, fixed_path);
}

}  // namespace tune
