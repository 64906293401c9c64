// The settings line and file: any bytes give settings; the yellow fixer never takes the
// chain tuner's keys; loading the file equals applying its last line.
#include "chain_tuner.hpp"
#include "fuzz_support.hpp"
#include "settings.hpp"
#include "yellow_fixer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tune;
  std::string text = fuzz::text_of(data, size);

  TuneSettings yellow;
  apply_settings_line(yellow, yellow_fixer_settings, text.c_str());
  TuneSettings defaults;
  FUZZ_CHECK(yellow.restarts_count == defaults.restarts_count);
  FUZZ_CHECK(yellow.max_freq == defaults.max_freq && yellow.freq_to == defaults.freq_to);
  FUZZ_CHECK(yellow.voltage_from == defaults.voltage_from);
  FUZZ_CHECK(yellow.voltage_to == defaults.voltage_to);

  sim::SimSystem& sys = fuzz::board();
  sys.write_file(settings_path, text);
  TuneContext ctx(sys);
  load_chain_tuner_settings(ctx);
  std::vector<std::string> lines = fuzz::lines_of(text);
  TuneSettings expected;
  if (!lines.empty()) apply_settings_line(expected, chain_tuner_settings, lines.back().c_str());
  FUZZ_CHECK(ctx.settings.max_freq == expected.max_freq);
  FUZZ_CHECK(ctx.settings.desired_rate == expected.desired_rate);
  for (int slot = 0; slot < chain_count; ++slot) {
    FUZZ_CHECK(ctx.state.chain_freq[slot] == expected.freq_to);
    FUZZ_CHECK(ctx.state.chain_voltage[slot] == expected.voltage_to);
  }
  return 0;
}
