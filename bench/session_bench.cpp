// Real time taken by whole tuning sessions on the simulated machine (virtual time inside).
#include <benchmark/benchmark.h>

#include <string>

#include "chain_tuner.hpp"
#include "chip_model.hpp"
#include "sim_miner.hpp"
#include "sim_system.hpp"

namespace {

using namespace tune;

void prepare_board(sim::SimSystem& sys, const char* settings) {
  sys.write_file("/config/bmminer.conf", R"({"bitmain-freq":"650"})");
  sys.write_file("/config/autoTune.conf", settings);
  sys.write_file("/config/config.conf", sim::chain_config_lines(600, 900));
}

// The default ten chain tuning iterations on the seeded chip model.
void chain_tuner_ten_iterations(benchmark::State& state) {
  for (auto _ : state) {
    sim::SimMiner miner;
    sim::ChipModel model(sim::ChipModelOptions{});
    model.install(miner);
    sim::SimSystem sys(miner);
    prepare_board(sys, "desired_rate=99999");
    sim::RunResult result = sys.run(chain_tuner_main);
    if (sys.restarts != 10 || result.exited) state.SkipWithError("the session did not complete");
  }
}
BENCHMARK(chain_tuner_ten_iterations)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
