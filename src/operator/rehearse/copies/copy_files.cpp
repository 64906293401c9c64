#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "board_reading.hpp"

namespace tune::rehearse {

namespace {

// The real path of the copy being read on this thread, with a "/" at its end; empty when no
// copy is being read.
thread_local std::string copy_root;

// Whether a resolved path lies in the copy being read: a copy made with "rsync -a" keeps the
// board's links, and one that leaves the copy (to the collecting machine's /etc/passwd, say)
// must not be read as the board's.
bool inside_copy(const std::string& real) {
  return copy_root.empty() || real.rfind(copy_root, 0) == 0;
}

// Opens a board file for reading: -1 when it does not exist; UnusableBoard when it cannot be
// read, is not a regular file, or is reached through a link out of the copy. Only a regular
// file of the copy is ever opened: its links are resolved and what they lead to is looked at
// (realpath, lstat) before any open, and the open follows no further link, so that a pipe or
// a device planted in a board's copy, or a file outside it, is refused unopened.
int open_board_file(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    if (errno == ENOENT || errno == ENOTDIR) return -1;
    throw UnusableBoard(path + ": " + std::strerror(errno));
  }
  const std::string real = resolved;
  std::free(resolved);
  struct stat seen;
  if (lstat(real.c_str(), &seen) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return -1;
    throw UnusableBoard(path + ": " + std::strerror(errno));
  }
  if (!S_ISREG(seen.st_mode) || !inside_copy(real)) {
    throw UnusableBoard(path + ": not a regular file in the copy");
  }
  int fd = open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return -1;
    if (errno == ELOOP) throw UnusableBoard(path + ": not a regular file in the copy");
    throw UnusableBoard(path + ": " + std::strerror(errno));
  }
  // The same file that was looked at, not one put in its place since.
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_dev != seen.st_dev ||
      info.st_ino != seen.st_ino) {
    close(fd);
    throw UnusableBoard(path + ": not a regular file in the copy");
  }
  return fd;
}

// Reads a piece; 0 at the end. UnusableBoard on a read error.
size_t read_piece(int fd, const std::string& path, char* buffer, size_t size) {
  for (;;) {
    ssize_t got = read(fd, buffer, size);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno == EINTR) continue;
    int error = errno;
    close(fd);
    throw UnusableBoard(path + ": " + std::strerror(error));
  }
}

}  // namespace

CopyBeingRead::CopyBeingRead(const std::string& dir) : outer_(copy_root) {
  // A directory that cannot be resolved is left to the reads, which say why.
  if (char* real = realpath(dir.c_str(), nullptr)) {
    copy_root = real;
    std::free(real);
    if (copy_root.back() != '/') copy_root += '/';
  }
}

CopyBeingRead::~CopyBeingRead() {
  copy_root = outer_;
}

bool directory_in_copy(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return false;
  const bool inside = inside_copy(std::string(resolved) + "/");
  std::free(resolved);
  return inside;
}

bool board_file_exists(const std::string& path) {
  int fd = open_board_file(path);
  if (fd < 0) return false;
  close(fd);
  return true;
}

BoardFile find_board_file(const std::string& dir, const char* name) {
  CopyBeingRead copy(dir);
  BoardFile file;
  file.path = dir + "/" + name;
  for (const char* sub : {"/", "/config/", "/tmp/"}) {
    std::string path = dir + sub + name;
    if (board_file_exists(path)) {
      file.path = path;
      file.found = true;
      break;
    }
  }
  return file;
}

void for_each_board_line(const BoardFile& file, const std::function<void(const BoardLine&)>& each,
                         bool* crlf) {
  if (crlf != nullptr) *crlf = false;
  if (!file.found) return;
  int fd = open_board_file(file.path);
  if (fd < 0) return;
  std::string line;
  BoardLine current;
  current.number = 1;
  auto finish = [&](bool ended) {
    if (ended && !line.empty() && line.back() == '\r') {
      line.pop_back();
      if (crlf != nullptr) *crlf = true;
    }
    current.text = line;
    current.ended = ended;
    each(current);
    line.clear();
    current = BoardLine{};
  };
  static thread_local char buffer[64 * 1024];
  for (size_t got; (got = read_piece(fd, file.path, buffer, sizeof buffer)) > 0;) {
    for (size_t at = 0; at < got;) {
      const char* end = static_cast<const char*>(std::memchr(buffer + at, '\n', got - at));
      size_t length = (end != nullptr ? static_cast<size_t>(end - buffer) : got) - at;
      size_t room = longest_board_line - std::min(line.size(), longest_board_line);
      if (length > room) current.cut = true;
      line.append(buffer + at, std::min(length, room));
      at += length;
      if (end == nullptr) break;
      int number = current.number;
      finish(true);
      current.number = number + 1;
      ++at;
    }
  }
  close(fd);
  if (!line.empty() || current.cut) finish(false);
}

std::optional<std::string> read_small_board_file(const BoardFile& file, size_t limit) {
  std::string text;
  if (!file.found) return text;
  int fd = open_board_file(file.path);
  if (fd < 0) return text;
  char buffer[8192];
  for (size_t got; (got = read_piece(fd, file.path, buffer, sizeof buffer)) > 0;) {
    if (text.size() + got > limit) {
      close(fd);
      return std::nullopt;
    }
    text.append(buffer, got);
  }
  close(fd);
  return text;
}

std::map<std::string, std::string> read_settings_files(const std::string& dir) {
  CopyBeingRead copy(dir);
  constexpr size_t largest = 1024 * 1024;
  std::map<std::string, std::string> files;
  for (const char* name : {"config.conf", "manual_freqs.txt", "bmminer.conf", "autoTune.conf"}) {
    BoardFile file = find_board_file(dir, name);
    if (!file.found) continue;
    std::optional<std::string> text = read_small_board_file(file, largest);
    if (!text) throw UnusableBoard(file.path + ": larger than a settings file can be (1 MB)");
    files[name] = std::move(*text);
  }
  return files;
}

void Findings::add(const BoardFile& file, int line, const std::string& what) {
  if (++counts_[file.path] <= most_per_file) out_.push_back({file.path, line, what});
}

void Findings::close() {
  for (const auto& [path, count] : counts_) {
    if (count > most_per_file) {
      out_.push_back({path, 0,
                      std::to_string(count - most_per_file) + " more findings in this file are "
                                                              "not shown"});
    }
  }
}

}  // namespace tune::rehearse
