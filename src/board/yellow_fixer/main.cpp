// yellow-fixer: reads no environment and ignores its arguments (everything comes from
// /config), except that "--help" and "--version" answer without touching the board.
#include "program_entry.hpp"
#include "yellow_fixer.hpp"

namespace {

constexpr char usage[] =
    "Usage: yellow-fixer [--help | --version]\n"
    "Tunes the miner per chip after chain-tuner: it watches every chip over 12 passes an\n"
    "iteration, lowers red chips and chips yellow in 5 or more passes, and restarts the\n"
    "miner after a change, for up to 15 iterations. It keeps its step in\n"
    "/config/yellow-step and resumes from it when started again after an interruption.\n"
    "It runs unattended and takes no options; any other argument is ignored.\n"
    "\n"
    "Reads:    /config/autoTune.conf, /config/bmminer.conf, /config/config.conf,\n"
    "          /tmp/chip-rates and the output of \"bmminer-api -o stats\"\n"
    "Rewrites: /config/manual_freqs.txt, /config/yellow-step (removed at the end)\n"
    "Writes:   /config/restart (the miner's restart trigger)\n"
    "Runs:     /bin/sh /sbin/finish-tune.sh at the end when /config/tune-running exists\n"
    "Log:      /tmp/auto-tune, replaced at every start\n"
    "\n"
    "See yellow-fixer(8).\n";

}  // namespace

int main(int argc, char** argv) {
  if (auto status = tune::answer_help_or_version(argc, argv, "yellow-fixer", usage)) {
    return *status;
  }
  return tune::run_on_board(tune::yellow_fixer_main);
}
