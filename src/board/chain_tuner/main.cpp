// chain-tuner: reads no environment and ignores its arguments (everything comes from
// /config), except that "--help" and "--version" answer without touching the board.
#include "chain_tuner.hpp"
#include "program_entry.hpp"

namespace {

constexpr char usage[] =
    "Usage: chain-tuner [--help | --version]\n"
    "Tunes the miner per chain: over up to restarts_count miner restarts it steps chain\n"
    "voltages and frequencies, lowers weak chips and raises green ones, then leaves the\n"
    "marker /config/yellow for yellow-fixer. It runs unattended and takes no options;\n"
    "any other argument is ignored.\n"
    "\n"
    "Reads:    /config/autoTune.conf, /config/bmminer.conf, /tmp/chip-rates and the\n"
    "          output of \"bmminer-api -o stats\"\n"
    "Rewrites: /config/config.conf, /config/manual_freqs.txt\n"
    "Writes:   /config/restart (the miner's restart trigger), /config/yellow\n"
    "Log:      /tmp/auto-tune, replaced at every start\n"
    "\n"
    "See chain-tuner(8).\n";

}  // namespace

int main(int argc, char** argv) {
  if (auto status = tune::answer_help_or_version(argc, argv, "chain-tuner", usage)) {
    return *status;
  }
  return tune::run_on_board(tune::chain_tuner_main);
}
