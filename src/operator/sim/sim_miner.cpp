#include "sim_miner.hpp"

#include <cjson/cJSON.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "health.hpp"
#include "miner_files.hpp"
#include "sim_system.hpp"

namespace tune::sim {

namespace {

// The miner's own reading of a chain line: the key, one digit, "=" and a number.
bool read_chain_line(const std::string& line, const char* key, int& slot, int& value) {
  std::string format = std::string(key) + "%1d=%d";
  int digit = 0;
  if (std::sscanf(line.c_str(), format.c_str(), &digit, &value) != 2) return false;
  slot = digit - 1;
  return slot >= 0 && slot < chain_count;
}

// The miner's own reading of config.conf's chain lines.
void read_chain_lines(const std::string& text, int* freqs, int* voltages) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    int slot = 0;
    int value = 0;
    if (read_chain_line(line, freq_key, slot, value)) {
      if (freqs != nullptr) freqs[slot] = value;
    } else if (read_chain_line(line, voltage_key, slot, value)) {
      if (voltages != nullptr) voltages[slot] = value;
    }
    pos = end + 1;
  }
}

// Every number of the running state, in one fixed order, for saving and loading alike.
template <typename Visit>
void visit_state(MinerView& view, long long& restart_clock, bool& restarted, bool& applied,
                 Visit visit) {
  visit(restart_clock);
  visit(restarted);
  visit(applied);
  visit(view.base_freq);
  visit(view.restarts);
  visit(view.refreshes);
  for (int slot = 0; slot < chain_count; ++slot) {
    visit(view.voltage[slot]);
    visit(view.chain_freq[slot]);
    for (int& freq : view.freq[slot]) visit(freq);
  }
}

}  // namespace

float healthy_rate(int freq) {
  return static_cast<float>(expected_rate(freq));
}

std::string chain_config_lines(int freq, int voltage) {
  std::string text;
  for (int slot = 0; slot < chain_count; ++slot) {
    text += chain_config_line(freq_key, slot, freq) + "\n";
    text += chain_config_line(voltage_key, slot, voltage) + "\n";
  }
  return text;
}

SimMiner::SimMiner() {
  chip_rate = [](const MinerView& view, int slot, int chip) -> std::optional<float> {
    return healthy_rate(view.freq[slot][chip]);
  };
  chain_rate = [this](const MinerView& view, int slot) {
    float sum = 0;
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      std::optional<float> rate = chip_rate(view, slot, chip);
      if (rate) sum += *rate;
    }
    return sum;
  };
  ideal_rate = [](const MinerView& view, int slot) {
    float sum = 0;
    for (int chip = 0; chip < chips_per_chain; ++chip) sum += healthy_rate(view.freq[slot][chip]);
    return sum;
  };
}

void SimMiner::apply_files(SimSystem& sys) {
  applied_ = true;
  std::optional<std::string> conf = sys.read_file("/config/bmminer.conf");
  if (conf) {
    cJSON* root = cJSON_Parse(conf->c_str());
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, "bitmain-freq");
    if (cJSON_IsString(item)) view_.base_freq = std::atoi(item->valuestring);
    cJSON_Delete(root);
  }
  std::optional<std::string> chains = sys.read_file("/config/config.conf");
  if (chains) read_chain_lines(*chains, view_.chain_freq, view_.voltage);
  int steps[chip_table_rows][chips_per_chain] = {};
  std::optional<std::string> overrides = sys.read_file("/config/manual_freqs.txt");
  if (overrides) {
    size_t pos = 0;
    while (pos < overrides->size()) {
      int row = 0, chip = 0, step = 0;
      if (std::sscanf(overrides->c_str() + pos, "%d:%d:%d", &row, &chip, &step) == 3 && row >= 1 &&
          row <= chip_table_rows && chip >= 1 && chip <= chips_per_chain) {
        steps[row - 1][chip - 1] = step;
      }
      size_t end = overrides->find('\n', pos);
      pos = end == std::string::npos ? overrides->size() : end + 1;
    }
  }
  for (int slot = 0; slot < chain_count; ++slot) {
    int row = chip_table_row(slot);
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      int step = steps[row][chip];
      int freq = view_.chain_freq[slot] != 0 ? view_.chain_freq[slot] : view_.base_freq;
      if (step > 0 && step < ladder_size) freq = freq_ladder[step];
      view_.freq[slot][chip] = freq;
    }
  }
}

void SimMiner::read_voltages(SimSystem& sys) {
  std::optional<std::string> chains = sys.read_file("/config/config.conf");
  if (chains) read_chain_lines(*chains, nullptr, view_.voltage);
}

long long SimMiner::elapsed(SimSystem& sys) const {
  return restarted_ ? sys.now() - restart_clock_ : boot_elapsed + sys.elapsed_seconds();
}

void SimMiner::restart(SimSystem& sys) {
  apply_files(sys);
  restarted_ = true;
  restart_clock_ = sys.now();
  ++view_.restarts;
  write_chip_rates(sys);
}

void SimMiner::start_if_new(SimSystem& sys) {
  if (applied_) return;
  // A miner found running already runs the files as they are and keeps its rates file.
  apply_files(sys);
  write_chip_rates(sys);
}

void SimMiner::tick(SimSystem& sys) {
  start_if_new(sys);
  read_voltages(sys);
  write_chip_rates(sys);
}

std::optional<std::string> SimMiner::stats(SimSystem& sys) {
  start_if_new(sys);
  view_.elapsed = elapsed(sys);
  view_.now = sys.elapsed_seconds();
  if (!stats_script.empty()) {
    std::optional<std::string> answer = stats_script.front();
    stats_script.pop_front();
    return answer;
  }
  return stats_line();
}

std::string SimMiner::stats_line() const {
  char buffer[256];
  std::string line = "STATUS=S,Code=70,Msg=CGMiner stats,Description=bmminer 1.0.0|STATS=0,";
  std::snprintf(buffer, sizeof buffer, "ID=BC50,Elapsed=%lld,Calls=0,Wait=0.000000", view_.elapsed);
  line += buffer;
  for (int slot = 0; slot < chain_count; ++slot) {
    int number = miner_chain_number(slot);
    if (!chain_reported[slot]) continue;
    if (chain_present[slot]) {
      std::snprintf(buffer, sizeof buffer, ",chain_rateideal%d=%.2f,chain_rate%d=%.2f", number,
                    static_cast<double>(ideal_rate(view_, slot)), number,
                    static_cast<double>(chain_rate(view_, slot)));
    } else {
      std::snprintf(buffer, sizeof buffer, ",chain_rateideal%d=,chain_rate%d=", number, number);
    }
    line += buffer;
  }
  line += "|STATS=1,ID=POOL0,Elapsed=0|\n";
  return line;
}

void SimMiner::write_chip_rates(SimSystem& sys) {
  if (!keep_chip_rates) return;
  view_.elapsed = elapsed(sys);
  view_.now = sys.elapsed_seconds();
  ++view_.refreshes;
  // "%d:%d:%.2f\n" a chip, written without printf: this runs at every tick of a
  // rehearsal, and to_chars rounds exactly as printf does.
  std::string text;
  char buffer[64];
  for (int slot = 0; slot < chain_count; ++slot) {
    if (!chain_present[slot]) continue;
    const std::string chain = std::to_string(miner_chain_number(slot)) + ":";
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      std::optional<float> rate = chip_rate(view_, slot, chip);
      if (!rate) continue;
      text += chain;
      text += std::to_string(chip + 1);
      text += ':';
      auto written = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(*rate),
                                   std::chars_format::fixed, 2);
      text.append(buffer, written.ptr);
      text += '\n';
    }
  }
  sys.write_file("/tmp/chip-rates", text);
}

std::string SimMiner::save() const {
  std::ostringstream out;
  MinerView view = view_;
  long long restart_clock = restart_clock_;
  bool restarted = restarted_, applied = applied_;
  visit_state(view, restart_clock, restarted, applied,
              [&](const auto& value) { out << value << ' '; });
  return out.str();
}

bool SimMiner::load(const std::string& text) {
  std::istringstream in(text);
  MinerView view = view_;
  long long restart_clock = 0;
  bool restarted = false, applied = false;
  visit_state(view, restart_clock, restarted, applied, [&](auto& value) { in >> value; });
  if (!in) return false;
  view_ = view;
  restart_clock_ = restart_clock;
  restarted_ = restarted;
  applied_ = applied;
  return true;
}

}  // namespace tune::sim
