// /config/yellow-step: any file gives a step (its first line as a decimal, or 0), and any
// step written is read back whole.
#include "fuzz_support.hpp"
#include "text.hpp"
#include "yellow_fixer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tune;
  std::string text = fuzz::text_of(data, size);
  sim::SimSystem& sys = fuzz::board();
  sys.write_file(yellow_step_path, text);
  YellowFixer fixer(sys);
  int step = read_yellow_step(fixer);
  std::vector<std::string> lines = fuzz::lines_of(text);
  FUZZ_CHECK(step == (lines.empty() ? 0 : parse_int(lines[0])));
  write_yellow_step(fixer, step);
  FUZZ_CHECK(read_yellow_step(fixer) == step);
  return 0;
}
