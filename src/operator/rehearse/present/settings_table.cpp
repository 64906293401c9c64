#include "settings_table.hpp"

#include <cctype>

#include "settings.hpp"

namespace tune::rehearse {

namespace {

// The programs that read the setting, by the readers' table: "chain-tuner, tune-session";
// `both` for the two tuning programs together. In the markdown table each program's name is
// code (`quote`).
std::string readers_of(const SettingDeclaration& setting, const char* both,
                       const char* quote = "") {
  if (setting.readers == read_by_both) return both;
  std::string names;
  for (const SettingReader& reader : setting_readers) {
    if ((setting.readers & reader.bit) == 0) continue;
    names += std::string(names.empty() ? "" : ", ") + quote + reader.name + quote;
  }
  return names;
}

// "up to 1000 passes, each a miner restart", "600 to 1100 a board runs at", "any".
std::string rehearsed(const SettingDeclaration& setting) {
  if (setting.rehearsed == nullptr) return "any";
  return (setting.low == no_lower_limit ? "up to " : std::to_string(setting.low) + " to ") +
         std::to_string(setting.high) + " " + setting.rehearsed;
}

constexpr char take_any[] =
    "The programs take any whole number; a rehearsal runs the values given here, and a\n"
    "report names a value outside them in a board's autoTune.conf as a finding.\n";

}  // namespace

std::string settings_table_text() {
  std::string text =
      "The settings of /config/autoTune.conf, one line of key=value pairs joined by \"&\";\n"
      "each key with its default, the programs that read it and what it means, then the\n"
      "values a rehearsal runs.\n\n";
  for (const SettingDeclaration& setting : setting_declarations) {
    text += std::string(setting.key) + "=" + std::to_string(setting.default_value) + " (" +
            readers_of(setting, "chain-tuner, yellow-fixer") + "): " + setting.meaning +
            "\n    rehearsed: " + rehearsed(setting) + "\n";
  }
  return text + "\n" + take_any;
}

std::string settings_table_markdown() {
  std::string text =
      "| Key | Default | Read by | Meaning | Rehearsed (`tune-rehearse`) |\n"
      "|---|---|---|---|---|\n";
  for (const SettingDeclaration& setting : setting_declarations) {
    text += std::string("| `") + setting.key + "` | " + std::to_string(setting.default_value) +
            " | " + readers_of(setting, "both", "`") + " | " + setting.meaning + " | " +
            rehearsed(setting) + " |\n";
  }
  return text;
}

std::string settings_table_roff() {
  std::string text;
  for (const SettingDeclaration& setting : setting_declarations) {
    std::string meaning = setting.meaning;
    meaning[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(meaning[0])));
    text += std::string(".TP\n.B ") + setting.key + "\n" + meaning + ". Default " +
            std::to_string(setting.default_value) + "; read by " +
            readers_of(setting, "both programs") + "; rehearsed: " + rehearsed(setting) + ".\n";
  }
  return text;
}

}  // namespace tune::rehearse
