#include "argument_reader.hpp"

#include <cstdio>
#include <cstring>

#ifndef TUNE_VERSION
#error "TUNE_VERSION is set by the build"
#endif

namespace tune {

Argument::Kind ArgumentReader::option_kind(bool takes_value, std::string_view arg, size_t equals,
                                           std::string_view& value) {
  if (!takes_value) {
    return equals == std::string_view::npos ? Argument::Kind::option
                                            : Argument::Kind::takes_no_value;
  }
  if (equals != std::string_view::npos) {
    value = arg.substr(equals + 1);
    return Argument::Kind::option;
  }
  if (!done() &&
      (rules_.values_may_start_with_dashes || !std::string_view(argv_[next_]).starts_with("--"))) {
    value = argv_[next_++];
    return Argument::Kind::option;
  }
  return Argument::Kind::needs_value;
}

bool argument_given(int argc, char** argv, int first, const char* option, const char* also) {
  for (int i = first; i < argc; ++i) {
    if (argv[i] == nullptr) break;
    if (std::strcmp(argv[i], option) == 0) return true;
    if (also != nullptr && std::strcmp(argv[i], also) == 0) return true;
  }
  return false;
}

int print_answer(const char* program_name, const char* text) {
  // fputs fails on a write error even when the flush after it has nothing left to write.
  if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "%s: cannot write to standard output\n", program_name);
    return 1;
  }
  return 0;
}

void print_version(const char* program_name) {
  std::printf("%s %s\n", program_name, TUNE_VERSION);
}

int print_version_answer(const char* program_name) {
  print_version(program_name);
  return print_answer(program_name, "");
}

}  // namespace tune
