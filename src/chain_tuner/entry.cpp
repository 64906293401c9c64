#include <memory>

#include "chain_tuner.hpp"
#include "log.hpp"
#include "miner_files.hpp"
#include "settings.hpp"

namespace tune {

int chain_tuner_main(System& sys) {
  auto tuner = std::make_unique<ChainTuner>(sys);
  tune_log_reset(sys);
  read_base_freq(tuner->ctx);
  load_tune_settings(tuner->ctx);
  run_chain_tuning(*tuner);
  return 0;
}

}  // namespace tune
