#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <stdexcept>

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

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t written = write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
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

// The temporary file's name: hidden, fixed (a leftover from a cut is reused, not piled up)
// and never one of the names the programs or the miner read.
std::string temporary_name_for(const std::string& path) {
  size_t slash = path.rfind('/');
  size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, name_at) + "." + path.substr(name_at) + ".tune-new";
}

// Opens a fresh temporary file, replacing a leftover one. -1 with errno set on failure.
int open_temporary(const std::string& temporary) {
  constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(temporary.c_str(), flags, 0666);
  if (fd < 0 && errno == EEXIST && unlink(temporary.c_str()) == 0) {
    fd = open(temporary.c_str(), flags, 0666);
  }
  return fd;
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

// The durable path: a temporary file beside the real one, synced and renamed over it.
// Where that path is closed but the plain rewrite may still work (a bind-mounted file, a
// sticky directory, a name taken by a directory, a file system without ownership), the
// caller writes in place instead; a full or failing disk keeps the old file.
Replaced replace_through_temporary(System& sys, const std::string& real,
                                   const struct stat* old_file, std::string_view text) {
  const std::string temporary = temporary_name_for(real);
  int fd = open_temporary(temporary);
  if (fd < 0) return disk_cannot_take_it(errno) ? Replaced::no : Replaced::write_in_place;
  if (old_file != nullptr) {
    // The owner first: changing it may clear the set-id bits that the mode then restores.
    // Only root may give a file away, and some file systems keep no owners: the new file
    // then stays the writer's own, as a file written in place would stay its owner's.
    int owner_kept = fchown(fd, old_file->st_uid, old_file->st_gid);
    (void)owner_kept;
    if (fchmod(fd, old_file->st_mode & 07777) != 0) {
      // The new file would not keep the old one's mode: write the old one in place.
      close(fd);
      return give_up(temporary, errno, Replaced::write_in_place);
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
  if (rename(temporary.c_str(), real.c_str()) != 0) {
    error = errno;
    bool name_held = error == EBUSY || error == EXDEV || error == EPERM || error == EACCES;
    return give_up(temporary, error, name_held ? Replaced::write_in_place : Replaced::no);
  }
  sync_directory(sys, directory_of(real));
  return Replaced::yes;
}

}  // namespace

void sync_directory(System& sys, const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  sys.sync(fd);
  close(fd);
}

bool replace_file(System& sys, const std::string& path, std::string_view text) {
  const std::string real = link_target(path);
  struct stat old_file;
  bool exists = stat(real.c_str(), &old_file) == 0;
  if (!exists && errno != ENOENT) return rewrite_in_place(sys, real, text);
  // A rename would cut the other hard links off the new content, and would put a regular
  // file where a device or pipe was.
  if (exists && (!S_ISREG(old_file.st_mode) || old_file.st_nlink > 1)) {
    return rewrite_in_place(sys, real, text);
  }
  if (exists && !may_write_file(real)) return false;
  switch (replace_through_temporary(sys, real, exists ? &old_file : nullptr, text)) {
    case Replaced::yes:
      return true;
    case Replaced::no:
      return false;
    case Replaced::write_in_place:
      break;
  }
  return rewrite_in_place(sys, real, text);
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
