#include "posix_system.hpp"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace tune {

std::string PosixSystem::path(std::string_view fixed_path) {
  return std::string(fixed_path);
}

int PosixSystem::run_shell(const char* command) {
  return std::system(command);
}

PipeLine PosixSystem::first_line_of(const char* command) {
  PipeLine result;
  FILE* pipe = popen(command, "r");
  if (pipe == nullptr) return result;
  result.started = true;
  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length = getline(&buffer, &capacity, pipe);
  if (length > 0) {
    result.has_line = true;
    result.line.assign(buffer, static_cast<size_t>(length));
  }
  free(buffer);
  pclose(pipe);
  return result;
}

void PosixSystem::sleep_seconds(long long seconds) {
  if (seconds <= 0) return;
  // sleep() takes an unsigned int and returns what is left when a signal cut it short.
  unsigned int left = seconds > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(seconds);
  while (left > 0) left = sleep(left);
}

int PosixSystem::sync(int fd) {
  return fsync(fd);
}

std::time_t PosixSystem::now() {
  return std::time(nullptr);
}

void PosixSystem::exit_process(int status) {
  std::exit(status);
}

}  // namespace tune
