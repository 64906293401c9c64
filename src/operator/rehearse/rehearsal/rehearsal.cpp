#include "rehearsal.hpp"

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <utility>

#include "board_report.hpp"
#include "chain_tuner.hpp"
#include "chain_tuner_messages.hpp"
#include "chip_history.hpp"
#include "chip_model.hpp"
#include "history_recorder.hpp"
#include "log.hpp"
#include "miner_files.hpp"
#include "miner_restart.hpp"
#include "miner_stats.hpp"
#include "output.hpp"
#include "sim_miner.hpp"
#include "sim_system.hpp"
#include "text.hpp"
#include "tool_error.hpp"
#include "yellow_fixer.hpp"
#include "yellow_fixer_messages.hpp"

namespace tune::rehearse {

namespace {

// A board as it stands before tuning: the miner's own settings around the chain lines.
std::string initial_chain_config() {
  return "bitmain-fan-ctrl=false\nbitmain-fan-pwm=100\n" + sim::chain_config_lines(650, 910) +
         "bitmain-use-vil=true\napi-listen=true\napi-network=true\n";
}

constexpr char initial_bmminer_conf[] =
    "{\n\"pools\": [{\"url\": \"stratum+tcp://pool.invalid:3333\", \"user\": \"rehearsal\", "
    "\"pass\": \"x\"}],\n\"api-listen\": true,\n\"bitmain-freq\": \"650\",\n"
    "\"bitmain-voltage\": \"0706\"\n}\n";

// Follows the shared log as it grows and turns its entries into a progress state.
class LogFollower {
 public:
  explicit LogFollower(ProgressState& state) : state_(state) {}

  // Takes the entries logged since the last call and returns them, their stamps in
  // `stamps`: only what was added is read, as the log grows by whole entries.
  std::vector<std::string> follow(sim::SimSystem& sys, std::vector<std::string>& stamps) {
    std::vector<std::string> entries;
    // Opened once: a program that starts truncates the same file, which stays open here.
    if (!log_.is_open()) log_.open(sys.path(log_path), std::ios::binary);
    if (!log_.is_open()) return entries;
    log_.clear();
    log_.seekg(0, std::ios::end);
    size_t size = static_cast<size_t>(log_.tellg());
    if (size < offset_) offset_ = 0;  // a new program truncated it
    std::string added(size - offset_, '\0');
    log_.seekg(static_cast<std::streamoff>(offset_));
    log_.read(added.data(), static_cast<std::streamsize>(added.size()));
    added.resize(static_cast<size_t>(log_.gcount()));
    offset_ += added.size();
    sim::split_log_entries(added, entries, &stamps);
    for (const std::string& entry : entries) take(entry);
    return entries;
  }

 private:
  void take(const std::string& entry) {
    // Whether the entry is one of these messages.
    auto is = [&](std::initializer_list<const char*> messages) {
      for (const char* message : messages) {
        if (read_message(message, entry)) return true;
      }
      return false;
    };
    if (is({catch_up_message, not_started_message, chain_tuner_log::elapsed})) {
      state_.phase = "waiting for the miner";
    }
    if (state_.program == "chain-tuner") {
      namespace tuner = chain_tuner_log;
      if (is({tuner::get_stat})) ++state_.iteration;
      if (is({tuner::check_rates})) state_.phase = "checking chains";
      if (is({tuner::settle})) state_.phase = "settling a voltage change";
      if (is({tuner::green_lowering, tuner::green_raising, tuner::green_reverting})) {
        state_.phase = "green phase";
      }
      if (is({tuner::rate_reached, tuner::rate_below})) state_.phase = "desired-rate check";
      if (is({tuner::done})) state_.phase = "done";
    } else {
      namespace fixer = yellow_fixer_log;
      if (is({fixer::fix_yellow})) {
        state_.iteration = 1;
        state_.phase = "observing chips";
      }
      if (is({fixer::persistent_yellow, fixer::yellow_restart, fixer::red_restart})) {
        state_.phase = "restarting with new overrides";
      }
      if (is({fixer::ideal_above, fixer::ideal_below})) {
        ++state_.iteration;
        state_.phase = "observing chips";
      }
      if (is({fixer::three_successful, fixer::check_limit, fixer::rate_below_desired})) {
        state_.phase = "done";
      }
    }
  }

  ProgressState& state_;
  std::ifstream log_;
  size_t offset_ = 0;
};

void prepare_out_dir(const std::string& dir) {
  namespace fs = std::filesystem;
  clear_rehearsal_outputs(dir);
  fs::create_directories(dir);
  std::ofstream(fs::path(dir) / rehearsal_marker) << "made by tune-rehearse\n";
}

// A file read again only when it may have changed: the programs replace the miner's files
// (a new file each time), so a file whose identity, size and time are the same is unchanged.
class WatchedFile {
 public:
  explicit WatchedFile(std::string path) : path_(std::move(path)) {}
  const std::string& text() {
    struct stat now = {};
    bool there = stat(path_.c_str(), &now) == 0;
    bool same = there == there_ && now.st_ino == last_.st_ino && now.st_size == last_.st_size &&
                now.st_mtim.tv_sec == last_.st_mtim.tv_sec &&
                now.st_mtim.tv_nsec == last_.st_mtim.tv_nsec;
    if (!read_ || !same) {
      std::ifstream in(path_, std::ios::binary);
      text_ = there && in ? std::string(std::istreambuf_iterator<char>(in), {}) : "";
      read_ = true;
    }
    there_ = there;
    last_ = now;
    return text_;
  }

 private:
  std::string path_;
  bool read_ = false, there_ = false;
  struct stat last_ = {};
  std::string text_;
};

// Follows the board's miner files and tells the history recorder when they change, with
// the chip rates the programs read before they changed them.
class FileWatch {
 public:
  FileWatch(HistoryRecorder& recorder, sim::SimSystem& sys)
      : recorder_(recorder),
        config_file_(sys.path(chain_config_path)),
        overrides_file_(sys.path(chip_overrides_path)) {}

  // Returns the chains' settings when config.conf changed (or at the first look).
  std::optional<WrittenSettings> look(sim::SimSystem& sys, const std::string& program,
                                      const std::string& when) {
    const std::string& config = config_file_.text();
    const std::string& overrides = overrides_file_.text();
    std::optional<WrittenSettings> chains;
    if (!started_ || config != config_ || overrides != overrides_) {
      const bool chains_changed = !started_ || config != config_;
      started_ = true;
      config_ = config;
      overrides_ = overrides;
      TuneState state;
      apply_lines(state, config_, apply_chain_config_line);
      apply_lines(state, overrides_, apply_chip_override_line);
      apply_lines(state, rates_, apply_chip_rate_line);
      parse_base_freq(sys.read_file("/config/bmminer.conf").value_or("").c_str(), state.base_freq);
      recorder_.observe(state, program, when);
      if (chains_changed) {
        chains.emplace();
        chains->hours = sys.elapsed_seconds() / 3600.0;
        for (int slot = 0; slot < chain_count; ++slot) {
          chains->voltage[slot] = state.chain_voltage[slot];
          chains->freq[slot] = state.chain_freq[slot];
        }
      }
    }
    // Only the miner writes the chip rates; it counts its writes.
    if (sys.miner().view().refreshes != rates_refreshes_) {
      rates_refreshes_ = sys.miner().view().refreshes;
      rates_ = sys.read_file(chip_rates_path).value_or("");
    }
    return chains;
  }

 private:
  static void apply_lines(TuneState& state, const std::string& text,
                          void (*apply)(TuneState&, const std::string&)) {
    for (const std::string& line : split_lines(text)) apply(state, line);
  }

  HistoryRecorder& recorder_;
  WatchedFile config_file_, overrides_file_;
  bool started_ = false;
  std::string config_, overrides_, rates_;
  int rates_refreshes_ = -1;
};

// The virtual time as the log stamps it, without the stamp's trailing blank.
std::string stamp_of(std::time_t when) {
  char text[32];
  format_stamp(when, false, text, sizeof text);
  return text;
}

// The board before tuning: the miner's files (those given, else a new board's), the
// settings line, a tuning marked active.
void set_up_board(sim::SimSystem& sys, const RehearsalOptions& options) {
  std::map<std::string, std::string> files = {{"bmminer.conf", initial_bmminer_conf},
                                              {"config.conf", initial_chain_config()}};
  for (const auto& [name, text] : options.files) files[name] = text;
  if (!options.settings.empty() || !files.count("autoTune.conf")) {
    files["autoTune.conf"] = options.settings + "\n";
  }
  for (const auto& [name, text] : files) sys.write_file("/config/" + name, text);
  sys.write_file(tune_running_path, "");
  sys.write_file(finish_script_path, "#!/bin/sh\n# the board's own finishing steps\n");
}

// What the rehearsal watches between the programs' steps: their log for the progress line
// and the chips they name, the miner's files for the chip history, and the miner's rates
// and voltages for the timeline.
class Watch {
 public:
  Watch(sim::SimSystem& sys, Timeline& timeline,
        const std::function<void(const ProgressState&)>& progress)
      : follower_(state_), files_(recorder_, sys), timeline_(timeline), progress_(progress) {}

  void begin_program(const char* name, sim::SimSystem& sys) {
    state_ = ProgressState{name, 0, "starting", sys.elapsed_seconds(), 0};
    restarts_before_ = sys.restarts;
  }

  // After a program's step (a sleep, a shell command, a statistics call).
  void step(sim::SimSystem& sys) {
    look(sys);
    state_.virtual_seconds = sys.elapsed_seconds();
    state_.restarts = sys.restarts - restarts_before_;  // this program's, as its log counts them
    if (progress_) progress_(state_);
    if (sys.elapsed_seconds() == last_sample_) return;
    last_sample_ = sys.elapsed_seconds();
    TimelineSample sample;
    sample.hours = sys.elapsed_seconds() / 3600.0;
    const sim::SimMiner& miner = sys.miner();
    for (int slot = 0; slot < chain_count; ++slot) {
      if (timeline_.chain_present[slot]) sample.total_rate += miner.chain_rate(miner.view(), slot);
    }
    timeline_.samples.push_back(sample);
  }

  // The log and the miner's files, as they are now.
  void look(sim::SimSystem& sys) {
    std::vector<std::string> stamps;
    std::vector<std::string> entries = follower_.follow(sys, stamps);
    recorder_.note_entries(entries, stamps);
    // Looked at before every sleep and after every command, the files are seen at the
    // virtual time they were written.
    if (std::optional<WrittenSettings> chains =
            files_.look(sys, state_.program, stamp_of(sys.now()))) {
      timeline_.settings.push_back(*chains);
    }
  }

  const ChipHistories& histories() const { return recorder_.histories(); }

 private:
  ProgressState state_;
  LogFollower follower_;
  HistoryRecorder recorder_;
  FileWatch files_;
  Timeline& timeline_;
  const std::function<void(const ProgressState&)>& progress_;
  long long last_sample_ = -1;
  int restarts_before_ = 0;
};

}  // namespace

void clear_rehearsal_outputs(const std::string& dir) {
  namespace fs = std::filesystem;
  for (const char* sub : {"config", "tmp", "sbin", before_tuning_dir}) {
    fs::remove_all(fs::path(dir) / sub);
  }
  for (const char* file :
       {"chain-tuner.log", "heat-map.svg", "timeline.svg", "summary.txt", chip_history_file,
        "prediction.txt", "prediction.json", "compare.txt", "compare.svg"}) {
    fs::remove(fs::path(dir) / file);
  }
  // A comparison's lines: each an earlier rehearsal, or left empty by one cut short.
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with("line-") || name.size() == 5 ||
        name.find_first_not_of("0123456789", 5) != std::string::npos || !entry.is_directory(ec)) {
      continue;
    }
    if (fs::exists(entry.path() / rehearsal_marker, ec) || fs::is_empty(entry.path(), ec)) {
      fs::remove_all(entry.path());  // one that cannot go would be taken for this run's
    }
  }
}

bool may_rehearse_into(const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  return !fs::is_directory(dir, ec) || fs::is_empty(dir, ec) ||
         fs::exists(fs::path(dir) / rehearsal_marker, ec);
}

void prepare_rehearsal_dir(const std::string& dir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  // A file where the directory would go: an output that cannot be written.
  if (fs::exists(dir, ec) && !fs::is_directory(dir, ec)) {
    throw ToolError(status_unusable, dir + ": exists and is not a directory");
  }
  // The tool refuses such an --out before it rehearses anything; one filled since cannot be
  // written either.
  if (!may_rehearse_into(dir)) {
    throw ToolError(status_unusable, dir + ": not empty and not an earlier rehearsal's");
  }
  make_output_dir(dir);
}

void use_twin(RehearsalOptions& options, const BoardTwin& twin, std::uint64_t draw) {
  options.files = twin.files;
  options.chain_present = twin.chain_present;
  options.chips = fit_twin(twin.evidence, draw);
}

RehearsalResult rehearse(const RehearsalOptions& options,
                         const std::function<void(const ProgressState&)>& progress) {
  prepare_out_dir(options.out_dir);
  sim::SimMiner miner;
  const std::array<bool, chain_count>& present = options.chain_present;
  for (int slot = 0; slot < chain_count; ++slot) miner.chain_present[slot] = present[slot];
  sim::ChipModel model =
      options.chips
          ? sim::ChipModel(*options.chips, options.noise_seed.value_or(options.seed))
          : sim::ChipModel(sim::ChipModelOptions{options.seed, options.weak_chips,
                                                 options.dead_chips, options.missing_chips});
  if (!options.chips && options.noise_seed)
    model = sim::ChipModel(model.chips(), *options.noise_seed);
  model.install(miner);
  sim::SimSystem sys(miner, options.out_dir);
  set_up_board(sys, options);
  if (options.keep_before) {
    // The board as it stands before the tuning, its miner running the files as they are:
    // a copy to report on, or to fit a twin to.
    sim::SimMiner before_miner = miner;
    model.install(before_miner);
    sim::SimSystem before(before_miner, options.out_dir + "/" + before_tuning_dir);
    set_up_board(before, options);
    before_miner.tick(before);
  }

  RehearsalResult result;
  result.timeline.chain_present = present;
  Watch watch(sys, result.timeline, progress);
  if (options.follow) {
    sys.observer = [&](sim::SimSystem& s) { watch.step(s); };
    // The files are looked at before each sleep too, so that a change is stamped when the
    // program made it, as its log stamps it.
    sys.before_sleep = [&](sim::SimSystem& s) { watch.look(s); };
  }

  auto run = [&](const char* name, int (*program_main)(System&), RehearsedRun& record) {
    watch.begin_program(name, sys);
    long long start = sys.elapsed_seconds();
    int restarts = sys.restarts;
    sim::RunResult ran = sys.run(program_main);
    if (options.follow) watch.look(sys);
    record = RehearsedRun{true, ran.exited, ran.parent_status(), sys.elapsed_seconds() - start,
                          sys.restarts - restarts};
  };

  run("chain-tuner", chain_tuner_main, result.chain_tuner);
  std::filesystem::copy_file(sys.path(log_path), options.out_dir + "/chain-tuner.log",
                             std::filesystem::copy_options::overwrite_existing);
  // The next stage starts on the chain tuner's marker, as on a board.
  if (sys.exists(yellow_marker_path)) {
    result.timeline.yellow_fixer_start_hours = sys.elapsed_seconds() / 3600.0;
    run("yellow-fixer", yellow_fixer_main, result.yellow_fixer);
  }
  if (options.follow) {
    std::ofstream(options.out_dir + "/" + chip_history_file, std::ios::binary)
        << format_history_record(watch.histories());
  }
  return result;
}

}  // namespace tune::rehearse
