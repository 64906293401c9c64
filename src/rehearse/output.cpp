#include "output.hpp"

#include <unistd.h>

#include <cerrno>
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
