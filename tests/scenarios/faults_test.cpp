// Faults on the simulated machine: files that cannot be written or that vanish, checked for
// the run going on or ending as it should and for no file left half-written.
#include <filesystem>
#include <regex>

#include "chain_tuner.hpp"
#include "chip_model.hpp"
#include "harness.hpp"
#include "yellow_fixer.hpp"

namespace tune {
namespace {

using testing::Entries;

struct Board : testing::SimMachine {
  explicit Board(const std::string& settings, std::uint64_t seed = 3) {
    testing::write_files(sys.root(), testing::ready_board(settings));
    model = std::make_unique<sim::ChipModel>(sim::ChipModelOptions{seed, 6, 2, 1});
    model->install(miner);
  }
  void make_dir(const char* path) { std::filesystem::create_directories(sys.path(path)); }
  std::unique_ptr<sim::ChipModel> model;
};

bool whole_override_lines(const std::string& text) {
  return std::regex_match(text, std::regex("([0-9]+:[0-9]+:[0-9]+\n)*"));
}

TEST(Faults, AnUnwritableLogChangesNothingElse) {
  for (auto program : {chain_tuner_main, yellow_fixer_main}) {
    Board logged("restarts_count=3&desired_rate=99999");
    Board silent("restarts_count=3&desired_rate=99999");
    silent.make_dir("/tmp/auto-tune");
    sim::RunResult a = logged.sys.run(program);
    sim::RunResult b = silent.sys.run(program);
    EXPECT_EQ(a.exited, b.exited);
    EXPECT_EQ(a.status, b.status);
    for (const char* path : {"/config/config.conf", "/config/manual_freqs.txt", "/config/yellow",
                             "/config/yellow-step"}) {
      EXPECT_EQ(logged.text(path), silent.text(path)) << path;
    }
    EXPECT_EQ(logged.sys.sleeps, silent.sys.sleeps);
    EXPECT_EQ(logged.sys.restarts, silent.sys.restarts);
    EXPECT_TRUE(std::filesystem::is_directory(silent.sys.path("/tmp/auto-tune")));
  }
}

TEST(Faults, AnUnwritableOverridesFileIsPassedOverSilently) {
  Board board("restarts_count=3&desired_rate=99999");
  board.make_dir("/config/manual_freqs.txt/kept");
  sim::RunResult result = board.sys.run(chain_tuner_main);
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(result.status, 0);
  Entries log = board.log();
  EXPECT_EQ(log.back(), "Auto tune is done, exit\n");
  for (const std::string& entry : log) EXPECT_EQ(entry.find("manual_freqs"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_directory(board.sys.path("/config/manual_freqs.txt/kept")));
  EXPECT_EQ(board.sys.restarts, 3);
}

TEST(Faults, ChipRatesVanishingBetweenPassesEndTheRunWithWholeFiles) {
  Board board("restarts_count=3&desired_rate=99999");
  int passes_seen = 0;
  board.sys.observer = [&](sim::SimSystem& s) {
    std::string log = s.read_file("/tmp/auto-tune").value_or("");
    size_t updates = 0;
    for (size_t at = 0; (at = log.find("Update config", at)) != std::string::npos; ++at) ++updates;
    if (updates >= 2 && passes_seen++ == 0) {
      s.miner().keep_chip_rates = false;
      s.remove_file("/tmp/chip-rates");
    }
  };
  sim::RunResult result = board.sys.run(chain_tuner_main);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(board.log().back(), "Failed to read rates\n");
  std::string config = board.text("/config/config.conf");
  EXPECT_TRUE(config.starts_with("bitmain-fan-ctrl=false\n") && config.ends_with("api-listen=true"))
      << config;
  EXPECT_TRUE(whole_override_lines(board.text("/config/manual_freqs.txt")));
  EXPECT_FALSE(board.sys.exists("/config/yellow"));
}

TEST(Faults, AnUnwritableStepFileStillCountsTheChecks) {
  Board board("");
  board.make_dir("/config/yellow-step/kept");
  // A chip that is red at every frequency keeps every iteration changing.
  board.miner.chip_rate = [](const sim::MinerView& view, int slot,
                             int chip) -> std::optional<float> {
    if (slot == 0 && chip == 0) return 12.0f;
    return sim::healthy_rate(view.freq[slot][chip]);
  };
  board.sys.write_file("/config/manual_freqs.txt", "2:1:113\n");
  sim::RunResult result = board.sys.run(yellow_fixer_main);
  EXPECT_FALSE(result.exited);
  Entries log = board.log();
  EXPECT_EQ(log.back(), "Number of checks is 15, quit\n");
  for (const std::string& entry : log) EXPECT_FALSE(entry.starts_with("Resuming"));
  EXPECT_TRUE(std::filesystem::is_directory(board.sys.path("/config/yellow-step/kept")));
  EXPECT_TRUE(whole_override_lines(board.text("/config/manual_freqs.txt")));
}

// A disk that fails the sync of /config itself fails the write, as one that fails the file's
// own sync; a file system that cannot sync a directory (EINVAL) does not.
TEST(Faults, ADirectorySyncTheDiskFailsIsAFailedWrite) {
  for (int error : {EIO, EINVAL}) {
    Board board("restarts_count=1&desired_rate=99999");
    board.sys.directory_sync_error = error;
    EXPECT_EQ(board.sys.run(chain_tuner_main).parent_status(), error == EIO ? 1 : 0);
    EXPECT_EQ(board.log().back(),
              error == EIO ? "Can't open /config/config.conf\n" : "Auto tune is done, exit\n");
  }
}

}  // namespace
}  // namespace tune
