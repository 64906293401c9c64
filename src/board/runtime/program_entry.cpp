#include "program_entry.hpp"

#include <cstdio>
#include <cstring>

#include "log.hpp"
#include "posix_system.hpp"

#ifndef TUNE_VERSION
#error "TUNE_VERSION is set by the build"
#endif

namespace tune {

std::optional<int> answer_help_or_version(int argc, char** argv, const char* program_name,
                                          const char* usage) {
  if (argc < 2 || argv[1] == nullptr) return std::nullopt;
  if (std::strcmp(argv[1], "--help") == 0) {
    std::fputs(usage, stdout);
  } else if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s %s\n", program_name, TUNE_VERSION);
  } else {
    return std::nullopt;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: cannot write to standard output\n", program_name);
    return 1;
  }
  return 0;
}

int run_on_board(int (*program_main)(System&)) {
  PosixSystem sys;
  try {
    return program_main(sys);
  } catch (...) {
    try {
      tune_log(sys, fatal_log::out_of_memory);
    } catch (...) {
      // Not even the log's path could be held; the status still tells.
    }
    return 1;
  }
}

}  // namespace tune
