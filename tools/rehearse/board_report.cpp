#include "board_report.hpp"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>

#include "chip_model.hpp"
#include "health.hpp"
#include "miner_files.hpp"
#include "miner_stats.hpp"
#include "sim_system.hpp"

namespace tune::rehearse {

namespace {

struct BoardFile {
  std::string path;  // empty when not found
  std::string text;
};

BoardFile find_file(const std::string& dir, const std::string& name) {
  for (const char* sub : {"/", "/config/", "/tmp/"}) {
    std::string path = dir + sub + name;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) continue;
    std::ifstream in(path, std::ios::binary);
    return {path, std::string(std::istreambuf_iterator<char>(in), {})};
  }
  return {};
}

// Calls `each` with every line (without its "\n") and its 1-based number.
void for_each_line(const std::string& text,
                   const std::function<void(const std::string&, int)>& each) {
  size_t pos = 0;
  int number = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    each(text.substr(pos, end - pos), ++number);
    pos = end + 1;
  }
}

class Problems {
 public:
  explicit Problems(std::vector<std::string>& out) : out_(out) {}
  void add(const BoardFile& file, int line, const std::string& what) {
    out_.push_back(file.path + ":" + std::to_string(line) + ": " + what);
  }
  void add(const std::string& path, const std::string& what) { out_.push_back(path + ": " + what); }

 private:
  std::vector<std::string>& out_;
};

const std::regex integer_field("[+-]?[0-9]+");

bool valid_int(const std::string& text, long low, long high) {
  if (!std::regex_match(text, integer_field) || text.size() > 11) return false;
  long value = std::strtol(text.c_str(), nullptr, 10);
  return value >= low && value <= high;
}

void read_base(BoardReport& report, const BoardFile& file, Problems& problems) {
  if (file.path.empty()) return;  // optional
  cJSON* root = cJSON_Parse(file.text.c_str());
  if (root == nullptr) {
    problems.add(file.path, "not valid JSON");
    return;
  }
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, "bitmain-freq");
  if (!cJSON_IsString(item) || !valid_int(item->valuestring, 0, 100000)) {
    problems.add(file.path, "no \"bitmain-freq\" string holding a frequency");
  }
  parse_base_freq(file.text.c_str(), report.state.base_freq);
  cJSON_Delete(root);
}

void read_chains(BoardReport& report, const BoardFile& file, Problems& problems) {
  if (file.path.empty()) return;
  const std::regex chain_line("bitmain-(freq|voltage)([1-6])=(.*)");
  for_each_line(file.text, [&](const std::string& line, int number) {
    std::smatch match;
    if (!std::regex_match(line, match, chain_line)) return;  // the miner's own lines
    if (!valid_int(match[3], 0, 100000)) {
      problems.add(file, number, "\"" + line + "\" does not end in a number");
      return;
    }
    apply_chain_config_line(report.state, line);
  });
}

void read_overrides(BoardReport& report, const BoardFile& file, Problems& problems) {
  if (file.path.empty()) return;
  for_each_line(file.text, [&](const std::string& line, int number) {
    std::smatch match;
    static const std::regex override_line("([^:]*):([^:]*):([^:]*)");
    if (line.empty()) return;
    if (!std::regex_match(line, match, override_line) || !valid_int(match[1], 1, 16) ||
        !valid_int(match[2], 1, 63) || !valid_int(match[3], -1000, 1000)) {
      problems.add(file, number, "expected chain:chip:step, got \"" + line + "\"");
      return;
    }
    if (std::stoi(match[3]) > top_ladder_step) {
      problems.add(file, number, "step past the top of the ladder, counted as 1175 MHz");
    }
    apply_chip_override_line(report.state, line);
  });
}

void read_rates(BoardReport& report, const BoardFile& file, Problems& problems) {
  if (file.path.empty()) return;
  static const std::regex rate_line("([^:]*):([^:]*):([^:]*)");
  for_each_line(file.text, [&](const std::string& line, int number) {
    std::smatch match;
    if (line.empty()) return;
    char* end = nullptr;
    bool ok = std::regex_match(line, match, rate_line) && valid_int(match[1], 1, 16) &&
              valid_int(match[2], 1, 63);
    if (ok) {
      std::string rate = match[3];
      std::strtod(rate.c_str(), &end);
      ok = !rate.empty() && *end == '\0';
    }
    if (!ok) {
      problems.add(file, number, "expected chain:chip:rate, got \"" + line + "\"");
      return;
    }
    apply_chip_rate_line(report.state, line);
    report.rated[std::stoi(match[1]) - 1][std::stoi(match[2]) - 1] = true;
  });
}

std::optional<long long> stamp_seconds(const std::string& entry) {
  static const std::regex stamp("^(\\d{4})-(\\d\\d)-(\\d\\d) (\\d\\d):(\\d\\d):(\\d\\d) ");
  std::smatch m;
  if (!std::regex_search(entry, m, stamp)) return std::nullopt;
  std::tm tm{};
  tm.tm_year = std::stoi(m[1]) - 1900;
  tm.tm_mon = std::stoi(m[2]) - 1;
  tm.tm_mday = std::stoi(m[3]);
  tm.tm_hour = std::stoi(m[4]);
  tm.tm_min = std::stoi(m[5]);
  tm.tm_sec = std::stoi(m[6]);
  return static_cast<long long>(timegm(&tm));  // differences only: any zone serves
}

void read_session(BoardReport& report, const BoardFile& file, Problems& problems) {
  if (file.path.empty()) return;
  std::vector<std::string> entries;
  if (!sim::split_log_entries(file.text, entries)) {
    problems.add(file.path, "has lines without a time stamp");
  }
  if (entries.empty()) return;
  SessionSummary session;
  session.log_file = file.path;
  auto has = [&](const std::string& entry) {
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
  };
  session.program = has("Fix yellow\n") ? "yellow-fixer" : "chain-tuner";
  // The chain tuner logs "GET STAT" after each restart. The yellow fixer says why it
  // restarts, and restarts once more at a fresh start (one not resumed from a stored step).
  bool resumed = std::any_of(entries.begin(), entries.end(), [](const std::string& e) {
    return e.starts_with("Resuming tune from step ") && e != "Resuming tune from step 0\n";
  });
  session.restarts =
      session.program == "chain-tuner"
          ? static_cast<int>(std::count(entries.begin(), entries.end(), "GET STAT\n"))
          : static_cast<int>(std::count_if(
                entries.begin(), entries.end(),
                [](const std::string& e) { return e.ends_with(", doing restart\n"); })) +
                (resumed ? 0 : 1);
  // The span runs from the first stamp to the last.
  static const std::regex stamp("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ");
  std::optional<long long> first, last;
  for (auto it = std::sregex_iterator(file.text.begin(), file.text.end(), stamp);
       it != std::sregex_iterator(); ++it) {
    last = stamp_seconds(it->str());
    if (!first) first = last;
  }
  session.span_seconds = first && last ? *last - *first : 0;
  session.ending = entries.back();
  if (!session.ending.empty() && session.ending.back() == '\n') session.ending.pop_back();
  report.sessions.push_back(session);
}

// Classes every rated chip as the chain tuner does (any chip with a frequency can be red).
void summarise(BoardReport& report) {
  const TuneState& state = report.state;
  for (int slot = 0; slot < chain_count; ++slot) {
    ChainSummary& chain = report.chains[slot];
    int row = chip_table_row(slot);
    chain.chain_number = chain_number_of(slot);
    chain.freq = state.chain_freq[slot];
    chain.voltage = state.chain_voltage[slot];
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      chain.present |= report.rated[row][chip];
      if (state.chip_override[row][chip] > 0) ++chain.overrides;
    }
    if (!chain.present) continue;
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      int freq = effective_chip_freq(state, slot, chip);
      chain.ideal_rate += expected_rate(freq);
      chain.power += sim::ChipModel::chip_power(freq, chain.voltage);
      if (!report.rated[row][chip]) {
        ++chain.unrated;
        continue;
      }
      float rate = state.chip_rate[row][chip];
      if (std::isfinite(rate)) chain.measured_rate += rate;
      ChipHealth health = chip_health(state, slot, chip, no_red_floor);
      report.health[slot][chip] = health;
      chain.red += health == ChipHealth::red;
      chain.yellow += health == ChipHealth::yellow;
      chain.green += health == ChipHealth::green;
    }
  }
}

}  // namespace

BoardReport read_board(const std::string& dir) {
  BoardReport report;
  Problems problems(report.problems);
  if (!std::filesystem::is_directory(dir)) {
    problems.add(dir, "not a directory");
    return report;
  }
  BoardFile config = find_file(dir, "config.conf");
  BoardFile rates = find_file(dir, "chip-rates");
  if (config.path.empty()) problems.add(dir + "/config.conf", "missing");
  if (rates.path.empty()) problems.add(dir + "/chip-rates", "missing");
  read_base(report, find_file(dir, "bmminer.conf"), problems);
  read_chains(report, config, problems);
  read_overrides(report, find_file(dir, "manual_freqs.txt"), problems);
  read_rates(report, rates, problems);
  read_session(report, find_file(dir, "chain-tuner.log"), problems);
  read_session(report, find_file(dir, "auto-tune"), problems);
  summarise(report);
  return report;
}

}  // namespace tune::rehearse
