#include "chain_tuner.hpp"
#include "log.hpp"
#include "miner_files.hpp"
#include "settings.hpp"

namespace tune {

int chain_tuner_main(System& sys) {
  // On the stack, not the heap: a fatal exit leaves nothing allocated behind.
  ChainTuner tuner(sys);
  tune_log_reset(sys);
  read_base_freq(tuner.ctx);
  load_tune_settings(tuner.ctx);
  run_chain_tuning(tuner);
  return 0;
}

}  // namespace tune
