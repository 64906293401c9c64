// /config/bmminer.conf: any bytes parse or are refused as JSON without harm; a refused text
// leaves the global frequency alone.
#include "fuzz_support.hpp"
#include "miner_files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = tune::fuzz::text_of(data, size);
  int base_freq = 777;
  bool parsed = tune::parse_base_freq(text.c_str(), base_freq);
  FUZZ_CHECK(parsed || base_freq == 777);
  return 0;
}
