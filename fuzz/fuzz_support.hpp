// Shared pieces of the fuzz targets: the input as text, lines, and a simulated board for the
// parsers that read their files themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim_miner.hpp"
#include "sim_system.hpp"

namespace tune::fuzz {

inline std::string text_of(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Lines as getline gives them: each with its "\n", the last one perhaps without.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  return lines;
}

// One simulated board for the whole fuzzing process.
inline sim::SimSystem& board() {
  static sim::SimMiner miner;
  static sim::SimSystem sys(miner);
  return sys;
}

// A broken invariant: abort, so that the fuzzer keeps the input.
#define FUZZ_CHECK(condition)       \
  do {                              \
    if (!(condition)) std::abort(); \
  } while (0)

}  // namespace tune::fuzz
