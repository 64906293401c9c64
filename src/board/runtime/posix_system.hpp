// The board's System: every path is itself, commands go to the real shell.
#pragma once

#include "system.hpp"

namespace tune {

class PosixSystem final : public System {
 public:
  std::string path(std::string_view fixed_path) override;
  int run_shell(const char* command) override;
  PipeLine first_line_of(const char* command) override;
  void sleep_seconds(long long seconds) override;
  std::time_t now() override;
  int sync(int fd) override;
  [[noreturn]] void exit_process(int status) override;
};

}  // namespace tune
