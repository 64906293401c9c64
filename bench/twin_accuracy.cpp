// One board of the twin's accuracy measure (scripts/twin-accuracy runs it per seed): the
// seeded board's tuning rehearsed on the true machine, and predicted from the files the board
// showed before it as the tool predicts (draws of its twin, each with the rates' noise of its
// own), for a first tuning (from a new board) and a second (from the first's result, its
// logs included). Prints, per tuning, today's measured rate, the true final rate, the
// predicted one (the draws' median), the predicted gain's interval and median, today's ideal
// rate, and the chips whose override the true run and the twin's shown draw changed:
//   SEED  TODAY1 TRUTH1 TWIN1 LOW1 GAIN1 HIGH1 IDEAL1 BOTH1 TRUE_ONLY1 TWIN_ONLY1  (then 2)
// and then each draw's predicted gain, the first tuning's DRAWS, then the second's.
// Usage: twin-accuracy-board SEED WORKDIR [DRAWS [PREDICTION-SEED]]
// PREDICTION-SEED is the seed the prediction runs with (tune-rehearse --seed), the board's
// SEED by default: another gives the same board and truth, other draws of its twin.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "board_report.hpp"
#include "chip_model.hpp"
#include "draws.hpp"
#include "rehearsal.hpp"
#include "tool_error.hpp"
#include "twin.hpp"

namespace {

using namespace tune;
using namespace tune::rehearse;

struct Compared {
  double today = 0, truth = 0, twin = 0, ideal = 0;
  Interval gain;
  std::vector<double> gains;  // each draw's
  int both = 0, true_only = 0, twin_only = 0;
};

// The chips whose override a run changed from what its board started with.
bool changed(const BoardReport& start, const BoardReport& end, int slot, int chip) {
  return start.chains[slot].chips[chip].override_step != end.chains[slot].chips[chip].override_step;
}

// The tuning of the seeded board that starts from `start_files`, and the prediction of it
// from the board in `evidence_dir`.
Compared measure(std::uint64_t seed, std::uint64_t prediction_seed,
                 std::optional<std::uint64_t> noise_seed, int draws, const std::string& work,
                 const std::string& name, const std::string& start_dir,
                 const std::string& evidence_dir,
                 const std::map<std::string, std::string>& start_files) {
  RehearsalOptions truth;
  truth.seed = seed;
  truth.noise_seed = noise_seed;
  truth.files = start_files;
  truth.out_dir = work + "/" + name + "-truth";
  tune::rehearse::rehearse(truth, nullptr);
  const BoardTwin twin = twin_of(evidence_dir);
  RehearsalOptions base;
  base.seed = prediction_seed;
  DrawnPrediction predicted =
      summarise_draws(rehearse_draws(base, &twin, draws, work + "/" + name + "-draws"), true);
  RehearsalOptions shown = drawn_options(base, &twin, static_cast<int>(predicted.typical) + 1);
  shown.out_dir = work + "/" + name + "-twin";
  shown.keep_before = false;
  tune::rehearse::rehearse(shown, nullptr);

  BoardReport start = read_board(start_dir), after = read_board(truth.out_dir),
              twin_after = read_board(shown.out_dir);
  Compared result;
  result.today = totals_of(start).measured_rate;
  result.ideal = totals_of(start).ideal_rate;
  result.truth = totals_of(after).measured_rate;
  result.twin = predicted.rate_after.median;
  result.gain = predicted.gain;
  for (const Prediction& draw : predicted.draws) result.gains.push_back(draw.gain());
  for (int slot = 0; slot < chain_count; ++slot) {
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      bool by_truth = changed(start, after, slot, chip);
      bool by_twin = changed(start, twin_after, slot, chip);
      result.both += by_truth && by_twin;
      result.true_only += by_truth && !by_twin;
      result.twin_only += by_twin && !by_truth;
    }
  }
  return result;
}

void print(const Compared& c) {
  std::printf(" %.2f %.2f %.2f %.2f %.2f %.2f %.2f %d %d %d", c.today, c.truth, c.twin, c.gain.low,
              c.gain.median, c.gain.high, c.ideal, c.both, c.true_only, c.twin_only);
}

// The board's files as an operator copies them off a board: its /config and /tmp and the
// chain tuner's log, without what only a rehearsal leaves (its record of every chip change).
std::string board_copy(const std::string& rehearsal, const std::string& copy) {
  namespace fs = std::filesystem;
  fs::create_directories(copy);
  for (const char* dir : {"config", "tmp"}) {
    fs::copy(fs::path(rehearsal) / dir, fs::path(copy) / dir, fs::copy_options::recursive);
  }
  fs::copy_file(fs::path(rehearsal) / "chain-tuner.log", fs::path(copy) / "chain-tuner.log");
  return copy;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fprintf(stderr, "usage: twin-accuracy-board SEED WORKDIR [DRAWS [PREDICTION-SEED]]\n");
    return 2;
  }
  try {
    const std::uint64_t seed = std::strtoull(argv[1], nullptr, 10);
    const std::string work = argv[2];
    const int draws = argc >= 4 ? std::atoi(argv[3]) : default_draws;
    const std::uint64_t prediction_seed = argc == 5 ? std::strtoull(argv[4], nullptr, 10) : seed;
    std::filesystem::create_directories(work);
    // A first tuning: the board as new, seen only through its files before the tuning.
    RehearsalOptions first;
    first.seed = seed;
    first.out_dir = work + "/first";
    tune::rehearse::rehearse(first, nullptr);
    const std::string before = first.out_dir + "/" + before_tuning_dir;
    Compared one = measure(seed, prediction_seed, std::nullopt, draws, work, "one", before, before,
                           read_settings_files(before));
    // A second tuning, from the first's result: the twin also sees its logs, as a copy of
    // the board holds them. Its rates' noise is not the first tuning's: a board's second
    // tuning, hours later, does not meet the same noise again (a truth that did would repeat
    // the first tuning's choices and show no gain).
    Compared two =
        measure(seed, prediction_seed, sim::mix(seed ^ 0x2ee5), draws, work, "two", first.out_dir,
                board_copy(first.out_dir, work + "/copy"), read_settings_files(first.out_dir));
    std::printf("%llu", static_cast<unsigned long long>(seed));
    print(one);
    print(two);
    // Then each draw's gain, of the first tuning and of the second: what an interval is made of.
    for (const Compared* tuning : {&one, &two}) {
      for (double gain : tuning->gains) std::printf(" %.2f", gain);
    }
    std::printf("\n");
    std::filesystem::remove_all(work);
    return 0;
  } catch (const ToolError& failure) {
    std::fprintf(stderr, "twin-accuracy-board: %s\n", failure.message.c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "twin-accuracy-board: %s\n", error.what());
  }
  return 1;
}
