#include "miner_files.hpp"

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstring>

#include "context.hpp"
#include "files.hpp"
#include "log.hpp"
#include "text.hpp"

namespace tune {

namespace {

constexpr size_t short_line_length = 9;  // lines this short are dropped by the rewrite
constexpr size_t generated_line_size = 100;

// The slot named by the chain digit right after `key` at the start of `line`, or -1 when
// the line does not start with the key or the digit is not '1' to '6'.
int slot_after_key(std::string_view line, std::string_view key) {
  if (!has_prefix(line, key) || line.size() <= key.size()) return -1;
  for (int slot = 0; slot < chain_count; ++slot) {
    if (line[key.size()] == chain_digit(slot)) return slot;
  }
  return -1;
}

// The twelve chain lines of a config.conf made from nothing, each with its "\n".
std::string fresh_chain_config(const TuneState& state) {
  std::string out;
  for (int slot = 0; slot < chain_count; ++slot) {
    out.append(chain_config_line(freq_key, slot, state.chain_freq[slot])).append("\n");
    out.append(chain_config_line(voltage_key, slot, state.chain_voltage[slot])).append("\n");
  }
  return out;
}

// One rewritten config.conf line (with its "\n"), or nothing for a dropped short line.
// A last line without its "\n" is measured as if it had one: the rewrite drops the final
// "\n" it writes, and the next rewrite must keep what this one kept.
void append_rewritten_line(std::string& out, std::string_view line, const TuneState& state) {
  size_t counted = line.back() == '\n' ? line.size() : line.size() + 1;
  if (counted <= short_line_length) return;
  if (has_prefix(line, freq_key)) {
    int slot = slot_after_key(line, freq_key);
    if (slot >= 0) {
      out.append(chain_config_line(freq_key, slot, state.chain_freq[slot])).append("\n");
      return;
    }
  } else if (int slot = slot_after_key(line, voltage_key); slot >= 0) {
    out.append(chain_config_line(voltage_key, slot, state.chain_voltage[slot])).append("\n");
    return;
  }
  // The miner's own lines, and chain lines without a chain digit, are carried over.
  if (line.back() == '\n') line.remove_suffix(1);
  out.append(line).append("\n");
}

}  // namespace

std::string chain_config_line(const char* key, int slot, int value) {
  char line[generated_line_size];
  std::snprintf(line, sizeof line, "%s%c=%d", key, chain_digit(slot), value);
  return line;
}

bool parse_base_freq(const char* json_text, int& base_freq) {
  cJSON* root = cJSON_Parse(json_text);
  if (root == nullptr) return false;
  const cJSON* item =
      cJSON_IsObject(root) ? cJSON_GetObjectItemCaseSensitive(root, freq_key) : nullptr;
  if (cJSON_IsString(item) && item->valuestring != nullptr) {
    base_freq = parse_int(item->valuestring);
  } else if (cJSON_IsNumber(item)) {
    base_freq = item->valueint;  // cJSON holds this to the int range
  }
  cJSON_Delete(root);
  return true;
}

void read_base_freq(TuneContext& ctx) {
  std::optional<std::string> text = read_whole_file(ctx.sys, bmminer_conf_path);
  if (!text || !parse_base_freq(text->c_str(), ctx.state.base_freq)) {
    tune_fatal(ctx.sys, -1, fatal_log::not_json);
  }
}

std::string rewrite_chain_config(std::string_view old_content, const TuneState& state) {
  std::string out;
  size_t pos = 0;
  while (pos < old_content.size()) {
    size_t end = old_content.find('\n', pos);
    end = end == std::string_view::npos ? old_content.size() : end + 1;
    append_rewritten_line(out, old_content.substr(pos, end - pos), state);
    pos = end;
  }
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

void write_chain_config(TuneContext& ctx) {
  std::string old_content;
  std::string out;
  if (for_each_line(ctx.sys, chain_config_path,
                    [&](const std::string& line) { old_content += line; })) {
    out = rewrite_chain_config(old_content, ctx.state);
  } else {
    tune_log(ctx.sys, "Can't read advanced config, writing new one\n");
    out = fresh_chain_config(ctx.state);
  }
  write_whole_file(ctx.sys, chain_config_path, out);
}

void apply_chain_config_line(TuneState& state, const std::string& line) {
  const char* text = line.c_str();
  const char* equals = std::strchr(text, '=');
  if (equals == nullptr) return;
  std::string_view view(text);
  // The keys are prefixes: whatever follows the digit, up to the "=", is not looked at.
  if (int slot = slot_after_key(view, freq_key); slot >= 0) {
    state.chain_freq[slot] = parse_int(equals + 1);
  }
  if (int slot = slot_after_key(view, voltage_key); slot >= 0) {
    state.chain_voltage[slot] = parse_int(equals + 1);
  }
}

void read_chain_config(TuneContext& ctx) {
  if (!for_each_line(ctx.sys, chain_config_path,
                     [&](const std::string& line) { apply_chain_config_line(ctx.state, line); })) {
    tune_log(ctx.sys, "Can't read advanced config");
  }
}

std::string format_chip_overrides(const TuneState& state) {
  std::string out;
  char generated[generated_line_size];
  for (int row = 0; row < chip_table_rows; ++row) {
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      int step = state.chip_override[row][chip];
      if (step <= 0) continue;
      std::snprintf(generated, sizeof generated, "%d:%d:%d\n", row + 1, chip + 1, step);
      out += generated;
    }
  }
  return out;
}

void apply_chip_override_line(TuneState& state, const std::string& line) {
  int row, chip;
  std::string value;
  if (parse_chip_line(line, row, chip, value)) state.chip_override[row][chip] = parse_int(value);
}

void write_chip_overrides(TuneContext& ctx) {
  // A file that cannot be stored is passed over without a word; the old one stays whole.
  replace_file(ctx.sys, ctx.sys.path(chip_overrides_path), format_chip_overrides(ctx.state));
}

void read_chip_overrides(TuneContext& ctx) {
  // The file replaces the whole table, but a file that cannot be read leaves it as it is.
  TuneState read = ctx.state;
  for (auto& row : read.chip_override) {
    for (int& step : row) step = 0;
  }
  if (for_each_line(ctx.sys, chip_overrides_path,
                    [&](const std::string& line) { apply_chip_override_line(read, line); })) {
    std::memcpy(ctx.state.chip_override, read.chip_override, sizeof read.chip_override);
  }
}

}  // namespace tune
