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

constexpr char freq_key[] = "bitmain-freq";
constexpr char voltage_key[] = "bitmain-voltage";
constexpr size_t short_line_length = 9;  // lines this short are dropped by the rewrite
constexpr size_t generated_line_size = 100;

// The slot named by the chain digit right after `key` at the start of `line`, or -1 when
// the line does not start with the key or the digit is not '1' to '6'.
int slot_after_key(std::string_view line, std::string_view key) {
  if (!has_prefix(line, key) || line.size() <= key.size()) return -1;
  char digit = line[key.size()];
  return digit >= '1' && digit <= '6' ? digit - '1' : -1;
}

// One rewritten config.conf line (with its "\n"), or nothing for a dropped short line.
// A last line without its "\n" is measured as if it had one: the rewrite drops the final
// "\n" it writes, and the next rewrite must keep what this one kept.
void append_rewritten_line(std::string& out, std::string_view line, const TuneState& state) {
  size_t counted = line.back() == '\n' ? line.size() : line.size() + 1;
  if (counted <= short_line_length) return;
  char generated[generated_line_size];
  if (has_prefix(line, freq_key)) {
    int slot = slot_after_key(line, freq_key);
    if (slot >= 0) {
      std::snprintf(generated, sizeof generated, "bitmain-freq%c=%d", '1' + slot,
                    state.chain_freq[slot]);
      out.append(generated).append("\n");
      return;
    }
  } else if (int slot = slot_after_key(line, voltage_key); slot >= 0) {
    std::snprintf(generated, sizeof generated, "bitmain-voltage%c=%d", '1' + slot,
                  state.chain_voltage[slot]);
    out.append(generated).append("\n");
    return;
  }
  // The miner's own lines, and chain lines without a chain digit, are carried over.
  if (line.back() == '\n') line.remove_suffix(1);
  out.append(line).append("\n");
}

}  // namespace

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
    tune_fatal(ctx.sys, "Can't read json\n", -1);
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

std::string fresh_chain_config(const TuneState& state) {
  std::string out;
  char generated[generated_line_size];
  for (int slot = 0; slot < chain_count; ++slot) {
    std::snprintf(generated, sizeof generated, "bitmain-freq%d=%d\n", slot + 1,
                  state.chain_freq[slot]);
    out += generated;
    std::snprintf(generated, sizeof generated, "bitmain-voltage%d=%d\n", slot + 1,
                  state.chain_voltage[slot]);
    out += generated;
  }
  return out;
}

void write_chain_config(TuneContext& ctx) {
  std::FILE* file = std::fopen(ctx.sys.path(chain_config_path).c_str(), "r");
  std::string out;
  if (file == nullptr) {
    tune_log(ctx.sys, "Can't read advanced config, writing new one\n");
    out = fresh_chain_config(ctx.state);
  } else {
    std::string old_content;
    std::string line;
    while (read_line(file, line)) old_content += line;
    std::fclose(file);
    out = rewrite_chain_config(old_content, ctx.state);
  }
  write_whole_file(ctx.sys, chain_config_path, out);
}

void apply_chain_config_line(TuneState& state, const std::string& line) {
  const char* text = line.c_str();
  const char* equals = std::strchr(text, '=');
  if (equals == nullptr) return;
  std::string_view view(text);
  char key[sizeof voltage_key + 1];
  for (int slot = 0; slot < chain_count; ++slot) {
    std::snprintf(key, sizeof key, "%s%d", freq_key, slot + 1);
    if (has_prefix(view, key)) state.chain_freq[slot] = parse_int(equals + 1);
  }
  for (int slot = 0; slot < chain_count; ++slot) {
    std::snprintf(key, sizeof key, "%s%d", voltage_key, slot + 1);
    if (has_prefix(view, key)) state.chain_voltage[slot] = parse_int(equals + 1);
  }
}

void read_chain_config(TuneContext& ctx) {
  std::FILE* file = std::fopen(ctx.sys.path(chain_config_path).c_str(), "r");
  if (file == nullptr) {
    tune_log(ctx.sys, "Can't read advanced config");
    return;
  }
  std::string line;
  while (read_line(file, line)) apply_chain_config_line(ctx.state, line);
  std::fclose(file);
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
  replace_file(ctx.sys.path(chip_overrides_path), format_chip_overrides(ctx.state));
}

void read_chip_overrides(TuneContext& ctx) {
  std::FILE* file = std::fopen(ctx.sys.path(chip_overrides_path).c_str(), "r");
  if (file == nullptr) return;
  for (auto& row : ctx.state.chip_override) {
    for (int& step : row) step = 0;
  }
  std::string line;
  while (read_line(file, line)) apply_chip_override_line(ctx.state, line);
  std::fclose(file);
}

}  // namespace tune
