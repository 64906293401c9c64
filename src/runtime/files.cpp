#include "files.hpp"

#include <sys/stat.h>

#include <cstdio>

#include "log.hpp"

namespace tune {

std::string read_whole_file(System& sys, const char* fixed_path) {
  std::FILE* file = std::fopen(sys.path(fixed_path).c_str(), "r");
  struct stat info;
  if (file != nullptr && (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode))) {
    std::fclose(file);
    file = nullptr;
  }
  if (file == nullptr) tune_fatalf(sys, 1, "Can't read %s\n", fixed_path);
  std::string text(static_cast<size_t>(info.st_size), '\0');
  // The file may have shrunk since it was sized; keep only what was read.
  text.resize(std::fread(text.data(), 1, text.size(), file));
  std::fclose(file);
  return text;
}

void write_whole_file(System& sys, const char* fixed_path, std::string_view text) {
  std::FILE* file = std::fopen(sys.path(fixed_path).c_str(), "w");
  if (file == nullptr) tune_fatalf(sys, 1, "Can't open %s\n", fixed_path);
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
}

}  // namespace tune
