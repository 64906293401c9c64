// A stand-in for the miner's client "bmminer-api", for running the real programs in a
// sandbox. It runs once per call and keeps the simulated miner's state in /sim between calls:
//   bmminer-api -o stats   notice a restart trigger, refresh /tmp/chip-rates, print the
//                          statistics line
//   bmminer-api --tick     virtual time passed (called by the virtual-time library after
//                          each sleep): notice a restart trigger, refresh /tmp/chip-rates
// /sim/clock holds the virtual seconds; /sim/miner.conf (key=value lines) chooses the
// behaviour:
//   model=seeded|healthy   the seeded chip model (default) or every chip at F / 8.7
//   seed=N weak=N dead=N missing=N      the chip model's machine
//   chains=1,2,3,5,6,7     populated chains; unreported=LIST chains left out of the line
//   boot_elapsed=N         running time before the first restart (default 3600)
//   elapsed=never          never report "Elapsed="
//   chip_rates=off         stop writing /tmp/chip-rates
//   kill=STEP:N            SIGKILL the caller on the N-th tick while /config/yellow-step
//                          holds STEP ("none": while it is absent)
// /sim/stats-script, when present, gives scripted answers, one line per statistics call
// ("<none>" prints nothing). When /sim/served exists, every call appends the tuning program
// it serves (its nearest ancestor that is one) as "NAME PID".
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "chip_model.hpp"
#include "sim_miner.hpp"
#include "sim_system.hpp"

namespace {

using namespace tune;

constexpr char sim_dir[] = "/sim";

std::optional<std::string> read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_text(const std::string& path, const std::string& text) {
  std::string temporary = path + ".new";
  std::ofstream(temporary, std::ios::binary | std::ios::trunc) << text;
  std::rename(temporary.c_str(), path.c_str());
}

std::map<std::string, std::string> read_settings() {
  std::map<std::string, std::string> settings;
  std::istringstream in(read_text(std::string(sim_dir) + "/miner.conf").value_or(""));
  std::string line;
  while (std::getline(in, line)) {
    size_t equals = line.find('=');
    if (equals != std::string::npos) settings[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return settings;
}

int number(const std::map<std::string, std::string>& settings, const char* key, int fallback) {
  auto it = settings.find(key);
  return it == settings.end() ? fallback : std::atoi(it->second.c_str());
}

// Slots named by a list of chain numbers.
void mark_chains(const std::string& list, bool (&slots)[chain_count], bool value) {
  for (int slot = 0; slot < chain_count; ++slot) {
    std::string number = std::to_string(chain_number_of(slot));
    std::istringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
      if (item == number) slots[slot] = value;
    }
  }
}

// The trigger counts once per write: its change time tells a new write from an old one.
bool trigger_written(std::string& last_seen) {
  struct stat info;
  if (stat("/config/restart", &info) != 0) return false;
  std::string stamp = std::to_string(info.st_ctim.tv_sec) + "." +
                      std::to_string(info.st_ctim.tv_nsec) + "." + std::to_string(info.st_ino);
  if (stamp == last_seen) return false;
  last_seen = stamp;
  return true;
}

// The tuning program a call serves: the nearest ancestor named chain-tuner or yellow-fixer
// (the statistics come through popen's shell, a tick straight from the sleeping program).
std::string served_program() {
  pid_t pid = getppid();
  for (int hops = 0; hops < 4 && pid > 1; ++hops) {
    std::string where = "/proc/" + std::to_string(pid);
    std::string name = read_text(where + "/comm").value_or("");
    if (!name.empty() && name.back() == '\n') name.pop_back();
    if (name == "chain-tuner" || name == "yellow-fixer") return name + " " + std::to_string(pid);
    // The parent's pid is the fourth field of stat, after the name in parentheses.
    std::string stat = read_text(where + "/stat").value_or("");
    size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos) break;
    pid = static_cast<pid_t>(std::atoi(stat.c_str() + name_end + 4));
  }
  return "";
}

void record_served() {
  std::string path = std::string(sim_dir) + "/served";
  if (!read_text(path)) return;
  std::ofstream(path, std::ios::app) << served_program() << "\n";
}

void maybe_kill_caller(const std::map<std::string, std::string>& settings) {
  auto it = settings.find("kill");
  if (it == settings.end()) return;
  size_t colon = it->second.find(':');
  std::string step = it->second.substr(0, colon);
  int at_tick = std::atoi(it->second.c_str() + colon + 1);
  std::string current = read_text("/config/yellow-step").value_or("none");
  if (current != step) return;
  std::string counter_path = std::string(sim_dir) + "/kill-ticks";
  int ticks = std::atoi(read_text(counter_path).value_or("0").c_str()) + 1;
  write_text(counter_path, std::to_string(ticks));
  if (ticks == at_tick) kill(getppid(), SIGKILL);
}

}  // namespace

int main(int argc, char** argv) {
  bool stats = argc == 3 && std::strcmp(argv[1], "-o") == 0 && std::strcmp(argv[2], "stats") == 0;
  bool tick = argc == 2 && std::strcmp(argv[1], "--tick") == 0;
  if (!stats && !tick) {
    std::fprintf(stderr, "usage: bmminer-api -o stats | bmminer-api --tick\n");
    return 2;
  }
  record_served();
  std::map<std::string, std::string> settings = read_settings();
  sim::SimMiner miner;
  auto chains = settings.find("chains");
  if (chains != settings.end()) {
    for (bool& present : miner.chain_present) present = false;
    mark_chains(chains->second, miner.chain_present, true);
  }
  mark_chains(settings["unreported"], miner.chain_reported, false);
  miner.boot_elapsed = number(settings, "boot_elapsed", 3600);
  miner.keep_chip_rates = settings["chip_rates"] != "off";
  sim::ChipModelOptions model_options;
  model_options.seed = static_cast<std::uint64_t>(number(settings, "seed", 1));
  model_options.weak_chips = number(settings, "weak", model_options.weak_chips);
  model_options.dead_chips = number(settings, "dead", model_options.dead_chips);
  model_options.missing_chips = number(settings, "missing", model_options.missing_chips);
  sim::ChipModel model(model_options);
  if (settings["model"] != "healthy") model.install(miner);

  sim::SimSystem sys(miner, "/");
  std::string clock = read_text(std::string(sim_dir) + "/clock").value_or("0");
  sys.set_clock(sim::sim_epoch + std::atoll(clock.c_str()));

  // Saved state: the miner's running state, then the trigger last seen.
  std::string state_path = std::string(sim_dir) + "/miner-state";
  std::istringstream saved(read_text(state_path).value_or(""));
  std::string miner_state, trigger_seen;
  std::getline(saved, miner_state);
  std::getline(saved, trigger_seen);
  if (!miner_state.empty()) miner.load(miner_state);
  if (trigger_written(trigger_seen)) {
    miner.restart(sys);
  } else {
    miner.tick(sys);
  }

  if (stats) {
    std::string script_path = std::string(sim_dir) + "/stats-script";
    std::optional<std::string> script = read_text(script_path);
    std::optional<std::string> answer;
    if (script && !script->empty()) {
      size_t end = script->find('\n');
      std::string line = script->substr(0, end);
      write_text(script_path, end == std::string::npos ? "" : script->substr(end + 1));
      if (line != "<none>") answer = line + "\n";
    } else {
      answer = miner.stats(sys);
      for (size_t at; answer && settings["elapsed"] == "never" &&
                      (at = answer->find("Elapsed=")) != std::string::npos;) {
        answer->replace(at, 7, "Uptime");
      }
    }
    if (answer) std::fputs(answer->c_str(), stdout);
  } else {
    maybe_kill_caller(settings);
  }
  write_text(state_path, miner.save() + "\n" + trigger_seen + "\n");
  return 0;
}
