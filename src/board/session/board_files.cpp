#include "board_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "files.hpp"
#include "log.hpp"
#include "text.hpp"

namespace tune::session {

std::string cat(std::initializer_list<std::string_view> pieces) {
  size_t length = 0;
  for (std::string_view piece : pieces) length += piece.size();
  std::string joined;
  joined.reserve(length);
  for (std::string_view piece : pieces) joined.append(piece);
  return joined;
}

FileRead read_file(const std::string& path, size_t limit, bool tail) {
  FileRead result;
  auto unreadable = [&](Failure failure) {
    result.result = FileRead::Result::unreadable;
    result.failure = std::move(failure);
    return result;
  };
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? result : unreadable(failure(path, errno));
  struct stat info;
  int error = fstat(fd, &info) != 0 ? errno : 0;
  if (error == 0 && !S_ISREG(info.st_mode)) error = S_ISDIR(info.st_mode) ? EISDIR : -1;
  off_t offset = 0;
  if (tail && error == 0 && info.st_size > static_cast<off_t>(limit)) {
    offset = info.st_size - static_cast<off_t>(limit);
  }
  result.whole = offset == 0;
  char buffer[8192];
  while (error == 0) {
    // One byte past the limit tells a file cut at the limit from one that ends there.
    size_t room = limit - result.text.size() + 1;
    ssize_t got = pread(fd, buffer, std::min(sizeof buffer, room), offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = errno;
    if (got <= 0) break;
    result.text.append(buffer, static_cast<size_t>(got));
    offset += got;
    if (result.text.size() > limit) {
      result.text.resize(limit);
      result.whole = false;
      break;
    }
  }
  close(fd);
  if (error == -1) return unreadable(Failure{path + ": not a regular file"});
  if (error != 0) return unreadable(failure(path, error));
  result.result = FileRead::Result::read;
  return result;
}

Result<> store_file(System& sys, const std::string& path, const std::string& text) {
  errno = 0;
  if (replace_file(sys, path, text)) return {};
  // The caller may act on the errno (a full disk, say).
  return errno != 0 ? failure(path, errno) : Failure{path + ": cannot be written"};
}

Failure failure(const std::string& path, int error) {
  return {cat({path, ": ", error_text(error)}), error};
}

bool name_exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::string last_line(const std::string& text) {
  size_t end = text.size();
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
  size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
  start = start == std::string::npos ? 0 : start + 1;
  return start < end ? text.substr(start, end - start) : "";
}

std::string local_stamp(std::time_t when) {
  char text[32];
  return format_stamp(when, false, text, sizeof text) ? text : "?";
}

}  // namespace tune::session
