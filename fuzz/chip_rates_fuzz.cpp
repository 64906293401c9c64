// /tmp/chip-rates: any file reads into the rate table and nowhere else; a chip is set only
// by a line that names it.
#include <cmath>
#include <cstring>

#include "fuzz_support.hpp"
#include "miner_stats.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tune;
  std::string text = fuzz::text_of(data, size);
  TuneState state;
  const float untouched = -12345.0f;
  for (auto& row : state.chip_rate) {
    for (float& rate : row) rate = untouched;
  }
  for (const std::string& line : fuzz::lines_of(text)) apply_chip_rate_line(state, line);
  bool named = text.find(':') != std::string::npos;
  for (const auto& row : state.chip_rate) {
    for (float rate : row) FUZZ_CHECK(named || rate == untouched);
  }
  for (int slot = 0; slot < chain_count; ++slot) {
    FUZZ_CHECK(state.chain_rate[slot] == 0 && state.chain_freq[slot] == 0);
  }
  return 0;
}
