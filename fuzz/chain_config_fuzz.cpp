// config.conf: the rewrite keeps every line that is neither short nor a chain line, in
// order; replaces each chain line by the chain's value; leaves no final line break; and a
// second rewrite changes nothing. Reading any file fills only the chain tables.
#include "fuzz_support.hpp"
#include "ladder.hpp"
#include "miner_files.hpp"
#include "text.hpp"

namespace {

using namespace tune;

// The slot a chain line names, or -1 for any other line.
int chain_slot(const std::string& line, bool& voltage) {
  auto digit_at = [&](size_t at) {
    return line.size() > at && line[at] >= '1' && line[at] <= '6' ? line[at] - '1' : -1;
  };
  voltage = false;
  if (has_prefix(line, "bitmain-freq")) return digit_at(12);
  voltage = true;
  return has_prefix(line, "bitmain-voltage") ? digit_at(15) : -1;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::string line : fuzz::lines_of(text)) {
    if (line.back() == '\n') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = fuzz::text_of(data, size);
  TuneState state;
  for (int slot = 0; slot < chain_count; ++slot) {
    state.chain_freq[slot] = 500 + slot;
    state.chain_voltage[slot] = -900 - slot;
  }
  std::string out = rewrite_chain_config(text, state);
  FUZZ_CHECK(out.empty() || out.back() != '\n');

  std::vector<std::string> kept_in, chain_in;
  for (const std::string& line : fuzz::lines_of(text)) {
    if (line.size() + (line.back() == '\n' ? 0 : 1) <= 9) continue;
    bool voltage;
    std::string bare = line.back() == '\n' ? line.substr(0, line.size() - 1) : line;
    int slot = chain_slot(line, voltage);
    if (slot < 0) {
      kept_in.push_back(bare);
    } else {
      chain_in.push_back(
          (voltage ? "bitmain-voltage" : "bitmain-freq") + std::to_string(slot + 1) + "=" +
          std::to_string(voltage ? state.chain_voltage[slot] : state.chain_freq[slot]));
    }
  }
  std::vector<std::string> kept_out, chain_out;
  for (const std::string& line : split_lines(out)) {
    bool voltage;
    (chain_slot(line, voltage) < 0 ? kept_out : chain_out).push_back(line);
  }
  FUZZ_CHECK(kept_out == kept_in);
  FUZZ_CHECK(chain_out == chain_in);

  FUZZ_CHECK(rewrite_chain_config(out, state) == out);

  TuneState read;
  for (const std::string& line : fuzz::lines_of(text)) apply_chain_config_line(read, line);
  for (const auto& row : read.chip_override) {
    for (int step : row) FUZZ_CHECK(step == 0);
  }
  FUZZ_CHECK(read.base_freq == 0);
  return 0;
}
