#include "argument_reader.hpp"

#include <cstdio>

#ifndef TUNE_VERSION
#error "TUNE_VERSION is set by the build"
#endif

namespace tune {

bool argument_given(int argc, char** argv, int first, const char* option, const char* also) {
  for (int i = first; i < argc; ++i) {
    if (argv[i] == nullptr) break;
    if (std::strcmp(argv[i], option) == 0) return true;
    if (also != nullptr && std::strcmp(argv[i], also) == 0) return true;
  }
  return false;
}

int print_answer(const char* program_name, const std::string& text) {
  std::fputs(text.c_str(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: cannot write to standard output\n", program_name);
    return 1;
  }
  return 0;
}

std::string version_line(const char* program_name) {
  return std::string(program_name) + " " + TUNE_VERSION + "\n";
}

}  // namespace tune
