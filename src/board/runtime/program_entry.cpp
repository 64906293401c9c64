#include "program_entry.hpp"

#include <cstring>

#include "argument_reader.hpp"
#include "log.hpp"
#include "posix_system.hpp"

namespace tune {

std::optional<int> answer_help_or_version(int argc, char** argv, const char* program_name,
                                          const char* usage) {
  // Only the first argument: the programs ignore their arguments otherwise.
  if (argc < 2 || argv[1] == nullptr) return std::nullopt;
  if (std::strcmp(argv[1], "--help") == 0) return print_answer(program_name, usage);
  if (std::strcmp(argv[1], "--version") == 0) return print_version_answer(program_name);
  return std::nullopt;
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
