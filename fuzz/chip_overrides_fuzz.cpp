// manual_freqs.txt: any file reads into the table without touching anything outside it;
// the table written and read back is the same table.
#include <cstring>

#include "fuzz_support.hpp"
#include "miner_files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tune;
  std::string text = fuzz::text_of(data, size);
  TuneState read;
  for (const std::string& line : fuzz::lines_of(text)) apply_chip_override_line(read, line);
  std::string written = format_chip_overrides(read);
  TuneState again;
  for (const std::string& line : fuzz::lines_of(written)) apply_chip_override_line(again, line);
  for (int row = 0; row < chip_table_rows; ++row) {
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      int step = read.chip_override[row][chip];
      FUZZ_CHECK(again.chip_override[row][chip] == (step > 0 ? step : 0));
    }
  }
  FUZZ_CHECK(format_chip_overrides(again) == written);
  return 0;
}
