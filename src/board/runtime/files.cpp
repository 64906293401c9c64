#include "files.hpp"

#include <fcntl.h>
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

// The file a chain of symbolic links ends at (which may not exist yet), so that the links
// themselves stay as the firmware made them. A loop is left to open() to report.
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

}  // namespace

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

namespace {

// As fopen(path, "w") and a write would do it, but with every step checked. A device or
// a pipe cannot be synced, which is no failure.
bool rewrite_in_place(System& sys, const std::string& path, std::string_view text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool stored = write_all(fd, text) && (sys.sync(fd) == 0 || errno == EINVAL || errno == EROFS);
  return close(fd) == 0 && stored;
}

// How many temporary names a replace tries when the first ones are taken by something it
// cannot remove (a directory, say).
constexpr int temporary_names = 10;

// Opens a fresh temporary file beside the real one, replacing a leftover one, and names it
// in `temporary`. -1 with errno set on failure.
int open_temporary(const std::string& real, std::string& temporary) {
  constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = -1;
  for (int attempt = 0; attempt < temporary_names && fd < 0; ++attempt) {
    temporary = temporary_name_for(real, attempt);
    fd = open(temporary.c_str(), flags, 0666);
    if (fd < 0 && errno == EEXIST && unlink(temporary.c_str()) == 0) {
      fd = open(temporary.c_str(), flags, 0666);
    }
    if (fd < 0 && errno != EEXIST && errno != EISDIR && errno != EPERM) break;
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

// The disk itself is full or failing: writing in place would only tear the old file.
bool disk_cannot_take_it(int error) {
  return error == ENOSPC || error == EDQUOT || error == EIO || error == EFBIG;
}

// True when the file may be opened for writing, as the plain rewrite would open it. A
// process that may write the directory but not the file must not replace it either.
bool may_write_file(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

enum class Replaced { yes, no, write_in_place };

// Removes the temporary file after a failure and tells what to do next; errno stays the
// failure's.
Replaced give_up(const std::string& temporary, int error, Replaced next) {
  unlink(temporary.c_str());
  errno = error;
  return next;
}

// The durable path's first half: a temporary file beside the real one, written and synced,
// named in `temporary`. Where that path is closed but the plain rewrite may still work (a
// sticky directory, every temporary name taken, a file system without ownership), the
// caller writes in place instead; a full or failing disk keeps the old file.
Replaced write_temporary(System& sys, const std::string& real, const struct stat* old_file,
                         std::string_view text, std::string& temporary) {
  int fd = open_temporary(real, temporary);
  if (fd < 0) return disk_cannot_take_it(errno) ? Replaced::no : Replaced::write_in_place;
  if (old_file != nullptr) {
    // The new file must be the old one in all but its content: owner, extended attributes
    // (an ACL among them), mode. The owner first: changing it may clear the set-id bits
    // that the mode then restores; an ACL moves the group bits, which the mode then sets.
    // Only root may give a file away, and some file systems keep no owners or attributes:
    // where any of it cannot be carried over, the old file is written in place, which keeps
    // all of it.
    struct stat made = {};
    bool same_owner =
        fstat(fd, &made) == 0 && made.st_uid == old_file->st_uid && made.st_gid == old_file->st_gid;
    if ((!same_owner && fchown(fd, old_file->st_uid, old_file->st_gid) != 0) ||
        !carry_attributes(real, fd) || fchmod(fd, old_file->st_mode & 07777) != 0) {
      int error = errno;
      close(fd);
      return give_up(temporary, error, Replaced::write_in_place);
    }
  }
  errno = 0;
  bool stored = write_all(fd, text) && sys.sync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && stored) {
    stored = false;
    error = errno;
  }
  if (!stored) {
    return give_up(temporary, error,
                   disk_cannot_take_it(error) ? Replaced::no : Replaced::write_in_place);
  }
  return Replaced::yes;
}

}  // namespace

void sync_directory(System& sys, const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  sys.sync(fd);
  close(fd);
}

bool stage_replace(System& sys, const std::string& path, std::string_view text,
                   StagedReplace& staged) {
  staged.real = link_target(path);
  staged.temporary.clear();
  staged.text.assign(text);
  struct stat old_file;
  bool exists = stat(staged.real.c_str(), &old_file) == 0;
  if (!exists && errno != ENOENT) return true;  // to be written in place
  // A rename would cut the other hard links off the new content, and would put a regular
  // file where a device or pipe was.
  if (exists && (!S_ISREG(old_file.st_mode) || old_file.st_nlink > 1)) return true;
  if (exists && !may_write_file(staged.real)) return false;
  switch (write_temporary(sys, staged.real, exists ? &old_file : nullptr, text, staged.temporary)) {
    case Replaced::yes:
      return true;
    case Replaced::no:
      staged.temporary.clear();
      return false;
    case Replaced::write_in_place:
      staged.temporary.clear();
      return true;
  }
  return false;
}

bool commit_replace(System& sys, const StagedReplace& staged) {
  if (staged.temporary.empty()) return rewrite_in_place(sys, staged.real, staged.text);
  if (rename(staged.temporary.c_str(), staged.real.c_str()) != 0) {
    const int error = errno;
    unlink(staged.temporary.c_str());
    // A bind-mounted file cannot be renamed over: the plain rewrite still can.
    bool name_held = error == EBUSY || error == EXDEV || error == EPERM || error == EACCES;
    if (name_held) return rewrite_in_place(sys, staged.real, staged.text);
    errno = error;
    return false;
  }
  sync_directory(sys, directory_of(staged.real));
  return true;
}

void drop_staged(const StagedReplace& staged) {
  if (!staged.temporary.empty()) unlink(staged.temporary.c_str());
}

bool replace_file(System& sys, const std::string& path, std::string_view text) {
  StagedReplace staged;
  return stage_replace(sys, path, text, staged) && commit_replace(sys, staged);
}

bool remove_file(System& sys, const std::string& path) {
  if (std::remove(path.c_str()) != 0) return false;
  sync_directory(sys, directory_of(path));
  return true;
}

std::optional<std::string> read_whole_file(System& sys, const char* fixed_path) {
  std::FILE* file = std::fopen(sys.path(fixed_path).c_str(), "r");
  struct stat info;
  if (file != nullptr && (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode))) {
    std::fclose(file);
    file = nullptr;
  }
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
                   const std::function<void(const std::string& line)>& each) {
  std::FILE* file = std::fopen(sys.path(fixed_path).c_str(), "r");
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
