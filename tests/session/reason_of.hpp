// What a session function's result says, for the tests to compare: its failure's line, or
// nothing when it is done.
#pragma once

#include <string>

#include "result.hpp"

namespace tune::session {

template <typename T>
std::string reason_of(const Result<T>& result) {
  return result ? "" : result.failure().reason;
}

}  // namespace tune::session
