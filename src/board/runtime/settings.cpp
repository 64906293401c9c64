#include "settings.hpp"

#include <array>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "context.hpp"
#include "files.hpp"
#include "log.hpp"
#include "text.hpp"

namespace tune {

namespace {

// What the board's programs need of each declaration. Made at compile time, so that the
// programs carry the keys and defaults, not the operator tool's texts.
struct SettingKey {
  const char* key;
  SettingField field;
  int default_value;
  SettingReaders readers;
};

constexpr auto setting_keys = [] {
  std::array<SettingKey, std::size(setting_declarations)> keys{};
  for (size_t i = 0; i < keys.size(); ++i) {
    const SettingDeclaration& declared = setting_declarations[i];
    keys[i] = {declared.key, declared.field, declared.default_value, declared.readers};
  }
  return keys;
}();

// Every member is a setting's: one without its declaration would have no default.
static_assert(sizeof(TuneSettings) == std::size(setting_declarations) * sizeof(int),
              "each member of TuneSettings is declared once in setting_declarations");

}  // namespace

TuneSettings::TuneSettings() {
  for (const SettingKey& known : setting_keys) this->*known.field = known.default_value;
}

bool is_setting_key(std::string_view key) {
  for (const SettingKey& known : setting_keys) {
    if (key == known.key) return true;
  }
  return false;
}

void apply_settings_line(TuneSettings& settings, SettingReaders readers, const char* line) {
  for (const std::string& pair : split_fields(line, '&')) {
    std::vector<std::string> parts = split_fields(pair, '=');
    if (parts.size() < 2) continue;  // nothing, or a key without a value
    for (const SettingKey& known : setting_keys) {
      if ((known.readers & readers) == 0) continue;
      if (parts[0] == known.key) settings.*known.field = parse_int(parts[1]);
    }
  }
}

bool read_last_settings_line(System& sys, std::string& line) {
  line.clear();
  return for_each_line(sys, settings_path, [&](const std::string& each) { line = each; });
}

void load_tune_settings(TuneContext& ctx, SettingReaders readers) {
  std::string last_line;
  if (!read_last_settings_line(ctx.sys, last_line)) tune_fatal(ctx.sys, 0, fatal_log::no_settings);
  apply_settings_line(ctx.settings, readers, last_line.c_str());
}

}  // namespace tune
