// A directory of its own for rehearsals nobody keeps.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "text.hpp"
#include "tool_error.hpp"

namespace tune::rehearse {

// Gone when the run ends: under $TMPDIR,
// else in memory (/dev/shm) where the machine has it, else /tmp. A rehearsal writes the
// board's files often; in memory the order of work takes half the time.
class ScratchDir {
 public:
  ScratchDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string where = tmp && *tmp                              ? tmp
                        : ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm"
                                                                 : "/tmp";
    std::string pattern = where + "/tune-rehearse.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw ToolError(
          status_unusable,
          printable(pattern) + ": cannot make a directory to rehearse in: " + std::strerror(errno));
    }
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace tune::rehearse
