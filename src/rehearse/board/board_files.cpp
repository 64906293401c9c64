#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "board_reading.hpp"

namespace tune::rehearse {

bool read_board_file(const std::string& path, std::string& text) {
  // Not blocking: a pipe planted in a copied board must not hang the report.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    throw UnusableBoard(path + ": " + std::strerror(errno));
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    throw UnusableBoard(path + ": not a regular file");
  }
  text.clear();
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int error = errno;
      close(fd);
      throw UnusableBoard(path + ": " + std::strerror(error));
    }
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}

BoardFile find_board_file(const std::string& dir, const char* name) {
  BoardFile file;
  file.path = dir + "/" + name;
  for (const char* sub : {"/", "/config/", "/tmp/"}) {
    std::string path = dir + sub + name;
    if (read_board_file(path, file.text)) {
      file.path = path;
      file.found = true;
      break;
    }
  }
  return file;
}

}  // namespace tune::rehearse
