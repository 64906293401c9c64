#include "output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tool_error.hpp"

namespace tune::rehearse {

void write_output(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  errno = 0;
  out << text;
  out.close();
  if (!out) {
    throw ToolError(status_unusable,
                    path + ": cannot be written" +
                        (errno != 0 ? ": " + std::string(std::strerror(errno)) : ""));
  }
}

void replace_output(const std::string& path, const std::string& text) {
  const std::string temporary = path + "." + std::to_string(getpid()) + ".tmp";
  auto fail = [&](const std::string& reason) {
    unlink(temporary.c_str());
    throw ToolError(status_unusable, path + ": cannot be written: " + reason);
  };
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail(std::strerror(errno));
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int error = n < 0 ? errno : EIO;
      close(fd);
      fail(std::strerror(error));
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) fail(std::strerror(errno));
  if (rename(temporary.c_str(), path.c_str()) != 0) fail(std::strerror(errno));
}

void check_replaceable(const std::string& path) {
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  const std::string dir = parent.empty() ? "." : parent.string();
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    throw ToolError(status_unusable, path + ": cannot be written: " + std::strerror(EISDIR));
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    throw ToolError(status_unusable, path + ": cannot be written: " + std::strerror(errno));
  }
}

std::string board_name(const std::string& dir, std::set<std::string>& used) {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(dir, ec).lexically_normal();
  if (ec) path = std::filesystem::path(dir).lexically_normal();
  if (!path.has_filename()) path = path.parent_path();
  std::string base = path.filename().string();
  if (base.empty() || base == "." || base == "..") base = "board";
  std::string name = base;
  for (int n = 2; !used.insert(name).second; ++n) name = base + "-" + std::to_string(n);
  return name;
}

void make_output_dir(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir, ec)) {
    throw ToolError(status_unusable,
                    dir + ": cannot be made: " + (ec ? ec.message() : "not a directory"));
  }
  if (access(dir.c_str(), W_OK) != 0) {
    throw ToolError(status_unusable, dir + ": cannot be written: " + std::strerror(errno));
  }
}

}  // namespace tune::rehearse
