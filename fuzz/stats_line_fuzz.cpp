// The statistics line: any bytes give per-chain rates and a running time; "Elapsed=" is
// found exactly when the line holds it before its first NUL.
#include <cstring>

#include "fuzz_support.hpp"
#include "miner_restart.hpp"
#include "miner_stats.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tune;
  std::string line = fuzz::text_of(data, size);
  TuneState state;
  for (int slot = 0; slot < chain_count; ++slot) state.chain_rate[slot] = -1.0f;
  apply_stats_line(state, line);
  for (const auto& row : state.chip_rate) {
    for (float rate : row) FUZZ_CHECK(rate == 0);
  }
  int elapsed = parse_elapsed(line);
  bool has_key = std::strstr(line.c_str(), "Elapsed=") != nullptr;
  FUZZ_CHECK(has_key || elapsed == -1);
  return 0;
}
