// One board of the twin's accuracy measure (scripts/twin-accuracy runs it per seed): the
// seeded board's tuning rehearsed on the true machine and on the twin fitted from the files
// the board showed before it, for a first tuning (from a new board) and a second (from the
// first's result, its logs included). Prints, per tuning, the true and predicted final
// measured rate and the chips whose override the true run and the twin's run changed:
//   SEED TRUTH1 TWIN1 BOTH1 TRUE_ONLY1 TWIN_ONLY1 TRUTH2 TWIN2 BOTH2 TRUE_ONLY2 TWIN_ONLY2
// Usage: twin-accuracy-board SEED WORKDIR
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <map>
#include <string>

#include "board_report.hpp"
#include "rehearsal.hpp"
#include "tool_error.hpp"
#include "twin.hpp"

namespace {

using namespace tune;
using namespace tune::rehearse;

struct Compared {
  double truth = 0, twin = 0;
  int both = 0, true_only = 0, twin_only = 0;
};

// The chips whose override a run changed from what its board started with.
bool changed(const BoardReport& start, const BoardReport& end, int slot, int chip) {
  return start.chains[slot].chips[chip].override_step != end.chains[slot].chips[chip].override_step;
}

Compared compare(const std::string& start_dir, const std::string& truth_dir,
                 const std::string& twin_dir) {
  BoardReport start = read_board(start_dir), truth = read_board(truth_dir),
              twin = read_board(twin_dir);
  Compared result{totals_of(truth).measured_rate, totals_of(twin).measured_rate};
  for (int slot = 0; slot < chain_count; ++slot) {
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      bool by_truth = changed(start, truth, slot, chip), by_twin = changed(start, twin, slot, chip);
      result.both += by_truth && by_twin;
      result.true_only += by_truth && !by_twin;
      result.twin_only += by_twin && !by_truth;
    }
  }
  return result;
}

// The tuning of the seeded board that starts from `start_files`, and the same on the twin of
// the board in `evidence_dir`.
Compared measure(std::uint64_t seed, const std::string& work, const std::string& name,
                 const std::string& start_dir, const std::string& evidence_dir,
                 const std::map<std::string, std::string>& start_files) {
  RehearsalOptions truth;
  truth.seed = seed;
  truth.files = start_files;
  truth.out_dir = work + "/" + name + "-truth";
  tune::rehearse::rehearse(truth, nullptr);
  RehearsalOptions twin;
  twin.seed = seed;
  use_twin(twin, twin_of(evidence_dir));
  twin.out_dir = work + "/" + name + "-twin";
  tune::rehearse::rehearse(twin, nullptr);
  return compare(start_dir, truth.out_dir, twin.out_dir);
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
  if (argc != 3) {
    std::fprintf(stderr, "usage: twin-accuracy-board SEED WORKDIR\n");
    return 2;
  }
  try {
    const std::uint64_t seed = std::strtoull(argv[1], nullptr, 10);
    const std::string work = argv[2];
    std::filesystem::create_directories(work);
    // A first tuning: the board as new, seen only through its files before the tuning.
    RehearsalOptions first;
    first.seed = seed;
    first.out_dir = work + "/first";
    tune::rehearse::rehearse(first, nullptr);
    const std::string before = first.out_dir + "/" + before_tuning_dir;
    Compared one = measure(seed, work, "one", before, before, read_settings_files(before));
    // A second tuning, from the first's result: the twin also sees its logs, as a copy of
    // the board holds them.
    Compared two =
        measure(seed, work, "two", first.out_dir, board_copy(first.out_dir, work + "/copy"),
                read_settings_files(first.out_dir));
    std::printf("%llu %.2f %.2f %d %d %d %.2f %.2f %d %d %d\n",
                static_cast<unsigned long long>(seed), one.truth, one.twin, one.both, one.true_only,
                one.twin_only, two.truth, two.twin, two.both, two.true_only, two.twin_only);
    std::filesystem::remove_all(work);
    return 0;
  } catch (const ToolError& failure) {
    std::fprintf(stderr, "twin-accuracy-board: %s\n", failure.message.c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "twin-accuracy-board: %s\n", error.what());
  }
  return 1;
}
