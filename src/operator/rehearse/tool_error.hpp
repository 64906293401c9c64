// How tune-rehearse ends when it cannot do what it was asked: a status and one line.
#pragma once

#include <string>
#include <utility>

namespace tune::rehearse {

inline constexpr int status_done = 0;
inline constexpr int status_findings = 1;
inline constexpr int status_usage = 2;
inline constexpr int status_unusable = 3;

struct ToolError {
  ToolError(int status, std::string message) : status(status), message(std::move(message)) {}
  int status;
  std::string message;
};

}  // namespace tune::rehearse
