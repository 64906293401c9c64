// The miner's own files: its JSON configuration (read for the global frequency), the
// per-chain frequency and voltage lines, and the per-chip frequency overrides.
#pragma once

#include <string>
#include <string_view>

namespace tune {

struct TuneContext;
struct TuneState;

inline constexpr char bmminer_conf_path[] = "/config/bmminer.conf";
inline constexpr char chain_config_path[] = "/config/config.conf";
inline constexpr char chip_overrides_path[] = "/config/manual_freqs.txt";

// The keys of config.conf's chain lines; each is followed by a chain digit.
inline constexpr char freq_key[] = "bitmain-freq";
inline constexpr char voltage_key[] = "bitmain-voltage";

// One chain line of config.conf, "KEY" + chain digit + "=" + value, without its "\n".
std::string chain_config_line(const char* key, int slot, int value);

// Sets `base_freq` from the "bitmain-freq" member of the JSON text. Returns false when the
// text is not JSON; a document without a usable member leaves `base_freq` unchanged.
bool parse_base_freq(const char* json_text, int& base_freq);
void read_base_freq(TuneContext& ctx);

// The rewritten config.conf for the old content.
std::string rewrite_chain_config(std::string_view old_content, const TuneState& state);
// Rewrites config.conf, or writes a fresh twelve-line one when it cannot be read.
void write_chain_config(TuneContext& ctx);

// Applies one config.conf line to the chain frequencies and voltages.
void apply_chain_config_line(TuneState& state, const std::string& line);
void read_chain_config(TuneContext& ctx);

// The manual_freqs.txt text of the override table, and one of its lines read back.
std::string format_chip_overrides(const TuneState& state);
void apply_chip_override_line(TuneState& state, const std::string& line);
void write_chip_overrides(TuneContext& ctx);
void read_chip_overrides(TuneContext& ctx);

}  // namespace tune
