// A whole tuning rehearsed on a simulated machine: chain-tuner, then yellow-fixer, the real
// tuning code in virtual time, leaving the board's files in a directory.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "ladder.hpp"
#include "timeline.hpp"
#include "twin.hpp"

namespace tune::rehearse {

struct RehearsalOptions {
  std::uint64_t seed = 1;
  std::string settings;  // the line for /config/autoTune.conf
  std::array<bool, chain_count> chain_present = {true, true, true, true, true, true};
  int weak_chips = 6;
  int dead_chips = 2;
  int missing_chips = 1;
  std::string out_dir = "rehearsal";
  // The miner's files to start from, by name ("config.conf", "manual_freqs.txt",
  // "bmminer.conf", "autoTune.conf"), in place of a new board's; `settings`, when not empty,
  // in place of the autoTune.conf among them.
  std::map<std::string, std::string> files;
  // A board's fitted chips in place of the seeded machine's (the seed then draws only the
  // rates' noise).
  std::optional<sim::ChipTable> chips;
  // The rates' noise from this seed rather than `seed` (whose machine's chips stay).
  std::optional<std::uint64_t> noise_seed;
  // Whether to leave the board as it stands before the tuning in OUT/before.
  bool keep_before = true;
  // Whether to follow the run for its timeline and its record of every chip change: a
  // rehearsal that only predicts needs neither.
  bool follow = true;
  // How many rehearsals run at once where there are many (--jobs); 0: one a usable core.
  int jobs = 0;
};

// The options that rehearse a board's twin: its files, chains and chips (draw 0: its
// likeliest chips; see fit_twin).
void use_twin(RehearsalOptions& options, const BoardTwin& twin, std::uint64_t draw = 0);

// Where a running rehearsal is, for the progress line.
struct ProgressState {
  std::string program;
  int iteration = 0;
  std::string phase;
  long long virtual_seconds = 0;
  int restarts = 0;
};

struct RehearsedRun {
  bool ran = false;
  bool exited = false;  // ended through an exit
  int parent_status = 0;
  long long virtual_seconds = 0;
  int restarts = 0;
};

struct RehearsalResult {
  RehearsedRun chain_tuner;
  RehearsedRun yellow_fixer;
  Timeline timeline;
};

// Where in a rehearsal's directory the board's files before the tuning are kept.
inline constexpr char before_tuning_dir[] = "before";

// Makes sure a rehearsal may use the directory: new, empty, or an earlier rehearsal's (it
// would replace someone's files otherwise). ToolError when it may not or cannot be made.
void prepare_rehearsal_dir(const std::string& dir);
// Whether a rehearsal may write into `dir`: none there yet, an empty directory, or an earlier
// rehearsal's. (A file there is an output that cannot be written, which the rehearsal says.)
bool may_rehearse_into(const std::string& dir);

// Removes what a rehearsal, a prediction or a comparison leaves in `dir` (which
// prepare_rehearsal_dir has found to be an earlier rehearsal's), so that nothing of an
// earlier run is taken for the next one's.
void clear_rehearsal_outputs(const std::string& dir);

// Runs both programs in `options.out_dir` (see prepare_rehearsal_dir), calling `progress`
// as the run goes.
RehearsalResult rehearse(const RehearsalOptions& options,
                         const std::function<void(const ProgressState&)>& progress);

}  // namespace tune::rehearse
