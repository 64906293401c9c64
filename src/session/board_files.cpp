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

namespace tune::session {

namespace {

// The length of the valid UTF-8 sequence at `at` that is no control character, or 0.
size_t printable_sequence(const std::string& text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  if (lead >= 0x20 && lead < 0x7f) return 1;
  size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                  : lead >= 0xe0 && lead <= 0xef ? 3
                  : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                 : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
  }
  unsigned char second = byte(at + 1);
  if (lead == 0xc2 && second < 0xa0) return 0;   // C1 controls
  if (lead == 0xe0 && second < 0xa0) return 0;   // overlong
  if (lead == 0xed && second >= 0xa0) return 0;  // surrogates
  if (lead == 0xf0 && second < 0x90) return 0;   // overlong
  if (lead == 0xf4 && second >= 0x90) return 0;  // past U+10FFFF
  return length;
}

}  // namespace

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
  auto unreadable = [&](std::string error) {
    result.result = FileRead::Result::unreadable;
    result.error = std::move(error);
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
  if (error == -1) return unreadable(path + ": not a regular file");
  if (error != 0) return unreadable(failure(path, error));
  result.result = FileRead::Result::read;
  return result;
}

std::string store_file(System& sys, const std::string& path, const std::string& text) {
  errno = 0;
  if (replace_file(sys, path, text)) return "";
  return errno != 0 ? failure(path, errno) : path + ": cannot be written";
}

std::string failure(const std::string& path, int error) {
  return cat({path, ": ", std::strerror(error)});
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

std::string printable(const std::string& text, size_t limit) {
  std::string shown;
  size_t characters = 0;
  for (size_t at = 0; at < text.size(); ++characters) {
    if (characters == limit) {
      shown += "...";
      break;
    }
    size_t length = printable_sequence(text, at);
    if (length == 0) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[at]));
      shown += escaped;
      ++at;
    } else {
      shown.append(text, at, length);
      at += length;
    }
  }
  return shown;
}

std::string local_stamp(std::time_t when) {
  struct tm local;
  char text[32];
  if (localtime_r(&when, &local) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    return "?";
  }
  return text;
}

}  // namespace tune::session
